// EPC distance and gray calculation: the table arctangent and fast square
// root, the uncalibrated and temperature-corrected distance paths, the DRNU
// interpolation on hand-built reference records, the one-image row-pair
// rule, row reordering, argument checks, and identical results of the
// scalar, SSE4.1 and AVX2 loops.
#include "driver/epc/epc_calc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "driver/epc/kavro_driver_epc.h"
#include "log_file_capture.h"
#include "math/vx_math.h"

namespace {

constexpr int kMid = 2048;
constexpr uint32_t kFreq12 = 12000000;
constexpr uint32_t kRange12 = 12491;  // mm at 12 MHz

// Phase of the vector in 1/32768 turn by double-precision atan2.
double ref_phase(int y, int x) { return (std::atan2(static_cast<double>(y), x) + M_PI) * 32768.0 / (2 * M_PI); }

// Circular distance between two phases.
double phase_gap(double a, double b) {
    double d = std::fmod(std::fabs(a - b), 32768.0);
    return d > 16384.0 ? 32768.0 - d : d;
}

// ---- arctangent ------------------------------------------------------------------

TEST(EpcMathAtan2, KnownDirections) {
    struct Case {
        int y, x, phase;
    };
    const Case cases[] = {
        {1, 1, 20480},    {1, -1, 28672},      {-1, -1, 4096},     {0, -5, 0},         {0, 5, 16384},
        {0, 0, 16384},    {1000, 0, 24576},    {-1000, 0, 8192},   {-4095, -4095, 4096}, {4095, 1, 24575},
        {-1, 4095, 16383}, {8190, -8190, 28672},
    };
    for (const Case &c : cases) EXPECT_EQ(vx_math_atan2_i32(c.y, c.x), c.phase) << "y=" << c.y << " x=" << c.x;
}

// The table index floor(4096 y / x) reads the angle of a slope at most
// 1/4095 too large or too small, and the table is rounded: together under
// 1.8 phase units from the exact angle.
TEST(EpcMathAtan2, WithinTwoUnitsOfDoublePrecision) {
    double worst = 0;
    auto check = [&](int y, int x) {
        const int p = vx_math_atan2_i32(y, x);
        ASSERT_GE(p, 0);
        ASSERT_LE(p, 32767);
        if (x == 0 && y == 0) return;
        const double gap = phase_gap(p, ref_phase(y, x));
        worst = std::max(worst, gap);
        ASSERT_LE(gap, 1.8) << "y=" << y << " x=" << x << " p=" << p;
    };
    for (int y = -8190; y <= 8190; y += 13)
        for (int x = -8190; x <= 8190; x += 17) check(y, x);
    // Near the octant borders, where the folding switches.
    for (int a = 1; a <= 4095; a += 7)
        for (int d = -2; d <= 2; ++d) {
            check(a, a + d);
            check(-a, a + d);
            check(a, -(a + d));
            check(-a, -(a + d));
            check(d, a);
            check(a, d);
            check(d, -a);
            check(-a, d);
        }
    EXPECT_GT(worst, 0.5);  // the grid does reach the table's resolution
}

// ---- square root -------------------------------------------------------------------

// Newton from the bit-pattern guess approaches from above: for every integer
// the amplitudes can take (up to 2 * 4095^2 / 4 < 2^23) the result lies at
// most a relative 2e-6 above the root, so its integer part is the exact
// integer root except just below a perfect square. The vector loops rely on
// this: they take the (correctly rounded) hardware root, whose integer part
// is the exact root, and recompute only the lanes where the root stretched
// by EPC_AMP_NEAR_SQUARE reaches the next integer.
TEST(EpcMathSqrtf, TightAboveTheRootAndExactAwayFromSquares) {
    int mismatches = 0;
    for (uint32_t v = 0; v <= (1u << 23); ++v) {
        const float f = vx_math_sqrtf(static_cast<float>(v));
        const double exact = std::sqrt(static_cast<double>(v));
        ASSERT_GE(f, exact * (1 - 1e-7)) << v;
        ASSERT_LE(f, exact * (1 + 2e-6) + 1e-6) << v;
        const float r = std::sqrt(static_cast<float>(v));
        const int e = static_cast<int>(r);
        ASSERT_EQ(e, static_cast<int>(exact)) << v;
        if (static_cast<int>(f) != e) {
            ++mismatches;
            ASSERT_NE(static_cast<int>(r * EPC_AMP_NEAR_SQUARE), e) << "fast root " << f << " of " << v;
        }
    }
    EXPECT_GT(mismatches, 0);  // the recomputation is needed: the fast root does overshoot
    EXPECT_EQ(static_cast<int>(vx_math_sqrtf(0.0f)), 0);
}

// ---- test driver ---------------------------------------------------------------------

// An EPC driver record with its calculation state, as the driver's init
// leaves them: uncalibrated defaults, no temperature, the offset switch off.
class CalcDriver {
public:
    explicit CalcDriver(uint32_t mod_freq = kFreq12) {
        pthread_mutex_init(&edrv_.drnu_mutex, nullptr);
        edrv_.mod_freq = mod_freq;
        edrv_.dist_max_mm = static_cast<uint32_t>(EPC_LIGHT_HALF_MM_S / static_cast<float>(mod_freq));
        edrv_.calib_tcoef_cb_mm = 13.78f;
        edrv_.calib_tcoef_ib_mm = 1.183f;
        drv_.priv_data = &edrv_;
        ok_ = epc_calc_init(&drv_);
    }
    ~CalcDriver() {
        epc_calc_uninit(&drv_);
        pthread_mutex_destroy(&edrv_.drnu_mutex);
    }
    CalcDriver(const CalcDriver &) = delete;
    CalcDriver &operator=(const CalcDriver &) = delete;

