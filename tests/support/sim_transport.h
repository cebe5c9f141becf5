// An in-process transport for tests: a kavro_ll operation table whose
// command channel and bulk OUT channel call the simulator's firmware model
// directly, the way the USB transport drives the camera (a send phase, the
// status request until the device stops answering "still running", a read
// phase, the status request again). Library code above the transport runs
// unchanged; only the USB stack is left out.
//
// Every control and bulk OUT transfer is recorded in order, and two hooks
// let a test play a faulty line or device: `before` sees (and may change)
// the bytes of every transfer before the device does, `after` sees (and may
// change) what the device answered. Capture start runs a pump thread of the
// link's own that reads the bulk IN stream from the model and hands every
// piece to the capture engine's notify callback, as the USB transport's
// event thread does; capture stop and close end and join it.
//
// Bind with sim_bind(); the record's `h` then points at the sim_link, which
// must outlive the record's use.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "kavro.h"
#include "kavro_ll.h"
#include "sim_firmware.h"

namespace kavro_test {

/// One transfer as the host sent it (and, for IN transfers, as answered).
struct sim_call {
    enum kind_e { ctrl_out, ctrl_in, bulk_out } kind;
    uint8_t req = 0;   // request code (0 for bulk)
    uint16_t val = 0;  // command value (0 for bulk)
    std::vector<uint8_t> data;  // OUT: bytes sent; IN: bytes received
};

/// What a `before` hook decides for a transfer.
enum class sim_verdict {
    pass,  // hand it to the device
    lost,  // the device never answers: the transfer fails as a dead device's would
};

struct sim_link {
    explicit sim_link(kavro_sim::firmware& f) : fw(f) {}
    kavro_sim::firmware& fw;

    /// Called before a transfer reaches the device; may change `call.data`
    /// (OUT transfers). Status requests are not shown.
    std::function<sim_verdict(sim_call& call)> before;
    /// Called after an IN transfer with the device's answer in `call.data`;
    /// may change it.
    std::function<void(sim_call& call)> after;

    /// Status requests answered "still running" in a row before the host
    /// gives up on a command.
    int max_busy_polls = 10000;

    /// Every control transfer except status requests, and every bulk OUT
    /// transfer, in order.
    std::vector<sim_call> calls;
    std::mutex mu;  // guards `calls`

    /// Bulk IN pump (capture): the thread, its stop flag and the notify
    /// callback it calls. Owned by the transport's capture slots.
    std::thread pump;
    std::atomic<bool> pump_stop{false};
    kavro_ll_trans_notify_f notify = nullptr;
    void* notify_arg = nullptr;
    ~sim_link();

    /// Recorded transfers matching a request and value (bulk: kind only).
    std::vector<sim_call> of(sim_call::kind_e kind, uint8_t req = 0, uint16_t val = 0);
};

extern const kavro_ll_op g_sim_ll_op;

/// Make `dev` (zeroed) an open USB record served by `link`.
void sim_bind(kavro_ll_dev_t* dev, sim_link* link);
/// Prepare `dev` (zeroed) so kavro_dev_open reaches `link`: the open then
/// reads the identity from the simulated device.
void sim_bind_dev(kavro_dev_t* dev, sim_link* link);

}  // namespace kavro_test
