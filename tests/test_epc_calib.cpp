// EPC calibration data: reading the DRNU block of a frequency from a
// calibration parameter file, the phase rescaling, the one-sample repair of
// old files, the per-pixel line fits with their NG replacement, the
// condensed values, rejected blocks, and unmount / remount.
#include "driver/epc/epc_calib.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "driver/epc/epc_calc.h"
#include "driver/epc/kavro_driver_epc.h"
#include "log_file_capture.h"
#include "param_file_builder.h"

namespace {

using kavro_test::ParamBlock;
using kavro_test::ParamFileDesc;

constexpr uint32_t kFreq12 = 12000000, kFreq15 = 15000000;
constexpr size_t kRec = sizeof(epc_drv_param_drnu_payload_t);
constexpr size_t kEpcHdr = sizeof(epc_drv_param_header_t);

// One DRNU block as the test describes it. imgs holds the samples each
// record starts with (the rest of the record's 76800 samples are 0);
// records = imgs.size() unless cut by payload_len.
struct Blk {
    uint8_t type = 1;
    uint32_t freq = kFreq12;
    float box_len_cm = 50.0f;
    int16_t temp_cb = 400, temp_ib = 350;
    int8_t num_dist = -128;  // -128: imgs.size()
    uint32_t w = 4, h = 2;
    uint32_t atan_scale = 32768;
    int32_t step_um = 250000;
    std::vector<std::vector<uint16_t>> imgs;
    long payload_len = -1;  // bytes of payload kept, -1: all records
};

void put(std::vector<uint8_t> &b, size_t at, const void *v, size_t n) { std::memcpy(b.data() + at, v, n); }

// The 37-byte EPC header followed by the payload.
std::vector<uint8_t> epc_hdr_bytes(const Blk &k, uint32_t old_payload_len = 0) {
    std::vector<uint8_t> b(kEpcHdr, 0);
    const int8_t nd = k.num_dist == -128 ? static_cast<int8_t>(k.imgs.size()) : k.num_dist;
    put(b, 0, &k.freq, 4);
    put(b, 8, &k.box_len_cm, 4);
    put(b, 16, &k.temp_cb, 2);
    put(b, 18, &k.temp_ib, 2);
    put(b, 20, &nd, 1);
    put(b, 21, &old_payload_len, 4);
    put(b, 25, &k.w, 4);
    put(b, 29, &k.h, 4);
    put(b, 33, &k.atan_scale, 4);
    return b;
}

std::vector<uint8_t> payload_bytes(const Blk &k) {
    std::vector<uint8_t> p(k.imgs.size() * kRec, 0);
    for (size_t i = 0; i < k.imgs.size(); ++i) {
        const int32_t ref = static_cast<int32_t>(i) * k.step_um;
        put(p, i * kRec, &ref, 4);
        put(p, i * kRec + 20, k.imgs[i].data(), k.imgs[i].size() * 2);
    }
    if (k.payload_len >= 0) p.resize(static_cast<size_t>(k.payload_len));
    return p;
}

ParamBlock current_block(const Blk &k) {
    ParamBlock pb;
    pb.type = k.type;
    pb.data = epc_hdr_bytes(k);
    const std::vector<uint8_t> p = payload_bytes(k);
    pb.data.insert(pb.data.end(), p.begin(), p.end());
    return pb;
}

std::vector<uint8_t> current_file(const std::vector<Blk> &blks, uint8_t ver = 150) {
    ParamFileDesc ps;
    ps.ver = ver;
    for (const Blk &k : blks) ps.blocks.push_back(current_block(k));
    return kavro_test::build_param_file(ps);
}

// Old layout: type byte, EPC header whose reserved word is the payload size,
// four reserved bytes, payload.
std::vector<uint8_t> old_file(const std::vector<Blk> &blks) {
    ParamFileDesc ps;
    ps.ver = 120;
    std::vector<uint8_t> f = kavro_test::build_param_file(ps);
    for (const Blk &k : blks) {
        const std::vector<uint8_t> p = payload_bytes(k);
        f.push_back(k.type);
        const std::vector<uint8_t> h = epc_hdr_bytes(k, static_cast<uint32_t>(p.size()));
        f.insert(f.end(), h.begin(), h.end());
        f.insert(f.end(), 4, 0);
        f.insert(f.end(), p.begin(), p.end());
    }
    kavro_test::put_le32(f, kavro_test::ParamFileOffsets::blk_cnt, static_cast<uint32_t>(blks.size()));
    return f;
}

// Reference images whose pixel p reads base(p) + k * step(p) in image k.
std::vector<std::vector<uint16_t>> lines(int num, int pixels, const std::function<int(int)> &base,
                                         const std::function<int(int)> &step) {
    std::vector<std::vector<uint16_t>> imgs(static_cast<size_t>(num), std::vector<uint16_t>(static_cast<size_t>(pixels)));
    for (int k = 0; k < num; ++k)
        for (int p = 0; p < pixels; ++p) imgs[k][p] = static_cast<uint16_t>(base(p) + k * step(p));
    return imgs;
}

// An EPC driver record with its calculation state, as the driver's init
// leaves them, pointing at a calibration file in the working directory.
class MountDriver {
public:
    explicit MountDriver(uint32_t mod_freq = kFreq12) {
        pthread_mutex_init(&edrv_.drnu_mutex, nullptr);
        edrv_.mod_freq = mod_freq;
        edrv_.param_valid = true;
        std::snprintf(edrv_.pname, sizeof edrv_.pname, "epc_calib_test.bin");
        drv_.priv_data = &edrv_;
        EXPECT_TRUE(epc_calc_init(&drv_));
    }
    ~MountDriver() {
        epc_calc_uninit(&drv_);
        pthread_mutex_destroy(&edrv_.drnu_mutex);
        std::remove(edrv_.pname);
    }
    MountDriver(const MountDriver &) = delete;
    MountDriver &operator=(const MountDriver &) = delete;

