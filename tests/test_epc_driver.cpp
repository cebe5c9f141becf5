// EPC driver pipeline: frame description with the temperature rules, the
// decode gates and the order of the pipeline steps (checked against an
// independent reference decoder and the kernels applied by hand), each
// feature's rule (range filter, minimum amplitude with hysteresis, HDR
// merge, automatic integration step, interference window), frequency
// change, lens parameters, the filter switch table, and the device writes
// of the driver on a scripted camera.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "captured_log.h"
#include "driver/epc/epc_calc.h"
#include "driver/epc/kavro_driver_epc.h"
#include "fake_transport.h"
#include "kavro.h"
#include "kavro_handler.h"
#include "sim_decode.h"
#include "vx_bilateralfilter.h"
#include "vx_medfilter.h"

namespace {

constexpr int W = 320, H = 240, N = W * H;
constexpr uint32_t kRange12 = 12491;

// A raw frame of four DCS images in sensor row order: pixel i at phase
// distance dist_mm(i) (mm, from the uncalibrated 2000 mm zero) with
// amplitude amp(i).
template <typename D, typename A>
std::vector<uint16_t> make_dcs4(int w, int h, D dist_mm, A amp) {
    const size_t n = static_cast<size_t>(w) * h;
    std::vector<uint16_t> raw(4 * n);
    for (size_t i = 0; i < n; ++i) {
        const double phi = 2 * M_PI * dist_mm(i) / kRange12;
        const double a = amp(i);
        for (int k = 0; k < 4; ++k)
            raw[k * n + i] = static_cast<uint16_t>(std::lround(2048 + a * std::cos(phi - k * M_PI / 2)));
    }
    return raw;
}

// A varied frame: smooth depth with steps and a spread of amplitudes, some
// saturated and empty pixels.
std::vector<uint16_t> varied_frame(int w = W, int h = H, uint32_t seed = 3) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0, 1);
    const size_t n = static_cast<size_t>(w) * h;
    std::vector<double> d(n), a(n);
    for (size_t i = 0; i < n; ++i) {
        const int x = static_cast<int>(i % w), y = static_cast<int>(i / w);
        d[i] = 2000 + 1500 + 10 * x + 3 * y + ((x / 40) % 2) * 700 + 30 * u(rng);
        a[i] = 15 + 900 * u(rng);
    }
    auto raw = make_dcs4(w, h, [&](size_t i) { return d[i]; }, [&](size_t i) { return a[i]; });
    for (size_t i = 0; i < n; i += 997) raw[i] = 4095;      // saturated
    for (size_t i = 500; i < n; i += 1231) raw[n + i] = 0;  // empty
    return raw;
}

kavro_frame_info_t finfo_of(uint32_t fmt, int w, int h, uint32_t size) {
    kavro_frame_info_t f{};
    f.frame_format = static_cast<uint16_t>(fmt);
    f.width = static_cast<uint32_t>(w);
    f.height = static_cast<uint32_t>(h);
    f.frame_size = size;
    return f;
}

// The reference distance and amplitude images of the plain path (image
// order), with the range filter applied to the distances.
void reference(const std::vector<uint16_t> &raw, int w, int h, int n_dcs, std::vector<uint16_t> *dist,
               std::vector<uint16_t> *gray) {
    sim_decode::params p;
    sim_decode::decode(raw, w, h, n_dcs, p, dist, gray);
    _dist_filter_bad_dist(dist->data(), static_cast<int>(dist->size()), kRange12);
}

// A driver bound to no device, at 12 MHz, with every optional stage off.
class EpcDriver : public ::testing::Test {
protected:
    void SetUp() override {
        _epc_len_param_reset();
        _epc_feature_times_reset();
        ASSERT_TRUE(epc_init(&drv_, nullptr));
        epc_event_freq_change(&drv_, 12000000, 0);
        e().f_en_temp_ctrl = false;
    }
    void TearDown() override { epc_uninit(&drv_); }
    epc_drv_t &e() { return *static_cast<epc_drv_t *>(drv_.priv_data); }
    void plain() {
        e().f_en_median = false;
        e().f_en_minamp = false;
    }
    int decode(std::vector<uint16_t> *out, const std::vector<uint16_t> &raw, kavro_frame_fmt_e fmt, int w = W,
               int h = H, uint32_t frfmt = 2) {
        const int bytes = static_cast<int>(raw.size() * 2);
        const kavro_frame_info_t fi = finfo_of(frfmt, w, h, static_cast<uint32_t>(bytes));
        return decode(out, raw, fmt, fi);
    }
    // Decodes with a frame description as the driver made it (temperatures
    // and flags included).
    int decode(std::vector<uint16_t> *out, const std::vector<uint16_t> &raw, kavro_frame_fmt_e fmt,
               const kavro_frame_info_t &fi) {
        out->assign(static_cast<size_t>(fi.width) * fi.height, 0xABCD);
        const int bytes = static_cast<int>(raw.size() * 2);
        return epc_frame_decode(&drv_, out->data(), static_cast<int>(out->size() * 2), fmt, raw.data(), bytes, &fi);
    }
    kavro_drv_t drv_{};
};

// ---- frame description -------------------------------------------------------

vx_frinfo_t hdr_of(uint32_t size, uint16_t fmt, uint16_t w, uint16_t h, int16_t cb, int16_t ib) {
    vx_frinfo_t f{};
    f.frame_size = size;
    f.frame_idx = 77;
    f.frame_format = fmt;
    epc_frame_prop_t p{};
    p.width = w;
    p.height = h;
    p.temp_cb = cb;
    p.temp_ib = ib;
    std::memcpy(f.frame_prop, &p, sizeof p);
    return f;
}

TEST_F(EpcDriver, FrameInfoSizesAndRefusals) {
    struct Case {
        uint32_t size;
        uint16_t fmt, w, h;
        bool ok;
        uint32_t want_w, want_h;
        uint8_t depth;
    };
    const Case cases[] = {
        {614400, 2, 0, 0, true, 320, 240, 8},    // 0 means 320 x 240
        {153600, 4, 0, 0, true, 320, 240, 2},
        {2457600, 2, 640, 480, true, 640, 480, 8},
        {614401, 2, 0, 0, false, 0, 0, 0},       // not a multiple of the pixel count
        {1234, 171, 0, 0, true, 320, 240, 0},    // calibration data: any size
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        kavro_frame_info_t fi;
        std::memset(&fi, 0x5A, sizeof fi);
        const vx_frinfo_t hdr = hdr_of(c.size, c.fmt, c.w, c.h, 400, 300);
        ASSERT_EQ(epc_frame_get_info(&drv_, &fi, &hdr), c.ok);
        if (!c.ok) {
            const kavro_frame_info_t zero{};
            EXPECT_EQ(std::memcmp(&fi, &zero, sizeof fi), 0);
            continue;
        }
        EXPECT_EQ(fi.width, c.want_w);
        EXPECT_EQ(fi.height, c.want_h);
        EXPECT_EQ(fi.depth, c.depth);
        EXPECT_EQ(fi.frame_idx, 77);
        EXPECT_EQ(fi.frame_format, c.fmt);
        EXPECT_EQ(fi.frame_size, c.size);
        EXPECT_EQ(fi.temp0, 400);
        EXPECT_EQ(fi.temp1, 300);
        EXPECT_EQ(fi.flags, KAVRO_FRAME_FLAG_TEMP_MEASURED | KAVRO_FRAME_CALIB_NONE);
        EXPECT_EQ(fi.reserved, 0u);
    }
}