    bool ok() const { return ok_; }
    kavro_drv_t *drv() { return &drv_; }
    epc_drv_t &e() { return edrv_; }
    epc_calc_t &calc() { return *static_cast<epc_calc_t *>(edrv_.priv_data); }

    // Mount a hand-made block: refs[k][i] is the phase of pixel i in
    // reference image k (pixels beyond refs[k] keep 0), step_um apart, the
    // first at the default wall of 295 mm.
    void mount(const std::vector<std::vector<uint16_t>> &refs, uint32_t step_um = 100000) {
        const size_t cnt = refs.size();
        auto *p = static_cast<epc_drv_param_drnu_payload_t *>(
            std::calloc(cnt ? cnt : 1, sizeof(epc_drv_param_drnu_payload_t)));
        ASSERT_NE(p, nullptr);
        uint64_t sum_first = 0, sum_last = 0;
        for (size_t k = 0; k < cnt; ++k) {
            p[k].ref_dist_um = static_cast<int32_t>(k * step_um);
            for (size_t i = 0; i < refs[k].size(); ++i) p[k].data[i] = refs[k][i];
        }
        for (uint16_t v : refs.front()) sum_first += v;
        for (uint16_t v : refs.back()) sum_last += v;
        epc_calc_t &c = calc();
        c.drnu.payload.reset(p);
        c.drnu.hdr = {};
        c.drnu.hdr.mod_freq = edrv_.mod_freq;
        c.drnu.hdr.num_dist = static_cast<int8_t>(cnt);
        c.config.num_calib_dist = static_cast<int>(cnt);
        c.config.calib_cdll_step_um = step_um;
        c.config.calib_phase_min = static_cast<uint16_t>(sum_first / refs.front().size());
        c.config.calib_phase_max = static_cast<uint16_t>(sum_last / refs.back().size());
        edrv_.calib_wall_len_mm = 295;
        edrv_.calib_wall_len_phase = static_cast<int32_t>((295u * 32768u) / edrv_.dist_max_mm);
    }

private:
    epc_drv_t edrv_{};
    kavro_drv_t drv_{};
    bool ok_ = false;
};

// Four DCS images of the given per-pixel vectors (x = DCS2 - DCS0,
// y = DCS3 - DCS1) around mid-scale.
std::vector<uint16_t> quads_of(const std::vector<std::pair<int, int>> &xy) {
    const size_t n = xy.size();
    std::vector<uint16_t> q(4 * n);
    for (size_t i = 0; i < n; ++i) {
        const int x = xy[i].first, y = xy[i].second;
        q[i] = static_cast<uint16_t>(kMid - x / 2);
        q[2 * n + i] = static_cast<uint16_t>(kMid - x / 2 + x);
        q[n + i] = static_cast<uint16_t>(kMid - y / 2);
        q[3 * n + i] = static_cast<uint16_t>(kMid - y / 2 + y);
    }
    return q;
}

// ---- uncalibrated distance -------------------------------------------------------------

TEST(EpcCalcNone, MidScaleGivesHalfTheRangeMinusTheDefaultOffset) {
    CalcDriver d;
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(d.e().dist_max_mm, kRange12);
    const std::vector<uint16_t> q(4 * 4, kMid);
    std::vector<uint16_t> dist(4), gray(4, 99);
    ASSERT_TRUE(calc_dist_calib_none(d.drv(), dist.data(), gray.data(), q.data(), 4, 1, 4, 1000, -2000));
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(dist[i], 4245);  // 16384 * 12491 / 32768 = 6245, minus 2000
        EXPECT_EQ(gray[i], 0);
    }
}

// Hand-computed distances of vectors of length 1000 (amplitude 500) and
// 1414 (707) at 12 MHz: phase p gives p * 12491 / 32768 mm before scale and
// offset, wrapped into 0 ... 12491.
TEST(EpcCalcNone, DistanceAmplitudeAndWrap) {
    struct Case {
        const char *what;
        int x, y, scale, offset;
        bool user_offset;
        int dist, gray;
    };
    const Case cases[] = {
        {"+x: phase 16384", 1000, 0, 1000, -2000, false, 4245, 500},
        {"+y: phase 24576", 0, 1000, 1000, -2000, false, 7368, 500},   // 9368.25
        {"-y: phase 8192", 0, -1000, 1000, -2000, false, 1122, 500},   // 3122.75
        {"45 degrees", 1000, 1000, 1000, -2000, false, 5806, 707},     // 7806.875
        {"-300 mm wraps up", -1000, 0, 1000, -300, false, 12191, 500},  // phase 0
        {"-2000 mm wraps up", -1000, 0, 1000, -2000, false, 10491, 500},
        {"beyond the range wraps down", -1000, 0, 1000, 12600, false, 109, 500},
        {"exactly the range stays", -1000, 0, 1000, 12491, false, 12491, 500},
        {"half scale", 0, 1000, 500, 0, false, 4684, 500},              // 9368 / 2
        {"user offset added", 1000, 0, 1000, -2000, true, 4245 + 150, 500},
    };
    for (const Case &c : cases) {
        CalcDriver d;
        d.e().f_en_offset = c.user_offset;
        d.e().f_param_offset_mm = 150;
        const std::vector<uint16_t> q = quads_of({{c.x, c.y}, {c.x, c.y}, {c.x, c.y}, {c.x, c.y}});
        std::vector<uint16_t> dist(4), gray(4);
        ASSERT_TRUE(calc_dist_calib_none(d.drv(), dist.data(), gray.data(), q.data(), 4, 1, 4, c.scale, c.offset));
        EXPECT_EQ(dist[3], c.dist) << c.what;
        EXPECT_EQ(gray[3], c.gray) << c.what;
    }
}