    kavro_drv_t *drv() { return &drv_; }
    epc_drv_t &edrv() { return edrv_; }
    epc_calc_t &calc() { return *static_cast<epc_calc_t *>(edrv_.priv_data); }
    void write(const std::vector<uint8_t> &file) { ASSERT_TRUE(kavro_test::write_param_file(edrv_.pname, file)); }
    int mount() {
        pthread_mutex_lock(&edrv_.drnu_mutex);
        const int r = epc_calc_mount_calib(&drv_);
        pthread_mutex_unlock(&edrv_.drnu_mutex);
        return r;
    }
    const uint16_t *img(int k) { return calc().drnu.payload[k].data; }

private:
    epc_drv_t edrv_{};
    kavro_drv_t drv_{};
};

void expect_defaults(MountDriver &d, const char *what) {
    EXPECT_EQ(d.calc().drnu.payload, nullptr) << what;
    EXPECT_EQ(d.calc().config.calib_pixs, nullptr) << what;
    EXPECT_EQ(d.calc().config.calib_simple_scale_um, 1000) << what;
    EXPECT_EQ(d.calc().config.calib_simple_offset_mm, -2000) << what;
    EXPECT_EQ(d.calc().config.calib_temp_cb, 0) << what;
    EXPECT_EQ(d.calc().config.calib_temp_ib, 0) << what;
    EXPECT_FALSE(epc_calc_calib_loaded(d.drv())) << what;
}

// ---- condensed values ------------------------------------------------------------

// Exact lines: pixel p has offset 1000 + 10 p and slope 2000 + 2 p, so the
// averages over 8 pixels are 1035 and 2007, and every condensed value
// follows from the formulas of the mount with those numbers.
TEST(EpcCalibMount, CondensesExactLines) {
    LogFileCapture log("condense");
    MountDriver d;
    Blk b;
    b.box_len_cm = 29.5f;
    b.temp_ib = 1000;  // out of range: replaced by temp_cb - 100
    b.imgs = lines(3, 8, [](int p) { return 1000 + 10 * p; }, [](int p) { return 2000 + 2 * p; });
    d.write(current_file({b}));
    ASSERT_EQ(d.mount(), 1);
    EXPECT_TRUE(epc_calc_calib_loaded(d.drv()));

    const _epc_calc_config_t &c = d.calc().config;
    EXPECT_EQ(d.edrv().mod_freq, kFreq12);
    EXPECT_EQ(c.num_calib_dist, 3);
    EXPECT_EQ(c.calib_temp_cb, 400);
    EXPECT_EQ(c.calib_temp_ib, 300);
    EXPECT_TRUE(log.contains("[epc_calc_mount_calib] wrong IB calib temp 1000"));
    EXPECT_FLOAT_EQ(c.box_len_cm, 29.5f);
    EXPECT_EQ(d.edrv().calib_wall_len_mm, 295u);
    // 12 MHz: range 12491.35 mm; 295 * 32768 / 12491 = 773.88
    EXPECT_EQ(d.edrv().calib_wall_len_phase, 773);
    // Average slope 2007 phase units per image at 12 MHz: 2007 / 32768 *
    // 12491.35 mm = 765.08 mm.
    const float f = 12000000.0f;
    EXPECT_EQ(c.calib_cdll_step_um, static_cast<uint32_t>((2007.0f * 1000000 * 149896224.0f) / f / 32768));
    EXPECT_NEAR(c.calib_cdll_step_um, 765080, 10);
    // 295 mm minus the distance of 1035 phase units (394.55 mm).
    EXPECT_EQ(c.calib_simple_offset_mm, static_cast<int32_t>(295.0f - (1035.0f * 1000 * 149896224.0f) / f / 32768));
    EXPECT_EQ(c.calib_simple_offset_mm, -99);
    EXPECT_EQ(c.calib_simple_scale_um, 1000);
    // Means of the first and last image: 1035 and 1035 + 2 * 2007.
    EXPECT_EQ(c.calib_phase_min, 1035);
    EXPECT_EQ(c.calib_phase_max, 5049);
    EXPECT_EQ(c.calib_pixs, nullptr);  // the fit lives only during the mount
    // Data of a version-150 file at 32768 per period is used as stored.
    for (int k = 0; k < 3; ++k)
        for (int p = 0; p < 8; ++p) ASSERT_EQ(d.img(k)[p], b.imgs[k][p]);
    EXPECT_TRUE(log.contains("[epc_calc_mount_calib] Calib data loaded [freq=12000000, DRNU_LUT]: box_len: 29.5 cm, "
                             "temp: cb=400, ib=300, step mm = 765.08"));
}

// The global estimate compares the mean phase of image 0 and of image
// num_dist / 2 (last column left out) with their distances.
TEST(EpcCalibMount, GlobalScaleOffset) {
    LogFileCapture log("scale_offset");
    MountDriver d;
    Blk b;
    b.w = b.h = 0;  // 320 x 240
    b.box_len_cm = 50.0f;
    b.step_um = 100000;
    // Column 319 carries junk the estimate must skip.
    b.imgs = lines(5, EPC_DRNU_PIX_CNT, [](int p) { return p % 320 == 319 ? 30000 : 4000; },
                   [](int p) { return p % 320 == 319 ? 0 : 1000; });
    d.write(current_file({b}));
    ASSERT_EQ(d.mount(), 1);
    const float r = EPC_LIGHT_HALF_MM_S / 12000000.0f;
    const float p0 = 4000.0f * r / 32768, p1 = 6000.0f * r / 32768;  // image 2: 4000 + 2 * 1000
    const float scale = (700.0f - 500.0f) / (p1 - p0);
    const float offset = 500.0f - p0 * scale;
    char want[96];
    std::snprintf(want, sizeof want, "[_calc_scale_offset] calib scale/offset = %.3f/%.3f", scale, offset);
    EXPECT_TRUE(log.contains(want)) << want;
    // The 240 constant pixels of the last column do not fit a line.
    EXPECT_TRUE(log.contains("[epc_calc_mount_calib] Calib data of 240 (0 %) pixels are NG"));
}

// ---- phase rescaling and the old-file repair ------------------------------------

TEST(EpcCalibMount, RescalesPhaseToFullPeriod) {
    struct Case {
        uint32_t atan_scale;
        uint16_t stored, mounted;
    };
    const Case cases[] = {
        {30000, 15000, 16384},  // (15000 * 32768) / 30000
        {0, 15000, 16384},      // 0 stands for 30000
        {32768, 15000, 15000},  // already full period
        {20000, 19999, 32766},  // truncated: 32766.36
        {40000, 39999, 32767},
    };
    for (const Case &c : cases) {
        LogFileCapture log("rescale");
        MountDriver d;
        Blk b;
        b.atan_scale = c.atan_scale;
        // Sample 8 lies past the 4 x 2 image: it stays as stored.
        b.imgs = {std::vector<uint16_t>(9, 1000), std::vector<uint16_t>(9, 5000), std::vector<uint16_t>(9, 9000)};
        b.imgs[1][3] = c.stored;  // pixel 3 does not fit: the others keep the mount alive
        d.write(current_file({b}));
        ASSERT_EQ(d.mount(), 1) << c.atan_scale;
        EXPECT_EQ(d.img(1)[3], c.mounted) << c.atan_scale;
        const uint32_t eff = c.atan_scale ? c.atan_scale : 30000;
        EXPECT_EQ(d.img(0)[0], static_cast<uint16_t>(1000u * 32768u / eff)) << c.atan_scale;
        EXPECT_EQ(d.img(2)[7], static_cast<uint16_t>(9000u * 32768u / eff)) << c.atan_scale;
        EXPECT_EQ(log.contains("[epc_calc_mount_calib] scale " + std::to_string(eff) + " -> 32768"),
                  c.atan_scale != 32768)
            << c.atan_scale;
        EXPECT_EQ(d.img(1)[8], 5000) << "past w x h";
    }
}

// Files before version 150 have each two-row block of each image one sample
// early: sample j + i takes sample j + i - 1, sample j keeps its value. An
// odd last row forms a block of its own, and nothing past w x h moves.
TEST(EpcCalibMount, Version149ShiftsEachTwoRowBlock) {
    struct Case {
        uint8_t ver;
        uint32_t w, h;
    };
    const Case cases[] = {{149, 4, 4}, {149, 4, 3}, {150, 4, 4}, {120, 4, 4}};
    for (const Case &c : cases) {
        LogFileCapture log("fix149");
        MountDriver d;
        Blk b;
        b.w = c.w;
        b.h = c.h;
        const int n = static_cast<int>(c.w * c.h);
        // One sample more than the image: it must stay where it is.
        b.imgs = lines(3, n + 1, [](int p) { return 1000 + 100 * p; }, [](int p) { return 500 + p; });
        d.write(c.ver < 140 ? old_file({b}) : current_file({b}, c.ver));
        ASSERT_EQ(d.mount(), 1) << int(c.ver);
        const bool fix = c.ver < 150;
        EXPECT_EQ(log.contains("[epc_calc_mount_calib] Fix 1 pix calib issue of ref images: ver=" +
                               std::to_string(c.ver)),
                  fix);
        for (int k = 0; k < 3; ++k) {
            for (int i = 0; i < n; ++i) {
                const bool block_start = i % static_cast<int>(2 * c.w) == 0;
                const int from = fix && !block_start ? i - 1 : i;
                ASSERT_EQ(d.img(k)[i], b.imgs[k][from]) << "ver " << int(c.ver) << " h " << c.h << " img " << k
                                                        << " sample " << i;
            }
            EXPECT_EQ(d.img(k)[n], b.imgs[k][n]) << "past w x h";
        }
    }
}

// ---- line fits and NG pixels -------------------------------------------------------

// Good pixels keep {1 / slope, offset}; a flat pixel (slope 0), a bent one
// (r^2 < 0.998) and one with all references equal are replaced by the
// averages of the good ones.
TEST(EpcCalibFit, NgPixelsTakeTheAverageFit) {
    LogFileCapture log("fit");
    MountDriver d;
    Blk b;
    b.imgs = lines(4, 8, [](int p) { return 1000 + 10 * p; }, [](int p) { return 400 * (p + 1); });
    const int flat = 2, bent = 5;
    for (int k = 0; k < 4; ++k) b.imgs[k][flat] = 3000;
    b.imgs[2][bent] = 9000;  // 1050, 3450, 9000, 8250: r^2 = 0.8414
    d.write(current_file({b}));
    kavro_param_t hdr;
    ASSERT_TRUE(_cal_load_calib_data(d.drv(), kFreq12, &hdr));
    float avg_slope = 0, avg_offset = 0;
    ASSERT_EQ(_calc_pix_fit(d.drv(), 4, 2, 4, &avg_slope, &avg_offset), 6u);
    // Good pixels 0, 1, 3, 4, 6, 7: slopes 400 (p + 1), offsets 1000 + 10 p.
    EXPECT_FLOAT_EQ(avg_slope, (400.0f + 800 + 1600 + 2000 + 2800 + 3200) / 6);
    EXPECT_FLOAT_EQ(avg_offset, (1000.0f + 1010 + 1030 + 1040 + 1060 + 1070) / 6);
    const _epc_calib_pix_t *px = d.calc().config.calib_pixs.get();
    ASSERT_NE(px, nullptr);
    for (int p = 0; p < 8; ++p) {
        if (p == flat || p == bent) {
            EXPECT_FLOAT_EQ(px[p].inv_slope, 1.0f / avg_slope) << p;
            EXPECT_FLOAT_EQ(px[p].offset, avg_offset) << p;
        } else {
            EXPECT_FLOAT_EQ(px[p].inv_slope, 1.0f / (400.0f * (p + 1))) << p;
            EXPECT_NEAR(px[p].offset, 1000.0f + 10 * p, 1e-2) << p;
        }
    }
    EXPECT_TRUE(log.contains("[_calc_pix_fit] calib pix @ 2 is not good"));
    EXPECT_TRUE(log.contains("[_calc_pix_fit] calib pix @ 5 is not good: r = 0.841"));
    EXPECT_FALSE(log.contains("calib pix @ 0 "));

    // The mount of the same file reports them and condenses the averages.
    epc_calc_unmount_clib(d.drv());
    ASSERT_EQ(d.mount(), 1);
    EXPECT_TRUE(log.contains("[epc_calc_mount_calib] Calib data of 2 (25 %) pixels are NG"));
    EXPECT_EQ(d.calc().config.calib_cdll_step_um,
              static_cast<uint32_t>((avg_slope * 1000000 * 149896224.0f) / 12000000.0f / 32768));
}

TEST(EpcCalibFit, TenBadPixelsOfAFullImageAreZeroPercent) {
    LogFileCapture log("ten_bad");
    MountDriver d;
    Blk b;
    b.w = b.h = 0;
    b.imgs = lines(3, EPC_DRNU_PIX_CNT, [](int p) { return 1000 + p % 997; },
                   [](int p) { return p % 7680 == 5 ? 0 : 3000; });
    d.write(current_file({b}));
    ASSERT_EQ(d.mount(), 1);
    EXPECT_TRUE(log.contains("[epc_calc_mount_calib] Calib data of 10 (0 %) pixels are NG"));
    // Packed header fields are compared by value: a reference to them would
    // be misaligned.
    EXPECT_EQ(uint32_t{d.calc().drnu.hdr.w}, 320u);
    EXPECT_EQ(uint32_t{d.calc().drnu.hdr.h}, 240u);
}

TEST(EpcCalibFit, AllPixelsBadRejectsTheBlock) {
    LogFileCapture log("all_bad");
    MountDriver d(0);
    Blk b;
    b.imgs = {std::vector<uint16_t>(8, 100), std::vector<uint16_t>(8, 9000), std::vector<uint16_t>(8, 200)};
    d.write(current_file({b}));
    EXPECT_EQ(d.mount(), -1);
    EXPECT_TRUE(log.contains("[epc_calc_mount_calib] All pixel calib data is wrong!"));
    EXPECT_TRUE(log.contains("[epc_calc_mount_calib] No calib data : freq=12000000. Use default scale_um/offset_mm = "
                             "1000/-2000"));
    expect_defaults(d, "all bad");
}

// ---- block selection ---------------------------------------------------------------

TEST(EpcCalibLoad, PicksTheBlockOfTheFrequency) {
    Blk other;  // not a DRNU block: skipped whatever its frequency
    other.type = 2;
    other.freq = 0;
    other.imgs = lines(2, 8, [](int) { return 7; }, [](int) { return 7; });
    Blk b12, b15;
    b12.imgs = lines(2, 8, [](int p) { return 1000 + p; }, [](int) { return 1200; });
    b15.freq = kFreq15;
    b15.box_len_cm = 40.0f;
    b15.imgs = lines(3, 8, [](int p) { return 2000 + p; }, [](int) { return 1500; });
    struct Case {
        const char *what;
        bool old;
        uint32_t mod_freq;
        int result;
        uint32_t freq_after;
        uint16_t sample0;
    };
    const Case cases[] = {
        {"15 MHz", false, kFreq15, 1, kFreq15, 2000},
        {"12 MHz", false, kFreq12, 1, kFreq12, 1000},
        {"any: first DRNU block", false, 0, 1, kFreq12, 1000},
        {"no block of 20 MHz", false, 20000000, -1, 20000000, 0},
        {"old layout 15 MHz", true, kFreq15, 1, kFreq15, 2000},
        {"old layout any", true, 0, 1, kFreq12, 1000},
    };
    for (const Case &c : cases) {
        LogFileCapture log("pick");
        MountDriver d(c.mod_freq);
        // The old layout has no other block types.
        d.write(c.old ? old_file({b12, b15}) : current_file({other, b12, b15}));
        EXPECT_EQ(d.mount(), c.result) << c.what;
        EXPECT_EQ(d.edrv().mod_freq, c.freq_after) << c.what;
        if (c.result != 1) {
            expect_defaults(d, c.what);
            continue;
        }
        EXPECT_EQ(uint32_t{d.calc().drnu.hdr.mod_freq}, c.freq_after) << c.what;
        EXPECT_EQ(d.img(0)[0], c.sample0) << c.what;
        char want[80];
        std::snprintf(want, sizeof want, "[_cal_load_calib_data] Calib data: freq=%u, ver=%d, ts=1700000000",
                      c.freq_after, c.old ? 120 : 150);
        EXPECT_TRUE(log.contains(want)) << c.what;
    }
}

// ---- rejected files and blocks -------------------------------------------------------

TEST(EpcCalibLoad, RejectsBrokenBlocks) {
    auto good = [] {
        Blk b;
        b.imgs = lines(3, 8, [](int p) { return 1000 + p; }, [](int) { return 1200; });
        return b;
    };
    struct Case {
        const char *what;
        std::function<std::vector<uint8_t>()> file;
        const char *log;
    };
    const Case cases[] = {
        {"payload one record short",
         [&] {
             Blk b = good();
             b.num_dist = 4;
             return current_file({b});
         },
         "payload shorter than its reference images"},
        {"payload one byte short",
         [&] {
             Blk b = good();
             b.payload_len = static_cast<long>(3 * kRec - 1);
             return current_file({b});
         },
         "payload shorter than its reference images"},
        {"old layout payload short",
         [&] {
             Blk b = good();
             b.payload_len = static_cast<long>(2 * kRec);
             return old_file({b});
         },
         "payload shorter than its reference images"},
        {"one reference image",
         [&] {
             Blk b = good();
             b.imgs.resize(1);
             return current_file({b});
         },
         "fewer than two reference images"},
        {"negative image count",
         [&] {
             Blk b = good();
             b.num_dist = -3;
             return current_file({b});
         },
         "fewer than two reference images"},
        {"image wider than a record",
         [&] {
             Blk b = good();
             b.w = 321;
             b.h = 240;
             return current_file({b});
         },
         "image larger than a reference record"},
        {"image size overflowing 32 bits",
         [&] {
             Blk b = good();
             b.w = 65536;
             b.h = 65536;
             return current_file({b});
         },
         "image larger than a reference record"},
        {"no frequency",
         [&] {
             Blk b = good();
             b.freq = 0;
             return current_file({b});
         },
         "no modulation frequency"},
        {"first distance not a number",
         [&] {
             Blk b = good();
             b.box_len_cm = std::nanf("");
             return current_file({b});
         },
         "first reference distance out of range"},
        {"unit of 36 bytes",
         [&] {
             std::vector<uint8_t> f = current_file({good()});
             kavro_test::put_le32(f, kavro_test::ParamFileOffsets::blocks + 1, 36);
             return f;
         },
         "[_cal_load_calib_data] parse calib file failed: epc_calib_test.bin"},
        {"payload past the end of the file",
         [&] {
             std::vector<uint8_t> f = current_file({good()});
             f.resize(f.size() - 1);
             return f;
         },
         "payload beyond the end of the file"},
        {"header cut",
         [&] {
             std::vector<uint8_t> f = current_file({good()});
             f.resize(kavro_test::ParamFileOffsets::blocks + 5 + 20);
             return f;
         },
         "[_cal_load_calib_data] read par_drv_hdr failed: epc_calib_test.bin"},
        {"container header cut",
         [&] {
             std::vector<uint8_t> f = current_file({good()});
             f.resize(1000);
             return f;
         },
         "[_cal_load_calib_data] read par_vx_hdr failed"},
        {"old layout block of type 2",
         [&] {
             Blk b = good();
             b.type = 2;
             return old_file({b});
         },
         "[_cal_load_calib_data] wrong blk param type: 2 for (ver120)"},
    };
    for (const Case &c : cases) {
        LogFileCapture log("reject");
        MountDriver d(0);
        d.write(c.file());
        EXPECT_EQ(d.mount(), -1) << c.what;
        EXPECT_TRUE(log.contains(c.log)) << c.what << "\n" << log.text();
        expect_defaults(d, c.what);
    }
}

// A block of the wanted frequency that fails its checks is skipped and the
// search goes on: a later good block of that frequency is mounted.
TEST(EpcCalibLoad, BrokenBlockIsSkippedForALaterGoodOne) {
    Blk good;
    good.imgs = lines(3, 8, [](int p) { return 1000 + p; }, [](int) { return 1200; });
    Blk one_image = good;  // fewer than two references
    one_image.imgs = lines(1, 8, [](int) { return 5000; }, [](int) { return 0; });
    Blk short_payload = good;  // says four images, holds three
    short_payload.imgs = lines(3, 8, [](int) { return 6000; }, [](int) { return 100; });
    short_payload.num_dist = 4;
    struct Case {
        const char *what;
        uint32_t mod_freq;
        std::vector<uint8_t> file;
        const char *log;
    };
    const Case cases[] = {
        {"12 MHz, one image first", kFreq12, current_file({one_image, good}), "fewer than two reference images"},
        {"any frequency, one image first", 0, current_file({one_image, good}), "fewer than two reference images"},
        {"12 MHz, short payload first", kFreq12, current_file({short_payload, good}),
         "payload shorter than its reference images"},
        {"old layout, short payload first", kFreq12, old_file({short_payload, good}),
         "payload shorter than its reference images"},
    };
    for (const Case &c : cases) {
        LogFileCapture log("skip");
        MountDriver d(c.mod_freq);
        d.write(c.file);
        ASSERT_EQ(d.mount(), 1) << c.what << "\n" << log.text();
        EXPECT_EQ(d.edrv().mod_freq, kFreq12) << c.what;
        EXPECT_EQ(d.img(0)[0], 1000) << c.what;  // the good block's first sample
        EXPECT_EQ(d.calc().config.num_calib_dist, 3) << c.what;
        EXPECT_TRUE(log.contains(c.log)) << c.what;
    }
}

TEST(EpcCalibLoad, NoUsableFile) {
    LogFileCapture log("no_file");
    {
        MountDriver d;
        EXPECT_EQ(d.mount(), -1);
        EXPECT_TRUE(log.contains("[_cal_load_calib_data] open calib bin failed: epc_calib_test.bin"));
        expect_defaults(d, "missing file");
    }
    {
        MountDriver d;
        Blk b;
        b.imgs = lines(2, 8, [](int p) { return 1000 + p; }, [](int) { return 1200; });
        d.write(current_file({b}));
        d.edrv().param_valid = false;  // the calibration routine found the file broken
        EXPECT_EQ(d.mount(), -1);
        expect_defaults(d, "file not valid");
    }
}

// ---- unmount and remount ---------------------------------------------------------------

// A failed mount after a good one leaves nothing of the good one behind.
TEST(EpcCalibMount, FailedRemountDropsTheOldBlock) {
    LogFileCapture log("remount_fail");
    MountDriver d;
    Blk b;
    b.imgs = lines(2, 8, [](int p) { return 1000 + p; }, [](int) { return 1200; });
    d.write(current_file({b}));
    ASSERT_EQ(d.mount(), 1);
    b.imgs.resize(1);
    d.write(current_file({b}));
    d.edrv().mod_freq = 0;  // as the calibration routine mounts
    EXPECT_EQ(d.mount(), -1);
    expect_defaults(d, "after failed remount");
    EXPECT_TRUE(log.contains("[epc_calc_unmount_clib] Calib data unload [freq=0]"));
}

TEST(EpcCalibMount, UnmountAndRemount) {
    LogFileCapture log("remount");
    MountDriver d;
    Blk b12, b15;
    b12.atan_scale = 30000;
    b12.imgs = lines(3, 8, [](int p) { return 1000 + p; }, [](int) { return 1200; });
    b15.freq = kFreq15;
    b15.imgs = lines(4, 8, [](int p) { return 3000 + p; }, [](int) { return 900; });
    d.write(current_file({b12, b15}));

    ASSERT_EQ(d.mount(), 1);
    const uint16_t rescaled = d.img(0)[0];
    EXPECT_EQ(rescaled, 1000u * 32768u / 30000u);
    const uint32_t step_um = d.calc().config.calib_cdll_step_um;
    const int32_t offset_mm = d.calc().config.calib_simple_offset_mm;
    const uint16_t phase_min = d.calc().config.calib_phase_min;

    // Mounting the frequency already mounted reads nothing and converts
    // nothing a second time.
    ASSERT_EQ(d.mount(), 1);
    EXPECT_TRUE(log.contains("[_cal_load_calib_data] Calib data already loaded: freq=12000000"));
    EXPECT_EQ(d.img(0)[0], rescaled);
    EXPECT_EQ(d.calc().config.calib_cdll_step_um, step_um);
    EXPECT_EQ(d.calc().config.calib_phase_min, phase_min);

    // A frequency change: unmount, then mount the other block.
    pthread_mutex_lock(&d.edrv().drnu_mutex);
    epc_calc_unmount_clib(d.drv());
    pthread_mutex_unlock(&d.edrv().drnu_mutex);
    EXPECT_TRUE(log.contains("[epc_calc_unmount_clib] Calib data unload [freq=12000000]"));
    EXPECT_EQ(d.calc().drnu.payload, nullptr);
    EXPECT_EQ(uint32_t{d.calc().drnu.hdr.mod_freq}, 0u);
    EXPECT_FALSE(epc_calc_calib_loaded(d.drv()));
    d.edrv().mod_freq = kFreq15;
    ASSERT_EQ(d.mount(), 1);
    EXPECT_EQ(d.calc().config.num_calib_dist, 4);
    EXPECT_EQ(d.img(3)[7], 3000 + 7 + 3 * 900);
    EXPECT_TRUE(epc_calc_calib_loaded(d.drv()));

    // Mounting 12 MHz again while 15 MHz is mounted reads the file afresh.
    d.edrv().mod_freq = kFreq12;
    ASSERT_EQ(d.mount(), 1);
    EXPECT_EQ(d.img(0)[0], rescaled);
    EXPECT_EQ(d.calc().config.calib_cdll_step_um, step_um);
    EXPECT_EQ(d.calc().config.calib_simple_offset_mm, offset_mm);
    // The fixture's epc_calc_uninit frees the block mounted now (ASan checks).
}

}  // namespace