TEST_F(EpcDriver, TemperaturePlausibilityRules) {
    struct Case {
        int16_t cb, ib, want_cb, want_ib;
        const char *warning;  // expected warning, or null
    };
    const Case cases[] = {
        {400, 950, 400, 300, "wrong IB temp 950 detected: corrected to temp_cb - 10 (reported only once)"},
        {400, -301, 400, 300, "wrong IB temp -301 detected"},
        {400, 1001, 400, 300, "wrong IB temp 1001"},
        {100, 701, 100, 0, "wrong IB temp 701"},          // differs by more than 600
        {1100, 900, 1100, 900, "wrong CB temp 1100 detected: distance value may be wrong "},
        {-41, -300, -41, -300, "wrong CB temp -41"},
        {400, 900, 400, 900, nullptr},
        {-40, 560, -40, 560, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.cb << "/" << c.ib);
        e().temp_cb = 0;
        e().temp_ib = 0;
        e().temp_ib_corrected = false;
        CapturedLog log;
        kavro_frame_info_t fi;
        const vx_frinfo_t hdr = hdr_of(614400, 2, 0, 0, c.cb, c.ib);
        ASSERT_TRUE(epc_frame_get_info(&drv_, &fi, &hdr));
        EXPECT_EQ(fi.temp0, c.want_cb);
        EXPECT_EQ(fi.temp1, c.want_ib);
        if (c.warning) {
            EXPECT_NE(log.text().find(c.warning), std::string::npos) << log.text();
        } else {
            EXPECT_EQ(log.text().find("wrong"), std::string::npos) << log.text();
        }
    }
    // An implausible IB value is reported once while the corrected values hold.
    CapturedLog log;
    kavro_frame_info_t fi;
    const vx_frinfo_t hdr = hdr_of(614400, 2, 0, 0, 400, 950);
    e().temp_cb = 0;
    e().temp_ib = 0;
    e().temp_ib_corrected = false;
    epc_frame_get_info(&drv_, &fi, &hdr);
    epc_frame_get_info(&drv_, &fi, &hdr);
    const std::string t = log.text();
    EXPECT_NE(t.find("wrong IB temp"), std::string::npos);
    EXPECT_EQ(t.find("wrong IB temp"), t.rfind("wrong IB temp"));
}

// A camera that reports no plausible temperature: the frame is decoded as at
// the calibration temperature (no shift), its description says no
// temperature was measured; a measured temperature is compensated as
// before. The calibration here was made at 40.0 / 35.0 degC.
TEST_F(EpcDriver, UnknownTemperatureIsNotCompensated) {
    plain();
    epc_calc_t &calc = *static_cast<epc_calc_t *>(e().priv_data);
    calc.config.calib_temp_cb = 400;
    calc.config.calib_temp_ib = 350;
    const auto raw = make_dcs4(W, H, [](size_t i) { return 3000.0 + (i % 320) * 5; }, [](size_t) { return 600.0; });
    // The reference: a frame at the calibration temperature (no shift).
    std::vector<uint16_t> at_calib;
    const vx_frinfo_t calib_hdr = hdr_of(614400, 2, 0, 0, 400, 350);
    kavro_frame_info_t fi;
    ASSERT_TRUE(epc_frame_get_info(&drv_, &fi, &calib_hdr));
    ASSERT_EQ(decode(&at_calib, raw, VX_FRAME_FMT_DISTANCE, fi), N * 2);

    struct Case {
        const char *what;
        int16_t cb, ib;
        bool measured;
        int shift_mm;  // expected distance change against the reference
    };
    const Case cases[] = {
        {"both 0: nothing reported", 0, 0, false, 0},
        {"sensor below -40 degC", -401, 300, false, 0},
        {"sensor above 125 degC", 1251, 1200, false, 0},
        {"garbage", -32768, -32768, false, 0},
        // Measured: (T - Tcal) * coefficient, rounded to mm, taken off.
        {"10 degC colder", 300, 250, true, 150},   // round(137.8 + 11.83)
        {"5 degC warmer", 450, 400, true, -75},   // round(-(68.9 + 5.915))
        {"0.0 degC sensor, IB measured", 0, 50, true, 587},  // round(551.2 + 35.49)
        {"lower edge of the range", -400, -300, true, 1179},  // round(1102.4 + 76.895)
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const vx_frinfo_t hdr = hdr_of(614400, 2, 0, 0, c.cb, c.ib);
        ASSERT_TRUE(epc_frame_get_info(&drv_, &fi, &hdr));
        EXPECT_EQ((fi.flags & KAVRO_FRAME_FLAG_TEMP_MEASURED) != 0, c.measured);
        EXPECT_EQ(fi.temp0, c.cb);  // the values as reported
        std::vector<uint16_t> got;
        ASSERT_EQ(decode(&got, raw, VX_FRAME_FMT_DISTANCE, fi), N * 2);
        int checked = 0;
        for (int i = 0; i < N; ++i) {
            if (at_calib[i] >= 60000) continue;
            ASSERT_EQ(static_cast<int>(got[i]), at_calib[i] + c.shift_mm) << i;
            ++checked;
        }
        EXPECT_GT(checked, N / 2);
    }
}

// A frame is compensated with its own temperatures: while the application
// decodes one frame, the capture may already have described later ones (at
// other temperatures, or with none measured), and those must not leak into
// the decode of the earlier frame.
TEST_F(EpcDriver, FrameIsCompensatedWithItsOwnTemperatures) {
    plain();
    epc_calc_t &calc = *static_cast<epc_calc_t *>(e().priv_data);
    calc.config.calib_temp_cb = 400;
    calc.config.calib_temp_ib = 350;
    const auto raw = make_dcs4(W, H, [](size_t i) { return 3000.0 + (i % 320) * 5; }, [](size_t) { return 600.0; });
    const vx_frinfo_t cold = hdr_of(614400, 2, 0, 0, 300, 250);
    kavro_frame_info_t cold_fi, later_fi;
    ASSERT_TRUE(epc_frame_get_info(&drv_, &cold_fi, &cold));
    std::vector<uint16_t> alone;
    ASSERT_EQ(decode(&alone, raw, VX_FRAME_FMT_DISTANCE, cold_fi), N * 2);
    for (const vx_frinfo_t &later : {hdr_of(614400, 2, 0, 0, 450, 400), hdr_of(614400, 2, 0, 0, 0, 0)}) {
        ASSERT_TRUE(epc_frame_get_info(&drv_, &later_fi, &later));
        std::vector<uint16_t> got;
        ASSERT_EQ(decode(&got, raw, VX_FRAME_FMT_DISTANCE, cold_fi), N * 2);
        EXPECT_EQ(got, alone) << "later frame at cb=" << later_fi.temp0;
    }
}

// The warning about a missing temperature comes once per capture, not per
// frame: the capture starts of the device are counted by its handler.
TEST_F(EpcDriver, UnknownTemperatureWarnsOncePerCapture) {
    _kavro_handler_t *h = _kavro_handler_alloc();
    ASSERT_NE(h, nullptr);
    kavro_dev_t dev{};
    dev.handler = h;
    drv_.dev = &dev;
    CapturedLog log;
    const std::string warning = "no plausible temperature reported (cb=0, ib=0)";
    auto count = [&]() {
        const std::string t = log.text();
        int n = 0;
        for (size_t p = t.find(warning); p != std::string::npos; p = t.find(warning, p + 1)) ++n;
        return n;
    };
    kavro_frame_info_t fi;
    const vx_frinfo_t unknown = hdr_of(614400, 2, 0, 0, 0, 0);
    const vx_frinfo_t measured = hdr_of(614400, 2, 0, 0, 400, 350);
    for (int capture = 1; capture <= 3; ++capture) {
        h->cap_generation.fetch_add(1);
        for (int f = 0; f < 5; ++f) {
            // A measured frame in between does not re-arm the warning.
            ASSERT_TRUE(epc_frame_get_info(&drv_, &fi, f == 2 ? &measured : &unknown));
        }
        EXPECT_EQ(count(), capture);
    }
    drv_.dev = nullptr;
    _kavro_handler_free(h);
}

// A hand-made calibration block of the driver's current frequency: two
// flat reference images 100 mm apart, the first at the default wall, the
// simple path's offset and temperatures as a mount would leave them.
void mount_flat_block(epc_drv_t &e) {
    epc_calc_t &c = *static_cast<epc_calc_t *>(e.priv_data);
    auto *p = static_cast<epc_drv_param_drnu_payload_t *>(std::calloc(2, sizeof(epc_drv_param_drnu_payload_t)));
    ASSERT_NE(p, nullptr);
    for (int k = 0; k < 2; ++k) {
        p[k].ref_dist_um = k * 100000;
        for (int i = 0; i < N; ++i) p[k].data[i] = static_cast<uint16_t>(17000 + 4000 * k);
    }
    c.drnu.payload.reset(p);
    c.drnu.hdr = {};
    c.drnu.hdr.mod_freq = e.mod_freq;
    c.drnu.hdr.num_dist = 2;
    c.config.num_calib_dist = 2;
    c.config.calib_cdll_step_um = 100000;
    c.config.calib_phase_min = 17000;
    c.config.calib_phase_max = 21000;
    c.config.calib_simple_offset_mm = -1900;
}

