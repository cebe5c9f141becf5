// Frame stream: header scan across feed boundaries, reassembly, drop rules,
// counters, the bounded list and fetching.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "stream_builder.h"
#include "vx_stream.h"
#include "vx_stream_internal.h"

using kavro_test::stream_hdr;
using kavro_test::stream_hdr_seal;
using kavro_test::stream_pattern;
using kavro_test::StreamBuilder;
using kavro_test::StreamFrame;

namespace {

struct StreamDeleter {
    void operator()(vx_stream *s) const { vx_stream_destroy(s); }
};
using StreamPtr = std::unique_ptr<vx_stream, StreamDeleter>;

StreamPtr make_stream(uint32_t max_frbuf_cnt = 16) {
    const vx_stream_cfg_t cfg{max_frbuf_cnt};
    StreamPtr s(vx_stream_create(&cfg));
    EXPECT_NE(s, nullptr);
    return s;
}

StreamFrame make_frame(size_t size, uint16_t frame_idx) {
    StreamFrame f;
    f.data = stream_pattern(size, frame_idx + 1u);
    f.frame_idx = frame_idx;
    f.frame_prop[0] = static_cast<uint8_t>(frame_idx);
    f.frame_prop[11] = 0xA5;
    return f;
}

// Feeds `data` cut at the given ascending positions; each piece is handed
// over in an allocation of exactly its size. Returns the last feed's result.
bool feed_cut(vx_stream_t s, const std::vector<uint8_t> &data, const std::vector<size_t> &cuts = {}) {
    bool ret = false;
    size_t from = 0;
    auto feed_piece = [&](size_t to) {
        std::vector<uint8_t> piece(data.begin() + from, data.begin() + to);
        ret = vx_stream_feed_input(s, piece.data(), static_cast<int>(piece.size()));
        from = to;
    };
    for (size_t c : cuts)
        if (c > from && c < data.size()) feed_piece(c);
    feed_piece(data.size());
    return ret;
}

void feed_every(vx_stream_t s, const std::vector<uint8_t> &data, size_t step) {
    for (size_t off = 0; off < data.size(); off += step) {
        const size_t n = std::min(step, data.size() - off);
        std::vector<uint8_t> piece(data.begin() + off, data.begin() + off + n);
        vx_stream_feed_input(s, piece.data(), static_cast<int>(n));
    }
}

struct Taken {
    vx_frinfo_t info;
    std::vector<uint8_t> data;
};

std::vector<Taken> take_all(vx_stream_t s) {
    std::vector<Taken> out;
    for (;;) {
        // Peek at the oldest frame for its size, then take it.
        Taken t{};
        uint8_t first = 0;
        if (vx_stream_fetch_frames(s, &first, 1, 1, &t.info, true) == 0) break;
        t.data.resize(t.info.frame_size);
        vx_frinfo_t info{};
        EXPECT_EQ(vx_stream_fetch_frames(s, t.data.data(), static_cast<int>(t.data.size()), 1, &info, false), 1);
        EXPECT_EQ(info.frame_idx, t.info.frame_idx);
        EXPECT_EQ(first, t.data[0]);
        out.push_back(std::move(t));
    }
    return out;
}

vx_stream_state_t state_of(vx_stream_t s) {
    vx_stream_state_t st{};
    vx_stream_get_state(s, &st);
    return st;
}

std::vector<uint16_t> indices(const std::vector<Taken> &frames) {
    std::vector<uint16_t> v;
    for (const Taken &t : frames) v.push_back(t.info.frame_idx);
    return v;
}

void expect_frame(const Taken &t, const StreamFrame &f) {
    EXPECT_EQ(t.info.frame_idx, f.frame_idx);
    EXPECT_EQ(t.info.frame_size, f.data.size());
    EXPECT_EQ(t.info.frame_format, f.frame_format);
    EXPECT_EQ(0, std::memcmp(t.info.frame_prop, f.frame_prop.data(), sizeof(t.info.frame_prop)));
    EXPECT_EQ(t.data, f.data);
}

// Reference Fletcher-16: reduce after every byte.
uint16_t hash16_ref(const std::vector<uint8_t> &v, uint16_t seed) {
    if (v.empty()) return seed;
    unsigned s1 = seed & 0xFF, s2 = seed >> 8;
    for (uint8_t b : v) {
        s1 = (s1 + b) % 255;
        s2 = (s2 + s1) % 255;
    }
    return static_cast<uint16_t>(s1 | s2 << 8);
}

}  // namespace

// ---- checksum ---------------------------------------------------------------

