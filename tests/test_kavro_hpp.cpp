// The C++ layer of kavro.hpp on replayed simulator recordings: frames in
// owned buffers and in caller buffers, decoding against the C calls,
// errors carrying the library's message, move-only handles that close what
// they hold, and frame-file round trips.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

// The header must stay clean under -pedantic (the test build does not pass it).
#pragma GCC diagnostic push
#pragma GCC diagnostic error "-Wpedantic"
#include "kavro.hpp"
#pragma GCC diagnostic pop

#include "sim_record.h"

namespace {

static_assert(!std::is_copy_constructible_v<kavro::device> && !std::is_copy_assignable_v<kavro::device>);
static_assert(std::is_nothrow_move_constructible_v<kavro::device> && std::is_nothrow_move_assignable_v<kavro::device>);
static_assert(std::is_nothrow_destructible_v<kavro::device> && std::is_nothrow_destructible_v<kavro::library>);
static_assert(!std::is_copy_constructible_v<kavro::library>);
static_assert(std::is_base_of_v<std::runtime_error, kavro::error>);

constexpr int FRAMES = 3;

class KavroHpp : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        kavro_sim::record_opts o;
        o.scene = "room";
        o.frames = FRAMES;
        o.cfg.intg_us = 3000;
        o.out = rec_;
        std::string err;
        ASSERT_TRUE(kavro_sim::record(o, &err)) << err;
    }
    static void TearDownTestSuite() {
        for (const char *ext : {"", ".dist", ".meta", ".info"}) std::remove((rec_ + ext).c_str());
    }
    void SetUp() override { kavro::library::path("./"); }

    // A capturing replay of the recording.
    static kavro::device replay() {
        kavro::device dev = kavro::device::open_replay(rec_);
        dev.set_frame_rate(30);
        dev.start();
        return dev;
    }

    kavro::library lib_{"test_kavro_hpp.log"};
    static inline const std::string rec_ = "hpp_room.raw";
};

TEST_F(KavroHpp, FramesInOwnedAndCallerBuffersHoldTheRecordedSamples) {
    const kavro::frame_file<uint16_t> rec = kavro::load_raw(rec_);
    ASSERT_EQ(rec.frames, FRAMES);
    ASSERT_EQ(rec.tag, "KVSIM-E2-320");
    const size_t per_frame = static_cast<size_t>(rec.width) * rec.height * rec.dcs;
    auto recorded = [&](int idx) {
        const uint16_t *p = rec.values.data() + static_cast<size_t>(idx - 1) * per_frame;
        return std::vector<uint8_t>(reinterpret_cast<const uint8_t *>(p),
                                    reinterpret_cast<const uint8_t *>(p + per_frame));
    };

    kavro::device dev = replay();
    std::vector<int> seen;
    // Owned buffer.
    std::optional<kavro::frame> owned = dev.capture();
    ASSERT_TRUE(owned);
    EXPECT_EQ(owned->data(), recorded(owned->index()));
    EXPECT_EQ(owned->data().size(), owned->info().frame_size);
    seen.push_back(owned->index());
    // Caller buffers: the view points into the buffer it was given.
    std::vector<uint8_t> buf(kavro::capture_buffer_bytes);
    while (kavro::frame_view v = dev.capture_into(buf)) {
        EXPECT_EQ(v.data.data(), buf.data());
        EXPECT_EQ(std::vector<uint8_t>(v.data.begin(), v.data.end()), recorded(v.info.frame_idx));
        EXPECT_EQ(v.width(), rec.width);
        seen.push_back(v.info.frame_idx);
    }
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
    EXPECT_FALSE(dev.capture());  // the recording has ended
}