// The frame description says which calibration decodes: per-pixel with the
// switch on and a block of the current frequency, simple with a block
// mounted but per-pixel off or not usable, none without a block.
TEST_F(EpcDriver, FrameInfoNamesTheCalibration) {
    kavro_frame_info_t fi;
    const vx_frinfo_t hdr = hdr_of(614400, 2, 0, 0, 400, 350);
    auto kind = [&]() {
        EXPECT_TRUE(epc_frame_get_info(&drv_, &fi, &hdr));
        return fi.flags & KAVRO_FRAME_CALIB_MASK;
    };
    EXPECT_EQ(kind(), KAVRO_FRAME_CALIB_NONE);
    e().f_en_pix_calib = true;
    EXPECT_EQ(kind(), KAVRO_FRAME_CALIB_NONE) << "switch on, nothing mounted";
    mount_flat_block(e());
    EXPECT_EQ(kind(), KAVRO_FRAME_CALIB_PIXEL);
    e().f_en_pix_calib = false;
    EXPECT_EQ(kind(), KAVRO_FRAME_CALIB_SIMPLE);
    e().f_en_pix_calib = true;
    e().mod_freq = 15000000;  // the block is of another frequency
    EXPECT_EQ(kind(), KAVRO_FRAME_CALIB_SIMPLE);
    EXPECT_NE(fi.flags & KAVRO_FRAME_FLAG_TEMP_MEASURED, 0u);
}

// The modulation frequency changes after the decode looked at the
// calibration and before the calculation ran (the hook sits between the
// decode's checks and the calculation): the frame is decoded on the simple
// path of the new frequency, not failed.
TEST_F(EpcDriver, FrequencyChangeMidDecodeDecodesUncalibrated) {
    plain();
    mount_flat_block(e());
    e().f_en_pix_calib = true;
    const auto raw = make_dcs4(W, H, [](size_t i) { return 3000.0 + (i % 320) * 5; }, [](size_t) { return 600.0; });
    std::vector<uint16_t> pixel, changed, want;
    ASSERT_EQ(decode(&pixel, raw, VX_FRAME_FMT_DISTANCE), N * 2);

    struct HookGuard {
        ~HookGuard() { _epc_decode_before_calc = nullptr; }
    } guard;
    _epc_decode_before_calc = [](kavro_drv_t *d) { epc_event_freq_change(d, 15000000, 0); };
    ASSERT_EQ(decode(&changed, raw, VX_FRAME_FMT_DISTANCE), N * 2);
    _epc_decode_before_calc = nullptr;
    EXPECT_EQ(e().mod_freq, 15000000u);
    EXPECT_NE(changed, pixel);

    // What the simple path gives at 15 MHz with the block gone.
    e().f_en_pix_calib = false;
    ASSERT_EQ(decode(&want, raw, VX_FRAME_FMT_DISTANCE), N * 2);
    EXPECT_EQ(changed, want);
}

// ---- decode gates ------------------------------------------------------------

TEST_F(EpcDriver, DecodeRefusesWhatItCannotDecode) {
    struct Case {
        const char *what;
        uint32_t frfmt;
        int w, h;
        int src_len, dst_len;
        int sport;  // -1 off, else mode
        int want;
        const char *msg;
    };
    const Case cases[] = {
        {"four images", 2, W, H, 614400, 153600, -1, 153600, nullptr},
        {"one byte short", 2, W, H, 614399, 153600, -1, -1, "wrong data len: src=614399, dst=153600"},
        {"dst short", 2, W, H, 614400, 153599, -1, -1, "wrong data len: src=614400, dst=153599"},
        {"sport 1 needs one image", 4, W, H, 153600, 153600, 1, 153600, nullptr},
        {"sport 1 on format 2 reads one image", 2, W, H, 614400, 153600, 1, 153600, nullptr},
        {"one image short", 4, W, H, 153599, 153600, 1, -1, "wrong data len"},
        {"sport 0 on one image", 4, W, H, 153600, 153600, 0, -1, "wrong data len"},
        {"640x480 header on a small frame", 2, 640, 480, 614400, 614400, -1, -1, "wrong data len"},
        {"huge header", 2, 65535, 65535, 614400, 614400, -1, -1, "wrong data len"},
        {"odd height", 2, 320, 3, 7680, 1920, -1, -1, "wrong data len"},
        {"format 3", 3, W, H, 614400, 153600, -1, -1, nullptr},
        {"calibration frame", 171, W, H, 614400, 153600, -1, -1, "Calibration data frame,size:614400"},
    };
    std::vector<uint16_t> src(4 * 640 * 480, 2048), dst(640 * 480);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        e().f_en_sport_mode = c.sport >= 0;
        e().f_param_sport_mode = static_cast<uint8_t>(c.sport < 0 ? 0 : c.sport);
        const kavro_frame_info_t fi = finfo_of(c.frfmt, c.w, c.h, static_cast<uint32_t>(c.src_len));
        CapturedLog log;
        EXPECT_EQ(epc_frame_decode(&drv_, dst.data(), c.dst_len, VX_FRAME_FMT_DISTANCE, src.data(), c.src_len, &fi),
                  c.want);
        if (c.msg) {
            EXPECT_NE(log.text().find(c.msg), std::string::npos) << log.text();
        }
    }
    e().f_en_sport_mode = false;
    const kavro_frame_info_t fi = finfo_of(2, W, H, 614400);
    EXPECT_EQ(epc_frame_decode(&drv_, dst.data(), 153600, VX_FRAME_FMT_PCLOUD, src.data(), 614400, &fi), -1);
    // src_len beyond the frame size counts as the frame size.
    const kavro_frame_info_t small = finfo_of(2, W, H, 614399);
    EXPECT_EQ(epc_frame_decode(&drv_, dst.data(), 153600, VX_FRAME_FMT_GRAY, src.data(), 614400, &small), -1);
}

// ---- pipeline order ----------------------------------------------------------

// With the optional stages off the distance and gray images are the
// reference decoder's, reordered into image order and range-filtered.
TEST_F(EpcDriver, PlainPathMatchesTheReferenceDecoder) {
    plain();
    const auto raw = varied_frame();
    std::vector<uint16_t> want_d, want_g, got;
    reference(raw, W, H, 4, &want_d, &want_g);
    ASSERT_EQ(decode(&got, raw, VX_FRAME_FMT_DISTANCE), N * 2);
    EXPECT_EQ(got, want_d);
    ASSERT_EQ(decode(&got, raw, VX_FRAME_FMT_GRAY), N * 2);
    EXPECT_EQ(got, want_g);

    // One-image row-pair frames (sport mode 1).
    std::vector<uint16_t> one(raw.begin(), raw.begin() + N);
    e().f_en_sport_mode = true;
    e().f_param_sport_mode = 1;
    reference(one, W, H, 1, &want_d, &want_g);
    ASSERT_EQ(decode(&got, one, VX_FRAME_FMT_DISTANCE, W, H, 4), N * 2);
    EXPECT_EQ(got, want_d);
}

// The user offset moves every valid distance.
TEST_F(EpcDriver, OffsetSwitchShiftsDistances) {
    plain();
    const auto raw = make_dcs4(W, H, [](size_t) { return 3000.0; }, [](size_t) { return 500.0; });
    std::vector<uint16_t> base, shifted;
    decode(&base, raw, VX_FRAME_FMT_DISTANCE);
    kavro_filter_args_u a{};
    a.offset_mm = 120;
    ASSERT_TRUE(epc_filter_enable(&drv_, KAVRO_FILTER_ID_OFFSET, &a));
    decode(&shifted, raw, VX_FRAME_FMT_DISTANCE);
    for (int i = 0; i < N; i += 101) EXPECT_EQ(shifted[i], base[i] + 120) << i;
    ASSERT_TRUE(epc_filter_disable(&drv_, KAVRO_FILTER_ID_OFFSET));
    decode(&shifted, raw, VX_FRAME_FMT_DISTANCE);
    EXPECT_EQ(shifted, base);
}