// A sample at 0 or 4095 (after dropping the upper four bits) in any image
// the vector uses marks the pixel: gray 0, distance 65500. Images the DCS
// count does not use are not looked at.
TEST(EpcCalcNone, SaturatedAndEmptySamples) {
    struct Case {
        const char *what;
        int n;
        int image;  // which DCS image of pixel 1 gets the sample
        uint16_t sample;
        bool marked;
    };
    const Case cases[] = {
        {"4 DCS, DCS0 empty", 4, 0, 0, true},           {"4 DCS, DCS3 saturated", 4, 3, 4095, true},
        {"4 DCS, DCS1 = 1", 4, 1, 1, false},            {"4 DCS, DCS2 = 4094", 4, 2, 4094, false},
        {"4 DCS, upper bits ignored", 4, 2, 0xF000 | 4095, true},
        {"4 DCS, upper bits over mid-scale", 4, 1, 0xF800, false},  // low 12 bits 2048
        {"4 DCS, 0x1000 is empty", 4, 0, 0x1000, true},
        {"2 DCS, DCS1 saturated", 2, 1, 4095, true},    {"2 DCS, DCS0 empty", 2, 0, 0, true},
    };
    for (const Case &c : cases) {
        CalcDriver d;
        std::vector<uint16_t> q(4 * 4, 1500);
        q[static_cast<size_t>(c.image) * 4 + 1] = c.sample;
        std::vector<uint16_t> dist(4), gray(4), gray_only(4);
        ASSERT_TRUE(calc_dist_calib_none(d.drv(), dist.data(), gray.data(), q.data(), 4, 1, c.n, 1000, -2000));
        ASSERT_TRUE(calc_gray(d.drv(), gray_only.data(), q.data(), 4, 1, c.n));
        EXPECT_EQ(dist[1] == EPC_DIST_NO_SAMPLE, c.marked) << c.what;
        EXPECT_EQ(gray[1] == 0, c.marked) << c.what;
        EXPECT_EQ(gray_only[1], gray[1]) << c.what;
        EXPECT_NE(dist[0], EPC_DIST_NO_SAMPLE) << c.what;  // the neighbour is untouched by it
    }
}

// Two DCS images: x = 2048 - DCS0, y = 2048 - DCS1; the buffer holds only
// those two images, so a read of a third would be caught by the sanitizer.
TEST(EpcCalcNone, TwoDcsUsesMidScaleAsReference) {
    CalcDriver d;
    std::vector<uint16_t> q(2 * 4);
    for (int i = 0; i < 4; ++i) {
        q[i] = 2048 - 1000;  // x = 1000
        q[4 + i] = 2048;     // y = 0
    }
    q[4 + 2] = 2048 - 1000;  // pixel 2: y = 1000 too
    std::vector<uint16_t> dist(4), gray(4);
    ASSERT_TRUE(calc_dist_calib_none(d.drv(), dist.data(), gray.data(), q.data(), 4, 1, 2, 1000, -2000));
    EXPECT_EQ(dist[0], 4245);
    EXPECT_EQ(gray[0], 500);
    EXPECT_EQ(dist[2], 5806);
    EXPECT_EQ(gray[2], 707);
}

// calc_dist_calib_simple: the defaults 1000 / -2000 corrected by the drift
// since calibration, round(40.0 * 13.78 + 30.0 * 1.183) = round(586.69) mm.
TEST(EpcCalcSimple, TemperatureCorrection) {
    struct Case {
        const char *what;
        int16_t temp_cb, temp_ib, calib_cb, calib_ib;
        int dist;
    };
    const Case cases[] = {
        {"no temperature", 0, 0, 0, 0, 4245},
        {"40.0 / 30.0 degC against 0", 400, 300, 0, 0, 4245 - 587},
        {"same as during calibration", 400, 300, 400, 300, 4245},
        {"colder than calibration", 300, 300, 400, 300, 4245 + 138},  // round(-137.8)
    };
    for (const Case &c : cases) {
        CalcDriver d;
        d.e().temp_cb = c.temp_cb;
        d.e().temp_ib = c.temp_ib;
        d.calc().config.calib_temp_cb = c.calib_cb;
        d.calc().config.calib_temp_ib = c.calib_ib;
        const std::vector<uint16_t> q(4 * 4, kMid);
        std::vector<uint16_t> dist(4), gray(4);
        ASSERT_TRUE(calc_dist_calib_simple(d.drv(), dist.data(), gray.data(), q.data(), 4, 1, 4));
        EXPECT_EQ(dist[0], c.dist) << c.what;
    }
}