TEST_F(KavroHpp, DecodingEqualsTheCCalls) {
    kavro::device dev = replay();
    const std::optional<kavro::frame> f = dev.capture();
    ASSERT_TRUE(f);
    const int px = f->width() * f->height();
    auto *src = const_cast<uint8_t *>(f->data().data());
    const int len = static_cast<int>(f->data().size());

    std::vector<float> c_dist(px), c_gray(px), c_pcl(static_cast<size_t>(px) * 3), c_xyzd(static_cast<size_t>(px) * 4);
    ASSERT_EQ(kavro_frame_get_distance(dev.get(), c_dist.data(), px, src, len, &f->info()), px);
    ASSERT_EQ(kavro_frame_get_gray(dev.get(), c_gray.data(), px, src, len, &f->info()), px);
    const int np = kavro_frame_get_pcl(dev.get(), c_pcl.data(), px * 3, c_dist.data(), px, f->width(), f->height(),
                                       nullptr);
    const int nx = kavro_frame_get_pcl_xyzd(dev.get(), c_xyzd.data(), px * 4, c_dist.data(), px, f->width(),
                                            f->height(), true, nullptr);
    ASSERT_GT(np, px / 2);  // most of the room is valid: the comparison is not of empty images
    c_pcl.resize(static_cast<size_t>(np) * 3);
    c_xyzd.resize(static_cast<size_t>(nx) * 4);

    const std::vector<float> dist = dev.distance(*f);
    EXPECT_EQ(dist, c_dist);
    EXPECT_EQ(dev.gray(*f), c_gray);
    const std::vector<float> pcl = dev.pointcloud(dist, f->width(), f->height());
    ASSERT_EQ(pcl.size(), c_pcl.size());
    for (size_t i = 0; i < pcl.size(); ++i)  // NaN-aware: Z may be NaN
        ASSERT_TRUE(pcl[i] == c_pcl[i] || (std::isnan(pcl[i]) && std::isnan(c_pcl[i]))) << i;
    const std::vector<float> xyzd = dev.pointcloud_xyzd(dist, f->width(), f->height(), true);
    ASSERT_EQ(xyzd.size(), c_xyzd.size());
    for (size_t i = 0; i < xyzd.size(); ++i)
        ASSERT_TRUE(xyzd[i] == c_xyzd[i] || (std::isnan(xyzd[i]) && std::isnan(c_xyzd[i]))) << i;

    // The intrinsics are the C call's; a size without lens values throws
    // with the driver's message.
    kavro_intrinsics_t c_in{};
    ASSERT_TRUE(kavro_dev_get_intrinsics(dev.get(), f->width(), f->height(), &c_in));
    const kavro_intrinsics_t in = dev.intrinsics(f->width(), f->height());
    EXPECT_EQ(in.img_w, c_in.img_w);
    EXPECT_EQ(in.img_h, c_in.img_h);
    EXPECT_EQ(in.undistorted, c_in.undistorted);
    const double got[] = {in.cx, in.cy, in.fx, in.fy, in.dist[0], in.dist[1], in.dist[2], in.dist[3], in.dist[4]};
    const double want[] = {c_in.cx,      c_in.cy,      c_in.fx,      c_in.fy,     c_in.dist[0],
                           c_in.dist[1], c_in.dist[2], c_in.dist[3], c_in.dist[4]};
    for (size_t i = 0; i < 9; ++i) EXPECT_EQ(got[i], want[i]) << i;
    EXPECT_THROW(dev.intrinsics(f->width() - 1, f->height()), kavro::error);

    // Into a caller's span, which must hold the whole image.
    std::vector<float> into(static_cast<size_t>(px));
    EXPECT_EQ(dev.distance_into(f->view(), into), px);
    EXPECT_EQ(into, c_dist);
    std::vector<float> small(static_cast<size_t>(px) - 1);
    EXPECT_THROW(dev.distance_into(f->view(), small), kavro::error);
}