// The clean-up chain is median 3x3, recursive bilateral, flying pixel, hole
// filling, in that order, between the amplitude filter and the range
// filter; sport mode runs median and hole filling only. A kernel size of 1
// (or the switch off) skips the whole chain.
TEST_F(EpcDriver, CleanUpChainOrder) {
    const auto raw = varied_frame();
    std::vector<uint16_t> ref_d, ref_g;
    sim_decode::decode(raw, W, H, 4, sim_decode::params{}, &ref_d, &ref_g);
    _feature_minamp_filter(&e(), ref_d.data(), ref_g.data(), N);  // first frame: fresh hysteresis map
    std::free(e().hysteresis_map);
    e().hysteresis_map = nullptr;
    e().hysteresis_map_len = 0;

    vx_bpf2d_iir_t bpf{};
    ASSERT_TRUE(vx_bpf2d_iir_init(&bpf, W, H, EPC_BPF_SIGMA_SPATIAL, EPC_BPF_SIGMA_RANGE, 0, 4096));
    std::vector<uint16_t> s1(N), s2(N), s3(N), want(N);
    vx_median2d_u16(s1.data(), ref_d.data(), W, H, 3);
    vx_bpf2d_iir(&bpf, s2.data(), s1.data(), W, H);
    for (int i = 0; i < N; ++i)
        if (s1[i] > 60000) s2[i] = s1[i];  // codes are not smoothed
    vx_flypix_u16_k3(s3.data(), s2.data(), W, H, 90000);
    vx_fhole_u16_k3(want.data(), s3.data(), W, H, 0);
    _dist_filter_bad_dist(want.data(), N, kRange12);
    vx_bpf2d_iir_uninit(&bpf);

    std::vector<uint16_t> got;
    ASSERT_EQ(decode(&got, raw, VX_FRAME_FMT_DISTANCE), N * 2);
    EXPECT_EQ(got, want);

    // Without the flying-pixel stage.
    std::free(e().hysteresis_map);
    e().hysteresis_map = nullptr;
    e().f_en_flyfilter = false;
    vx_fhole_u16_k3(want.data(), s2.data(), W, H, 0);
    _dist_filter_bad_dist(want.data(), N, kRange12);
    decode(&got, raw, VX_FRAME_FMT_DISTANCE);
    EXPECT_EQ(got, want);

    // Sport mode 0 (two images): median then hole filling.
    std::free(e().hysteresis_map);
    e().hysteresis_map = nullptr;
    e().f_en_sport_mode = true;
    e().f_param_sport_mode = 0;
    sim_decode::decode(raw, W, H, 2, sim_decode::params{}, &ref_d, &ref_g);
    _feature_minamp_filter(&e(), ref_d.data(), ref_g.data(), N);
    std::free(e().hysteresis_map);
    e().hysteresis_map = nullptr;
    vx_median2d_u16(s1.data(), ref_d.data(), W, H, 3);
    vx_fhole_u16_k3(want.data(), s1.data(), W, H, 0);
    _dist_filter_bad_dist(want.data(), N, kRange12);
    decode(&got, raw, VX_FRAME_FMT_DISTANCE);
    EXPECT_EQ(got, want);

    // Kernel size 1 skips the chain: only the amplitude and range filters.
    e().f_en_sport_mode = false;
    e().f_param_median_ksize = 1;
    e().f_en_minamp = false;
    reference(raw, W, H, 4, &want, &ref_g);
    decode(&got, raw, VX_FRAME_FMT_DISTANCE);
    EXPECT_EQ(got, want);
}

// The bilateral filter is set up for 320 x 240; for a 640 x 480 frame its
// stage is skipped (instead of handing on a buffer it never wrote), and the
// frame is never undistorted.
TEST_F(EpcDriver, LargeFrameSkipsBilateralAndUndistortion) {
    const int w = 640, h = 480, n = w * h;
    const auto raw = varied_frame(w, h, 9);
    e().f_en_minamp = false;
    e().f_en_lens_calib = true;
    std::vector<uint16_t> ref_d, ref_g, s1(n), s2(n), want(n), got;
    sim_decode::decode(raw, w, h, 4, sim_decode::params{}, &ref_d, &ref_g);
    vx_median2d_u16(s1.data(), ref_d.data(), w, h, 3);
    vx_flypix_u16_k3(s2.data(), s1.data(), w, h, 90000);
    vx_fhole_u16_k3(want.data(), s2.data(), w, h, 0);
    _dist_filter_bad_dist(want.data(), n, kRange12);
    ASSERT_EQ(decode(&got, raw, VX_FRAME_FMT_DISTANCE, w, h), n * 2);
    EXPECT_EQ(got, want);
}

// Undistortion runs last, on 320 x 240 distance and gray images, when the
// lens switch is on.
TEST_F(EpcDriver, LensSwitchUndistortsLast) {
    plain();
    const auto raw = varied_frame();
    std::vector<uint16_t> ref_d, ref_g, want(N), got;
    reference(raw, W, H, 4, &ref_d, &ref_g);
    ASSERT_TRUE(epc_filter_enable(&drv_, KAVRO_FILTER_ID_LEN_CALIB, nullptr));
    // Pixels without a source are rejected.
    ASSERT_TRUE(vx_calib_len_undistort_u16(&e().h_calib_len, want.data(), N, ref_d.data(), W, H, 65300));
    decode(&got, raw, VX_FRAME_FMT_DISTANCE);
    EXPECT_EQ(got, want);
    ASSERT_TRUE(vx_calib_len_undistort_u16(&e().h_calib_len, want.data(), N, ref_g.data(), W, H, 0));
    decode(&got, raw, VX_FRAME_FMT_GRAY);
    EXPECT_EQ(got, want);
    EXPECT_NE(got, ref_g);
}

// With the lens switch on, the lens values the driver gives for its 320 x 240
// images are those of the undistorted image: a pixel (u, v) of it, seen
// through them and bent by the lens, lands on the raw pixel the map shows
// there. Other sizes are not undistorted and keep the scaled lens record.
TEST_F(EpcDriver, LensValuesFollowUndistortion) {
    const vx_len_param_t &lens = g_epc_len_param;
    vx_len_param_t p{};
    ASSERT_TRUE(epc_lens_param_get(&drv_, &p, W, H));
    EXPECT_DOUBLE_EQ(p.cx, lens.cx);
    EXPECT_DOUBLE_EQ(p.fx, lens.fx);

    ASSERT_TRUE(epc_filter_enable(&drv_, KAVRO_FILTER_ID_LEN_CALIB, nullptr));
    ASSERT_TRUE(epc_lens_param_get(&drv_, &p, W, H));
    EXPECT_EQ(p.img_w, W);
    EXPECT_EQ(p.img_h, H);
    for (double c : p.dcoeff) EXPECT_EQ(c, 0.0);
    // The widened view has a shorter focal length than the lens.
    EXPECT_LT(p.fx, lens.fx);
    EXPECT_LT(p.fy, lens.fy);

    const double k1 = lens.dcoeff[0], k2 = lens.dcoeff[1], p1 = lens.dcoeff[2], p2 = lens.dcoeff[3],
                 k3 = lens.dcoeff[4];
    int checked = 0;
    for (int v = 0; v < H; v += 7) {
        for (int u = 0; u < W; u += 5) {
            const uint32_t src = e().h_calib_len.mapi[v * W + u];
            if (src == 0xFFFFFFFFu) continue;
            const double x = (u - p.cx) / p.fx, y = (v - p.cy) / p.fy, r2 = x * x + y * y;
            const double radial = ((k3 * r2 + k2) * r2 + k1) * r2 + 1;
            const double xd = x * radial + 2 * p1 * x * y + p2 * (r2 + 2 * x * x);
            const double yd = y * radial + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y;
            // The map takes the pixel at trunc(m + 0.5): on column or row 0
            // from -1.5 on.
            auto lands_on = [](double m, uint32_t px) {
                return px == 0 ? m > -1.51 && m < 0.51 : std::fabs(m - px) < 0.51;
            };
            ASSERT_TRUE(lands_on(lens.fx * xd + lens.cx, src % W)) << u << "," << v << ": " << lens.fx * xd + lens.cx;
            ASSERT_TRUE(lands_on(lens.fy * yd + lens.cy, src / W)) << u << "," << v << ": " << lens.fy * yd + lens.cy;
            ++checked;
        }
    }
    EXPECT_GT(checked, 1500);

    ASSERT_TRUE(epc_lens_param_get(&drv_, &p, W / 2, H / 2));
    EXPECT_DOUBLE_EQ(p.cx, lens.cx / 2);
    EXPECT_DOUBLE_EQ(p.dcoeff[0], lens.dcoeff[0]);
    ASSERT_TRUE(epc_filter_disable(&drv_, KAVRO_FILTER_ID_LEN_CALIB));
    ASSERT_TRUE(epc_lens_param_get(&drv_, &p, W, H));
    EXPECT_DOUBLE_EQ(p.fy, lens.fy);
}

// ---- single steps ------------------------------------------------------------

