// Frame files: header lines, sample conversions, multi-frame files, the
// remembered header, and loads that must stay inside the caller's buffers
// whatever the file claims.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "captured_log.h"
#include "kavro.h"

namespace {

class FrameFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
                std::to_string(getpid()) + ".vx";
        fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override {
        close(fd_);
        unlink(path_.c_str());
    }
    std::string contents() const {
        std::string s;
        const int fd = open(path_.c_str(), O_RDONLY);
        char buf[4096];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<size_t>(n));
        close(fd);
        return s;
    }
    /// Replace the file with `bytes` and rewind.
    void put(const std::string &bytes) {
        ASSERT_EQ(ftruncate(fd_, 0), 0);
        ASSERT_EQ(pwrite(fd_, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        rewind();
    }
    void rewind() { ASSERT_EQ(lseek(fd_, 0, SEEK_SET), 0); }
    std::string first_line() const {
        const std::string s = contents();
        return s.substr(0, s.find('\n') + 1);
    }

    CapturedLog log_;
    std::string path_;
    int fd_ = -1;
};

template <typename T>
std::string bytes_of(const std::vector<T> &v) {
    return std::string(reinterpret_cast<const char *>(v.data()), v.size() * sizeof(T));
}

// ---- round trips for every sample type ---------------------------------------

struct RawCase {
    kavro_frame_save_fmt_t fmt;
    const char *header;
    size_t sample_bytes;
};

TEST_F(FrameFileTest, RawRoundTripsInBothSampleTypes) {
    const RawCase cases[] = {
        {KAVRO_FRAME_SAVE_UINT16, "VX_RAW,U16,3,2,2,tagA\n", 2},
        {KAVRO_FRAME_SAVE_UINT32, "VX_RAW,U32,3,2,2,tagA\n", 4},
    };
    const std::vector<uint16_t> raw = {0, 1, 2, 0x7FFF, 0x8000, 0xFFFF, 10, 20, 30, 40, 50, 60};
    for (const RawCase &c : cases) {
        SCOPED_TRACE(c.header);
        put("");
        ASSERT_TRUE(kavro_frame_save_raw(fd_, c.fmt, raw.data(), 12, 3, 2, 2, "tagA"));
        EXPECT_EQ(first_line(), c.header);
        const std::string file = contents();
        ASSERT_EQ(file.size(), strlen(c.header) + 12 * c.sample_bytes);
        if (c.sample_bytes == 4) {
            // Zero-extended little-endian words.
            std::vector<uint32_t> wide(raw.begin(), raw.end());
            EXPECT_EQ(file.substr(strlen(c.header)), bytes_of(wide));
        } else {
            EXPECT_EQ(file.substr(strlen(c.header)), bytes_of(raw));
        }

        rewind();
        std::vector<uint16_t> out(12, 0xABCD);
        int w = 0, h = 0, n = 0;
        char tag[33] = "junk";
        ASSERT_EQ(kavro_frame_load_raw(fd_, out.data(), 12, &w, &h, &n, tag, sizeof tag), 12);
        EXPECT_EQ(out, raw);
        EXPECT_EQ(w, 3);
        EXPECT_EQ(h, 2);
        EXPECT_EQ(n, 2);
        EXPECT_STREQ(tag, "tagA");
    }
}

struct ImageCase {
    bool distance;  // else gray
    kavro_frame_save_fmt_t fmt;
    const char *header;
    size_t sample_bytes;
    std::vector<float> in;
    std::vector<float> out;
};

TEST_F(FrameFileTest, DistanceAndGrayRoundTripWithTheirConversions) {
    const ImageCase cases[] = {
        {true, KAVRO_FRAME_SAVE_FLOAT32, "VX_DIST,F32,2,2\n", 4, {1.2345f, 0.f, -3.5f, 100.25f},
         {1.2345f, 0.f, -3.5f, 100.25f}},
        // Millimetres truncated; 65.537 m fits in 32 bits.
        {true, KAVRO_FRAME_SAVE_UINT32, "VX_DIST,U32,2,2\n", 4, {1.2345f, 0.f, 65.537f, 2.0f},
         {1.234f, 0.f, 65.537f, 2.0f}},
        // 16 bits wrap from 65.536 m: 65537 mm keeps 1 mm.
        {true, KAVRO_FRAME_SAVE_UINT16, "VX_DIST,U16,2,2\n", 2, {1.2345f, 0.f, 65.537f, 2.0f},
         {1.234f, 0.f, 0.001f, 2.0f}},
        // Truncated, low 8 bits: 300.7 -> 300 -> 44.
        {false, KAVRO_FRAME_SAVE_UINT8, "VX_GRAY,U8,2,2\n", 1, {0.9f, 255.f, 300.7f, 17.f},
         {0.f, 255.f, 44.f, 17.f}},
        // Low 16 bits: 70000 -> 4464.
        {false, KAVRO_FRAME_SAVE_UINT16, "VX_GRAY,U16,2,2\n", 2, {0.9f, 65535.f, 70000.5f, 17.f},
         {0.f, 65535.f, 4464.f, 17.f}},
    };
    for (const ImageCase &c : cases) {
        SCOPED_TRACE(c.header);
        put("");
        const bool saved = c.distance ? kavro_frame_save_distance(fd_, c.fmt, c.in.data(), 4, 2, 2)
                                      : kavro_frame_save_gray(fd_, c.fmt, c.in.data(), 4, 2, 2);
        ASSERT_TRUE(saved);
        EXPECT_EQ(first_line(), c.header);
        EXPECT_EQ(contents().size(), strlen(c.header) + 4 * c.sample_bytes);

        rewind();
        std::vector<float> out(4, -1.f);
        int w = 0, h = 0;
        const int n = c.distance ? kavro_frame_load_distance(fd_, out.data(), 4, &w, &h)
                                 : kavro_frame_load_gray(fd_, out.data(), 4, &w, &h);
        ASSERT_EQ(n, 4);
        for (size_t i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(out[i], c.out[i]) << "sample " << i;
        EXPECT_EQ(w, 2);
        EXPECT_EQ(h, 2);
    }
}

// ---- multi-frame files and the end of the file --------------------------------

TEST_F(FrameFileTest, LaterSavesAppendFramesAndLoadsWalkThemToASilentEnd) {
    const std::vector<uint16_t> f1 = {1, 2, 3, 4, 5, 6};
    const std::vector<uint16_t> f2 = {7, 8, 9, 10, 11, 12};
    ASSERT_TRUE(kavro_frame_save_raw(fd_, KAVRO_FRAME_SAVE_UINT16, f1.data(), 6, 3, 2, 1, "xyz"));
    ASSERT_TRUE(kavro_frame_save_raw(fd_, KAVRO_FRAME_SAVE_UINT16, f2.data(), 6, 3, 2, 1, "other"));
    EXPECT_EQ(contents(), "VX_RAW,U16,3,2,1,xyz\n" + bytes_of(f1) + bytes_of(f2));

    rewind();
    log_.clear();
    std::vector<uint16_t> out(6);
    char tag[33];
    int w = 0, h = 0, n = 0;
    ASSERT_EQ(kavro_frame_load_raw(fd_, out.data(), 6, &w, &h, &n, tag, sizeof tag), 6);
    EXPECT_EQ(out, f1);
    EXPECT_STREQ(tag, "xyz");
    w = h = n = 0;
    ASSERT_EQ(kavro_frame_load_raw(fd_, out.data(), 6, &w, &h, &n, tag, sizeof tag), 6);
    EXPECT_EQ(out, f2);
    EXPECT_STREQ(tag, "");  // the header was not read by this call
    EXPECT_EQ(w * 100 + h * 10 + n, 321);  // geometry comes from the remembered header
    EXPECT_EQ(kavro_frame_load_raw(fd_, out.data(), 6, nullptr, nullptr, nullptr, nullptr, 0), 0);
    EXPECT_EQ(log_.text(), "");  // the end of the file is silent
}

TEST_F(FrameFileTest, DistanceSaveWritesWholeFramesOnlyAndGraySaveOneFrameAtMost) {
    const std::vector<float> six = {1, 2, 3, 4, 5, 6};
    ASSERT_TRUE(kavro_frame_save_distance(fd_, KAVRO_FRAME_SAVE_FLOAT32, six.data(), 6, 2, 2));
    EXPECT_EQ(contents(), "VX_DIST,F32,2,2\n" + bytes_of(std::vector<float>(six.begin(), six.begin() + 4)));

    put("");
    const std::vector<float> eight = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(kavro_frame_save_distance(fd_, KAVRO_FRAME_SAVE_FLOAT32, eight.data(), 8, 2, 2));
    EXPECT_EQ(contents().size(), strlen("VX_DIST,F32,2,2\n") + 8 * 4);

    put("");
    ASSERT_TRUE(kavro_frame_save_gray(fd_, KAVRO_FRAME_SAVE_UINT8, eight.data(), 8, 2, 2));
    EXPECT_EQ(contents(), std::string("VX_GRAY,U8,2,2\n") + '\1' + '\2' + '\3' + '\4');
}

TEST_F(FrameFileTest, TruncatedLastFrameFailsWithTheReadMessage) {
    const std::vector<uint16_t> f = {1, 2, 3, 4, 5, 6};
    ASSERT_TRUE(kavro_frame_save_raw(fd_, KAVRO_FRAME_SAVE_UINT16, f.data(), 6, 3, 2, 1, "t"));
    ASSERT_EQ(write(fd_, f.data(), 5), 5);  // 2.5 samples of a second frame
    rewind();
    std::vector<uint16_t> out(6, 0);
    ASSERT_EQ(kavro_frame_load_raw(fd_, out.data(), 6, nullptr, nullptr, nullptr, nullptr, 0), 6);
    std::vector<uint16_t> canary(6, 0x5A5A);
    EXPECT_EQ(kavro_frame_load_raw(fd_, canary.data(), 6, nullptr, nullptr, nullptr, nullptr, 0), 0);
    EXPECT_TRUE(log_.has("[kavro_frame_load_raw] read 12 date failed: ret= 5"));
    EXPECT_EQ(canary, std::vector<uint16_t>(6, 0x5A5A));  // a failed load stores nothing
}

TEST_F(FrameFileTest, UnknownHeaderFailsAndForgetsTheRememberedGeometry) {
    const std::vector<float> f = {1, 2, 3, 4};
    ASSERT_TRUE(kavro_frame_save_distance(fd_, KAVRO_FRAME_SAVE_FLOAT32, f.data(), 4, 2, 2));
    ASSERT_TRUE(kavro_frame_save_distance(fd_, KAVRO_FRAME_SAVE_FLOAT32, f.data(), 4, 2, 2));
    const std::string good = contents();

    // A raw header is not a distance header.
    put("VX_RAW,U16,2,2,1,x\n" + bytes_of(f));
    std::vector<float> out(4);
    EXPECT_EQ(kavro_frame_load_distance(fd_, out.data(), 4, nullptr, nullptr), 0);
    EXPECT_TRUE(log_.has("[kavro_frame_load_distance] faile to load VX file header"));

    // The good file, positioned at its second frame, now loads nothing.
    put(good);
    ASSERT_EQ(lseek(fd_, static_cast<off_t>(strlen("VX_DIST,F32,2,2\n") + 16), SEEK_SET), 32);
    EXPECT_EQ(kavro_frame_load_distance(fd_, out.data(), 4, nullptr, nullptr), 0);
    // From the start it loads again.
    rewind();
    EXPECT_EQ(kavro_frame_load_distance(fd_, out.data(), 4, nullptr, nullptr), 4);

    log_.clear();
    put("");
    EXPECT_EQ(kavro_frame_load_gray(fd_, out.data(), 4, nullptr, nullptr), 0);
    EXPECT_TRUE(log_.has("[kavro_frame_load_gray] faile to load VX file header"));  // empty file
}

// ---- files that lie -------------------------------------------------------------

TEST_F(FrameFileTest, LyingHeadersNeverOverrunOrAllocateWhatTheyClaim) {
    struct Lie {
        const char *name;
        std::string file;
        bool header_rejected;
    };
    const std::string data(64, '\x11');
    const Lie lies[] = {
        {"negative width", "VX_RAW,U16,-4,2,1,t\n" + data, true},
        {"product overflows", "VX_RAW,U16,65536,65536,65536,t\n" + data, true},
        {"frame beyond int bytes", "VX_RAW,U32,46341,46341,1,t\n" + data, true},
        {"huge but plausible frame, short file", "VX_RAW,U16,30000,30000,1,t\n" + data, false},
        {"zero sub-frames", "VX_RAW,U16,4,4,0,t\n" + data, false},
    };
    for (const Lie &lie : lies) {
        SCOPED_TRACE(lie.name);
        put(lie.file);
        log_.clear();
        std::vector<uint16_t> out(8, 0x5A5A);
        int w = -7;
        EXPECT_EQ(kavro_frame_load_raw(fd_, out.data(), 8, &w, nullptr, nullptr, nullptr, 0), 0);
        EXPECT_EQ(out, std::vector<uint16_t>(8, 0x5A5A));
        EXPECT_EQ(w, -7);
        EXPECT_EQ(log_.has("[kavro_frame_load_raw] faile to load VX file header"), lie.header_rejected);
    }
}

TEST_F(FrameFileTest, HeaderWithoutLineFeedIsTheFirst256Bytes) {
    // 256 header bytes, then exactly one 2x2x1 U16 frame.
    std::string hdr = "VX_RAW,U16,2,2,1,t" + std::string(256 - 18, ' ');
    const std::vector<uint16_t> f = {9, 8, 7, 6};
    put(hdr + bytes_of(f));
    std::vector<uint16_t> out(4);
    ASSERT_EQ(kavro_frame_load_raw(fd_, out.data(), 4, nullptr, nullptr, nullptr, nullptr, 0), 4);
    EXPECT_EQ(out, f);
}

// ---- the caller's buffers ------------------------------------------------------

TEST_F(FrameFileTest, ShortDestinationStoresItsLengthAndStillConsumesTheFrame) {
    const std::vector<float> f1 = {1, 2, 3, 4, 5, 6};
    const std::vector<float> f2 = {7, 8, 9, 10, 11, 12};
    ASSERT_TRUE(kavro_frame_save_distance(fd_, KAVRO_FRAME_SAVE_FLOAT32, f1.data(), 6, 3, 2));
    ASSERT_TRUE(kavro_frame_save_distance(fd_, KAVRO_FRAME_SAVE_FLOAT32, f2.data(), 6, 3, 2));
    rewind();

    std::vector<float> out(6, -1.f);
    EXPECT_EQ(kavro_frame_load_distance(fd_, out.data(), 4, nullptr, nullptr), 4);
    EXPECT_EQ(out, (std::vector<float>{1, 2, 3, 4, -1, -1}));
    // dst_len 0 (and a null buffer) store nothing but move to the next frame.
    int w = 0;
    EXPECT_EQ(kavro_frame_load_distance(fd_, nullptr, 6, &w, nullptr), 0);
    EXPECT_EQ(w, 3);
    EXPECT_EQ(kavro_frame_load_distance(fd_, out.data(), 6, nullptr, nullptr), 0);  // end
}

TEST_F(FrameFileTest, TagIsBoundedByTheCallersBufferAndTheFormat) {
    const std::vector<uint16_t> f = {1, 2};
    const std::string long_tag(40, 'T');
    ASSERT_TRUE(kavro_frame_save_raw(fd_, KAVRO_FRAME_SAVE_UINT16, f.data(), 2, 2, 1, 1, long_tag.c_str()));
    // Only the 32 characters a loader reads are written.
    EXPECT_EQ(first_line(), "VX_RAW,U16,2,1,1," + std::string(32, 'T') + "\n");

    struct TagCase {
        int len;
        std::string want;  // in the first `len` bytes
    };
    const TagCase cases[] = {{8, std::string(7, 'T')}, {33, std::string(32, 'T')}, {1, ""}};
    for (const TagCase &c : cases) {
        SCOPED_TRACE(c.len);
        rewind();
        char tag[48];
        memset(tag, '#', sizeof tag);
        std::vector<uint16_t> out(2);
        ASSERT_EQ(kavro_frame_load_raw(fd_, out.data(), 2, nullptr, nullptr, nullptr, tag, c.len), 2);
        EXPECT_EQ(std::string(tag), c.want);
        for (size_t i = static_cast<size_t>(c.len); i < sizeof tag; ++i) ASSERT_EQ(tag[i], '#') << i;
    }
    rewind();
    char untouched[4] = "abc";
    std::vector<uint16_t> out(2);
    ASSERT_EQ(kavro_frame_load_raw(fd_, out.data(), 2, nullptr, nullptr, nullptr, untouched, 0), 2);
    EXPECT_STREQ(untouched, "abc");
}

TEST_F(FrameFileTest, EmptyOrMissingTagStillWritesALoadableFile) {
    const std::vector<uint16_t> f = {4, 5};
    for (const char *tag : {static_cast<const char *>(""), static_cast<const char *>(nullptr)}) {
        put("");
        ASSERT_TRUE(kavro_frame_save_raw(fd_, KAVRO_FRAME_SAVE_UINT16, f.data(), 2, 2, 1, 1, tag));
        EXPECT_EQ(first_line(), "VX_RAW,U16,2,1,1,\n");
        rewind();
        std::vector<uint16_t> out(2);
        char got[8] = "x";
        ASSERT_EQ(kavro_frame_load_raw(fd_, out.data(), 2, nullptr, nullptr, nullptr, got, 8), 2);
        EXPECT_EQ(out, f);
        EXPECT_STREQ(got, "");
    }
}

// ---- save failures ----------------------------------------------------------------

TEST_F(FrameFileTest, SavesRejectWrongParametersAndWriteNothing) {
    const std::vector<uint16_t> raw(24, 1);
    const std::vector<float> img(8, 1.f);
    struct Bad {
        const char *msg;
        bool (*save)(int fd, const uint16_t *raw, const float *img);
    };
    const Bad bad[] = {
        {"[kavro_frame_save_raw] wrong param: raw_len=10, w=3, h=2",
         [](int fd, const uint16_t *r, const float *) {
             return kavro_frame_save_raw(fd, KAVRO_FRAME_SAVE_UINT16, r, 10, 3, 2, 1, "t");
         }},
        {"[kavro_frame_save_raw] wrong param: raw_len=24, w=3, h=0",
         [](int fd, const uint16_t *r, const float *) {
             return kavro_frame_save_raw(fd, KAVRO_FRAME_SAVE_UINT16, r, 24, 3, 0, 1, "t");
         }},
        {"[kavro_frame_save_raw] wrong raw save format: 0",
         [](int fd, const uint16_t *r, const float *) {
             return kavro_frame_save_raw(fd, KAVRO_FRAME_SAVE_FLOAT32, r, 24, 3, 2, 4, "t");
         }},
        {"[kavro_frame_save_distance] wrong distance save format: 3",
         [](int fd, const uint16_t *, const float *i) {
             return kavro_frame_save_distance(fd, KAVRO_FRAME_SAVE_UINT8, i, 8, 2, 2);
         }},
        {"[kavro_frame_save_distance] wrong param: dist_len=8, w=0, h=2",
         [](int fd, const uint16_t *, const float *i) {
             return kavro_frame_save_distance(fd, KAVRO_FRAME_SAVE_FLOAT32, i, 8, 0, 2);
         }},
        {"[kavro_frame_save_gray] wrong gray save format: 0",
         [](int fd, const uint16_t *, const float *i) {
             return kavro_frame_save_gray(fd, KAVRO_FRAME_SAVE_FLOAT32, i, 8, 2, 2);
         }},
        {"[kavro_frame_save_gray] wrong param: src_len=-1, w=2, h=2",
         [](int fd, const uint16_t *, const float *i) {
             return kavro_frame_save_gray(fd, KAVRO_FRAME_SAVE_UINT8, i, -1, 2, 2);
         }},
    };
    for (const Bad &b : bad) {
        SCOPED_TRACE(b.msg);
        put("");
        log_.clear();
        EXPECT_FALSE(b.save(fd_, raw.data(), img.data()));
        EXPECT_TRUE(log_.has(b.msg)) << log_.text();
        EXPECT_EQ(contents(), "");
    }
}

TEST_F(FrameFileTest, FailedWritesReportWhichPartFailed) {
    // A descriptor open for reading only: every write fails.
    const int ro = open(path_.c_str(), O_RDONLY);
    ASSERT_GE(ro, 0);
    const std::vector<uint16_t> raw(4, 1);
    const std::vector<float> img(4, 1.f);

    EXPECT_FALSE(kavro_frame_save_raw(ro, KAVRO_FRAME_SAVE_UINT16, raw.data(), 4, 2, 2, 1, "t"));
    EXPECT_TRUE(log_.has("[kavro_frame_save_raw] faile to save VX_RAW header"));
    EXPECT_FALSE(kavro_frame_save_distance(ro, KAVRO_FRAME_SAVE_UINT16, img.data(), 4, 2, 2));
    EXPECT_TRUE(log_.has("[kavro_frame_save_distance] faile to save VX_DIST header"));
    EXPECT_FALSE(kavro_frame_save_gray(ro, KAVRO_FRAME_SAVE_UINT8, img.data(), 4, 2, 2));
    EXPECT_TRUE(log_.has("[kavro_frame_save_gray] faile to save VX_GRAY header"));

    // Past offset 0 only data is written, and that fails.
    ASSERT_EQ(lseek(ro, 10, SEEK_SET), 10);
    EXPECT_FALSE(kavro_frame_save_raw(ro, KAVRO_FRAME_SAVE_UINT32, raw.data(), 4, 2, 2, 1, "t"));
    EXPECT_TRUE(log_.has("[kavro_frame_save_raw] faile to save VX_RAW U32 data: 0 bytes"));
    EXPECT_FALSE(kavro_frame_save_distance(ro, KAVRO_FRAME_SAVE_UINT16, img.data(), 4, 2, 2));
    EXPECT_TRUE(log_.has("[kavro_frame_save_distance] faile to save VX_DIST U16 data: 0 bytes"));
    EXPECT_FALSE(kavro_frame_save_gray(ro, KAVRO_FRAME_SAVE_UINT16, img.data(), 4, 2, 2));
    EXPECT_TRUE(log_.has("[kavro_frame_save_gray] faile to save VX_GRAY U16 data: 0 bytes"));
    close(ro);
}

TEST_F(FrameFileTest, ReferenceFrameSizeWritesHeaderThenWholeFrames) {
    // A 320 x 240 x 4 recording: header line, then 614400 bytes per frame.
    std::vector<uint16_t> frame(320 * 240 * 4);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint16_t>(i * 7);
    ASSERT_TRUE(kavro_frame_save_raw(fd_, KAVRO_FRAME_SAVE_UINT16, frame.data(),
                                     static_cast<int>(frame.size()), 320, 240, 4, "xyz"));
    ASSERT_TRUE(kavro_frame_save_raw(fd_, KAVRO_FRAME_SAVE_UINT16, frame.data(),
                                     static_cast<int>(frame.size()), 320, 240, 4, "xyz"));
    const std::string hdr = "VX_RAW,U16,320,240,4,xyz\n";
    EXPECT_EQ(first_line(), hdr);
    EXPECT_EQ(contents().size(), hdr.size() + 2 * 614400);

    rewind();
    std::vector<uint16_t> out(frame.size());
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_EQ(kavro_frame_load_raw(fd_, out.data(), static_cast<int>(out.size()), nullptr, nullptr,
                                       nullptr, nullptr, 0),
                  307200);
        EXPECT_EQ(out, frame);
    }
}

}  // namespace