// A point cloud straight from a frame, flat and organised: the flat one is
// the C call's on the frame's distances; the organised one holds the same
// points at their pixels and NaN elsewhere.
TEST_F(KavroHpp, PointcloudsStraightFromAFrame) {
    kavro::device dev = replay();
    const std::optional<kavro::frame> f = dev.capture();
    ASSERT_TRUE(f);
    const int w = f->width(), h = f->height(), px = w * h;
    std::vector<float> c_dist(static_cast<size_t>(px)), c_pcl(static_cast<size_t>(px) * 3);
    ASSERT_EQ(kavro_frame_get_distance(dev.get(), c_dist.data(), px, const_cast<uint8_t *>(f->data().data()),
                                       static_cast<int>(f->data().size()), &f->info()),
              px);
    const int np = kavro_frame_get_pcl(dev.get(), c_pcl.data(), px * 3, c_dist.data(), px, w, h, nullptr);
    ASSERT_GT(np, px / 2);
    ASSERT_LT(np, px);  // some pixels are rejected: the organised cloud has holes to show
    c_pcl.resize(static_cast<size_t>(np) * 3);

    EXPECT_EQ(dev.pointcloud(*f), c_pcl);
    const std::vector<float> org = dev.pointcloud_organized(*f);
    ASSERT_EQ(org.size(), static_cast<size_t>(px) * 3);
    std::vector<float> valid;
    int holes = 0;
    for (int i = 0; i < px; ++i) {
        const float *p = &org[static_cast<size_t>(i) * 3];
        const float d = c_dist[static_cast<size_t>(i)];
        if (std::isnan(p[0])) {
            ASSERT_TRUE(std::isnan(p[1]) && std::isnan(p[2]));
            ASSERT_FALSE(d > 0.0f && d < 60.0f) << "valid pixel " << i << " has no point";
            ++holes;
            continue;
        }
        valid.insert(valid.end(), p, p + 3);
    }
    EXPECT_EQ(valid, c_pcl);
    EXPECT_EQ(holes, px - np);
    // With caller values too; a distance image smaller than the size throws.
    const kavro_camera_para_t cam{(w - 1) / 2.0f, (h - 1) / 2.0f, 150.0f, 150.0f, 1.0f};
    const std::vector<float> org_cam = dev.pointcloud_organized(c_dist, w, h, &cam);
    const std::vector<float> flat_cam = dev.pointcloud(c_dist, w, h, &cam);
    std::vector<float> valid_cam;
    for (size_t i = 0; i < org_cam.size(); i += 3)
        if (!std::isnan(org_cam[i])) valid_cam.insert(valid_cam.end(), &org_cam[i], &org_cam[i] + 3);
    EXPECT_EQ(valid_cam, flat_cam);
    EXPECT_THROW(dev.pointcloud_organized(std::span<const float>(c_dist).first(static_cast<size_t>(px) - 1), w, h),
                 kavro::error);
}

// Each captured frame carries its host arrival time: later frames later,
// and the owned frame keeps its view's time.
TEST_F(KavroHpp, FramesCarryTheirHostArrivalTime) {
    kavro::device dev = replay();
    uint64_t prev = 0;
    for (int i = 0; i < FRAMES; ++i) {
        SCOPED_TRACE(i);
        const std::optional<kavro::frame> f = dev.capture();
        ASSERT_TRUE(f);
        EXPECT_GT(f->host_ns(), prev);
        EXPECT_EQ(f->view().host_ns, f->host_ns());
        uint64_t c_ns = 0;
        ASSERT_TRUE(kavro_frame_get_host_time(dev.get(), &f->info(), &c_ns));
        EXPECT_EQ(c_ns, f->host_ns());
        prev = f->host_ns();
    }
}

TEST_F(KavroHpp, VersionIsTheHeaders) {
    const std::string want = std::to_string(KAVRO_VERSION_MAJOR) + "." + std::to_string(KAVRO_VERSION_MINOR) + "." +
                             std::to_string(KAVRO_VERSION_PATCH);
    EXPECT_EQ(kavro::version(), want);
    EXPECT_EQ(kavro_version_number(), KAVRO_VERSION_MAJOR * 10000 + KAVRO_VERSION_MINOR * 100 + KAVRO_VERSION_PATCH);
}