TEST(EpcRangeFilter, CodesStayShortAndFarGo) {
    struct Case {
        uint16_t in, out;
    };
    const Case cases[] = {{0, 65300},     {80, 65300},    {100, 65300},   {101, 101},
                          {12391, 12391}, {12392, 65300}, {60000, 65300}, {60001, 60001},
                          {65500, 65500}, {65300, 65300}};
    // Each case at every position of a 37-pixel row, so it passes through
    // every lane of the vector loop and through the tail.
    const int n = 37;
    for (int shift = 0; shift < n; ++shift) {
        std::vector<uint16_t> img(n), want(n);
        for (int i = 0; i < n; ++i) {
            const Case &c = cases[static_cast<size_t>(i + shift) % std::size(cases)];
            img[i] = c.in;
            want[i] = c.out;
        }
        _dist_filter_bad_dist(img.data(), n, kRange12);
        ASSERT_EQ(img, want) << shift;
    }
    // Ranges at the ends: none (everything up to 60000 goes), at most 100,
    // and far beyond the codes (only 0 ... 100 go).
    struct RangeCase {
        uint32_t range;
        uint16_t in, out;
    };
    const RangeCase ranges[] = {{0, 5000, 65300},      {0, 60001, 60001},   {150, 50, 65300},
                                {150, 51, 65300},      {201, 101, 101},     {201, 102, 65300},
                                {70000, 60000, 60000}, {70000, 100, 65300}, {60101, 60000, 60000}};
    for (const RangeCase &c : ranges) {
        std::vector<uint16_t> img(11, c.in);
        _dist_filter_bad_dist(img.data(), 11, c.range);
        EXPECT_EQ(img, std::vector<uint16_t>(11, c.out)) << c.range << " " << c.in;
    }
}

TEST_F(EpcDriver, MinimumAmplitudeWithHysteresis) {
    e().f_param_min_amp = 30;
    e().f_param_hysteresis = 10;
    // Each pixel sees amplitude `first` and then `second`; upper = 2018.
    struct Case {
        uint16_t first, second;
        bool kept_first, kept_second;
    };
    const Case cases[] = {
        {30, 25, true, true},       // 25 keeps the flag set by 30
        {30, 19, true, false},      // 19 clears it
        {25, 30, false, true},      // starts cleared, 30 sets
        {25, 25, false, false},     // stays cleared
        {2018, 2025, true, true},   // 2025 keeps
        {2018, 2029, true, false},  // 2029 clears
        {2028, 2018, false, true},
        {1000, 1000, true, true},
    };
    // Pixel i holds case (i * 3) % 8: 29 pixels, so every case lands in
    // several lanes of the vector loop and in the tail.
    const int n = 29;
    auto case_of = [&](int i) -> const Case & { return cases[static_cast<size_t>(i * 3) % std::size(cases)]; };
    std::vector<uint16_t> amp(n), dist(n, 500);
    for (int i = 0; i < n; ++i) amp[i] = case_of(i).first;
    _feature_minamp_filter(&e(), dist.data(), amp.data(), n);
    for (int i = 0; i < n; ++i) EXPECT_EQ(dist[i], case_of(i).kept_first ? 500 : 65300) << i;
    std::fill(dist.begin(), dist.end(), 500);
    for (int i = 0; i < n; ++i) amp[i] = case_of(i).second;
    _feature_minamp_filter(&e(), dist.data(), amp.data(), n);
    for (int i = 0; i < n; ++i) EXPECT_EQ(dist[i], case_of(i).kept_second ? 500 : 65300) << i;

    // Without hysteresis: a plain window min ... 2048 - min.
    e().f_en_hysteresis = false;
    const uint16_t a2[] = {29, 30, 2018, 2019, 0, 65535, 1000, 29, 2019, 30, 31};
    std::vector<uint16_t> d2(11, 500);
    _feature_minamp_filter(&e(), d2.data(), a2, 11);
    EXPECT_EQ(d2, (std::vector<uint16_t>{65300, 500, 500, 65300, 65300, 65300, 500, 65300, 65300, 500, 500}));

    // Switched off: nothing changes; disabling frees the map.
    e().f_en_hysteresis = true;
    ASSERT_TRUE(epc_filter_disable(&drv_, KAVRO_FILTER_ID_AMP));
    EXPECT_EQ(e().hysteresis_map, nullptr);
    _feature_minamp_filter(&e(), d2.data(), a2, 11);
    EXPECT_EQ(d2, (std::vector<uint16_t>{65300, 500, 500, 65300, 65300, 65300, 500, 65300, 65300, 500, 500}));
    EXPECT_NE(e().hysteresis_map, nullptr);  // kept ready even while the filter is off
}

TEST(EpcHdr, BrighterOfTheRowPairWins) {
    // Two columns, four rows: column 0 pairs rows 0/2, column 1 rows 1/3 use
    // the second column of each row.
    struct Case {
        uint16_t a0, a1;
        bool first_wins;
    };
    const Case cases[] = {{1500, 2100, true}, {0, 2100, false},   {1200, 800, true},
                          {800, 1200, false}, {700, 700, false},  {0x8000, 5, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.a0 << " vs " << c.a1);
        // w = 1, h = 4: row 0 pairs with row 2, row 1 with row 3.
        uint16_t amp[4] = {c.a0, 50, c.a1, 60};
        uint16_t dist[4] = {1000, 2000, 3000, 4000};
        _feature_hdr_update(amp, dist, 1, 4);
        const uint16_t wa = c.first_wins ? c.a0 : c.a1, wd = c.first_wins ? 1000 : 3000;
        EXPECT_EQ(amp[0], wa);
        EXPECT_EQ(amp[2], wa);
        EXPECT_EQ(dist[0], wd);
        EXPECT_EQ(dist[2], wd);
        EXPECT_EQ(amp[1], 60);  // 50 vs 60: the second
        EXPECT_EQ(dist[1], 4000);
        EXPECT_EQ(dist[3], 4000);
    }
}

// Samples with bad_cnt, cnt_high and cnt_low values among n samples.
std::vector<uint16_t> intg_samples(int n, int bad, int high, int low) {
    std::vector<uint16_t> s(n, 2000);
    int i = 0;
    for (int k = 0; k < bad; ++k) s[i++] = (k % 3 == 0) ? 0 : (k % 3 == 1 ? 1 : 4095);
    for (int k = 0; k < high; ++k) s[i++] = (k % 2) ? 3585 : 4094;
    for (int k = 0; k < low; ++k) s[i++] = (k % 2) ? 2 : 511;
    return s;
}

TEST(EpcAutoIntg, StepRule) {
    struct Case {
        int n, bad, high, low;
        uint16_t ratio;
        int step;
    };
    const Case cases[] = {
        {10000, 50, 600, 0, 5, -10},   // bad_pct 5 >= R 5, cnt_high > 512
        {10000, 50, 600, 0, 10, 0},    // bad_pct 5 < R 10, cnt_high > 10
        {10000, 250, 0, 0, 25, -20},   // bad_pct 25
        {10000, 250, 0, 0, 3, -20},
        {10000, 0, 0, 100, 5, 50},     // nothing bad, little light
        {10000, 0, 11, 0, 5, 0},       // some near saturation
        {10000, 0, 0, 513, 5, 0},
        {10000, 50, 100, 0, 5, 0},     // bad_pct 5 >= R, cnt_high 100: not enough to step down
        {10000, 0, 0, 0, 0, 50},       // bad_pct 0 >= R 0, not > 9, 0 not > 0
        {0, 0, 0, 0, 5, 50},           // no samples
    };
    for (const Case &c : cases) {
        const auto s = intg_samples(c.n, c.bad, c.high, c.low);
        EXPECT_EQ(_feature_auto_intg_calc_step(s.data(), c.n, c.ratio), c.step)
            << c.bad << " bad, " << c.high << " high, " << c.low << " low, R " << c.ratio;
    }
}

TEST_F(EpcDriver, InterferenceWindowAndFrameBounds) {
    // All pixels normal except that DCS0 + DCS2 of every pixel is `sum`.
    struct Case {
        int sum;
        bool normal;
    };
    for (Case c : {Case{4017, true}, Case{4175, true}, Case{4016, false}, Case{4176, false}, Case{4096, true}}) {
        _epc_feature_times_reset();
        std::vector<uint16_t> raw(4 * N, 2048);
        for (int i = 0; i < N; ++i) {
            raw[i] = static_cast<uint16_t>(c.sum - 2048);
            raw[2 * N + i] = 2048;
        }
        EXPECT_EQ(_epc_interference_check(&drv_, raw.data(), 8 * N, W, H), !c.normal) << c.sum;
    }
    // A one-image frame holds no four images: not checked, nothing read past it.
    std::vector<uint16_t> one(N, 0);
    _epc_feature_times_reset();
    EXPECT_FALSE(_epc_interference_check(&drv_, one.data(), 2 * N, W, H));
}