// ---- one image of alternating row pairs ------------------------------------------------

// Rows of one value each, 4 pixels wide. Row r pairs with row r + 2 (the
// last pair with the pair above); the sample of the even pair gives x, the
// odd pair's y. Values: 1048 is a component of +1000, 3048 of -1000, 2048
// of 0; the expected distances are those of the hand-computed directions.
TEST(EpcCalcRowPairs, PartnerRowsAndTheLastPair) {
    struct Case {
        const char *what;
        std::vector<uint16_t> rows;
        std::vector<uint16_t> dist, gray;
    };
    const Case cases[] = {
        {"three pairs",
         {1048, 3048, 1048, 2048, 2048, 1048},
         // r0 (1000, 1000), r1 (-1000, 0), r2 (0, 1000), r3 (1000, 0), r4 = r2, r5 = r3
         {5806, 10491, 7368, 4245, 7368, 4245},
         {707, 500, 500, 500, 500, 500}},
        {"four pairs, odd last pair",
         {1048, 3048, 1048, 2048, 2048, 1048, 3048, 2048},
         // r4 (0, -1000), r5 (1000, 0), r6 with r4: x from r4, y from r6 = (0, -1000), r7 = r5
         {5806, 10491, 7368, 4245, 1122, 4245, 1122, 4245},
         {707, 500, 500, 500, 500, 500, 500, 500}},
        {"one pair has no partner", {1048, 1048}, {65500, 65500}, {0, 0}},
    };
    for (const Case &c : cases) {
        CalcDriver d;
        const int w = 4, h = static_cast<int>(c.rows.size());
        std::vector<uint16_t> img;  // exactly w x h samples
        for (uint16_t v : c.rows) img.insert(img.end(), w, v);
        std::vector<uint16_t> dist(img.size()), gray(img.size()), gray_only(img.size());
        ASSERT_TRUE(calc_dist_calib_none(d.drv(), dist.data(), gray.data(), img.data(), w, h, 1, 1000, -2000));
        ASSERT_TRUE(calc_gray(d.drv(), gray_only.data(), img.data(), w, h, 1));
        for (int r = 0; r < h; ++r)
            for (int col = 0; col < w; ++col) {
                EXPECT_EQ(dist[r * w + col], c.dist[r]) << c.what << " row " << r;
                EXPECT_EQ(gray[r * w + col], c.gray[r]) << c.what << " row " << r;
                EXPECT_EQ(gray_only[r * w + col], c.gray[r]) << c.what << " row " << r;
            }
    }
}

// ---- row reordering ----------------------------------------------------------------------

TEST(EpcCalcDcsSort, SensorRowsToImageRows) {
    struct Case {
        std::vector<uint16_t> rows, sorted;
    };
    const Case cases[] = {
        {{'a', 'b', 'c', 'd'}, {'c', 'a', 'b', 'd'}},
        {{'a', 'b', 'c', 'd', 'e', 'f'}, {'e', 'c', 'a', 'b', 'd', 'f'}},
        {{'a', 'b'}, {'a', 'b'}},
        {{'a', 'b', 'c'}, {'a', 'b', 'c'}},  // an odd last row stays last
    };
    const int w = 3;
    for (const Case &c : cases) {
        std::vector<uint16_t> src, want;
        for (size_t r = 0; r < c.rows.size(); ++r)
            for (int col = 0; col < w; ++col) {
                src.push_back(static_cast<uint16_t>(c.rows[r] * 16 + col));
                want.push_back(static_cast<uint16_t>(c.sorted[r] * 16 + col));
            }
        std::vector<uint16_t> dst(src.size(), 0xFFFF);
        calc_dcs_sort(dst.data(), src.data(), w, static_cast<int>(c.rows.size()));
        EXPECT_EQ(dst, want);
    }
}

// ---- argument checks -----------------------------------------------------------------------

TEST(EpcCalcArgs, RefusedWithoutWriting) {
    CalcDriver d;
    d.mount({std::vector<uint16_t>(16, 17000), std::vector<uint16_t>(16, 21000)});
    struct Case {
        const char *what;
        int w, h, n;
    };
    const Case cases[] = {
        {"3 DCS", 4, 1, 3},          {"0 DCS", 4, 1, 0},       {"8 DCS", 4, 1, 8},
        {"76801 pixels", 76801, 1, 4}, {"6 pixels", 3, 2, 2},  {"negative width", -4, 1, 4},
        {"negative height", 4, -1, 1},
    };
    std::vector<uint16_t> q(4 * 76804, kMid);
    for (const Case &c : cases) {
        std::vector<uint16_t> a(76804, 7), b(76804, 7);
        EXPECT_FALSE(calc_dist_calib_none(d.drv(), a.data(), b.data(), q.data(), c.w, c.h, c.n, 1000, -2000)) << c.what;
        EXPECT_FALSE(calc_dist_calib_simple(d.drv(), a.data(), b.data(), q.data(), c.w, c.h, c.n)) << c.what;
        EXPECT_FALSE(calc_dist_calib_drnu_lut(d.drv(), a.data(), b.data(), q.data(), c.w, c.h, c.n)) << c.what;
        EXPECT_FALSE(calc_gray(d.drv(), a.data(), q.data(), c.w, c.h, c.n)) << c.what;
        EXPECT_EQ(a, std::vector<uint16_t>(76804, 7)) << c.what;
        EXPECT_EQ(b, std::vector<uint16_t>(76804, 7)) << c.what;
    }
    std::vector<uint16_t> out(4);
    EXPECT_FALSE(calc_gray(nullptr, out.data(), q.data(), 4, 1, 4));
    kavro_drv_t bare{};
    EXPECT_FALSE(calc_dist_calib_none(&bare, out.data(), out.data(), q.data(), 4, 1, 4, 1000, -2000));
    EXPECT_FALSE(calc_gray(d.drv(), out.data(), nullptr, 4, 1, 4));
}