TEST_F(KavroHpp, PointcloudOfAnImageWithoutValidPixelsIsEmpty) {
    kavro::device dev = kavro::device::open_replay(rec_);
    const std::vector<float> dist(12, 0.0f);
    const kavro_camera_para_t cam{1, 1, 100, 100, 1};
    EXPECT_TRUE(dev.pointcloud(dist, 4, 3, &cam).empty());
    EXPECT_THROW(dev.pointcloud(dist, 5, 3, &cam), kavro::error);  // image larger than the data
}

struct error_case {
    const char *name;
    std::function<void()> call;
    const char *message;  // the whole message
    int code;
};

TEST_F(KavroHpp, ErrorsCarryTheLibraryMessage) {
    const std::vector<uint16_t> one_frame(8 * 4 * 4, 0);
    const error_case cases[] = {
        {"missing recording", [] { kavro::device::open_replay("no_such.raw"); },
         "[kavro_dev_open_replay] open file failed: no_such.raw", 0},
        {"no driver for the product",
         [&] {
             kavro::save_raw("nodriver.raw", one_frame, 8, 4, 4, "NOPE-X1-8");
             kavro::device::open_replay("nodriver.raw");
         },
         "[kavro_dev_open] cannot find driver for device: product=NOPE-X1-8", 0},
        {"second replay on the default record",
         [] {
             kavro::device first = kavro::device::open_replay(rec_);
             kavro::device::open_replay(rec_);
         },
         "[kavro_dev_open_replay] default device may not close properly!", 0},
        {"cut last raw frame",
         [&] {
             kavro::save_raw("cut.raw", std::vector<uint16_t>(2 * 8 * 4 * 4, 7), 8, 4, 4, "t");
             std::ifstream in("cut.raw", std::ios::binary);
             std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
             std::ofstream("cut.raw", std::ios::binary | std::ios::trunc) << bytes.substr(0, bytes.size() - 2);
             kavro::load_raw("cut.raw");
         },
         "[kavro_frame_load_raw] read 256 date failed: ret= 254", 0},
        {"gray file as float",
         [] { kavro::save_gray("g.gray", std::vector<float>(4, 1.0f), 2, 2, KAVRO_FRAME_SAVE_FLOAT32); },
         "[kavro_frame_save_gray] wrong gray save format: 0", 0},
        {"capture before start",
         [] {
             kavro::device dev = kavro::device::open_replay(rec_);
             dev.capture();
         },
         "kavro_cap_get_frames: the device is not capturing", -2},
    };
    for (const error_case &c : cases) {
        SCOPED_TRACE(c.name);
        try {
            c.call();
            ADD_FAILURE() << "no error";
        } catch (const kavro::error &e) {
            EXPECT_STREQ(e.what(), c.message);
            EXPECT_EQ(e.code(), c.code);
        }
    }
}

TEST_F(KavroHpp, MovedHandlesCloseExactlyOnce) {
    {
        kavro::device a = kavro::device::open_replay(rec_);
        kavro::device b = std::move(a);
        EXPECT_FALSE(a.is_open());
        EXPECT_EQ(a.get(), nullptr);
        ASSERT_TRUE(b.is_open());
        EXPECT_EQ(b.product(), "KVSIM-E2-320");
        kavro::device c;
        c = std::move(b);
        EXPECT_TRUE(c.is_open());
        a.close();  // an empty handle closes nothing
        EXPECT_THROW(b.product(), kavro::error);
    }
    // The last holder closed the library's default record: it opens again.
    kavro::device again = kavro::device::open_replay(rec_);
    EXPECT_TRUE(again.is_open());
    again.close();
    EXPECT_FALSE(again.is_open());
    EXPECT_THROW(again.start(), kavro::error);
}