TEST_F(EpcDriver, FrequencyChangeSetsRangeAndNeverDividesByZero) {
    EXPECT_EQ(e().dist_max_mm, kRange12);
    EXPECT_EQ(e().calib_wall_len_phase, static_cast<int32_t>(295u * 32768u / kRange12));
    EXPECT_FLOAT_EQ(e().tcoef_cb_phase, 13.78f * 32768 / kRange12);
    epc_on_update_mod_freq(&drv_, 24000000, 0);
    EXPECT_EQ(e().mod_freq, 24000000u);
    EXPECT_EQ(e().dist_max_mm, static_cast<uint32_t>(149896216576.0f / 24000000.0f));
    epc_on_update_mod_freq(&drv_, 0, 0);
    EXPECT_EQ(e().mod_freq, 0u);
    EXPECT_EQ(e().dist_max_mm, static_cast<uint32_t>(149896216576.0f / 24000000.0f));
}

// The calibration routine cannot build the calibration file's name (here:
// no device to read the sensor id and serial from). Like a name that is too
// long, that runs the camera uncalibrated at 12 MHz: the range is set and
// valid pixels decode to distances within it, not to 65536 - 2000 mm.
TEST(EpcCalibRoutine, NoParameterNameRunsUncalibratedAt12MHz) {
    _epc_len_param_reset();
    kavro_drv_t drv{};
    ASSERT_TRUE(epc_init(&drv, nullptr));
    epc_drv_t &e = *static_cast<epc_drv_t *>(drv.priv_data);
    e.f_en_temp_ctrl = false;
    e.f_en_median = false;
    ASSERT_EQ(e.mod_freq, 0u);
    {
        CapturedLog log;
        EXPECT_EQ(epc_calib_save(&drv, nullptr, 0, 0), -1);
        EXPECT_TRUE(log.has("[epc_calib_save] cannot get param name!")) << log.text();
    }
    EXPECT_EQ(e.mod_freq, 12000000u);
    EXPECT_EQ(e.dist_max_mm, kRange12);
    EXPECT_FALSE(e.param_valid);
    EXPECT_FALSE(e.f_en_pix_calib);

    const auto raw = make_dcs4(W, H, [](size_t) { return 2000.0 + 3000.0; }, [](size_t) { return 500.0; });
    std::vector<uint16_t> out(N);
    const kavro_frame_info_t fi = finfo_of(2, W, H, static_cast<uint32_t>(raw.size() * 2));
    ASSERT_EQ(epc_frame_decode(&drv, out.data(), N * 2, VX_FRAME_FMT_DISTANCE, raw.data(),
                               static_cast<int>(raw.size() * 2), &fi),
              N * 2);
    for (int i = 0; i < N; i += 997) EXPECT_NEAR(out[i], 3000, 2) << i;
    epc_uninit(&drv);
}

// ---- update calls and switches -----------------------------------------------

TEST_F(EpcDriver, UpdateCallsFollowTheDevice) {
    struct Case {
        uint32_t fmt;
        bool sport;
        uint8_t mode;
    };
    for (Case c : {Case{4, true, 1}, Case{1, true, 0}, Case{2, false, 0}, Case{7, false, 0}}) {
        epc_on_update_frame_format(&drv_, c.fmt);
        EXPECT_EQ(e().f_en_sport_mode, c.sport) << c.fmt;
        EXPECT_EQ(e().f_param_sport_mode, c.mode) << c.fmt;
    }
    epc_on_update_intg_time(&drv_, 300, true);
    EXPECT_TRUE(e().f_en_hdr);
    epc_on_update_intg_time(&drv_, 500, false);
    EXPECT_TRUE(e().f_en_hdr);
    epc_on_update_intg_time(&drv_, 0, true);
    EXPECT_FALSE(e().f_en_hdr);
}

TEST_F(EpcDriver, InitDefaults) {
    const epc_drv_t &d = e();
    EXPECT_FALSE(d.f_en_lens_calib);
    EXPECT_FALSE(d.f_en_pix_calib);
    EXPECT_TRUE(d.f_en_minamp);
    EXPECT_TRUE(d.f_en_median);
    EXPECT_TRUE(d.f_en_hysteresis);
    EXPECT_TRUE(d.f_en_flyfilter);
    EXPECT_TRUE(d.f_en_offset);
    EXPECT_FALSE(d.f_en_hdr);
    EXPECT_FALSE(d.f_en_auto_intg);
    EXPECT_EQ(d.f_param_flyfilter_th, 90000u);
    EXPECT_EQ(d.f_param_min_amp, 30);
    EXPECT_EQ(d.f_param_hysteresis, 10);
    EXPECT_EQ(d.f_param_median_ksize, 5);
    EXPECT_EQ(d.f_param_temp_ctrl_threshold, 75);
    EXPECT_FLOAT_EQ(d.calib_tcoef_cb_mm, 13.78f);
    EXPECT_FLOAT_EQ(d.calib_tcoef_ib_mm, 1.183f);
    EXPECT_EQ(d.calib_wall_len_mm, 295u);
    EXPECT_EQ(d.f_bpf.w, W);
    EXPECT_TRUE(d.h_calib_len.init_flag);
    EXPECT_EQ(g_kavro_driver_op_epc.init, epc_init);
    EXPECT_EQ(g_kavro_driver_op_epc.filter_disable, epc_filter_disable);
    EXPECT_EQ(epc_use_case_get_count(&drv_), 0);
    EXPECT_EQ(epc_calib_load(&drv_, nullptr, 0, 0), 0);
    EXPECT_TRUE(epc_calib_apply(&drv_, nullptr, 0, nullptr, 0));
    EXPECT_EQ(epc_frame_raw_get(&drv_, nullptr, 1, nullptr), 0);
}

TEST_F(EpcDriver, FilterSwitchTableWithoutDevice) {
    kavro_filter_args_u a{};
    a.median_ksize = 7;
    EXPECT_TRUE(epc_filter_enable(&drv_, KAVRO_FILTER_ID_MEDIAN, &a));
    EXPECT_EQ(e().f_param_median_ksize, 7);
    EXPECT_TRUE(epc_filter_disable(&drv_, KAVRO_FILTER_ID_MEDIAN));
    EXPECT_FALSE(e().f_en_median);
    EXPECT_EQ(e().f_param_median_ksize, 0);

    // No calibration mounted: refused, but the switch stays on.
    EXPECT_FALSE(epc_filter_enable(&drv_, KAVRO_FILTER_ID_PIXEL_CALIB, nullptr));
    EXPECT_TRUE(e().f_en_pix_calib);

    a = {};
    a.sat_ratio = 50;
    EXPECT_TRUE(epc_filter_enable(&drv_, KAVRO_FILTER_ID_AUTO_INTG, &a));
    EXPECT_EQ(e().f_param_auto_intg_ratio, 50);
    EXPECT_TRUE(epc_filter_disable(&drv_, KAVRO_FILTER_ID_AUTO_INTG));
    EXPECT_EQ(e().f_param_auto_intg_ratio, 0);

    a = {};
    a.sync_delay = 9;
    EXPECT_TRUE(epc_filter_enable(&drv_, KAVRO_FILTER_ID_SYNC_DELAY, &a));
    EXPECT_EQ(e().f_param_sync_delay, 9);
    a = {};
    a.temp_threshold = -5;
    EXPECT_TRUE(epc_filter_enable(&drv_, KAVRO_FILTER_ID_TEMP_MONITOR, &a));
    EXPECT_EQ(e().f_param_temp_ctrl_threshold, -5);

    EXPECT_FALSE(epc_filter_enable(&drv_, KAVRO_FILTER_ID_RESERVED, &a));
    EXPECT_TRUE(epc_filter_disable(&drv_, KAVRO_FILTER_ID_RESERVED));
    EXPECT_FALSE(epc_filter_enable(&drv_, static_cast<kavro_filter_id_e>(11), &a));
    EXPECT_TRUE(epc_filter_disable(&drv_, static_cast<kavro_filter_id_e>(11)));

    // Sport mode 0 needs no device write; mode 5 is refused.
    a = {};
    EXPECT_TRUE(epc_filter_enable(&drv_, KAVRO_FILTER_ID_SPORT_MODE, &a));
    EXPECT_TRUE(e().f_en_sport_mode);
    a.sport_mode = 5;
    EXPECT_FALSE(epc_filter_enable(&drv_, KAVRO_FILTER_ID_SPORT_MODE, &a));

    // Writes that fail leave the switches as they were.
    CapturedLog log;
    a = {};
    a.sport_mode = 1;
    EXPECT_FALSE(epc_filter_enable(&drv_, KAVRO_FILTER_ID_SPORT_MODE, &a));
    EXPECT_EQ(e().f_param_sport_mode, 0);
    EXPECT_FALSE(epc_filter_disable(&drv_, KAVRO_FILTER_ID_SPORT_MODE));
    EXPECT_TRUE(e().f_en_sport_mode);
    EXPECT_FALSE(epc_filter_enable(&drv_, KAVRO_FILTER_ID_HDR, &a));
    EXPECT_FALSE(e().f_en_hdr);
    EXPECT_TRUE(log.has("enable SPORT MODE 1 failed\n"));
    EXPECT_TRUE(log.has("disable sport mode failed\n"));
    EXPECT_TRUE(log.has("enable HDR failed\n"));
}

