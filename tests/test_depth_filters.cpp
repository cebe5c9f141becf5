// Depth clean-up filters: box average, flying pixels, the fixed-window hole
// fillers and the distance-propagation hole filler, on small hand-made
// images that each show one rule; size errors for all of them.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "vx_log.h"
#include "vx_medfilter.h"

namespace {

using Image = std::vector<uint16_t>;

std::string captured_log(const std::function<void()> &f) {
    vx_log_init(nullptr, nullptr, "test");
    testing::internal::CaptureStderr();
    f();
    std::string out = testing::internal::GetCapturedStderr();
    vx_log_uninit(nullptr);
    return out;
}

Image box(const Image &src, int w, int h) {
    Image out(src.size(), 0xBEEF);
    vx_box2d_u16_k3(out.data(), src.data(), w, h);
    return out;
}

Image flypix(const Image &src, int w, int h, uint32_t threshold) {
    Image out(src.size(), 0xBEEF);
    vx_flypix_u16_k3(out.data(), src.data(), w, h, threshold);
    return out;
}

Image fhole(int k, const Image &src, int w, int h, int global_fill) {
    Image in = src, out(src.size(), 0xBEEF);
    if (k == 3)
        vx_fhole_u16_k3(out.data(), in.data(), w, h, global_fill);
    else
        vx_fhole_u16_k5(out.data(), in.data(), w, h, global_fill);
    EXPECT_EQ(in, src) << "the source must not change";
    return out;
}

Image edt(const Image &src, int w, int h) {
    Image out(src.size(), 0xBEEF);
    vx_fhole_u16_edt3(out.data(), src.data(), w, h);
    return out;
}

// A w x h field of `fill` with a hole block of side n at (x0, y0).
Image field_with_block(int w, int h, uint16_t fill, int x0, int y0, int n) {
    Image img(static_cast<size_t>(w * h), fill);
    for (int y = y0; y < y0 + n; ++y)
        for (int x = x0; x < x0 + n; ++x) img[static_cast<size_t>(y * w + x)] = 0;
    return img;
}

TEST(BoxFilter, CentreIsExcludedAndBordersReplicate) {
    // The corner 8 is its own neighbour three times through clamping, an
    // edge neighbour of the others twice, the opposite corner's once.
    EXPECT_EQ(box({8, 0, 0, 0}, 2, 2), (Image{3, 2, 2, 1}));
    // 3x3: only the centre's value differs; it must not count for itself.
    EXPECT_EQ(box({0, 0, 0, 0, 800, 0, 0, 0, 0}, 3, 3), (Image{100, 100, 100, 100, 0, 100, 100, 100, 100}));
    // The sum of eight full-scale samples needs more than 16 bits.
    EXPECT_EQ(box(Image(12, 65535), 4, 3), Image(12, 65535));
}

TEST(FlyingPixels, FlatImagePassesForAnyThreshold) {
    const Image flat(20, 1234);
    for (uint32_t t : {0u, 15u, 16u, 90000u, 0xFFFFFFFFu}) EXPECT_EQ(flypix(flat, 5, 4, t), flat) << t;
}

TEST(FlyingPixels, StepEdgeColumnsAreCleared) {
    // Columns 0-2 at 1000, 3-5 at 5000: columns 2 and 3 see gx = 4000.
    const int w = 6, h = 4;
    Image step(static_cast<size_t>(w * h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) step[static_cast<size_t>(y * w + x)] = x < 3 ? 1000 : 5000;
    Image want = step;
    for (int y = 0; y < h; ++y) want[static_cast<size_t>(y * w + 2)] = want[static_cast<size_t>(y * w + 3)] = 0;
    EXPECT_EQ(flypix(step, w, h, 90000), want);
}

TEST(FlyingPixels, ThresholdIsShiftedAndComparisonIsStrict) {
    // A ramp rising 4 per column: the quartered values rise 1 per column, so
    // gx = 8 inside (e = 64) and gx = 4 on the clamped border columns (e = 16).
    const int w = 5, h = 3;
    Image ramp(static_cast<size_t>(w * h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) ramp[static_cast<size_t>(y * w + x)] = static_cast<uint16_t>(1000 + 4 * x);
    auto cleared_columns = [&](uint32_t threshold) {
        const Image out = flypix(ramp, w, h, threshold);
        std::string cols;
        for (int x = 0; x < w; ++x) {
            bool all_zero = true, all_kept = true;
            for (int y = 0; y < h; ++y) {
                const size_t i = static_cast<size_t>(y * w + x);
                all_zero &= out[i] == 0;
                all_kept &= out[i] == ramp[i];
            }
            cols += all_zero ? '0' : (all_kept ? 'k' : '?');
        }
        return cols;
    };
    EXPECT_EQ(cleared_columns(1024), "kkkkk");  // 64 > 64 is false
    EXPECT_EQ(cleared_columns(1023), "k000k");  // 64 > 63
    EXPECT_EQ(cleared_columns(256), "k000k");   // 16 > 16 is false
    EXPECT_EQ(cleared_columns(255), "00000");
    EXPECT_EQ(cleared_columns(15), "00000");    // below 16 only gx = gy = 0 survives
}

TEST(FlyingPixels, HugeEdgeEnergyDoesNotWrap) {
    // Left column 0, right column 65535: gx = 4 * 16383 = 65532. The centre
    // column rises from 0 to 1452, gy = 726. gx^2 + gy^2 = 4294970100 is just
    // above 2^32; wrapped to 32 bits it would be 2804, below 90000 >> 4.
    const Image src = {0, 0, 65535, 0, 1000, 65535, 0, 1452, 65535};
    EXPECT_EQ(flypix(src, 3, 3, 90000)[4], 0);
}

// The flying-pixel rule written out per pixel with exact 64-bit energy.
Image flypix_reference(const Image &src, int w, int h, uint32_t threshold) {
    Image out(src.size());
    auto q = [&](int x, int y) {
        x = x < 0 ? 0 : (x >= w ? w - 1 : x);
        y = y < 0 ? 0 : (y >= h ? h - 1 : y);
        return static_cast<int64_t>(src[static_cast<size_t>(y * w + x)] >> 2);
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int64_t gx = q(x + 1, y - 1) + q(x + 1, y + 1) + 2 * (q(x + 1, y) - q(x - 1, y)) - q(x - 1, y - 1) -
                               q(x - 1, y + 1);
            const int64_t gy = q(x - 1, y + 1) + q(x + 1, y + 1) + 2 * (q(x, y + 1) - q(x, y - 1)) - q(x - 1, y - 1) -
                               q(x + 1, y - 1);
            const size_t i = static_cast<size_t>(y * w + x);
            out[i] = gx * gx + gy * gy > static_cast<int64_t>(threshold >> 4) ? 0 : src[i];
        }
    return out;
}

// Test images that reach every lane of the vector loop and the borders:
// smooth depth with steps, holes and codes, spikes up to 65535.
Image rough_image(int w, int h, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> pick(0, 99), noise(-40, 40), any(0, 65535);
    Image img(static_cast<size_t>(w * h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int r = pick(rng);
            uint16_t v = static_cast<uint16_t>(1500 + 20 * x + 7 * y + ((x / 5) % 2) * 900 + noise(rng));
            if (r < 8) v = 0;
            else if (r < 11) v = 65300;
            else if (r < 13) v = 65500;
            else if (r < 16) v = static_cast<uint16_t>(any(rng));
            else if (r < 18) v = r % 2 ? 65535 : 1;
            img[static_cast<size_t>(y * w + x)] = v;
        }
    return img;
}

// Many widths (below, at and past one vector of inner columns) and the
// thresholds that matter: below 16, the driver's, and the largest.
TEST(FlyingPixels, EveryPixelMatchesTheRule) {
    for (int w : {2, 3, 9, 10, 11, 17, 26, 320})
        for (int h : {2, 3, 7}) {
            const Image src = rough_image(w, h, static_cast<uint32_t>(w * 31 + h));
            for (uint32_t t : {0u, 15u, 1024u, 90000u, 4000000u, 0xFFFFFFFFu})
                ASSERT_EQ(flypix(src, w, h, t), flypix_reference(src, w, h, t)) << w << "x" << h << " t " << t;
        }
    // Gradients around the 2^14 boundary of the quartered Sobel sums: a
    // column step of s quartered units gives |gx| = 4 s.
    for (int s : {4095, 4096, 4097, 8191, 8192, 16383}) {
        const int w = 12, h = 3;
        Image src(static_cast<size_t>(w * h));
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) src[static_cast<size_t>(y * w + x)] = static_cast<uint16_t>(x < 6 ? 0 : 4 * s);
        for (uint32_t t : {0xFFFFFFF0u, 0xFFFFFFFFu, 90000u})
            ASSERT_EQ(flypix(src, w, h, t), flypix_reference(src, w, h, t)) << s << " t " << t;
    }
}

// The local 3x3 hole filler written out per pixel.
Image fhole3_reference(const Image &src, int w, int h) {
    Image out(src.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t i = static_cast<size_t>(y * w + x);
            if (static_cast<int16_t>(src[i]) > 0) {
                out[i] = src[i];
                continue;
            }
            int best = INT32_MIN;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    if (dx == 0 && dy == 0) continue;
                    const int xx = x + dx < 0 ? 0 : (x + dx >= w ? w - 1 : x + dx);
                    const int yy = y + dy < 0 ? 0 : (y + dy >= h ? h - 1 : y + dy);
                    const int v = static_cast<int16_t>(src[static_cast<size_t>(yy * w + xx)]);
                    best = v > best ? v : best;
                }
            out[i] = static_cast<uint16_t>(best);
        }
    return out;
}

TEST(HoleFillFixedWindow, LocalFillMatchesTheRuleOnEveryPixel) {
    for (int w : {2, 3, 9, 10, 11, 17, 26, 320})
        for (int h : {2, 3, 7}) {
            const Image src = rough_image(w, h, static_cast<uint32_t>(w * 7 + h));
            ASSERT_EQ(fhole(3, src, w, h, 0), fhole3_reference(src, w, h)) << w << "x" << h;
        }
}

struct HoleCase {
    const char *what;
    int k;
    int global_fill;
    int w, h;
    Image src, want;
};

TEST(HoleFillFixedWindow, FillsHolesWithLargestSignedNeighbour) {
    const uint16_t R = 65300, S = 65500;  // rejected and saturated markers
    const HoleCase cases[] = {
        {"single hole takes the largest neighbour", 3, 0, 3, 3,
         {1000, 2000, 1000, 3000, 0, 1000, 1000, 2000, 1000},
         {1000, 2000, 1000, 3000, 3000, 1000, 1000, 2000, 1000}},
        {"markers are holes; valid beats them", 3, 0, 3, 3,
         {500, S, 600, 700, R, 500, 500, 500, 500},
         {500, 700, 600, 700, 700, 500, 500, 500, 500}},
        {"0x8000 is a hole", 3, 0, 2, 2, {0x8000, 10, 20, 30}, {30, 10, 20, 30}},
        {"all-hole neighbourhood: 0 beats the markers", 3, 0, 3, 2,
         {R, 0, S, R, S, R}, {0, 0, 0, 0, 0, 0}},
        {"all-hole neighbourhood of markers keeps the largest marker", 3, 0, 2, 2,
         {R, S, S, S}, {S, S, S, S}},
        {"5x5 reaches two columns away, not three", 5, 0, 5, 2,
         {0, 0, 0, 0, 700, 600, 0, 0, 0, 0},
         {600, 600, 700, 700, 700, 600, 600, 700, 700, 700}},
        {"5x5 ignores the centre", 5, 0, 2, 2, {0, 0, 0, 40}, {40, 40, 40, 40}},
    };
    for (const HoleCase &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(fhole(c.k, c.src, c.w, c.h, c.global_fill), c.want);
    }
}

TEST(HoleFillFixedWindow, GlobalFillSpreadsWithinOnePass) {
    // 3x3 hole block in a 5x5 field of 500: without global fill every output
    // depends on src only and the block's centre (no valid neighbour) stays 0.
    const Image block3 = field_with_block(5, 5, 500, 1, 1, 3);
    Image want_local(25, 500);
    want_local[12] = 0;
    EXPECT_EQ(fhole(3, block3, 5, 5, 0), want_local);
    EXPECT_EQ(fhole(3, block3, 5, 5, 1), Image(25, 500));

    // The same for the 5x5 window with a 5x5 block in a 9x9 field.
    const Image block5 = field_with_block(9, 9, 500, 2, 2, 5);
    Image want5(81, 500);
    want5[40] = 0;
    EXPECT_EQ(fhole(5, block5, 9, 9, 0), want5);
    EXPECT_EQ(fhole(5, block5, 9, 9, 1), Image(81, 500));

    // Filling runs top-down, left to right: a hole region reached only from
    // below is not filled in one pass, even with global fill.
    const Image below = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 9, 9, 9};
    EXPECT_EQ(fhole(3, below, 4, 4, 1), (Image{0, 0, 0, 0, 0, 0, 0, 0, 9, 9, 9, 9, 9, 9, 9, 9}));
}

TEST(HoleFillDistance, NearestValidPixelWithTieOrder) {
    // Holes under 10 20 30. (1,1) picks the upper-left 10 (distance 3);
    // (2,2) sees 10 at TL and 20 at T, both at distance 3, and takes the
    // diagonal, which comes first in the tie order.
    EXPECT_EQ(edt({10, 20, 30, 0, 0, 0, 0, 0, 0}, 3, 3), (Image{10, 20, 30, 10, 10, 20, 10, 10, 10}));
    // The top-left corner has no valid pixel above or left; it takes the
    // one to its right. Markers are holes too.
    EXPECT_EQ(edt({0, 7, 65300, 8}, 2, 2), (Image{7, 7, 7, 8}));
    // Straight above beats straight below at equal distance: the centre
    // sees 10 above and 20 below (both valid, distance 1) while its other
    // neighbours are unreached or filled further away.
    EXPECT_EQ(edt({0, 10, 0, 0, 0, 0, 0, 20, 0}, 3, 3), (Image{10, 10, 10, 10, 10, 10, 20, 20, 20}));
    // One pass only: when (0,0) is visited none of its neighbours has been
    // reached yet, so it stays a hole although a valid pixel is two away;
    // every later hole is reached through a filled or valid neighbour.
    EXPECT_EQ(edt({0, 0, 5, 0, 0, 0}, 3, 2), (Image{0, 5, 5, 5, 5, 5}));
}

TEST(HoleFillDistance, RowsWiderThan16BitIndices) {
    // Column indices past 65535 must still address the right pixels: a hole
    // in the last column takes its left neighbour's value.
    const int w = 65537, h = 2;
    Image src(static_cast<size_t>(w) * h, 0);
    for (int x = 0; x < w - 1; ++x) src[static_cast<size_t>(x)] = src[static_cast<size_t>(w + x)] = 300;
    src[static_cast<size_t>(w - 2)] = 0;  // a hole just left of the 65536 boundary
    EXPECT_EQ(edt(src, w, h), Image(src.size(), 300));
}

TEST(HoleFillDistance, UnreachedHolesStayHoles) {
    const uint16_t R = 65300;
    const Image src = {0, R, R, R, 0, R};
    const Image out = edt(src, 3, 2);
    for (uint16_t v : out) EXPECT_LE(static_cast<int16_t>(v), 0) << v;
    EXPECT_EQ(out[0], 0);  // the corner chooses itself and keeps its value
}

TEST(DepthFilterErrors, BadSizesAreLoggedAndDstIsUntouched) {
    struct Filter {
        const char *name;
        std::function<void(uint16_t *, uint16_t *, int, int)> run;
    };
    const Filter filters[] = {
        {"vx_box2d_u16_k3", [](uint16_t *d, uint16_t *s, int w, int h) { vx_box2d_u16_k3(d, s, w, h); }},
        {"vx_flypix_u16_k3", [](uint16_t *d, uint16_t *s, int w, int h) { vx_flypix_u16_k3(d, s, w, h, 90000); }},
        {"vx_fhole_u16_k3", [](uint16_t *d, uint16_t *s, int w, int h) { vx_fhole_u16_k3(d, s, w, h, 1); }},
        {"vx_fhole_u16_k5", [](uint16_t *d, uint16_t *s, int w, int h) { vx_fhole_u16_k5(d, s, w, h, 0); }},
        {"vx_fhole_u16_edt3", [](uint16_t *d, uint16_t *s, int w, int h) { vx_fhole_u16_edt3(d, s, w, h); }},
    };
    const int sizes[][2] = {{1, 8}, {8, 1}, {0, 0}, {-2, 4}};
    for (const Filter &f : filters) {
        for (const auto &s : sizes) {
            SCOPED_TRACE(testing::Message() << f.name << " " << s[0] << "x" << s[1]);
            Image src(16, 0), dst(16, 0xABCD);
            const std::string log = captured_log([&] { f.run(dst.data(), src.data(), s[0], s[1]); });
            const std::string want = "[ERR][" + std::string(f.name) + "]  wrong parameter:w/h=" +
                                     std::to_string(s[0]) + "/" + std::to_string(s[1]) + "\n";
            EXPECT_NE(log.find(want), std::string::npos) << log;
            EXPECT_EQ(dst, Image(16, 0xABCD));
        }
    }
}

}  // namespace