TEST(StreamHash16, KnownValueAndEmptyInput) {
    EXPECT_EQ(vx_stream_hash16("abc", 3, 0), 0x4C27);
    EXPECT_EQ(vx_stream_hash16("abc", 0, 0x1234), 0x1234);
    EXPECT_EQ(vx_stream_hash16("abc", -5, 0xFFFF), 0xFFFF);
}

TEST(StreamHash16, MatchesBytewiseReductionForLongInputsAndSeeds) {
    // Lengths around the internal reduction block, seeds with 0xFF halves
    // (which a bytewise reduction folds to 0).
    for (size_t len : {1u, 34u, 4095u, 4096u, 4097u, 20000u}) {
        for (uint16_t seed : {0x0000, 0x00FF, 0xFF00, 0xFFFF, 0x1234}) {
            std::vector<uint8_t> v(len, 0xFF);
            if (len > 40) v = stream_pattern(len, static_cast<uint32_t>(len));
            EXPECT_EQ(vx_stream_hash16(v.data(), static_cast<int>(v.size()), seed), hash16_ref(v, seed))
                << "len " << len << " seed " << seed;
        }
    }
}

// ---- clean streams, cut anywhere ----------------------------------------------

class StreamSplit : public ::testing::Test {
protected:
    void SetUp() override {
        frames_ = {make_frame(100, 10), make_frame(100, 11), make_frame(50, 12), make_frame(50, 13),
                   make_frame(37, 14)};
        frames_[3].frame_prop = frames_[2].frame_prop;  // frames under one header share its info
        StreamBuilder b;
        b.data_cksum(true).next_idx(0xFFFE);  // sequence numbers wrap inside the stream
        b.frame(frames_[0]);
        b.frame_split(frames_[1], 41);  // 41 + 41 + 18: pieces not word-aligned
        b.frames({frames_[2], frames_[3]});
        b.data_cksum(false).frame(frames_[4]);
        stream_ = b.data();
    }

    void expect_all_delivered(vx_stream_t s, const std::string &where) {
        SCOPED_TRACE(where);
        const vx_stream_state_t st = state_of(s);
        EXPECT_EQ(st.fridx, 5u);
        EXPECT_EQ(st.frcnt_total, 5u);
        EXPECT_EQ(st.frcnt_in_list, 5u);
        EXPECT_EQ(st.frcnt_err_discard, 0u);
        EXPECT_EQ(st.frcnt_slow_discard, 0u);
        EXPECT_EQ(st.bytes_discard, 0u);
        EXPECT_EQ(st.bytes_total, 0u);
        EXPECT_EQ(st.bytes_since_frbound, 0u);
        const auto got = take_all(s);
        ASSERT_EQ(got.size(), frames_.size());
        for (size_t i = 0; i < got.size(); ++i) expect_frame(got[i], frames_[i]);
    }

    std::vector<StreamFrame> frames_;
    std::vector<uint8_t> stream_;
};

TEST_F(StreamSplit, EverySingleCutPoint) {
    for (size_t cut = 0; cut <= stream_.size(); ++cut) {
        auto s = make_stream();
        EXPECT_TRUE(feed_cut(s.get(), stream_, {cut}));
        expect_all_delivered(s.get(), "cut at " + std::to_string(cut));
    }
}

TEST_F(StreamSplit, TwoCutsAtHeaderSizedDistances) {
    // Covers a header arriving as 1 + 20 + 15 bytes and similar.
    for (size_t cut = 0; cut < stream_.size(); ++cut) {
        for (size_t gap : {1u, 15u, 20u, 35u, 36u, 37u}) {
            auto s = make_stream();
            feed_cut(s.get(), stream_, {cut, cut + gap});
            expect_all_delivered(s.get(), "cuts at " + std::to_string(cut) + "+" + std::to_string(gap));
        }
    }
}

TEST_F(StreamSplit, OneByteFeeds) {
    auto s = make_stream();
    feed_every(s.get(), stream_, 1);
    expect_all_delivered(s.get(), "one byte at a time");
}

TEST_F(StreamSplit, LoneSyncByteIsKeptAsHeaderStart) {
    auto s = make_stream();
    const size_t second_hdr = 36 + 100;
    std::vector<uint8_t> head(stream_.begin(), stream_.begin() + second_hdr + 1);
    std::vector<uint8_t> rest(stream_.begin() + second_hdr + 1, stream_.end());
    vx_stream_feed_input(s.get(), head.data(), static_cast<int>(head.size()));
    EXPECT_EQ(s->cur_hdr_len, 1);
    EXPECT_EQ(s->cur_hdr_raw[0], 0xFB);
    vx_stream_feed_input(s.get(), rest.data(), static_cast<int>(rest.size()));
    expect_all_delivered(s.get(), "cut after FB");
}