// ---- lens parameters ---------------------------------------------------------

class EpcLens : public ::testing::Test {
protected:
    void SetUp() override { _epc_len_param_reset(); }
    void TearDown() override {
        std::remove(path_.c_str());
        _epc_len_param_reset();
    }
    void write(const std::string &text) { std::ofstream(path_) << text; }
    std::string path_ = "lens_param_" + std::to_string(::getpid()) + ".txt";
};

TEST_F(EpcLens, FileWithTenTokensKeepsTheDefaultHeight) {
    write("160.5 120.25 200 201\n-0.3 0.1 0.001 0.002 -0.01\n640\n");
    CapturedLog log;
    EXPECT_FALSE(_vx_update_len_param(nullptr, &g_epc_len_param, path_.c_str()));
    EXPECT_TRUE(log.has("len param file lens_param.txt load failed\n"));
    EXPECT_DOUBLE_EQ(g_epc_len_param.cx, 160.5);
    EXPECT_DOUBLE_EQ(g_epc_len_param.fy, 201);
    EXPECT_DOUBLE_EQ(g_epc_len_param.dcoeff[4], -0.01);
    EXPECT_EQ(g_epc_len_param.img_w, 640);
    EXPECT_EQ(g_epc_len_param.img_h, 240);

    write("1 2 3 4 5 6 7 8 9 640 480");
    EXPECT_TRUE(_vx_update_len_param(nullptr, &g_epc_len_param, path_.c_str()));
    EXPECT_EQ(g_epc_len_param.img_h, 480);
    EXPECT_DOUBLE_EQ(g_epc_len_param.dcoeff[0], 5);

    // A token that does not parse leaves its value.
    write("1 2 x 4 5 6 7 8 9 640 480");
    g_epc_len_param.fx = 99;
    EXPECT_TRUE(_vx_update_len_param(nullptr, &g_epc_len_param, path_.c_str()));
    EXPECT_DOUBLE_EQ(g_epc_len_param.fx, 99);

    std::remove(path_.c_str());
    EXPECT_FALSE(_vx_update_len_param(nullptr, &g_epc_len_param, path_.c_str()));
    EXPECT_TRUE(log.has(path_ + " Open failed, use default param\n"));
}

TEST_F(EpcLens, ScaledToTheFrameSize) {
    vx_len_param_t p{};
    ASSERT_TRUE(epc_lens_param_get(nullptr, &p, 160, 120));
    EXPECT_DOUBLE_EQ(p.cx, 157.262 / 2);
    EXPECT_DOUBLE_EQ(p.cy, 122.083 / 2);
    EXPECT_DOUBLE_EQ(p.fx, 210.783 / 2);
    EXPECT_DOUBLE_EQ(p.fy, 204.817 / 2);
    EXPECT_DOUBLE_EQ(p.dcoeff[0], -0.378924);
    EXPECT_EQ(p.img_w, 160);
    EXPECT_EQ(p.img_h, 120);
    ASSERT_TRUE(epc_lens_param_get(nullptr, &p, 320, 240));
    EXPECT_DOUBLE_EQ(p.cx, 157.262);

    CapturedLog log;
    EXPECT_FALSE(epc_lens_param_get(nullptr, &p, 300, 240));
    EXPECT_TRUE(log.has("lens param not match the frame size: lens: 320x240, frame: 300x240\n"));
    EXPECT_FALSE(epc_lens_param_get(nullptr, &p, 640, 480));  // would scale up
    EXPECT_FALSE(epc_lens_param_get(nullptr, &p, 0, 240));
    g_epc_len_param.img_w = 0;  // a file giving width 0 must not divide by zero
    EXPECT_FALSE(epc_lens_param_get(nullptr, &p, 320, 240));
}

// ---- the driver on a scripted camera -----------------------------------------

// A camera that keeps its registers and the parameters the driver uses.
struct EpcCam {
    std::map<uint32_t, uint32_t> regs;
    std::vector<std::string> reg_log;  // "w 8b 2", "r 22"
    uint16_t intg = 0;
    bool fail_intg_get = false;
    std::vector<std::vector<vxif_param_item_t>> sets;
};
EpcCam *g_cam = nullptr;

bool cam_reg_write(kavro_ll_dev_t *, uint8_t target, uint32_t base, const uint32_t *v, uint16_t c) {
    for (uint16_t i = 0; i < c; ++i) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "w%u %x %x", target, base + i, v[i]);
        g_cam->reg_log.push_back(buf);
        g_cam->regs[base + i] = v[i];
    }
    return true;
}
bool cam_reg_read(kavro_ll_dev_t *, uint8_t target, uint32_t base, uint32_t *v, uint16_t c) {
    for (uint16_t i = 0; i < c; ++i) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "r%u %x", target, base + i);
        g_cam->reg_log.push_back(buf);
        v[i] = g_cam->regs[base + i];
    }
    return true;
}
bool cam_param_set(kavro_ll_dev_t *, const vxif_param_item_t *items, int n) {
    g_cam->sets.emplace_back(items, items + n);
    for (int i = 0; i < n; ++i)
        if (items[i].param_id == PARAM_INTG_TIME) std::memcpy(&g_cam->intg, &items[i].param_val, 2);
    return true;
}
bool cam_param_get(kavro_ll_dev_t *d, vxif_param_item_t *items, int n) {
    if (!g_fake_ll_op.dev_param_get(d, items, n)) return false;
    for (int i = 0; i < n; ++i)
        if (items[i].param_id == PARAM_INTG_TIME) {
            if (g_cam->fail_intg_get) return false;
            std::memcpy(&items[i].param_val, &g_cam->intg, 2);
        }
    return true;
}

class EpcOnCamera : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string log = "test_epc_driver_" + std::to_string(::getpid()) + ".log";
        kavro_init(log.c_str());
        kavro_log_cfg(LOG_LEVEL_NONE, LOG_LEVEL_NONE, LOG_LEVEL_NONE);
    }
    static void TearDownTestSuite() { kavro_uninit(); }
    void SetUp() override {
        g_cam = &cam_;
        cam_.regs = {{0x22, 0x101}, {0x25, 0x2}, {0x28, 0x0}, {0x2B, 0xFFC0}};
        op_ = g_fake_ll_op;
        op_.dev_reg_write = cam_reg_write;
        op_.dev_reg_read = cam_reg_read;
        op_.dev_param_set = cam_param_set;
        op_.dev_param_get = cam_param_get;
        fake_.product = "VX1-E2-01";
        fake_bind(&dev_, &fake_);
        static_cast<_kavro_handler_t *>(dev_.handler)->ll_dev.ll_op = &op_;
        ASSERT_EQ(kavro_dev_open(&dev_), &dev_);
        _epc_feature_times_reset();
    }
    void TearDown() override {
        kavro_dev_close(&dev_);
        g_cam = nullptr;
    }
    kavro_drv_t *drv() { return static_cast<_kavro_handler_t *>(dev_.handler)->driver; }
    epc_drv_t &e() { return *static_cast<epc_drv_t *>(drv()->priv_data); }
    const vxif_param_item_t *last_set(uint8_t id) {
        for (auto it = cam_.sets.rbegin(); it != cam_.sets.rend(); ++it)
            for (const auto &p : *it)
                if (p.param_id == id) return &p;
        return nullptr;
    }

    EpcCam cam_;
    FakeCamera fake_;
    kavro_ll_op op_{};
    kavro_dev_t dev_{};
};