TEST_F(KavroHpp, LibraryGuardIsOneAtATime) {
    EXPECT_THROW(kavro::library second("other.log"), kavro::error);
    const std::string log = kavro::library::log_file();
    EXPECT_EQ(log.front(), '/');
    kavro::library moved = std::move(lib_);
    EXPECT_EQ(kavro::library::log_file(), log);
    moved.reset();
    EXPECT_TRUE(kavro::library::log_file().empty());
    kavro::library fresh("test_kavro_hpp.log");  // set up again after the release
    EXPECT_EQ(kavro::library::log_file(), log);
}

TEST_F(KavroHpp, FrameFilesRoundTrip) {
    // 2 frames of 3 x 2: values chosen to show the millimetre truncation and the 16-bit wrap.
    const std::vector<float> metres = {1.2345f, 0.0019f, 70.0f, 0.25f, 3.0f, 0.0f,
                                       2.0f,    4.5f,    1.0f,  0.5f,  9.9f, 1.5f};
    struct file_case {
        kavro_frame_save_fmt_t fmt;
        std::function<float(float)> back;
    };
    const file_case cases[] = {
        {KAVRO_FRAME_SAVE_FLOAT32, [](float v) { return v; }},
        {KAVRO_FRAME_SAVE_UINT32,
         [](float v) { return static_cast<float>(static_cast<uint32_t>(v * 1000.0) / 1000.0); }},
        {KAVRO_FRAME_SAVE_UINT16,
         [](float v) { return static_cast<float>((static_cast<uint32_t>(v * 1000.0) & 0xFFFF) / 1000.0); }},
    };
    for (const file_case &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fmt));
        kavro::save_distance("d.dist", metres, 3, 2, c.fmt);
        const kavro::frame_file<float> f = kavro::load_distance("d.dist");
        EXPECT_EQ(f.frames, 2);
        EXPECT_EQ(f.width, 3);
        EXPECT_EQ(f.height, 2);
        ASSERT_EQ(f.values.size(), metres.size());
        for (size_t i = 0; i < metres.size(); ++i) EXPECT_EQ(f.values[i], c.back(metres[i])) << i;
    }
    EXPECT_FLOAT_EQ(kavro::load_distance("d.dist").values[0], 1.234f);

    kavro::save_gray("g.gray", metres, 3, 2, KAVRO_FRAME_SAVE_UINT8);
    const kavro::frame_file<float> g = kavro::load_gray("g.gray");
    ASSERT_EQ(g.frames, 2);
    for (size_t i = 0; i < metres.size(); ++i) EXPECT_EQ(g.values[i], static_cast<float>(static_cast<int>(metres[i]) & 0xFF));
    EXPECT_THROW(kavro::save_gray("g.gray", std::vector<float>(7, 1.0f), 3, 2), kavro::error);  // not whole frames
}

TEST_F(KavroHpp, ColormapFormats) {
    const std::vector<float> d = {0.5f, 1.0f, 3.0f, 5.0f};
    const std::vector<uint8_t> rgb = kavro::colormap(d, 0.5f, 5.0f, KAVRO_CMAP_OUTFMT_RGB);
    const std::vector<uint8_t> bgr = kavro::colormap(d, 0.5f, 5.0f, KAVRO_CMAP_OUTFMT_BGR);
    const std::vector<uint8_t> rgba = kavro::colormap(d, 0.5f, 5.0f, KAVRO_CMAP_OUTFMT_RGBA);
    ASSERT_EQ(rgb.size(), 12u);
    ASSERT_EQ(rgba.size(), 16u);
    for (size_t p = 0; p < d.size(); ++p)
        for (size_t ch = 0; ch < 3; ++ch) {
            EXPECT_EQ(bgr[p * 3 + ch], rgb[p * 3 + 2 - ch]);
            EXPECT_EQ(rgba[p * 4 + ch], rgb[p * 3 + ch]);
        }
    EXPECT_THROW(kavro::colormap(d, 0.5f, 5.0f, static_cast<kavro_cmap_outfmt_e>(9)), kavro::error);
}

}  // namespace
