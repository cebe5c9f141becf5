#include "capture_fixture.h"

#include <cstdio>

void CaptureFixture::init_library(const char *log_name) {
    std::remove(log_name);
    kavro_init(log_name);
    kavro_log_cfg(LOG_LEVEL_ERROR, LOG_LEVEL_TRACE, LOG_LEVEL_NONE);
}

void CaptureFixture::SetUp() {
    ASSERT_EQ(fake_open(&dev_, &cam_), &dev_);
    ASSERT_TRUE(kavro_cap_set_frame_buffer(&dev_, nullptr, 8 * 307200));
}

void CaptureFixture::TearDown() { kavro_dev_close(&dev_); }

void CaptureFixture::deliver(const std::vector<uint8_t> &bytes) {
    ASSERT_NE(cam_.cb, nullptr);
    cam_.cb(&handler()->ll_dev, LL_TRANS_OK, const_cast<uint8_t *>(bytes.data()), static_cast<int>(bytes.size()),
            cam_.cb_arg);
}

void CaptureFixture::status(int trans_status) {
    ASSERT_NE(cam_.cb, nullptr);
    static uint8_t none[1];
    cam_.cb(&handler()->ll_dev, trans_status, none, 0, cam_.cb_arg);
}

std::vector<uint8_t> CaptureFixture::frame_bytes(uint32_t size, uint16_t idx) {
    return kavro_test::stream_pattern(size, idx + 1000u);
}

std::vector<uint8_t> CaptureFixture::frames(int n, uint32_t size, uint16_t first, kavro_test::StreamBuilder *b) {
    kavro_test::StreamBuilder local;
    kavro_test::StreamBuilder &sb = b ? *b : local;
    const size_t start = sb.data().size();
    for (int i = 0; i < n; ++i) {
        kavro_test::StreamFrame f;
        f.frame_idx = static_cast<uint16_t>(first + i);
        f.data = frame_bytes(size, f.frame_idx);
        sb.frame(f);
    }
    return std::vector<uint8_t>(sb.data().begin() + static_cast<long>(start), sb.data().end());
}
