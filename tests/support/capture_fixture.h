// An open device on the scripted transport, ready to capture, and helpers
// that play the transport's event thread.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fake_transport.h"
#include "kavro.h"
#include "kavro_handler.h"
#include "stream_builder.h"

class CaptureFixture : public ::testing::Test {
protected:
    static void init_library(const char *log_name);
    void SetUp() override;
    void TearDown() override;

    _kavro_handler_t *handler() { return static_cast<_kavro_handler_t *>(dev_.handler); }
    // Hand bytes or a status to the capture engine as the transport would.
    void deliver(const std::vector<uint8_t> &bytes);
    void status(int trans_status);
    // `n` frames of `size` bytes, indices first..first+n-1, one header each.
    static std::vector<uint8_t> frames(int n, uint32_t size, uint16_t first, kavro_test::StreamBuilder *b = nullptr);
    static std::vector<uint8_t> frame_bytes(uint32_t size, uint16_t idx);

    FakeCamera cam_;
    kavro_dev_t dev_{};
};