TEST(StreamFeed, ReturnsWhetherFinishedFramesWait) {
    auto s = make_stream();
    const StreamFrame f = make_frame(64, 1);
    StreamBuilder b;
    b.frame(f);
    const auto &d = b.data();
    EXPECT_FALSE(vx_stream_feed_input(s.get(), d.data(), 50));
    EXPECT_TRUE(vx_stream_feed_input(s.get(), d.data() + 50, static_cast<int>(d.size() - 50)));
    EXPECT_TRUE(vx_stream_feed_input(s.get(), nullptr, 0));
    take_all(s.get());
    EXPECT_FALSE(vx_stream_feed_input(s.get(), d.data(), 0));
    EXPECT_FALSE(vx_stream_feed_input(nullptr, d.data(), 10));
}

TEST(StreamFeed, SeveralFramesUnderOneHeaderGetConsecutiveIndices) {
    std::vector<StreamFrame> fs = {make_frame(24, 65534), make_frame(24, 65535), make_frame(24, 0)};
    StreamBuilder b;
    b.frames(fs).frame(make_frame(24, 1));
    for (size_t step : {size_t{1}, size_t{7}, b.data().size()}) {
        auto s = make_stream();
        feed_every(s.get(), b.data(), step);
        const auto got = take_all(s.get());
        ASSERT_EQ(got.size(), 4u) << "step " << step;
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(got[i].info.frame_idx, fs[i].frame_idx);
            EXPECT_EQ(got[i].data, fs[i].data);
            // Every frame keeps the header's info apart from its index.
            EXPECT_EQ(got[i].info.frame_prop[0], fs[0].frame_prop[0]);
        }
        EXPECT_EQ(got[3].info.frame_idx, 1);
        EXPECT_EQ(state_of(s.get()).frcnt_err_discard, 0u);
    }
}

// ---- bytes between headers ------------------------------------------------------

struct GarbageCase {
    const char *name;
    std::vector<uint8_t> garbage;
    bool own_feed;               // garbage handed over in a feed of its own
    uint32_t bytes_discard;      // expected
    bool need_sync_fr_bound;     // expected after the garbage alone
};

void PrintTo(const GarbageCase &c, std::ostream *os) { *os << c.name; }

class StreamGarbage : public ::testing::TestWithParam<GarbageCase> {};

TEST_P(StreamGarbage, FrameAfterGarbageIsDelivered) {
    const GarbageCase &c = GetParam();
    const StreamFrame f = make_frame(80, 7);
    StreamBuilder b;
    b.bytes(c.garbage.data(), c.garbage.size()).frame(f);
    auto s = make_stream();
    if (c.own_feed) {
        std::vector<uint8_t> g = c.garbage;
        vx_stream_feed_input(s.get(), g.data(), static_cast<int>(g.size()));
        EXPECT_EQ(s->need_sync_fr_bound, c.need_sync_fr_bound);
        std::vector<uint8_t> rest(b.data().begin() + static_cast<long>(g.size()), b.data().end());
        feed_cut(s.get(), rest);
    } else {
        feed_cut(s.get(), b.data());
    }
    const auto got = take_all(s.get());
    ASSERT_EQ(got.size(), 1u);
    expect_frame(got[0], f);
    const vx_stream_state_t st = state_of(s.get());
    EXPECT_EQ(st.bytes_discard, c.bytes_discard);
    EXPECT_EQ(st.frcnt_err_discard, 0u);
}