TEST(EpcCalcInit, DefaultsAndMissingDriverState) {
    CalcDriver d;
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(d.calc().config.calib_simple_scale_um, 1000);
    EXPECT_EQ(d.calc().config.calib_simple_offset_mm, -2000);
    EXPECT_EQ(d.calc().drnu.payload, nullptr);
    EXPECT_FALSE(epc_calc_calib_loaded(d.drv()));
    kavro_drv_t bare{};
    EXPECT_FALSE(epc_calc_init(&bare));
    EXPECT_FALSE(epc_calc_init(nullptr));
}

// ---- DRNU interpolation ------------------------------------------------------------------

// Reference images 100 mm apart, the first at the 295 mm wall, all pixels of
// image k at phase 17000 + 4000 k: a pixel at phase p lies at about
// 295 + 100 (k + (p - R_k) / 4000) mm, measured from the bracket k the mean
// phases give (clamped to the first and last pair of images). The
// tolerance covers the integer truncations.
struct DrnuCase {
    const char *what;
    int refs;     // number of reference images
    int x, y;     // the pixel's vector
    double k_frac;  // expected position in reference steps
};

class EpcCalcDrnu : public ::testing::TestWithParam<DrnuCase> {};

TEST_P(EpcCalcDrnu, InterpolatesBetweenReferences) {
    const DrnuCase &c = GetParam();
    CalcDriver d;
    std::vector<std::vector<uint16_t>> refs;
    for (int k = 0; k < c.refs; ++k) refs.emplace_back(4, static_cast<uint16_t>(17000 + 4000 * k));
    d.mount(refs);
    ASSERT_TRUE(epc_calc_calib_loaded(d.drv()));
    const std::vector<uint16_t> q = quads_of({{c.x, c.y}, {c.x, c.y}, {c.x, c.y}, {c.x, c.y}});
    std::vector<uint16_t> dist(4), confid(4);
    ASSERT_TRUE(calc_dist_calib_drnu_lut(d.drv(), dist.data(), confid.data(), q.data(), 4, 1, 4));
    const double want = 295 + 100 * c.k_frac;
    EXPECT_NEAR(dist[2], want, 2.0) << c.what;
    EXPECT_EQ(confid[2], static_cast<int>(std::sqrt((c.x * c.x + c.y * c.y) / 4)));
}

// Phases: (1000, 1000) 20480; (0, 1000) 24576; (1000, 0) 16384; (1, -1) 28672.
INSTANTIATE_TEST_SUITE_P(
    Brackets, EpcCalcDrnu,
    ::testing::Values(DrnuCase{"three images, inside the first step", 3, 1000, 1000, 3480.0 / 4000},
                      DrnuCase{"three images, inside the second step", 3, 0, 1000, 1 + 3576.0 / 4000},
                      DrnuCase{"three images, below the first", 3, 1000, 0, -616.0 / 4000},
                      DrnuCase{"three images, beyond the last", 3, -1000, 1000, 1 + 7672.0 / 4000},
                      DrnuCase{"two images, between them", 2, 1000, 1000, 3480.0 / 4000},
                      DrnuCase{"two images, beyond the last", 2, 0, 1000, 7576.0 / 4000},
                      DrnuCase{"two images, below the first", 2, 1000, 0, -616.0 / 4000}));

// Two neighbouring references of equal phase at a pixel give no local
// slope; the mean slope of the block (4000 phase units per image) stands in,
// so the result stays where the other pixels put it.
TEST(EpcCalcDrnuEdge, EqualReferencesUseTheMeanSlope) {
    CalcDriver d;
    std::vector<std::vector<uint16_t>> refs = {std::vector<uint16_t>(4, 17000), std::vector<uint16_t>(4, 21000),
                                               std::vector<uint16_t>(4, 25000)};
    refs[0][1] = 21000;  // pixel 1: images 0 and 1 both at 21000
    refs[1][3] = 17000;  // pixel 3: images 0 and 1 both at 17000
    d.mount(refs);
    d.calc().config.calib_phase_min = 17000;  // the block's means as without the two pixels
    d.calc().config.calib_phase_max = 25000;
    const std::vector<uint16_t> q = quads_of({{1000, 1000}, {1000, 1000}, {1000, 1000}, {1000, 1000}});
    std::vector<uint16_t> dist(4), confid(4);
    ASSERT_TRUE(calc_dist_calib_drnu_lut(d.drv(), dist.data(), confid.data(), q.data(), 4, 1, 4));
    // Phase 20480 brackets with images 0 and 1: 3480 above 17000, 520 below 21000.
    EXPECT_NEAR(dist[0], 295 + 100 * (3480.0 / 4000), 2.0);
    EXPECT_NEAR(dist[1], 295 + 100 * (-520.0 / 4000), 2.0);
    EXPECT_NEAR(dist[3], 295 + 100 * (3480.0 / 4000), 2.0);
}

