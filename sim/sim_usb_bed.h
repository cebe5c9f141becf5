// The camera simulator on an emulated USB bus: a umockdev testbed holding
// one or more simulated cameras (sysfs device and /dev/bus/usb node with the
// camera's descriptors) whose usbdevfs requests are answered by the firmware
// model. Code under test keeps using the real libusb-1.0.
//
// The process must run with libumockdev-preload.so.0 in LD_PRELOAD (CTest
// sets it for test_usb_* binaries). The testbed is one per process (it sets
// UMOCKDEV_DIR); cameras are added and removed on it. Add cameras before the
// code under test creates its libusb context.
//
// Bulk IN: a pump thread per camera pulls the byte stream from the firmware
// model (real clock, so frames come at the simulated frame rate) into the
// queued URBs in order. Faults of the model reach the URB level: an injected
// bulk time-out holds the URB until the host's time-out cancels it, a stall
// completes the URB with -EPIPE and halts the endpoint until CLEAR_HALT, a
// control transfer that never completes ignores cancellation (optionally),
// and a device that leaves the bus completes every URB with -ESHUTDOWN and
// sends a "remove" uevent.
#ifndef KAVRO_SIM_USB_BED_H
#define KAVRO_SIM_USB_BED_H

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "sim_firmware.h"

namespace kavro_sim {

struct usb_cam_opts {
    firmware_cfg fw;  // virtual_time is forced off: the bus runs in real time
    int bus = 1;
    int port = 1;
    int addr = 2;
    int speed_mbps = 480;                // 480 high speed, 12 full speed
    bool hang_ignores_cancel = true;     // a hanging control transfer ignores DISCARDURB
    int park_us = 1000;                  // hold an empty reap this long (keeps the event loop calm)
};

/// One control transfer as seen on endpoint 0.
struct usb_ctrl_record {
    std::array<uint8_t, 8> setup{};
    std::vector<uint8_t> data;  // OUT: the bytes sent; IN: the bytes answered
};

struct usb_cam_stats {
    uint64_t submits = 0, reaps = 0, reaps_empty = 0, discards = 0;
    uint64_t bulk_in_urbs = 0, bulk_in_bytes = 0, bulk_out_bytes = 0;
    uint32_t clear_halts = 0;
    uint32_t late_cancels = 0;     // cancellations reported late (delay_cancels)
    uint32_t cancels_waiting = 0;  // cancellations still to be reported late
    uint32_t hung_ctrl = 0;  // control transfers left without completion
    int configuration = 0;
    unsigned claimed_mask = 0;
    bool unplugged = false;
};

/// True when the process runs under umockdev's preload.
bool usb_bed_available();

class usb_bed {
public:
    usb_bed();
    ~usb_bed();
    usb_bed(const usb_bed&) = delete;
    usb_bed& operator=(const usb_bed&) = delete;

    /// Adds a camera; returns its index.
    int add_camera(const usb_cam_opts& o = usb_cam_opts());
    firmware& fw(int cam);
    usb_cam_stats stats(int cam);
    /// Control transfers since the last call (oldest first), and forget them.
    std::vector<usb_ctrl_record> take_ctrl_log(int cam);
    /// The next `count` status answers name request `type`, value `val`
    /// whatever the last command was.
    void override_status(int cam, uint8_t type, uint8_t val, int count);
    /// The `nth` bulk OUT packet from now (0: the next) reaches the device
    /// with its last byte damaged.
    void damage_bulk_out(int cam, int nth);
    /// Surprise removal.
    void unplug(int cam);
    /// The camera is plugged back in (unplugged first when still on the
    /// bus): its old entry leaves the bus and a new camera with the same
    /// options, freshly powered, appears on the same port under the next
    /// address (a calibration package is set on it anew). Returns the new
    /// camera's index; the old index keeps its statistics.
    int replug(int cam);
    /// Bytes waiting in the bulk IN endpoint (appended to any already
    /// there): the next bulk IN URBs receive them before any byte of the
    /// firmware's stream, as leftovers of an earlier stream would.
    void stale_in(int cam, const std::vector<uint8_t>& bytes);
    /// The bulk IN URBs queued now report their cancellation, when the host
    /// cancels them, only `ms` milliseconds later (a slow host controller).
    void delay_cancels(int cam, int ms);
    /// The bus thread holds every read of the device's stream for `ms`
    /// milliseconds before it hands the bytes to the host, as a thread of a
    /// busy machine may be descheduled there (0: no pause). What the host
    /// sees must not depend on it.
    void slow_handover(int cam, int ms);

    struct cam;

private:
    std::vector<std::unique_ptr<cam>> cams_;
};

}  // namespace kavro_sim

#endif
