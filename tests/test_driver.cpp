// Driver registry lookup and the TI OPT8241 stub driver.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kavro.h"
#include "kavro_driver.h"

namespace {

kavro_dev_t dev_with_product(const std::string &product) {
    kavro_dev_t dev{};
    memcpy(dev.product, product.data(), std::min(product.size(), sizeof dev.product));
    return dev;
}

struct FindCase {
    const char *product;
    int entry;  // index into g_kavro_drivers, -1 for none
};

class DriverFind : public ::testing::TestWithParam<FindCase> {};

TEST_P(DriverFind, PicksTheEntryForTheChipCode) {
    kavro_dev_t dev = dev_with_product(GetParam().product);
    kavro_drv_t *drv = kavro_drv_find(&dev);
    if (GetParam().entry < 0) {
        EXPECT_EQ(drv, nullptr);
    } else {
        // The entry itself is handed out, not a copy.
        EXPECT_EQ(drv, &g_kavro_drivers[GetParam().entry]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Products, DriverFind,
    ::testing::Values(FindCase{"A-T0-B", 0}, FindCase{"A-E1-B", 1}, FindCase{"A-E2-B", 2},
                      FindCase{"VX1-E3-0001", 3}, FindCase{"A-E2-B-C", 2},
                      FindCase{"A-E4-B", -1}, FindCase{"A-E2", -1}, FindCase{"E2", -1}, FindCase{"", -1},
                      FindCase{"A-e2-B", -1}, FindCase{"A-E2x-B", -1}, FindCase{"A--B", -1},
                      // A chip code of 17 characters: the field stops after 16 and
                      // the '-' that must follow is missing.
                      FindCase{"A-E2345678901234567-B", -1},
                      // A first field of exactly 16 characters still fits.
                      FindCase{"0123456789abcdef-E1-0123456789a", 1},
                      FindCase{"0123456789abcdefg-E1-B", -1}));

TEST(DriverFindTest, NullDeviceAndUnterminatedProduct) {
    EXPECT_EQ(kavro_drv_find(nullptr), nullptr);
    // All 32 product bytes used, no terminator: the lookup must stay inside
    // the field (the sanitizer run catches an overread).
    kavro_dev_t dev = dev_with_product("0123456789-E3-0123456789abcdefghijk");
    EXPECT_EQ(kavro_drv_find(&dev), &g_kavro_drivers[3]);
}

TEST(DriverTable, EntriesInSearchOrder) {
    const struct {
        const char *name;
        const char *id;
        const kavro_drv_op_t *op;
    } want[] = {{"TI OP8241 chip driver", "T0", &g_kavro_driver_op_ti},
                {"EPC chip driver", "E1", &g_kavro_driver_op_epc},
                {"EPC chip driver", "E2", &g_kavro_driver_op_epc},
                {"EPC chip driver", "E3", &g_kavro_driver_op_epc}};
    for (int i = 0; i < KAVRO_DRIVER_COUNT; ++i) {
        SCOPED_TRACE(i);
        EXPECT_STREQ(g_kavro_drivers[i].name, want[i].name);
        EXPECT_STREQ(g_kavro_drivers[i].id_str, want[i].id);
        EXPECT_EQ(g_kavro_drivers[i].op, want[i].op);
        EXPECT_EQ(g_kavro_drivers[i].dev, nullptr);
        EXPECT_EQ(g_kavro_drivers[i].priv_data, nullptr);
    }
}

// ---- TI stub --------------------------------------------------------------

class TiDriver : public ::testing::Test {
protected:
    void SetUp() override {
        drv_ = g_kavro_drivers[0];  // a private instance, as the camera layer binds it
        ops_ = drv_.op;
        ASSERT_TRUE(ops_->init(&drv_, &dev_));
        info_.width = 320;
        info_.height = 240;
    }
    void TearDown() override { ops_->uninit(&drv_); }

    // One source word per pixel with distance code d and gray code g.
    static uint32_t word(uint32_t d, uint32_t g, uint32_t noise = 0) { return (noise << 28) | (d << 16) | (noise << 12) | g; }

    kavro_dev_t dev_{};
    kavro_drv_t drv_{};
    const kavro_drv_op_t *ops_ = nullptr;
    kavro_frame_info_t info_{};
};

TEST_F(TiDriver, InitBindsTheDevice) { EXPECT_EQ(drv_.dev, &dev_); }

TEST_F(TiDriver, FrameInfoCopiesHeaderAndFixesGeometry) {
    vx_frinfo_t hdr{};
    hdr.frame_size = 307200;
    hdr.frame_idx = 4711;
    hdr.frame_format = 2;
    kavro_frame_info_t out{};
    out.temp0 = -12;
    out.temp1 = 34;
    out.reserved = 0xABCD;
    out.flags = 0x1234;
    out.priv_code = 99;
    ASSERT_TRUE(ops_->frame_get_info(&drv_, &out, &hdr));
    EXPECT_EQ(out.frame_size, 307200u);
    EXPECT_EQ(out.frame_idx, 4711);
    EXPECT_EQ(out.frame_format, 2);
    EXPECT_EQ(out.width, 320u);
    EXPECT_EQ(out.height, 240u);
    EXPECT_EQ(out.depth, 4);
    EXPECT_EQ(out.pixel_format, 0);
    EXPECT_EQ(out.priv_code, 0);
    // Fields the stub does not know are left alone.
    EXPECT_EQ(out.temp0, -12);
    EXPECT_EQ(out.temp1, 34);
    EXPECT_EQ(out.reserved, 0xABCDu);
    EXPECT_EQ(out.flags, 0x1234u);
}

TEST_F(TiDriver, DecodeDistanceAndGrayFromPackedWords) {
    const int n = 320 * 240;
    std::vector<uint32_t> src(n);
    for (int i = 0; i < n; ++i) src[i] = word((i * 7) & 0xFFF, (i * 13) & 0xFFF, i & 0xF);
    std::vector<float> dist(n), gray(n);
    EXPECT_EQ(ops_->frame_decode(&drv_, dist.data(), n * 4, VX_FRAME_FMT_DISTANCE, src.data(), n * 4, &info_), n);
    EXPECT_EQ(ops_->frame_decode(&drv_, gray.data(), n * 4, VX_FRAME_FMT_GRAY, src.data(), n * 4, &info_), n);
    for (int i : {0, 1, 585, 4095, n - 1}) {
        SCOPED_TRACE(i);
        EXPECT_FLOAT_EQ(dist[i], static_cast<float>((i * 7) & 0xFFF) / 4096.0f * 3.122838f);
        EXPECT_FLOAT_EQ(gray[i], static_cast<float>((i * 13) & 0xFFF) / 4096.0f);
    }
    // Full-scale code: just below the unambiguous range.
    uint32_t top = word(0xFFF, 0xFFF, 0xF);
    float d = 0, g = 0;
    ops_->frame_decode(&drv_, &d, 4, VX_FRAME_FMT_DISTANCE, &top, 4, &info_);
    ops_->frame_decode(&drv_, &g, 4, VX_FRAME_FMT_GRAY, &top, 4, &info_);
    EXPECT_FLOAT_EQ(d, 4095.0f / 4096.0f * 3.122838f);
    EXPECT_FLOAT_EQ(g, 4095.0f / 4096.0f);
}

TEST_F(TiDriver, DecodeStopsAtTheDestinationSize) {
    const int n = 320 * 240;
    std::vector<uint32_t> src(n, word(100, 200));
    const float sentinel = -1.0f;
    std::vector<float> dst(16, sentinel);
    // Room for 10 pixels (and 3 stray bytes that do not make an 11th).
    EXPECT_EQ(ops_->frame_decode(&drv_, dst.data(), 10 * 4 + 3, VX_FRAME_FMT_GRAY, src.data(), n * 4, &info_), n);
    for (int i = 0; i < 10; ++i) EXPECT_FLOAT_EQ(dst[i], 200.0f / 4096.0f) << i;
    for (int i = 10; i < 16; ++i) EXPECT_EQ(dst[i], sentinel) << i;
}

TEST_F(TiDriver, DecodeNeverReadsPastTheSource) {
    // A source shorter than the described frame: only its pixels are decoded
    // (the sanitizer run catches an overread).
    std::vector<uint32_t> src(8, word(1, 2));
    std::vector<float> dst(320 * 240, -1.0f);
    EXPECT_EQ(ops_->frame_decode(&drv_, dst.data(), static_cast<int>(dst.size() * 4), VX_FRAME_FMT_GRAY,
                                 src.data(), static_cast<int>(src.size() * 4), &info_),
              320 * 240);
    EXPECT_FLOAT_EQ(dst[7], 2.0f / 4096.0f);
    EXPECT_EQ(dst[8], -1.0f);
}

TEST_F(TiDriver, DecodeOtherFormatsWritesNothing) {
    uint32_t src[4] = {word(1, 1), word(2, 2), word(3, 3), word(4, 4)};
    for (kavro_frame_fmt_e fmt : {VX_FRAME_FMT_RAW, VX_FRAME_FMT_PCLOUD, VX_FRAME_FMT_RGB}) {
        float dst[4] = {-1, -1, -1, -1};
        EXPECT_EQ(ops_->frame_decode(&drv_, dst, sizeof dst, fmt, src, sizeof src, &info_), 320 * 240);
        for (float v : dst) EXPECT_EQ(v, -1.0f);
    }
}

TEST_F(TiDriver, CalibrationAndMissingSlots) {
    uint8_t buf[64] = {};
    EXPECT_EQ(ops_->use_case_get_count(&drv_), 0);
    EXPECT_EQ(ops_->calib_load(&drv_, buf, 64, 0), 64);
    EXPECT_EQ(ops_->calib_save(&drv_, nullptr, 0, 2), 0);
    EXPECT_TRUE(ops_->calib_apply(&drv_, buf, 64, &info_, 0));
    // The camera layer skips what the stub does not provide: parameter updates,
    // lens, filters and the raw-frame hooks.
    EXPECT_EQ(ops_->on_update_intg_time, nullptr);
    EXPECT_EQ(ops_->on_update_frame_format, nullptr);
    EXPECT_EQ(ops_->on_update_mod_freq, nullptr);
    EXPECT_EQ(ops_->lens_param_get, nullptr);
    EXPECT_EQ(ops_->filter_enable, nullptr);
    EXPECT_EQ(ops_->filter_disable, nullptr);
    EXPECT_EQ(ops_->frame_raw_get, nullptr);
    EXPECT_EQ(ops_->frame_raw_proc, nullptr);
}

}  // namespace