// The sensor temperature 10 degC above calibration with 40 phase units per
// degC moves every phase down by 400, i.e. 10 mm nearer; the user offset
// adds on top.
TEST(EpcCalcDrnuEdge, TemperatureShiftAndUserOffset) {
    CalcDriver d;
    d.mount({std::vector<uint16_t>(4, 17000), std::vector<uint16_t>(4, 21000), std::vector<uint16_t>(4, 25000)});
    const std::vector<uint16_t> q = quads_of({{1000, 1000}, {1000, 1000}, {1000, 1000}, {1000, 1000}});
    std::vector<uint16_t> base(4), shifted(4), offset(4), confid(4);
    ASSERT_TRUE(calc_dist_calib_drnu_lut(d.drv(), base.data(), confid.data(), q.data(), 4, 1, 4));
    d.e().temp_cb = 350;
    d.calc().config.calib_temp_cb = 250;
    d.e().tcoef_cb_phase = 40.0f;
    ASSERT_TRUE(calc_dist_calib_drnu_lut(d.drv(), shifted.data(), confid.data(), q.data(), 4, 1, 4));
    d.e().f_en_offset = true;
    d.e().f_param_offset_mm = -50;
    ASSERT_TRUE(calc_dist_calib_drnu_lut(d.drv(), offset.data(), confid.data(), q.data(), 4, 1, 4));
    EXPECT_NEAR(base[0] - shifted[0], 10, 1);
    EXPECT_EQ(offset[0], shifted[0] - 50);
}

// Saturated samples are computed anyway on this path; a wrong frequency, no
// block, fewer than two images or a frame larger than the references leave
// the outputs untouched.
TEST(EpcCalcDrnuEdge, RefusalsAndNoSaturationTest) {
    const std::vector<uint16_t> q(4 * 4, 4095);
    std::vector<uint16_t> dist(4, 7), confid(4, 7);
    {
        CalcDriver d;
        EXPECT_FALSE(calc_dist_calib_drnu_lut(d.drv(), dist.data(), confid.data(), q.data(), 4, 1, 4)) << "no block";
        d.mount({std::vector<uint16_t>(4, 17000), std::vector<uint16_t>(4, 21000)});
        ASSERT_TRUE(calc_dist_calib_drnu_lut(d.drv(), dist.data(), confid.data(), q.data(), 4, 1, 4));
        EXPECT_NE(dist[0], EPC_DIST_NO_SAMPLE);
        EXPECT_EQ(confid[0], 0);  // x = y = 0
        d.e().mod_freq = 20000000;
        EXPECT_FALSE(epc_calc_calib_loaded(d.drv()));
        std::fill(dist.begin(), dist.end(), 7);
        EXPECT_FALSE(calc_dist_calib_drnu_lut(d.drv(), dist.data(), confid.data(), q.data(), 4, 1, 4)) << "frequency";
    }
    {
        CalcDriver d;
        d.mount({std::vector<uint16_t>(4, 17000)});
        EXPECT_FALSE(epc_calc_calib_loaded(d.drv()));
        EXPECT_FALSE(calc_dist_calib_drnu_lut(d.drv(), dist.data(), confid.data(), q.data(), 4, 1, 4)) << "one image";
    }
    {
        CalcDriver d;
        d.mount({std::vector<uint16_t>(4, 17000), std::vector<uint16_t>(4, 21000)});
        d.calc().drnu.hdr.w = 2;
        d.calc().drnu.hdr.h = 1;  // references of 2 pixels
        EXPECT_FALSE(calc_dist_calib_drnu_lut(d.drv(), dist.data(), confid.data(), q.data(), 4, 1, 4)) << "size";
    }
    EXPECT_EQ(dist, std::vector<uint16_t>(4, 7));
}

TEST(EpcCalcDrnuEdge, RowPairWidthMustBeAMultipleOfFour) {
    LogFileCapture log("epc_calc_mbr_width");
    CalcDriver d;
    d.mount({std::vector<uint16_t>(16, 17000), std::vector<uint16_t>(16, 21000)});
    const std::vector<uint16_t> q(16, kMid);
    std::vector<uint16_t> dist(16), confid(16);
    EXPECT_FALSE(calc_dist_calib_drnu_lut(d.drv(), dist.data(), confid.data(), q.data(), 2, 8, 1));
    EXPECT_TRUE(log.contains("[calc_dist_calib_drnu_lut_2dcs_mbr] width 2 not support"));
    EXPECT_TRUE(calc_dist_calib_drnu_lut(d.drv(), dist.data(), confid.data(), q.data(), 4, 4, 1));
}

// ---- scalar, SSE4.1 and AVX2 give identical results ---------------------------------------

class IsaGuard {
public:
    ~IsaGuard() { _epc_calc_set_isa(_epc_calc_isa_best()); }
};

