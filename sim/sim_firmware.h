// Firmware model of the camera simulator: a stand-in for the camera behind
// its USB interface. It answers the wire protocol of src/ll/ll_usb_proto.h
// without any USB stack: control transfers on endpoint 0 (device commands,
// parameters, registers, resets, capture start/stop, the data/firmware
// actions and the status request), a pull-style bulk IN endpoint that carries
// the camera byte stream, and a bulk OUT endpoint for image packets. A USB
// adapter (or a test) moves bytes between this object and its caller.
//
// Time: the model runs on its own clock. With virtual time (the default) the
// clock moves only when the caller advances it, or when a bulk IN read waits
// for the next frame (the wait is skipped, the clock jumps); tests are then
// deterministic and fast. With real time the clock is the steady clock and a
// bulk IN read sleeps until data is due or its time-out ends.
//
// Faults: every fault is switched on with a probability per opportunity and
// an optional limit, drawn from one seeded generator, and every injection is
// counted (fault_counts()).
//
// Threads: every call takes the model's mutex, so a control thread and a
// bulk thread may use one model at the same time. A real-time bulk IN read
// waits without holding it.
#ifndef KAVRO_SIM_FIRMWARE_H
#define KAVRO_SIM_FIRMWARE_H

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "kavro.h"
#include "ll/ll_usb_proto.h"
#include "sim_sensor.h"

namespace kavro_sim {

/// How a transfer ended, as a USB host would see it.
enum class xfer_status {
    ok,         // completed; `len` bytes moved
    timeout,    // no data within the time-out (bulk IN), nothing moved
    stall,      // endpoint halted; bulk IN stays halted until clear_halt()
    no_device,  // the device is not on the bus (reset or unplugged)
    pending,    // the transfer never completes: the host must cancel it
    error,      // request the device does not understand (protocol stall on EP0)
};
const char* xfer_status_name(xfer_status s);

struct xfer_result {
    xfer_status status = xfer_status::ok;
    int len = 0;
};

/// Where the device is on the bus.
enum class usb_state {
    attached,   // enumerated, answering
    resetting,  // dropped off after a USB-interface reset; comes back by itself
    gone,       // disappeared (unplugged); comes back only with replug()
};

/// One injectable fault: `prob` per opportunity, at most `limit` times
/// (negative: unlimited).
struct fault {
    double prob = 0;
    int limit = -1;
};

struct fault_cfg {
    uint64_t seed = 1;
    // Byte stream (opportunity: one stream header and its payload).
    fault corrupt_byte;       // flip one payload byte
    fault drop_bytes;         // drop a run of payload bytes
    int drop_bytes_max = 64;  // longest run dropped
    fault bad_hdr_cksum;      // header checksum broken
    fault missing_cont_hdr;   // a continuation header and its payload are not sent
    fault seq_jump;           // header sequence number skips one
    // Bulk IN (opportunity: one read).
    fault bulk_timeout;       // read times out although data is waiting
    fault bulk_stall;         // endpoint halts
    // Commands (opportunity: one command other than the status request).
    fault status_storm;       // status request answers "still running" storm_len times
    int storm_len = 50;
    fault cmd_fail;           // command fails with a message
    fault ctrl_hang;          // control transfer never completes (any transfer)
    // Device (opportunity: one frame generated while capturing).
    fault disappear;          // device leaves the bus mid-stream
    fault slow_host;          // the device FIFO is full: the frame is not sent
};

/// Counters of injected faults (and of frames the FIFO had no room for).
struct fault_counts {
    uint32_t corrupt_byte = 0;
    uint32_t drop_bytes = 0;
    uint32_t bad_hdr_cksum = 0;
    uint32_t missing_cont_hdr = 0;
    uint32_t seq_jump = 0;
    uint32_t bulk_timeout = 0;
    uint32_t bulk_stall = 0;
    uint32_t status_storm = 0;
    uint32_t cmd_fail = 0;
    uint32_t ctrl_hang = 0;
    uint32_t disappear = 0;
    uint32_t slow_host = 0;
    uint32_t fifo_overflow = 0;  // frames dropped because the host did not read in time
};

struct firmware_cfg {
    std::string scene = "room";
    sensor_cfg sensor;           // format, mod_freq, intg_us, fps are the parameter defaults
    bool virtual_time = true;