TEST_F(EpcOnCamera, OpenProgramsTheSensorInOrder) {
    const std::vector<std::string> want = {
        "w1 8b 2", "w1 71 0", "w1 72 0", "w1 73 0", "w1 ae 4", "r1 22", "w1 22 131", "r1 25",
        "w1 25 32", "r1 28", "w1 28 30", "r1 2b", "w1 2b fff0"};
    EXPECT_EQ(cam_.reg_log, want);
    // Without a calibration file the driver runs at 12 MHz.
    EXPECT_EQ(e().mod_freq, 12000000u);
    EXPECT_EQ(e().dist_max_mm, kRange12);
}

TEST_F(EpcOnCamera, SwitchesWriteTheDevice) {
    kavro_filter_args_u a{};
    a.intg.intg_3d = 400;
    a.intg.intg_3dhdr = 120;
    ASSERT_EQ(kavro_filter_enable(&dev_, KAVRO_FILTER_ID_HDR, &a, sizeof a), 1);
    ASSERT_EQ(cam_.sets.back().size(), 2u);
    EXPECT_EQ(cam_.sets.back()[0].param_id, PARAM_INTG_TIME);
    EXPECT_EQ(+cam_.sets.back()[0].param_val.intg.intg_us, 400);
    EXPECT_EQ(cam_.sets.back()[1].param_id, PARAM_HDR_INTG_TIME);
    EXPECT_EQ(+cam_.sets.back()[1].param_val.intg_hdr.intg_3dhdr, 120);
    EXPECT_TRUE(e().f_en_hdr);
    ASSERT_EQ(kavro_filter_disable(&dev_, KAVRO_FILTER_ID_HDR), 1);
    EXPECT_EQ(+last_set(PARAM_HDR_INTG_TIME)->param_val.intg_hdr.intg_3dhdr, 0);
    EXPECT_FALSE(e().f_en_hdr);

    a = {};
    a.sport_mode = 1;
    ASSERT_EQ(kavro_filter_enable(&dev_, KAVRO_FILTER_ID_SPORT_MODE, &a, sizeof a), 1);
    EXPECT_EQ(+last_set(PARAM_FRAME_FORMAT)->param_val.frame_format.format, 4u);
    EXPECT_EQ(e().f_param_sport_mode, 1);
    ASSERT_EQ(kavro_filter_disable(&dev_, KAVRO_FILTER_ID_SPORT_MODE), 1);
    EXPECT_EQ(+last_set(PARAM_FRAME_FORMAT)->param_val.frame_format.format, 2u);
    EXPECT_FALSE(e().f_en_sport_mode);

    // The frequency written through the parameter call reaches the driver.
    kavro_param_item_t it{};
    it.param_id = PARAM_MOD_FREQ;
    it.param_val_len = 4;
    it.param_val.mod_freq = 24000000;
    ASSERT_TRUE(kavro_param_batch_set(&dev_, &it, 1));
    EXPECT_EQ(e().dist_max_mm, static_cast<uint32_t>(149896216576.0f / 24000000.0f));
}

// Automatic integration: one step per decode (the process-wide time is
// reset in between), held within 50 ... 1500 us; a failed read writes
// nothing.
TEST_F(EpcOnCamera, AutoIntegrationSteps) {
    kavro_filter_args_u a{};
    a.sat_ratio = 5;
    ASSERT_EQ(kavro_filter_enable(&dev_, KAVRO_FILTER_ID_AUTO_INTG, &a, sizeof a), 1);
    const auto dark = make_dcs4(W, H, [](size_t) { return 3000.0; }, [](size_t) { return 40.0; });
    std::vector<uint16_t> bright = dark;
    for (int i = 0; i < N / 10; ++i) bright[i] = 4095;  // 2.5 % bad
    std::vector<uint16_t> out(N);
    const kavro_frame_info_t fi = finfo_of(2, W, H, 8 * N);
    auto step = [&](const std::vector<uint16_t> &raw) {
        _epc_feature_times_reset();
        epc_frame_decode(drv(), out.data(), 2 * N, VX_FRAME_FMT_DISTANCE, raw.data(), 8 * N, &fi);
    };
    struct Case {
        uint16_t start;
        const std::vector<uint16_t> *raw;
        uint16_t want;
    };
    const Case cases[] = {{1000, &dark, 1050}, {1480, &dark, 1500}, {1500, &dark, 1500},
                          {1000, &bright, 980}, {60, &bright, 50},   {0, &dark, 50}};
    for (const Case &c : cases) {
        cam_.intg = c.start;
        step(*c.raw);
        EXPECT_EQ(cam_.intg, c.want) << c.start;
    }
    // A failed read changes nothing; HDR on stops the feature.
    cam_.intg = 1000;
    cam_.fail_intg_get = true;
    const size_t sets = cam_.sets.size();
    step(dark);
    EXPECT_EQ(cam_.sets.size(), sets);
    cam_.fail_intg_get = false;
    e().f_en_hdr = true;
    step(dark);
    EXPECT_EQ(cam_.intg, 1000);
    // Even a frame the decoder refuses moves the integration time.
    e().f_en_hdr = false;
    const kavro_frame_info_t bad = finfo_of(3, W, H, 8 * N);
    _epc_feature_times_reset();
    EXPECT_EQ(epc_frame_decode(drv(), out.data(), 2 * N, VX_FRAME_FMT_DISTANCE, dark.data(), 8 * N, &bad), -1);
    EXPECT_EQ(cam_.intg, 1050);
}

// Interference drops the frame and writes a sync delay (random when the
// configured delay is 0), at most once a second.
TEST_F(EpcOnCamera, InterferenceDropsTheFrameAndWritesSyncDelay) {
    kavro_filter_args_u a{};
    a.sync_delay = 0;
    ASSERT_EQ(kavro_filter_enable(&dev_, KAVRO_FILTER_ID_SYNC_DELAY, &a, sizeof a), 1);
    auto raw = make_dcs4(W, H, [](size_t) { return 3000.0; }, [](size_t) { return 300.0; });
    std::vector<uint16_t> out(N);
    const kavro_frame_info_t fi = finfo_of(2, W, H, 8 * N);
    EXPECT_EQ(epc_frame_decode(drv(), out.data(), 2 * N, VX_FRAME_FMT_DISTANCE, raw.data(), 8 * N, &fi), 2 * N);
    for (int i = 0; i < N; ++i) raw[i] = static_cast<uint16_t>(raw[i] + 200);  // DCS0 + DCS2 off mid-scale
    EXPECT_EQ(epc_frame_decode(drv(), out.data(), 2 * N, VX_FRAME_FMT_DISTANCE, raw.data(), 8 * N, &fi), -1);
    const vxif_param_item_t *sd = last_set(PARAM_SYNC_DELAY);
    ASSERT_NE(sd, nullptr);
    EXPECT_EQ(+sd->param_val.sync_delay.random_delay_en, 1);
    EXPECT_EQ(+sd->param_val_len, 3);
}

// A driver without filter operations (the TI stub) offers no filter; a
// closed device has no driver at all.
TEST(EpcFilterApi, DriverWithoutFiltersAndClosedDevice) {
    kavro_init(("test_epc_api_" + std::to_string(::getpid()) + ".log").c_str());
    kavro_log_cfg(LOG_LEVEL_NONE, LOG_LEVEL_NONE, LOG_LEVEL_NONE);
    FakeCamera cam;  // product "VX1-T0-01"
    kavro_dev_t dev{};
    ASSERT_EQ(fake_open(&dev, &cam), &dev);
    kavro_filter_args_u a{};
    EXPECT_EQ(kavro_filter_enable(&dev, KAVRO_FILTER_ID_MEDIAN, &a, sizeof a), 0);
    EXPECT_EQ(kavro_filter_disable(&dev, KAVRO_FILTER_ID_MEDIAN), 0);
    kavro_dev_close(&dev);
    EXPECT_EQ(kavro_filter_enable(&dev, KAVRO_FILTER_ID_MEDIAN, &a, sizeof a), -1);
    EXPECT_EQ(kavro_filter_disable(&dev, KAVRO_FILTER_ID_MEDIAN), -1);
    kavro_uninit();
}

}  // namespace