// Raw samples mixing ordinary values, the saturation codes, the upper
// four bits set, and vectors whose half length squared lies just below a
// perfect square (where the fast root overshoots).
std::vector<uint16_t> random_raw(std::mt19937 &rng, size_t cnt) {
    std::vector<uint16_t> v(cnt);
    std::uniform_int_distribution<int> any(0, 65535), kind(0, 19), near(-40, 40);
    for (size_t i = 0; i < cnt; ++i) {
        const int k = kind(rng);
        if (k == 0)
            v[i] = 0;
        else if (k == 1)
            v[i] = 4095;
        else if (k < 5)
            v[i] = static_cast<uint16_t>(kMid + near(rng));
        else if (k < 8)
            v[i] = static_cast<uint16_t>(any(rng) | 0xF000);
        else
            v[i] = static_cast<uint16_t>(any(rng) & 0x0FFF);
    }
    return v;
}

struct Outputs {
    std::vector<uint16_t> none_d, none_g, simple_d, simple_g, drnu_d, drnu_c, gray;
    bool operator==(const Outputs &) const = default;
};

Outputs run_all(CalcDriver &d, const std::vector<uint16_t> &q, int w, int h, int n, int scale, int offset) {
    const size_t px = static_cast<size_t>(w) * h;
    Outputs o;
    for (auto *v : {&o.none_d, &o.none_g, &o.simple_d, &o.simple_g, &o.drnu_d, &o.drnu_c, &o.gray}) v->assign(px, 1);
    EXPECT_TRUE(calc_dist_calib_none(d.drv(), o.none_d.data(), o.none_g.data(), q.data(), w, h, n, scale, offset));
    EXPECT_TRUE(calc_dist_calib_simple(d.drv(), o.simple_d.data(), o.simple_g.data(), q.data(), w, h, n));
    const bool drnu_ok = n != 1 || w % 4 == 0;
    EXPECT_EQ(calc_dist_calib_drnu_lut(d.drv(), o.drnu_d.data(), o.drnu_c.data(), q.data(), w, h, n), drnu_ok);
    EXPECT_TRUE(calc_gray(d.drv(), o.gray.data(), q.data(), w, h, n));
    return o;
}

TEST(EpcCalcIsa, VectorLoopsMatchTheScalarReference) {
    IsaGuard guard;
    std::mt19937 rng(20261210);
    struct Size {
        int w, h;
    };
    const Size sizes[] = {{320, 240}, {4, 1}, {12, 3}, {36, 7}, {24, 10}, {4, 6}, {20, 2},
                          {100, 12}, {44, 9}, {10, 6}, {18, 10}};
    struct Config {
        uint32_t mod_freq;
        int scale, offset;
        int16_t temp_cb, temp_ib;
        bool user_offset;
    };
    const Config configs[] = {
        {kFreq12, 1000, -2000, 412, 377, false},
        {20000000, 1033, 150, -35, 950, true},
        {6000000, -700, 2000000000, 1200, -400, true},  // 32-bit wrap-around in the distance
        {70, 123456, -7, 0, 0, false},                   // a range beyond 2^31 mm
        // Scale 1000 with offsets at and beyond the edges of the u16-lane
        // distance (the user offset of -321 is added to them).
        {kFreq12, 1000, 32767 - 12491 + 321, 0, 0, true},
        {kFreq12, 1000, 32767 - 12491 + 322, 0, 0, true},
        {kFreq12, 1000, 32767 - 12491 + 321 + 200, 0, 0, true},
        {kFreq12, 1000, -32768 + 321, 0, 0, true},
        {kFreq12, 1000, -32768 + 320, 0, 0, true},
        {kFreq12, 1000, 30000, 0, 0, false},
    };
    int runs = 0;
    for (const Config &cfg : configs)
        for (const Size &sz : sizes)
            for (int n : {4, 2, 1}) {
                CalcDriver d(cfg.mod_freq);
                d.e().temp_cb = cfg.temp_cb;
                d.e().temp_ib = cfg.temp_ib;
                d.e().tcoef_cb_phase = 37.5f;
                d.e().tcoef_ib_phase = -3.25f;
                d.e().f_en_offset = cfg.user_offset;
                d.e().f_param_offset_mm = -321;
                // Random references with equal neighbours now and then.
                const size_t px = static_cast<size_t>(sz.w) * sz.h;
                std::vector<std::vector<uint16_t>> refs(5, std::vector<uint16_t>(px));
                std::uniform_int_distribution<int> ph(0, 32767), eq(0, 9);
                for (size_t i = 0; i < px; ++i)
                    for (int k = 0; k < 5; ++k)
                        refs[k][i] = k > 0 && eq(rng) == 0 ? refs[k - 1][i] : static_cast<uint16_t>(ph(rng));
                d.mount(refs, 80000);
                const std::vector<uint16_t> q = random_raw(rng, px * static_cast<size_t>(n));

                _epc_calc_set_isa(EPC_CALC_ISA_SCALAR);
                const Outputs ref = run_all(d, q, sz.w, sz.h, n, cfg.scale, cfg.offset);
                for (epc_calc_isa_e isa : {EPC_CALC_ISA_SSE4, EPC_CALC_ISA_AVX2}) {
                    if (_epc_calc_set_isa(isa) != isa) continue;  // CPU without AVX2
                    const Outputs got = run_all(d, q, sz.w, sz.h, n, cfg.scale, cfg.offset);
                    EXPECT_TRUE(got == ref) << "isa " << isa << " " << sz.w << "x" << sz.h << " n " << n
                                            << " freq " << cfg.mod_freq;
                    ++runs;
                }
            }
    EXPECT_GT(runs, 0);
}

