// A scripted transport for camera-layer tests: an operation table whose
// device state (FakeCamera) the test sets up and inspects. Bind it to a
// record with fake_bind() before kavro_dev_open(); the open then reuses the
// prepared handler record and reaches this transport.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "kavro.h"
#include "kavro_ll.h"

struct FakeCamera {
    // Identity answered to the open.
    std::string vendor = "VX";
    std::string product = "VX1-T0-01";
    uint8_t serial[18] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    uint8_t serial_len = 12;
    uint16_t version[4] = {0x11, 0x22, 0x33, 0x44};
    uint32_t fps = 0;

    // Failure switches.
    bool fail_open = false;
    bool fail_param_get = false;
    bool fail_param_set = false;
    bool fail_cap_stop = false;

    // Gate: while `block` is set, parameter reads wait until it is cleared.
    std::mutex gate_mutex;
    std::condition_variable gate_cv;
    bool block = false;
    std::atomic<int> blocked{0};

    // What the camera layer did, in order ("open", "close", "cap_start", ...).
    std::mutex log_mutex;
    std::vector<std::string> calls;
    std::vector<vxif_param_item_t> last_set;
    std::vector<vxif_param_item_t> last_get_request;
    uint8_t last_target = 0xFF;
    uint32_t last_reg_base = 0;
    uint16_t last_reg_cnt = 0;
    const void *last_reg_vals = nullptr;
    kavro_ll_trans_notify_f cb = nullptr;
    void *cb_arg = nullptr;
    std::atomic<int> param_gets{0};

    void record(const std::string &what);
    int count(const std::string &what);
    void release();  // clear `block` and wake blocked reads
};

extern const kavro_ll_op g_fake_ll_op;

// Prepare `dev` (zero it first) so kavro_dev_open reaches `cam`.
void fake_bind(kavro_dev_t *dev, FakeCamera *cam);
// fake_bind + kavro_dev_open.
kavro_dev_t *fake_open(kavro_dev_t *dev, FakeCamera *cam);
