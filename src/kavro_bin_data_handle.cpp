// Data and firmware transfer: moves a typed image from a host file into the
// device's flash and back, over the data action commands on the control
// channel (request 0xCC, the action as command value) and image packets on
// the bulk OUT channel.
//
// Writing: announce the image, wait for the device to ask for it, confirm the
// packet size (the device erases its flash), poll until the erase is over,
// then send packets of at most 65530 bytes, each with its CRC-16/XMODEM,
// and read the device's acknowledgement (the index it expects next) after
// each one. Reading: ask for the image's information, then fetch it in
// pieces of 450 bytes.
//
// Every way a transfer ends has its own result (KAVRO_XFER_* in kavro.h), so
// an application can tell a finished transfer from one the device refused;
// only a finished one runs the finishing step for its image type.
#include "kavro_bin_data_handle.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "kavro.h"
#include "ll/ll_usb_proto.h"
#include "vx_log_internal.h"
#include "vx_port.h"

namespace {

// The steps of a transfer log under the name of the exported call they
// belong to, whichever helper runs them; the command helpers below log
// under their own names.
constexpr char k_write[] = "kavro_bin_data_write";
constexpr char k_read[] = "kavro_bin_data_read";
#define XFER_LOG(level, tag, fn, fmt, ...) \
    vx_log(nullptr, level, tag, "[%s] " fmt, fn __VA_OPT__(, ) __VA_ARGS__)
#define W_DBG(fmt, ...) XFER_LOG(VX_LOG_LEVEL_DEBUG, "DBG", k_write, fmt __VA_OPT__(, ) __VA_ARGS__)
#define W_INF(fmt, ...) XFER_LOG(VX_LOG_LEVEL_INFO, "INF", k_write, fmt __VA_OPT__(, ) __VA_ARGS__)
#define W_WRN(fmt, ...) XFER_LOG(VX_LOG_LEVEL_WARN, "WRN", k_write, fmt __VA_OPT__(, ) __VA_ARGS__)
#define W_ERR(fmt, ...) XFER_LOG(VX_LOG_LEVEL_ERROR, "ERR", k_write, fmt __VA_OPT__(, ) __VA_ARGS__)
#define R_DBG(fmt, ...) XFER_LOG(VX_LOG_LEVEL_DEBUG, "DBG", k_read, fmt __VA_OPT__(, ) __VA_ARGS__)
#define R_INF(fmt, ...) XFER_LOG(VX_LOG_LEVEL_INFO, "INF", k_read, fmt __VA_OPT__(, ) __VA_ARGS__)
#define R_ERR(fmt, ...) XFER_LOG(VX_LOG_LEVEL_ERROR, "ERR", k_read, fmt __VA_OPT__(, ) __VA_ARGS__)

struct file_closer {
    void operator()(FILE *f) const {
        if (f) fclose(f);
    }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

void xfer_sleep(const _kavro_xfer_opts_t &o, uint32_t ms) {
    if (o.sleep)
        o.sleep(ms);
    else
        vx_port::sleep_ms(ms);
}

// ---- data action commands ---------------------------------------------------
// Each helper logs a failed command under its own name.

bool al_get_data_info(kavro_ll_dev_t *pdev, data_ginfo_t *info) {
    if (kavro_ll_exe_cmd(pdev, false, VXIF_REQ_DATA, DATA_ACTION_GET_INFO, info, sizeof *info,
                         DATA_TIMEOUT_GET_INFO_MS))
        return true;
    LOG_ERR("Cmd:(0x%x,0x%x) failed\n", VXIF_REQ_DATA, DATA_ACTION_GET_INFO);
    return false;
}

bool al_data_send_action_info(kavro_ll_dev_t *pdev, uint8_t type, uint16_t version, uint32_t size,
                              uint32_t addr) {
    LOG_INF("type = %hu, version = %hu, size = %d\n", (unsigned short)type, version, (int)size);
    data_action_info_t ai{};
    ai.type = type;
    ai.version = version;
    ai.size = size;
    ai.addr = addr;
    return kavro_ll_exe_cmd(pdev, true, VXIF_REQ_DATA, DATA_ACTION_INFO, &ai, sizeof ai,
                            DATA_TIMEOUT_INFO_MS);
}

bool al_data_read_action_info(kavro_ll_dev_t *pdev, data_action_pack_t *ack) {
    *ack = data_action_pack_t{};  // the request carries no arguments
    if (kavro_ll_exe_cmd(pdev, false, VXIF_REQ_DATA, DATA_ACTION_ACK, ack, sizeof *ack,
                         DATA_TIMEOUT_ACK_MS))
        return true;
    LOG_ERR("Cmd:(0x%x,0x%x) failed\n", VXIF_REQ_DATA, DATA_ACTION_ACK);
    return false;
}

bool al_data_send_cfm(kavro_ll_dev_t *pdev, uint8_t type, uint32_t size) {
    data_action_cfm_t cfm{};
    cfm.type = type;
    cfm.data_len = size;
    cfm.frame_len = DATA_PACKET_PAYLOAD;
    cfm.reserved = 0;
    return kavro_ll_exe_cmd(pdev, true, VXIF_REQ_DATA, DATA_ACTION_CFM, &cfm, sizeof cfm,
                            DATA_TIMEOUT_CFM_MS);
}

// One packet on the bulk OUT channel: bytes sent, or the channel's negative
// error code.
int kavro_data_pk_transf(kavro_ll_dev_t *pdev, const uint8_t *pkt, uint32_t len) {
    const int r = kavro_ll_tx_data(pdev, pkt, len);
    if (r < 0) LOG_ERR("tx data failed\n");
    return r;
}

// One piece of the image: `want` bytes into `piece`. The request asks for
// exactly `want` bytes, also for a last piece shorter than the request
// record: the camera's protocol fixes the request at 12 bytes, not the
// piece, so asking for more would reach past the end of the image. The
// request travels in the first 12 bytes of an exchange of the piece's size
// (at least the request's 12 bytes, the record itself); the read phase
// brings the piece back in place, in its first `want` bytes.
bool al_get_data_payload(kavro_ll_dev_t *pdev, uint8_t *xbuf, uint32_t want) {
    const uint32_t xlen = std::max<uint32_t>(want, sizeof(data_payload_req_t));
    std::memset(xbuf, 0, xlen);
    data_payload_req_t req{};
    req.len = want;
    std::memcpy(xbuf, &req, sizeof req);
    if (kavro_ll_exe_cmd(pdev, false, VXIF_REQ_DATA, DATA_ACTION_PAYLOAD, xbuf, (int)xlen,
                         DATA_TIMEOUT_PAYLOAD_MS))
        return true;
    LOG_ERR("Cmd:(0x%x,0x%x) failed\n", VXIF_REQ_DATA, DATA_ACTION_PAYLOAD);
    return false;
}

// ---- writing ------------------------------------------------------------------

// Load the whole file; empty on failure (logged).
bool load_image(const char *file_name, std::vector<uint8_t> *img) {
    file_ptr f(file_name ? fopen(file_name, "rb") : nullptr);
    if (!f) {
        W_INF("File open failed\n");
        return false;
    }
    long size = -1;
    if (fseek(f.get(), 0, SEEK_END) == 0) size = ftell(f.get());
    W_INF("File size:%d\n", size > INT_MAX ? -1 : (int)size);
    // Sizes travel as 32-bit counts and packets are counted in int: a
    // negative size (not a seekable file) or one past INT_MAX cannot be sent.
    if (size <= 0 || size > INT_MAX || fseek(f.get(), 0, SEEK_SET) != 0) {
        W_ERR("data upgrade failed!\n");
        return false;
    }
    try {
        img->resize((size_t)size);
    } catch (const std::bad_alloc &) {
        W_ERR("data upgrade failed!\n");
        return false;
    }
    const size_t got = fread(img->data(), 1, img->size(), f.get());
    W_INF("File read ok,%d\n", (int)got);
    if (got != img->size()) {
        W_INF("Firmware image file loading failed.\n");
        return false;
    }
    W_INF("Firmware image file loaded.\n");
    return true;
}

// Wait while the device erases; the acknowledgement that ends the wait goes
// to `ack`. KAVRO_XFER_DONE, KAVRO_XFER_FAILED or KAVRO_XFER_ERASE_TIMEOUT.
int wait_erase(kavro_ll_dev_t *pdev, const _kavro_xfer_opts_t &o, data_action_pack_t *ack) {
    uint32_t polls = 0;
    for (;;) {
        if (!al_data_read_action_info(pdev, ack)) {
            W_ERR("DATA ACK failed\n");
            W_ERR("data upgrade failed!\n");
            return KAVRO_XFER_FAILED;
        }
        W_INF("erase ack,%d\n", 1);
        if (ack->status != TRANS_STATUS_EARSE_ONGOING) return KAVRO_XFER_DONE;
        // A device that never finishes its erase must not hold the caller.
        if (++polls >= o.erase_poll_max) {
            W_ERR("erase still ongoing after %u polls\n", polls);
            W_ERR("data upgrade failed!\n");
            return KAVRO_XFER_ERASE_TIMEOUT;
        }
        if (o.erase_poll_pause_ms) xfer_sleep(o, o.erase_poll_pause_ms);
    }
}

// Send every packet of `img`, each followed by its acknowledgement.
int send_packets(kavro_ll_dev_t *pdev, const std::vector<uint8_t> &img,
                 const _kavro_xfer_opts_t &o) {
    const uint32_t size = (uint32_t)img.size();
    const uint32_t count = (size + DATA_PACKET_PAYLOAD - 1) / DATA_PACKET_PAYLOAD;
    std::vector<uint8_t> pkt(sizeof(data_action_data_t) + DATA_PACKET_PAYLOAD);
    for (uint32_t i = 0; i < count; ++i) {
        if (o.stop && o.stop()) {
            W_WRN("stopped by the application before packet %u of %u: the image is incomplete\n", i, count);
            return _KAVRO_XFER_STOPPED;
        }
        const uint32_t off = i * DATA_PACKET_PAYLOAD;
        const uint32_t len = std::min(DATA_PACKET_PAYLOAD, size - off);
        data_action_data_t hdr{};
        hdr.crc = vxif_crc16_xmodem(img.data() + off, len);
        hdr.len = len;
        std::memcpy(pkt.data(), &hdr, sizeof hdr);
        std::memcpy(pkt.data() + sizeof hdr, img.data() + off, len);
        const uint32_t pkt_len = (uint32_t)sizeof hdr + len;

        const int sent = kavro_data_pk_transf(pdev, pkt.data(), pkt_len);
        if (sent < 0) {
            W_INF("Data transfer failed D.\n");
            W_ERR("data upgrade failed!\n");
            return sent;
        }
        // A packet the channel took only in part reaches the device broken:
        // the same ending as one it did not take at all.
        if ((uint32_t)sent != pkt_len) {
            W_INF("Data transfer failed D.\n");
            return KAVRO_XFER_TX_SHORT;
        }

        data_action_pack_t ack{};
        if (!al_data_read_action_info(pdev, &ack)) {
            W_INF("Data transfer failed C.\n");
            W_ERR("data upgrade failed!\n");
            return KAVRO_XFER_FAILED;
        }
        if (ack.next_number != i + 1) {
            // The device asks for the same packet again (it failed its check)
            // or names a packet out of sequence: the transfer stops here.
            if (ack.next_number == i)
                W_INF("Data transfer failed A.indx%d, %d\n", (int)i, (int)i);
            else
                W_INF("Data transfer failed B.\n");
            return KAVRO_XFER_NACKED;
        }
        if (o.progress) o.progress(off + len, size);
    }
    W_INF("Data transfer finished.\n");
    return KAVRO_XFER_DONE;
}

// Announce, confirm, wait for the erase and send the packets.
int write_image(kavro_ll_dev_t *pdev, uint8_t type, uint16_t version, uint32_t addr,
                const std::vector<uint8_t> &img, const _kavro_xfer_opts_t &o) {
    const uint32_t size = (uint32_t)img.size();

    W_INF("Get info\n");
    data_ginfo_t gi{};
    gi.type = type;
    al_get_data_info(pdev, &gi);  // only reported: the write does not depend on it
    W_INF("Version:%hu,type:%hu, addr:0x%x,data size:%d\n", gi.version, (unsigned short)gi.type,
            gi.addr, (int)gi.size);

    W_INF("send action info\n");
    if (!al_data_send_action_info(pdev, type, version, size, addr)) {
        W_ERR("data upgrade failed!\n");
        return KAVRO_XFER_FAILED;
    }
    data_action_pack_t ack{};
    if (!al_data_read_action_info(pdev, &ack)) {
        W_ERR("data upgrade failed!\n");
        return KAVRO_XFER_FAILED;
    }
    W_INF("read ack: next=%d, status=%d\n", (int)ack.next_number, (int)ack.status);
    if (ack.status != TRANS_STATUS_REQ || ack.next_number != 0) {
        W_ERR("Wrong ACK(NUM:%d,VER:%d)\n", (int)ack.next_number, (int)version);
        return KAVRO_XFER_REFUSED;
    }
    W_INF("INFO ack ok\n");

    W_INF("Wait flash erase           .....\n");
    if (!al_data_send_cfm(pdev, type, size)) {
        W_INF("wait cfm failed.....\n");
        W_ERR("data upgrade failed!\n");
        return KAVRO_XFER_FAILED;
    }
    W_INF("loop check.....\n");
    const int erased = wait_erase(pdev, o, &ack);
    if (erased != KAVRO_XFER_DONE) return erased;
    W_INF("erase ok,%d\n", 1);
    W_INF("Download.....\n");
    if (ack.status != TRANS_STATUS_OK || ack.next_number != 0) {
        W_ERR("erase ended with next=%d, status=%d\n", (int)ack.next_number, (int)ack.status);
        return KAVRO_XFER_REFUSED;
    }
    return send_packets(pdev, img, o);
}

// After a finished write: the device restarts into a new firmware image
// (types 0 and 1) or stores the image (types 2 and 3); the board must not be
// reset or powered off meanwhile. Logging is switched off for that time, as
// the device's reset takes its transport away.
void finish_write(kavro_ll_dev_t *pdev, uint8_t type, const _kavro_xfer_opts_t &o) {
    if (type == 0 || type == 1) {
        W_WRN(" * Wait board to reset...\n");
        W_WRN("----------------------------------------------------------\n");
        W_WRN("!!! DO NOT RESET or POWER OFF the board until return !!!!\n");
        W_WRN("----------------------------------------------------------\n");
        kavro_log_cfg(LOG_LEVEL_NONE, LOG_LEVEL_NONE, LOG_LEVEL_NONE);
        kavro_ll_dev_reset(pdev, RESET_TARGET_SYS);
        xfer_sleep(o, o.reset_wait_ms);
    } else if (type == 2 || type == 3) {
        W_WRN("----------------------------------------------------------\n");
        W_WRN("!!! DO NOT RESET or POWER OFF the board until return !!!!\n");
        W_WRN("----------------------------------------------------------\n");
        kavro_log_cfg(LOG_LEVEL_NONE, LOG_LEVEL_NONE, LOG_LEVEL_NONE);
        xfer_sleep(o, o.store_wait_ms);
    }
}

}  // namespace

int _kavro_bin_data_write(kavro_ll_dev_t *pdev, uint8_t type, uint16_t version, uint32_t addr,
                          const char *file_name, const _kavro_xfer_opts_t &opts) {
    W_INF("name:%s, type:%hu, version:%hu\n", file_name ? file_name : "(null)",
            (unsigned short)type, version);
    std::vector<uint8_t> img;
    if (!load_image(file_name, &img)) return KAVRO_XFER_FAILED;
    const int r = write_image(pdev, type, version, addr, img, opts);
    if (r == KAVRO_XFER_DONE) finish_write(pdev, type, opts);
    return r;
}

int _kavro_bin_data_read(kavro_ll_dev_t *pdev, uint8_t type, const char *file_name,
                         const _kavro_xfer_opts_t &opts) {
    R_DBG("Get info\n");
    data_ginfo_t gi{};
    gi.type = type;
    // Without the device's answer the size is unknown: reading on would store
    // an empty or made-up image and report success.
    if (!al_get_data_info(pdev, &gi)) return KAVRO_XFER_FAILED;
    R_INF("Version:%hu,type:%hu, addr:0x%x,data size:%d\n", gi.version, (unsigned short)gi.type,
            gi.addr, (int)gi.size);
    if (gi.size == DATA_SIZE_NONE) {
        R_ERR("No valid data to read, please check\n");
        return KAVRO_XFER_FAILED;
    }

    const char *name = file_name ? file_name : "calib.bin";
    file_ptr f(fopen(name, "wb+"));
    if (!f) {
        R_ERR("File open failed\n");
        return KAVRO_XFER_FAILED;
    }
    std::unique_ptr<uint8_t[]> piece(
        new (std::nothrow) uint8_t[std::max<uint32_t>(DATA_READ_PIECE, sizeof(data_payload_req_t))]);
    if (!piece) return KAVRO_XFER_FAILED;

    // A piece the device did not deliver, or one the file did not take,
    // leaves a wrong image behind: it is removed and the read fails.
    auto fail = [&]() {
        f.reset();
        std::remove(name);
        return KAVRO_XFER_FAILED;
    };
    uint32_t done = 0;
    while (done < gi.size) {
        if (opts.stop && opts.stop()) {
            R_INF("stopped by the application at %u of %u bytes\n", done, gi.size);
            f.reset();
            std::remove(name);
            return _KAVRO_XFER_STOPPED;
        }
        const uint32_t want = std::min(DATA_READ_PIECE, gi.size - done);
        if (!al_get_data_payload(pdev, piece.get(), want)) return fail();
        if (fwrite(piece.get(), 1, want, f.get()) != want) {
            R_ERR("file write failed\n");
            return fail();
        }
        done += want;
        if (opts.progress) opts.progress(done, gi.size);
    }
    if (fclose(f.release()) != 0) {
        R_ERR("file write failed\n");
        std::remove(name);
        return KAVRO_XFER_FAILED;
    }
    return KAVRO_XFER_DONE;
}

extern "C" {

int kavro_bin_data_write(kavro_ll_dev_t *pdev, uint8_t type, uint16_t version, uint32_t addr,
                         const char *file_name) {
    return kavro_bin_data_write_progress(pdev, type, version, addr, file_name, nullptr, nullptr);
}

int kavro_bin_data_read(kavro_ll_dev_t *pdev, uint8_t type, const char *file_name) {
    return kavro_bin_data_read_progress(pdev, type, file_name, nullptr, nullptr);
}

int kavro_bin_data_write_progress(kavro_ll_dev_t *pdev, uint8_t type, uint16_t version,
                                  uint32_t addr, const char *file_name, kavro_xfer_progress_f cb,
                                  void *cb_arg) {
    try {
        _kavro_xfer_opts_t o;
        if (cb) o.progress = [cb, cb_arg](uint32_t done, uint32_t total) { cb(done, total, cb_arg); };
        return _kavro_bin_data_write(pdev, type, version, addr, file_name, o);
    } catch (...) {
        return KAVRO_XFER_FAILED;
    }
}

int kavro_bin_data_read_progress(kavro_ll_dev_t *pdev, uint8_t type, const char *file_name,
                                 kavro_xfer_progress_f cb, void *cb_arg) {
    try {
        _kavro_xfer_opts_t o;
        if (cb) o.progress = [cb, cb_arg](uint32_t done, uint32_t total) { cb(done, total, cb_arg); };
        return _kavro_bin_data_read(pdev, type, file_name, o);
    } catch (...) {
        return KAVRO_XFER_FAILED;
    }
}

}  // extern "C"