// Every direction on a grid through all three loops: the folding, the
// corrected table index and the lookup agree lane by lane.
TEST(EpcCalcIsa, EveryDirectionOfAGrid) {
    IsaGuard guard;
    std::vector<std::pair<int, int>> xy;
    for (int y = -4092; y <= 4092; y += 89)
        for (int x = -4092; x <= 4092; x += 97) xy.emplace_back(x & ~1, y & ~1);
    while (xy.size() % 16 != 0) xy.emplace_back(0, 0);
    const std::vector<uint16_t> q = quads_of(xy);
    const int w = static_cast<int>(xy.size());
    CalcDriver d;
    std::vector<uint16_t> ref_d(w), ref_g(w), got_d(w), got_g(w);
    _epc_calc_set_isa(EPC_CALC_ISA_SCALAR);
    ASSERT_TRUE(calc_dist_calib_none(d.drv(), ref_d.data(), ref_g.data(), q.data(), w, 1, 4, 1000, 0));
    for (int i = 0; i < w; ++i) {
        const int x = xy[i].first, y = xy[i].second;
        if (x == 0 && y == 0) continue;
        // The scalar reference itself: phase within 2 units of atan2.
        const double mm = ref_phase(y, x) * kRange12 / 32768;
        const double gap = std::fabs(ref_d[i] - mm);
        EXPECT_LE(std::min(gap, kRange12 - gap), 2.0) << x << "," << y;
    }
    for (epc_calc_isa_e isa : {EPC_CALC_ISA_SSE4, EPC_CALC_ISA_AVX2}) {
        if (_epc_calc_set_isa(isa) != isa) continue;
        ASSERT_TRUE(calc_dist_calib_none(d.drv(), got_d.data(), got_g.data(), q.data(), w, 1, 4, 1000, 0));
        EXPECT_EQ(got_d, ref_d) << "isa " << isa;
        EXPECT_EQ(got_g, ref_g) << "isa " << isa;
    }
}

}  // namespace

// Every vector of valid samples, (x, y) in [-4093, 4093]^2, through all
// three loops. The vector loops fold a direction in one step where the
// scalar function folds it octant by octant, so the boundaries between
// octants, the axes and (0, 0) must come out the same; the amplitude's
// square-root fix-up runs wherever the fast root differs. With a range of
// 32768 mm the distance is the phase itself (the 32-bit lanes); with the
// 12 MHz range the u16-lane distance runs.
TEST(EpcCalcIsa, EveryVectorOfValidSamples) {
    IsaGuard guard;
    constexpr int kMax = 4093, kCols = 16;
    constexpr int kRows = 2 * kMax + 1;
    const size_t px = static_cast<size_t>(kCols) * kRows;
    std::vector<uint16_t> q(4 * px), ref_d(px), ref_g(px), got_d(px), got_g(px);
    std::vector<int> xs(px), ys(px);
    // Samples 1 ... 4094 whose difference is v.
    auto pair_of = [](int v, uint16_t &lo, uint16_t &hi) {
        lo = static_cast<uint16_t>(v >= 0 ? 1 : 1 - v);
        hi = static_cast<uint16_t>(lo + v);
    };
    for (uint32_t range : {32768u, kRange12}) {
        CalcDriver d;
        d.e().dist_max_mm = range;
        for (int x0 = -kMax; x0 <= kMax; x0 += kCols) {
            for (int c = 0; c < kCols; ++c)
                for (int r = 0; r < kRows; ++r) {
                    const size_t i = static_cast<size_t>(c) * kRows + r;
                    xs[i] = std::min(x0 + c, kMax);
                    ys[i] = r - kMax;
                    pair_of(xs[i], q[i], q[2 * px + i]);
                    pair_of(ys[i], q[px + i], q[3 * px + i]);
                }
            _epc_calc_set_isa(EPC_CALC_ISA_SCALAR);
            ASSERT_TRUE(calc_dist_calib_none(d.drv(), ref_d.data(), ref_g.data(), q.data(), kRows, kCols, 4, 1000, 0));
            // The premise: with this range the distance is the phase.
            if (range == 32768u) {
                for (size_t i = 0; i < px; ++i) {
                    if (ref_d[i] != vx_math_atan2_i32(ys[i], xs[i])) {
                        FAIL() << "distance is not the phase at " << xs[i] << "," << ys[i];
                    }
                }
            }
            for (epc_calc_isa_e isa : {EPC_CALC_ISA_SSE4, EPC_CALC_ISA_AVX2}) {
                if (_epc_calc_set_isa(isa) != isa) continue;
                ASSERT_TRUE(
                    calc_dist_calib_none(d.drv(), got_d.data(), got_g.data(), q.data(), kRows, kCols, 4, 1000, 0));
                for (size_t i = 0; i < px; ++i) {
                    if (got_d[i] != ref_d[i] || got_g[i] != ref_g[i]) {
                        FAIL() << "isa " << isa << " range " << range << " at " << xs[i] << "," << ys[i]
                               << ": distance " << got_d[i] << " (scalar " << ref_d[i] << "), gray " << got_g[i]
                               << " (scalar " << ref_g[i] << ")";
                    }
                }
            }
        }
    }
}