    // Identity.
    std::string vendor = "KAVRO";
    std::string product = "KVSIM-E2-320";  // middle field selects the EPC driver
    uint32_t serial[3] = {0x00C0FFEE, 0x20240601, 7};
    uint16_t version[4] = {3, 140, 1, 2};  // hw, sw (above 132: can send the package), sw2, hw2
    uint16_t chip_info[3] = {2, 0x1234, 17};  // part version, chip id, wafer id
    uint16_t max_fps = 60;
    uint16_t max_intg_us = 4000;

    // Status answers: "still running" this many times after every command.
    int busy_polls = 0;
    // Byte stream.
    uint32_t piece_len = 65536;   // payload bytes per stream header (a frame is cut into pieces)
    bool payload_sums = false;    // set en_data_cksum with the payload sum
    uint32_t fifo_bytes = 4u << 20;  // device buffer; frames that do not fit are lost
    // Reset of the USB interface: off the bus for this long.
    uint32_t usb_reset_ms = 500;
    // Flash erase after DATA_ACTION_CFM: "ongoing" for this many acknowledgement
    // reads and at least this long.
    int erase_polls = 3;
    uint32_t erase_ms = 0;
    uint32_t flash_capacity = 16u << 20;  // largest image accepted
    // The device takes every announcement but answers its acknowledgement
    // with TRANS_STATUS_FAIL: it refuses the image before any packet.
    bool refuse_images = false;
    uint32_t max_read_piece = 4096;       // largest payload request served

    fault_cfg faults;
};

/// One image kept in the device's flash.
struct flash_image {
    uint8_t ptype = 0;
    uint16_t version = 0;
    uint32_t addr = 0;
    std::vector<uint8_t> data;
};

class firmware {
public:
    explicit firmware(const firmware_cfg& cfg = firmware_cfg());
    ~firmware();
    firmware(const firmware&) = delete;
    firmware& operator=(const firmware&) = delete;

    // ---- endpoints ----------------------------------------------------------
    /// A control transfer: `setup` is the 8-byte setup stage; `data` holds
    /// wLength bytes (sent by the host for an OUT request, filled by the
    /// device for an IN request).
    xfer_result control(const uint8_t setup[8], uint8_t* data);
    /// Convenience forms building the setup stage.
    xfer_result control_out(uint8_t req, uint16_t val, const void* data, uint16_t len);
    xfer_result control_in(uint8_t req, uint16_t val, void* data, uint16_t len);

    /// Bulk IN (0x81): up to `cap` bytes of the byte stream. Returns at once
    /// with what is waiting; with nothing waiting, waits up to `timeout_ms`
    /// for the next data (0: no wait, "no data yet" is a timeout).
    xfer_result bulk_in(uint8_t* buf, int cap, uint32_t timeout_ms);
    /// Bulk OUT (0x01): one packet of the data transfer.
    xfer_result bulk_out(const uint8_t* buf, int len);
    /// Clear the halt of the bulk IN endpoint.
    void clear_halt();

    // ---- clock ----------------------------------------------------------------
    uint64_t now_us() const;
    /// Virtual time only: move the clock forward.
    void advance_us(uint64_t us);

    // ---- what the host side of a USB adapter can observe ----------------------
    usb_state state();
    /// Times the device (re)appeared on the bus, starting with 1.
    uint32_t enumerations();
    /// Bring back a device that disappeared.
    void replug();

    // ---- inspection and set-up for tests ------------------------------------
    bool capturing();
    uint32_t frames_sent();       // frames put into the FIFO since capture start
    size_t fifo_level();          // bytes waiting in the FIFO
    uint32_t dev_mode();
    fault_counts counts();
    void set_faults(const fault_cfg& f);
    /// Install a calibration package (18-byte header and payload, padded).
    void set_calib_package(std::vector<uint8_t> pkg);
    /// The stored image of a type, null when none; valid until the next
    /// transfer or put_image() of that type.
    const flash_image* image(uint8_t type);
    /// Stores an image as if the camera had been started with it: a
    /// firmware image (type 0 or 1) with a version sets the 'sw' (type 0)
    /// or 'sw2' (type 1) version the camera reports. An image written over
    /// the bus takes effect the same way at the camera's next system reset.
    void put_image(uint8_t type, const flash_image& img);
    uint32_t reg(uint8_t target, uint32_t addr);
    /// Bulk OUT packets refused for a wrong CRC.
    uint32_t crc_errors();
    /// The sensor camera used for frames (built on first use; rebuilt at the
    /// next capture start after a parameter change, which invalidates the
    /// reference).
    const camera& sensor_camera();

private:
    struct impl;
    std::unique_ptr<impl> p_;
};

}  // namespace kavro_sim

#endif