std::vector<uint8_t> fake_sync(size_t extra) {
    std::vector<uint8_t> v = {0xFB, 0x98};
    const auto tail = stream_pattern(extra, 99);
    v.insert(v.end(), tail.begin(), tail.end());
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamGarbage,
    ::testing::Values(
        GarbageCase{"ten_bytes_same_feed", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, false, 10, false},
        GarbageCase{"fake_sync_with_full_header_room", fake_sync(40), false, 42, false},
        GarbageCase{"lone_sync_bytes", {0xFB, 0x00, 0xFB, 0x98, 0x98, 0xFB, 0x11}, false, 7, false},
        // Input without any header is consumed uncounted; the stream then waits
        // for a frame boundary, which the next header provides.
        GarbageCase{"own_feed_no_sync", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, true, 0, true},
        // An unfinished fake header is held; once complete it fails and the
        // next input is scanned again from its start.
        GarbageCase{"own_feed_ends_in_fake_partial_header", fake_sync(10), true, 0, false},
        GarbageCase{"own_feed_ends_in_sync_low_byte", {0x00, 0x01, 0xFB}, true, 0, false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(StreamGarbageFeeds, HeaderAfterFakeSyncBytesIsFoundWithAnyFeedSize) {
    // Fake header starts right before the real one: with small feeds the real
    // header begins inside bytes held from an earlier feed.
    const std::vector<uint8_t> junk = {0x00, 0xFB, 0x98, 0x01, 0x02, 0xFB, 0x98, 0xFB};
    const StreamFrame f = make_frame(50, 3);
    StreamBuilder b;
    b.bytes(junk.data(), junk.size()).frame(f);
    for (size_t step = 1; step <= 45; ++step) {
        auto s = make_stream();
        feed_every(s.get(), b.data(), step);
        const auto got = take_all(s.get());
        ASSERT_EQ(got.size(), 1u) << "feeds of " << step;
        expect_frame(got[0], f);
        EXPECT_EQ(state_of(s.get()).frcnt_err_discard, 0u);
    }
}

// ---- damaged headers and sequence errors -----------------------------------------

struct DamageCase {
    const char *name;
    std::function<void(std::vector<uint8_t> &, const std::vector<size_t> &)> damage;
    bool one_feed;                 // whole stream in one feed, else one feed per header
    std::vector<uint16_t> frames;  // frame indices delivered
    uint32_t err_discard;
    uint32_t bytes_discard;
};

void PrintTo(const DamageCase &c, std::ostream *os) { *os << c.name; }

class StreamDamage : public ::testing::TestWithParam<DamageCase> {};

// Frame 5 (300 bytes) under three headers of 100, then frame 6 whole.
TEST_P(StreamDamage, DropsOnlyTheDamagedFrame) {
    const DamageCase &c = GetParam();
    StreamBuilder b;
    b.next_idx(40).frame_split(make_frame(300, 5), 100).frame(make_frame(300, 6));
    std::vector<uint8_t> data = b.data();
    c.damage(data, b.header_offsets());
    auto s = make_stream();
    if (c.one_feed)
        feed_cut(s.get(), data);
    else
        feed_cut(s.get(), data, b.header_offsets());
    const auto got = take_all(s.get());
    EXPECT_EQ(indices(got), c.frames);
    // Whatever survives ends with frame 6's bytes, preceded by frame 5's.
    if (!got.empty()) {
        EXPECT_EQ(got.back().data, make_frame(300, 6).data);
    }
    if (got.size() == 2) {
        EXPECT_EQ(got.front().data, make_frame(300, 5).data);
    }
    const vx_stream_state_t st = state_of(s.get());
    EXPECT_EQ(st.frcnt_err_discard, c.err_discard);
    EXPECT_EQ(st.bytes_discard, c.bytes_discard);
    EXPECT_EQ(st.frcnt_total, c.frames.size());
}

// Rewrites header `k` with `edit` applied; `seal` recomputes its checksum.
auto edit_hdr(int k, std::function<void(vx_stream_hdr_t &)> edit, bool seal = true) {
    return [=](std::vector<uint8_t> &d, const std::vector<size_t> &offs) {
        vx_stream_hdr_t h;
        std::memcpy(&h, d.data() + offs[k], sizeof(h));
        edit(h);
        if (seal) stream_hdr_seal(h);
        std::memcpy(d.data() + offs[k], &h, sizeof(h));
    };
}

// With one feed per header, the damaged second header and its payload form
// an input without any header: the 100 stored bytes of frame 5 are dropped and
// the continuation after it is ignored. In one feed, the scan passes over the
// damaged header and its payload (136 bytes skipped before the third header),
// the third header fails the sequence check, and the scan of its payload skips
// 100 more bytes before frame 6.
#define DAMAGED_SECOND_HEADER(label, edit_fn, seal)                                 \
    DamageCase{label "_own_feeds", edit_hdr(1, edit_fn, seal), false, {6}, 1, 100}, \
        DamageCase{label "_one_feed", edit_hdr(1, edit_fn, seal), true, {6}, 1, 100 + 136 + 100}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamDamage,
    ::testing::Values(
        DamageCase{"clean", [](auto &, const auto &) {}, true, {5, 6}, 0, 0},
        DAMAGED_SECOND_HEADER("bad_cksum", [](vx_stream_hdr_t &h) { h.cksum ^= 1; }, false),
        DAMAGED_SECOND_HEADER("bad_sync", [](vx_stream_hdr_t &h) { h.sync_word = 0x98FA; }, true),
        DAMAGED_SECOND_HEADER("len_too_big", [](vx_stream_hdr_t &h) { h.len = 0x100000; }, true),
        DAMAGED_SECOND_HEADER("frame_size_too_big", [](vx_stream_hdr_t &h) { h.finfo.frame_size = 0x8000000; },
                              true),
        DAMAGED_SECOND_HEADER("frame_size_zero", [](vx_stream_hdr_t &h) { h.finfo.frame_size = 0; }, true),
        DAMAGED_SECOND_HEADER("frame_format_too_big", [](vx_stream_hdr_t &h) { h.finfo.frame_format = 1024; },
                              true),
        // Third header's sequence number jumps by 2: frame 5 dropped with the
        // 200 bytes stored; frame 6 starts a new frame and is kept. In one feed
        // the third payload is scanned and counted as skipped before frame 6.
        DamageCase{"idx_jump_in_continuation", edit_hdr(2, [](vx_stream_hdr_t &h) { h.idx += 1; }), true, {6}, 1,
                   300},
        DamageCase{"idx_jump_in_continuation_own_feeds", edit_hdr(2, [](vx_stream_hdr_t &h) { h.idx += 1; }),
                   false, {6}, 1, 200},
        // A continuation naming another frame: the stored 200 bytes are dropped,
        // its own 100 bytes start a frame that the next boundary drops.
        DamageCase{"frame_idx_changes_in_continuation",
                   edit_hdr(2, [](vx_stream_hdr_t &h) { h.finfo.frame_idx += 1; }), true, {6}, 2, 300},
        // A frame boundary is never rejected for its sequence number, and a jump
        // of the frame index only reports missing frames.
        DamageCase{"idx_jump_on_frame_boundary", edit_hdr(3, [](vx_stream_hdr_t &h) { h.idx += 9; }), true,
                   {5, 6}, 0, 0},
        DamageCase{"frame_idx_jump_between_frames",
                   edit_hdr(3, [](vx_stream_hdr_t &h) { h.finfo.frame_idx = 9; }), true, {5, 9}, 0, 0},
        // The last piece never arrives: the next boundary drops the frame.
        DamageCase{"boundary_before_frame_complete",
                   [](std::vector<uint8_t> &d, const std::vector<size_t> &offs) {
                       d.erase(d.begin() + static_cast<long>(offs[2]), d.begin() + static_cast<long>(offs[3]));
                   },
                   true, {6}, 1, 200}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- payload sum ---------------------------------------------------------------

struct SumCase {
    const char *name;
    bool split;            // frame 3 under two headers of 60 and 40 bytes
    int bad_hdr;           // header of frame 3 whose data_cksum is wrong
    size_t feed_step;      // 0: one feed
    uint32_t bytes_discard;
};

void PrintTo(const SumCase &c, std::ostream *os) { *os << c.name; }

class StreamDataSum : public ::testing::TestWithParam<SumCase> {};

TEST_P(StreamDataSum, BadSumDropsFrameWhateverTheCuts) {
    const SumCase &c = GetParam();
    StreamBuilder b;
    b.data_cksum(true);
    if (c.split)
        b.frame_split(make_frame(100, 3), 60);
    else
        b.frame(make_frame(100, 3));
    b.frame(make_frame(100, 4));
    std::vector<uint8_t> data = b.data();
    vx_stream_hdr_t h;
    std::memcpy(&h, data.data() + b.header_offsets()[c.bad_hdr], sizeof(h));
    h.data_cksum += 1;
    stream_hdr_seal(h);
    std::memcpy(data.data() + b.header_offsets()[c.bad_hdr], &h, sizeof(h));

    auto s = make_stream();
    if (c.feed_step)
        feed_every(s.get(), data, c.feed_step);
    else
        feed_cut(s.get(), data);
    const auto got = take_all(s.get());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].info.frame_idx, 4);
    EXPECT_EQ(got[0].data, make_frame(100, 4).data);
    const vx_stream_state_t st = state_of(s.get());
    EXPECT_EQ(st.frcnt_err_discard, 1u);
    EXPECT_EQ(st.bytes_discard, c.bytes_discard);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamDataSum,
    ::testing::Values(SumCase{"whole_frame_one_feed", false, 0, 0, 100},
                      SumCase{"whole_frame_13_byte_feeds", false, 0, 13, 100},
                      SumCase{"second_piece_one_feed", true, 1, 0, 100},
                      SumCase{"second_piece_5_byte_feeds", true, 1, 5, 100},
                      // The continuation after the failed first piece is ignored
                      // and its payload scanned: in one feed its 40 bytes count
                      // as skipped before frame 4, in small feeds they do not.
                      SumCase{"first_piece_one_feed", true, 0, 0, 100},
                      SumCase{"first_piece_7_byte_feeds", true, 0, 7, 60}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(StreamDataSumLarge, LongPayloadIsSummedAcrossFeedsAndSlices) {
    const StreamFrame f = make_frame(70001, 8);
    for (bool damage : {false, true}) {
        StreamBuilder b;
        b.data_cksum(true).frame(f).frame(make_frame(64, 9));
        std::vector<uint8_t> data = b.data();
        if (damage) data[36 + 33333] ^= 0x10;
        auto s = make_stream();
        feed_every(s.get(), data, 40001);
        const auto got = take_all(s.get());
        const vx_stream_state_t st = state_of(s.get());
        if (damage) {
            EXPECT_EQ(indices(got), (std::vector<uint16_t>{9}));
            EXPECT_EQ(st.frcnt_err_discard, 1u);
            EXPECT_EQ(st.bytes_discard, 70001u);
        } else {
            ASSERT_EQ(got.size(), 2u);
            expect_frame(got[0], f);
            EXPECT_EQ(st.frcnt_err_discard, 0u);
        }
    }
}

// ---- finished list ---------------------------------------------------------------

TEST(StreamList, FullListDropsOldestFrames) {
    StreamBuilder b;
    for (uint16_t i = 0; i < 5; ++i) b.frame(make_frame(40, i));
    for (size_t step : {size_t{3}, size_t{76}, b.data().size()}) {
        auto s = make_stream(2);
        feed_every(s.get(), b.data(), step);
        const vx_stream_state_t st = state_of(s.get());
        EXPECT_EQ(st.frcnt_slow_discard, 3u);
        EXPECT_EQ(st.frcnt_in_list, 2u);
        EXPECT_EQ(st.frcnt_total, 5u);
        EXPECT_EQ(st.fridx, 5u);
        EXPECT_EQ(st.bytes_discard, 3u * 40);
        EXPECT_EQ(st.frcnt_err_discard, 0u);
        const auto got = take_all(s.get());
        EXPECT_EQ(indices(got), (std::vector<uint16_t>{3, 4})) << "step " << step;
    }
}

TEST(StreamList, ManyTinyFramesUnderOneHeaderStayBounded) {
    // 1000 one-byte frames in a single payload with room for two.
    std::vector<uint8_t> payload = stream_pattern(1000, 5);
    StreamBuilder b;
    b.header(stream_hdr(0, 1000, 1, 100), payload.data(), payload.size());
    auto s = make_stream(2);
    feed_cut(s.get(), b.data());
    const vx_stream_state_t st = state_of(s.get());
    EXPECT_EQ(st.frcnt_total, 1000u);
    EXPECT_EQ(st.frcnt_in_list, 2u);
    EXPECT_EQ(st.frcnt_slow_discard, 998u);
    const auto got = take_all(s.get());
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].info.frame_idx, static_cast<uint16_t>(100 + 998));
    EXPECT_EQ(got[1].data[0], payload[999]);
}

TEST(StreamList, ZeroLimitKeepsNothing) {
    StreamBuilder b;
    b.frame(make_frame(40, 0)).frame(make_frame(40, 1));
    auto s = make_stream(0);
    EXPECT_FALSE(feed_cut(s.get(), b.data()));
    EXPECT_EQ(state_of(s.get()).frcnt_slow_discard, 2u);
    EXPECT_EQ(vx_stream_fetch_frames(s.get(), nullptr, 0, 5, nullptr, true), 0);
}

// ---- fetching ---------------------------------------------------------------------

class StreamFetch : public ::testing::Test {
protected:
    void SetUp() override {
        s_ = make_stream();
        StreamBuilder b;
        for (uint16_t i = 0; i < 3; ++i) {
            f_.push_back(make_frame(100, static_cast<uint16_t>(20 + i)));
            b.frame(f_.back());
        }
        feed_cut(s_.get(), b.data());
    }
    uint32_t in_list() { return state_of(s_.get()).frcnt_in_list; }

    StreamPtr s_;
    std::vector<StreamFrame> f_;
};

TEST_F(StreamFetch, ShortBufferStillTakesAndCountsFrames) {
    std::vector<uint8_t> buf(150 + 8, 0xEE);
    vx_frinfo_t info{};
    EXPECT_EQ(vx_stream_fetch_frames(s_.get(), buf.data(), 150, 2, &info, false), 2);
    EXPECT_EQ(info.frame_idx, 20);
    EXPECT_TRUE(std::equal(f_[0].data.begin(), f_[0].data.end(), buf.begin()));
    EXPECT_TRUE(std::equal(f_[1].data.begin(), f_[1].data.begin() + 50, buf.begin() + 100));
    EXPECT_EQ(buf[150], 0xEE);  // nothing written past outbuf_sz
    EXPECT_EQ(in_list(), 1u);

    // A buffer smaller than one frame: copies that much, the frame is gone.
    std::vector<uint8_t> small(10 + 1, 0xEE);
    EXPECT_EQ(vx_stream_fetch_frames(s_.get(), small.data(), 10, 1, &info, false), 1);
    EXPECT_TRUE(std::equal(small.begin(), small.begin() + 10, f_[2].data.begin()));
    EXPECT_EQ(small[10], 0xEE);
    EXPECT_EQ(in_list(), 0u);
    EXPECT_EQ(vx_stream_fetch_frames(s_.get(), small.data(), 10, 1, &info, false), 0);
}

TEST_F(StreamFetch, PeekLeavesTheListAlone) {
    EXPECT_EQ(vx_stream_fetch_frames(s_.get(), nullptr, 0, 2, nullptr, true), 2);
    EXPECT_EQ(vx_stream_fetch_frames(s_.get(), nullptr, 0, 10, nullptr, true), 3);
    std::vector<uint8_t> buf(250);
    vx_frinfo_t info{};
    EXPECT_EQ(vx_stream_fetch_frames(s_.get(), buf.data(), 250, 3, &info, true), 3);
    EXPECT_EQ(info.frame_idx, 20);
    EXPECT_TRUE(std::equal(f_[0].data.begin(), f_[0].data.end(), buf.begin()));
    EXPECT_TRUE(std::equal(f_[2].data.begin(), f_[2].data.begin() + 50, buf.begin() + 200));
    EXPECT_EQ(in_list(), 3u);
    const auto got = take_all(s_.get());
    ASSERT_EQ(got.size(), 3u);
    expect_frame(got[0], f_[0]);
}

TEST_F(StreamFetch, TakeWithoutBufferAndBadArguments) {
    EXPECT_EQ(vx_stream_fetch_frames(s_.get(), nullptr, 100, 0, nullptr, false), 0);
    EXPECT_EQ(vx_stream_fetch_frames(s_.get(), nullptr, 100, -1, nullptr, false), 0);
    std::vector<uint8_t> buf(10, 0xEE);
    EXPECT_EQ(vx_stream_fetch_frames(s_.get(), buf.data(), -4, 1, nullptr, false), 1);
    EXPECT_EQ(buf, std::vector<uint8_t>(10, 0xEE));
    vx_frinfo_t info{};
    EXPECT_EQ(vx_stream_fetch_frames(s_.get(), nullptr, 0, 5, &info, false), 2);
    EXPECT_EQ(info.frame_idx, 21);
    EXPECT_EQ(in_list(), 0u);
    EXPECT_EQ(state_of(s_.get()).frcnt_total, 3u);
    EXPECT_EQ(vx_stream_fetch_frames(nullptr, buf.data(), 10, 1, nullptr, false), 0);
}

// ---- reset, configuration, allocation failure ----------------------------------------

TEST(StreamLifecycle, ResetClearsFramesAndCountersButKeepsCfg) {
    auto s = make_stream(3);
    StreamBuilder b;
    b.frame(make_frame(64, 1)).frame(make_frame(64, 2)).frame_split(make_frame(64, 3), 32);
    // Stop right after the first piece of frame 3: its payload is complete,
    // the frame is not.
    std::vector<uint8_t> d(b.data().begin(), b.data().begin() + static_cast<long>(b.header_offsets()[3]));
    feed_cut(s.get(), d);
    const vx_stream_state_t before = state_of(s.get());
    ASSERT_EQ(before.frcnt_in_list, 2u);
    ASSERT_NE(s->cur_fr_node, nullptr);
    ASSERT_TRUE(s->need_sync_next_hdr);

    vx_stream_reset(s.get());
    const vx_stream_state_t st = state_of(s.get());
    EXPECT_EQ(st.frcnt_in_list, 0u);
    EXPECT_EQ(st.frcnt_total, 0u);
    EXPECT_EQ(st.fridx, 0u);
    EXPECT_GE(st.reset_ts.tv_sec * 1000000 + st.reset_ts.tv_usec,
              before.reset_ts.tv_sec * 1000000 + before.reset_ts.tv_usec);
    EXPECT_EQ(s->cur_fr_node, nullptr);
    EXPECT_EQ(s->cur_hdr_len, 0);
    EXPECT_EQ(s->prev_hdr_idx, -1);
    EXPECT_EQ(s->cur_hdr.idx, 0xFFFF);
    EXPECT_TRUE(s->need_sync_next_hdr);  // kept, like the other sync flag
    vx_stream_cfg_t cfg{};
    EXPECT_EQ(vx_stream_get_cfg(s.get(), &cfg), &cfg);
    EXPECT_EQ(cfg.max_frbuf_cnt, 3u);
    EXPECT_EQ(vx_stream_fetch_frames(s.get(), nullptr, 0, 5, nullptr, true), 0);

    // The next capture's first frame is stored, not skipped as the rest of
    // an old payload.
    StreamBuilder next;
    next.next_idx(500).frame(make_frame(64, 10)).frame_split(make_frame(64, 11), 20);
    feed_cut(s.get(), next.data());
    const auto got = take_all(s.get());
    EXPECT_EQ(indices(got), (std::vector<uint16_t>{10, 11}));
    EXPECT_EQ(state_of(s.get()).frcnt_err_discard, 0u);
}

TEST(StreamLifecycle, ResetKeepsWaitingForFrameBoundary) {
    auto s = make_stream();
    const std::vector<uint8_t> junk = {1, 2, 3};
    vx_stream_feed_input(s.get(), junk.data(), 3);  // no header: wait for a frame boundary
    ASSERT_TRUE(s->need_sync_fr_bound);
    vx_stream_reset(s.get());
    EXPECT_TRUE(s->need_sync_fr_bound);
    // A continuation is ignored, the boundary after it is taken.
    StreamBuilder c;
    c.frame_split(make_frame(64, 9), 32).frame(make_frame(64, 10));
    std::vector<uint8_t> tail(c.data().begin() + static_cast<long>(c.header_offsets()[1]), c.data().end());
    feed_cut(s.get(), tail, {c.header_offsets()[2] - c.header_offsets()[1]});
    EXPECT_EQ(indices(take_all(s.get())), (std::vector<uint16_t>{10}));
    EXPECT_EQ(state_of(s.get()).bytes_discard, 0u);
}

TEST(StreamLifecycle, SmallerLimitTakesEffectAtNextPayload) {
    auto s = make_stream(8);
    StreamBuilder b;
    for (uint16_t i = 0; i < 5; ++i) b.frame(make_frame(16, i));
    feed_cut(s.get(), b.data());
    const vx_stream_cfg_t small{1};
    vx_stream_set_cfg(s.get(), &small);
    EXPECT_EQ(state_of(s.get()).frcnt_in_list, 5u);
    StreamBuilder more;
    more.next_idx(b.next_idx()).frame(make_frame(16, 5));
    feed_cut(s.get(), more.data());
    EXPECT_EQ(indices(take_all(s.get())), (std::vector<uint16_t>{5}));
    EXPECT_EQ(state_of(s.get()).frcnt_slow_discard, 5u);
}

TEST(StreamLifecycle, CreateWithoutCfgAndNullHandles) {
    vx_stream_t s = vx_stream_create(nullptr);
    ASSERT_NE(s, nullptr);
    vx_stream_cfg_t cfg{77};
    vx_stream_get_cfg(s, &cfg);
    EXPECT_EQ(cfg.max_frbuf_cnt, 0u);
    vx_stream_destroy(s);
    vx_stream_destroy(nullptr);
    vx_stream_reset(nullptr);
    EXPECT_EQ(vx_stream_get_state(nullptr, nullptr), nullptr);
}

namespace {
int g_fail_allocs = 0;
void *failing_alloc(std::size_t n) {
    if (g_fail_allocs > 0) {
        --g_fail_allocs;
        return nullptr;
    }
    return ::operator new(n, std::nothrow);
}
}  // namespace

TEST(StreamLifecycle, FrameThatCannotBeAllocatedIsDroppedAndCounted) {
    struct Case {
        bool sum;
        size_t step;            // 0: one feed per header
        uint32_t bytes_discard; // the bytes that arrived with the failed allocation
    };
    for (const Case c : {Case{false, 0, 30}, Case{true, 0, 30}, Case{false, 10, 4}, Case{true, 10, 4}}) {
        SCOPED_TRACE("sum " + std::to_string(c.sum) + " step " + std::to_string(c.step));
        StreamBuilder b;
        b.data_cksum(c.sum).frame_split(make_frame(90, 1), 30).frame(make_frame(90, 2));
        auto s = make_stream();
        void *(*saved)(std::size_t) = _vx_stream_node_alloc;
        _vx_stream_node_alloc = failing_alloc;
        g_fail_allocs = 1;
        if (c.step)
            feed_every(s.get(), b.data(), c.step);
        else
            feed_cut(s.get(), b.data(), b.header_offsets());
        _vx_stream_node_alloc = saved;
        const vx_stream_state_t st = state_of(s.get());
        EXPECT_EQ(st.frcnt_err_discard, 1u);
        EXPECT_EQ(st.bytes_discard, c.bytes_discard);
        EXPECT_EQ(indices(take_all(s.get())), (std::vector<uint16_t>{2}));
    }
}
