// ctest-labels: threads
// File replay transport: a recording played through the notify callback as
// stream headers and frames that the frame stream accepts, repeated
// captures, abort from the callback, end of file and load failure, the two
// parameters it answers, open refusals and close.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "captured_log.h"
#include "kavro.h"
#include "kavro_ll.h"
#include "ll/ll_imp.h"
#include "vx_stream.h"

namespace {

using namespace std::chrono_literals;

// Generous: only guards against a hang, never measures anything.
constexpr auto kHangGuard = 30s;

struct Event {
    int status;
    int len;
    std::vector<uint8_t> bytes;
};

/// What the replay thread hands up, recorded and fed into a frame stream the
/// way the capture engine does it.
class Collector {
public:
    Collector() {
        vx_stream_cfg_t cfg{16};
        stream_ = vx_stream_create(&cfg);
    }
    ~Collector() { vx_stream_destroy(stream_); }

    static void notify(kavro_ll_dev_t *dev, int status, void *buf, int len, void *arg) {
        auto *self = static_cast<Collector *>(arg);
        if (status == LL_TRANS_OK) vx_stream_feed_input(self->stream_, buf, len);
        const auto *p = static_cast<const uint8_t *>(buf);
        std::lock_guard<std::mutex> lk(self->m_);
        self->events_.push_back({status, len, std::vector<uint8_t>(p, p + (len > 0 ? len : 0))});
        if (self->abort_on_first_data_ && status == LL_TRANS_OK && len != VX_STREAM_HDR_SIZE) {
            self->abort_on_first_data_ = false;
            kavro_ll_cap_abort(dev);  // allowed from inside the callback
        }
        if (status == LL_TRANS_CANCELLED && self->restarts_left_ > 0) {
            // The earliest moment another thread could restart after seeing
            // the end of the file: done here, the timing is always the same.
            --self->restarts_left_;
            kavro_ll_cap_start(dev, 0, notify, self);
        }
        self->cv_.notify_all();
    }

    /// Wait until `n` events in total have arrived; false on a hang.
    bool wait_events(size_t n) {
        std::unique_lock<std::mutex> lk(m_);
        return cv_.wait_for(lk, kHangGuard, [&] { return events_.size() >= n; });
    }
    std::vector<Event> take() {
        std::lock_guard<std::mutex> lk(m_);
        return std::exchange(events_, {});
    }
    void abort_on_first_data() {
        std::lock_guard<std::mutex> lk(m_);
        abort_on_first_data_ = true;
    }
    void restart_on_end(int times) {
        std::lock_guard<std::mutex> lk(m_);
        restarts_left_ = times;
    }
    vx_stream_t stream() const { return stream_; }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Event> events_;
    bool abort_on_first_data_ = false;
    int restarts_left_ = 0;
    vx_stream_t stream_;
};

vx_stream_hdr_t header_of(const Event &e) {
    vx_stream_hdr_t h;
    EXPECT_EQ(e.bytes.size(), sizeof h);
    memcpy(&h, e.bytes.data(), sizeof h);
    return h;
}

class LlFileTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (dev_.h) kavro_ll_dev_close(&dev_);
        if (fp_) fclose(fp_);
        unlink(path_.c_str());
    }

    /// Write a recording of `frames` frames (frame k holds samples k*1000+i)
    /// and return the header length.
    size_t record(int w, int h, int n, int frames, const char *tag = "xyz") {
        path_ = std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".vx";
        const int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        EXPECT_GE(fd, 0);
        frames_.clear();
        for (int k = 0; k < frames; ++k) {
            std::vector<uint16_t> f(static_cast<size_t>(w * h * n));
            for (size_t i = 0; i < f.size(); ++i) f[i] = static_cast<uint16_t>(k * 1000 + i);
            EXPECT_TRUE(kavro_frame_save_raw(fd, KAVRO_FRAME_SAVE_UINT16, f.data(),
                                             static_cast<int>(f.size()), w, h, n, tag));
            frames_.push_back(std::move(f));
        }
        close(fd);
        char line[300];
        return static_cast<size_t>(snprintf(line, sizeof line, "VX_RAW,U16,%d,%d,%d,%s\n", w, h, n, tag));
    }

    kavro_ll_dev_t *open_recording() {
        fp_ = fopen(path_.c_str(), "rb");
        EXPECT_NE(fp_, nullptr);
        dev_ = kavro_ll_dev_t{};
        dev_.ll_info.type = LL_IF_FILE;
        dev_.ll_info.info.fil.fd = fp_;
        return kavro_ll_dev_open(&dev_);
    }

    /// Check one complete capture of every frame: pairs of header and data,
    /// then the end-of-file status; and the frames the stream reassembled.
    void expect_full_replay(const std::vector<Event> &ev, int w, int h, size_t hdr_len) {
        const uint32_t frame_bytes = static_cast<uint32_t>(frames_[0].size() * 2);
        ASSERT_EQ(ev.size(), frames_.size() * 2 + 1);
        for (size_t k = 0; k < frames_.size(); ++k) {
            SCOPED_TRACE(k);
            const Event &he = ev[2 * k];
            const Event &de = ev[2 * k + 1];
            ASSERT_EQ(he.status, LL_TRANS_OK);
            ASSERT_EQ(he.len, VX_STREAM_HDR_SIZE);
            const vx_stream_hdr_t hdr = header_of(he);
            // Position after the frame over the frame size.
            const auto idx = static_cast<uint16_t>((hdr_len + (k + 1) * frame_bytes) / frame_bytes);
            EXPECT_EQ(hdr.sync_word, VX_STREAM_SYNC_WORD);
            EXPECT_EQ(hdr.idx, idx);
            EXPECT_EQ(hdr.len, frame_bytes);
            EXPECT_EQ(hdr.finfo.frame_size, frame_bytes);
            EXPECT_EQ(hdr.finfo.frame_idx, idx);
            // One sub-frame per frame is the one-image format 4, else format 2.
            EXPECT_EQ(hdr.finfo.frame_format, frames_[0].size() == static_cast<size_t>(w) * h ? 4 : 2);
            uint16_t pw, ph;
            memcpy(&pw, &hdr.finfo.frame_prop[0], 2);
            memcpy(&ph, &hdr.finfo.frame_prop[2], 2);
            EXPECT_EQ(pw, w);
            EXPECT_EQ(ph, h);
            for (int b = 4; b < 12; ++b) EXPECT_EQ(hdr.finfo.frame_prop[b], 0) << b;
            EXPECT_EQ(hdr.data_cksum, 0u);
            EXPECT_EQ(hdr.flag, VX_STREAM_FLAG_FR_BOUND);
            EXPECT_EQ(hdr.cksum, vx_stream_hash16(he.bytes.data(), VX_STREAM_HDR_SIZE - 2, 0));

            ASSERT_EQ(de.status, LL_TRANS_OK);
            ASSERT_EQ(de.len, static_cast<int>(frame_bytes));
            EXPECT_EQ(memcmp(de.bytes.data(), frames_[k].data(), frame_bytes), 0);
        }
        EXPECT_EQ(ev.back().status, LL_TRANS_CANCELLED);
        EXPECT_EQ(ev.back().len, 0);
    }

    void expect_stream_frames(vx_stream_t s, size_t hdr_len) {
        const size_t frame_bytes = frames_[0].size() * 2;
        for (size_t k = 0; k < frames_.size(); ++k) {
            std::vector<uint8_t> out(frame_bytes);
            vx_frinfo_t info{};
            ASSERT_EQ(vx_stream_fetch_frames(s, out.data(), static_cast<int>(out.size()), 1, &info, false), 1)
                << "frame " << k;
            EXPECT_EQ(info.frame_idx, (hdr_len + (k + 1) * frame_bytes) / frame_bytes);
            EXPECT_EQ(memcmp(out.data(), frames_[k].data(), frame_bytes), 0);
        }
        vx_stream_state_t st{};
        vx_stream_get_state(s, &st);
        EXPECT_EQ(st.frcnt_in_list, 0u);
        EXPECT_EQ(st.frcnt_err_discard, 0u);
    }

    CapturedLog log_;
    // Declared before the device: TearDown closes the device (joining its
    // thread) before the collector the callback writes into goes away.
    Collector c_;
    std::string path_;
    FILE *fp_ = nullptr;
    kavro_ll_dev_t dev_{};
    std::vector<std::vector<uint16_t>> frames_;
};

TEST_F(LlFileTest, EachCaptureReplaysEveryFrameThenReportsEndOfFile) {
    const size_t hdr_len = record(320, 240, 4, 3);
    ASSERT_EQ(open_recording(), &dev_);
    EXPECT_EQ(dev_.ll_op, &ll_op_fil);
    EXPECT_NE(dev_.h, nullptr);
    EXPECT_TRUE(log_.has("[_file_ll_dev_open] open file dev: prod = xyz, WxHxN = 320x240x4"));

    Collector &c = c_;
    for (int capture = 0; capture < 2; ++capture) {
        SCOPED_TRACE(capture);
        ASSERT_TRUE(kavro_ll_cap_start(&dev_, 0, Collector::notify, &c));
        ASSERT_TRUE(c.wait_events(7));
        expect_full_replay(c.take(), 320, 240, hdr_len);
        expect_stream_frames(c.stream(), hdr_len);
        vx_stream_reset(c.stream());
    }
    EXPECT_TRUE(log_.has("[_ll_event_loop] stop capture: file EOF met"));
    EXPECT_TRUE(kavro_ll_cap_stop(&dev_));

    kavro_ll_dev_close(&dev_);
    EXPECT_EQ(dev_.h, nullptr);
    EXPECT_EQ(dev_.ll_op, &ll_op_fil);  // the record can be opened again
    char magic[7] = {};  // the caller's file stays open and usable
    ASSERT_EQ(fseek(fp_, 0, SEEK_SET), 0);
    ASSERT_EQ(fread(magic, 1, 6, fp_), 6u);
    EXPECT_STREQ(magic, "VX_RAW");
    EXPECT_EQ(c.take().size(), 0u);     // nothing arrives after the end of file
}

TEST_F(LlFileTest, RestartRightAtEndOfFileIsNotLost) {
    const size_t hdr_len = record(8, 4, 2, 3);
    ASSERT_EQ(open_recording(), &dev_);
    Collector &c = c_;
    c.restart_on_end(1);
    ASSERT_TRUE(kavro_ll_cap_start(&dev_, 0, Collector::notify, &c));
    ASSERT_TRUE(c.wait_events(14));
    std::vector<Event> ev = c.take();
    ASSERT_EQ(ev.size(), 14u);
    expect_full_replay(std::vector<Event>(ev.begin(), ev.begin() + 7), 8, 4, hdr_len);
    expect_full_replay(std::vector<Event>(ev.begin() + 7, ev.end()), 8, 4, hdr_len);
}

// A recording of single-image frames is announced in the one-image format,
// so the driver reads it with the row-pair pairing instead of refusing a
// frame that is a quarter of the four-image size.
TEST_F(LlFileTest, SingleImageRecordingIsReplayedInTheOneImageFormat) {
    const size_t hdr_len = record(8, 4, 1, 2);
    ASSERT_EQ(open_recording(), &dev_);
    Collector &c = c_;
    ASSERT_TRUE(kavro_ll_cap_start(&dev_, 0, Collector::notify, &c));
    ASSERT_TRUE(c.wait_events(5));
    expect_full_replay(c.take(), 8, 4, hdr_len);
}

TEST_F(LlFileTest, AbortFromTheCallbackStopsAndTheNextStartReplaysFromTheFirstFrame) {
    const size_t hdr_len = record(8, 4, 2, 3);
    ASSERT_EQ(open_recording(), &dev_);
    Collector &c = c_;
    c.abort_on_first_data();
    ASSERT_TRUE(kavro_ll_cap_start(&dev_, 0, Collector::notify, &c));
    ASSERT_TRUE(c.wait_events(2));
    // The pass that saw the abort finishes its frame; no end-of-file follows.
    std::vector<Event> first = c.take();
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(memcmp(first[1].bytes.data(), frames_[0].data(), frames_[0].size() * 2), 0);
    vx_stream_reset(c.stream());

    // A fresh start replays the whole file once more.
    ASSERT_TRUE(kavro_ll_cap_start(&dev_, 0, Collector::notify, &c));
    ASSERT_TRUE(c.wait_events(7));
    expect_full_replay(c.take(), 8, 4, hdr_len);
}

TEST_F(LlFileTest, PacedReplayDeliversTheSameAndCloseEndsAPause) {
    record(8, 4, 2, 3);
    ASSERT_EQ(open_recording(), &dev_);
    vxif_param_item_t rate{};
    rate.param_id = PARAM_FRAME_RATE;
    rate.param_val.frame_rate.fps = 500;
    ASSERT_TRUE(kavro_ll_param_set(&dev_, &rate, 1));
    EXPECT_TRUE(log_.has("[file_ll_dev_param_set] file replay set fps to 500"));

    Collector &c = c_;
    ASSERT_TRUE(kavro_ll_cap_start(&dev_, 0, Collector::notify, &c));
    ASSERT_TRUE(c.wait_events(7));
    EXPECT_EQ(c.take().back().status, LL_TRANS_CANCELLED);

    // One frame a second: close during the pause after the first frame must
    // not wait for the pause (a hang here would fail the run).
    rate.param_val.frame_rate.fps = 1;
    ASSERT_TRUE(kavro_ll_param_set(&dev_, &rate, 1));
    ASSERT_TRUE(kavro_ll_cap_start(&dev_, 0, Collector::notify, &c));
    ASSERT_TRUE(c.wait_events(2));
    kavro_ll_dev_close(&dev_);
    EXPECT_EQ(dev_.h, nullptr);
    EXPECT_TRUE(log_.has("[file_ll_dev_close] stop evt thread..."));
    EXPECT_TRUE(log_.has("[_file_ll_evt_thread] exit"));
}

TEST_F(LlFileTest, TruncatedOrChangedRecordingEndsTheCaptureWithItsStatus) {
    const size_t hdr_len = record(8, 4, 2, 3);
    // Cut the last frame in half: the replay ends after two frames.
    ASSERT_EQ(truncate(path_.c_str(), static_cast<off_t>(hdr_len + 2 * 128 + 64)), 0);
    ASSERT_EQ(open_recording(), &dev_);
    Collector &c = c_;
    ASSERT_TRUE(kavro_ll_cap_start(&dev_, 0, Collector::notify, &c));
    ASSERT_TRUE(c.wait_events(5));
    std::vector<Event> ev = c.take();
    ASSERT_EQ(ev.size(), 5u);
    EXPECT_EQ(ev[4].status, LL_TRANS_CANCELLED);
    EXPECT_TRUE(log_.has("[kavro_frame_load_raw] read 128 date failed: ret= 64"));

    // The file now claims smaller frames than the replay was opened with: the
    // first read yields fewer samples than a frame and fails the load.
    FILE *w = fopen(path_.c_str(), "r+b");
    ASSERT_NE(w, nullptr);
    const std::string smaller = "VX_RAW,U16,4,4,1,xyz\n";
    fwrite(smaller.data(), 1, smaller.size(), w);
    fclose(w);
    ASSERT_TRUE(kavro_ll_cap_start(&dev_, 0, Collector::notify, &c));
    ASSERT_TRUE(c.wait_events(1));
    ev = c.take();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].status, LL_TRANS_LOAD_FAILED);
    EXPECT_EQ(ev[0].len, 0);
    EXPECT_TRUE(log_.has("[_ll_event_loop] load frames from file failed: len=16"));
}

TEST_F(LlFileTest, AnswersProductAndFrameRateAndZeroesOtherParameters) {
    struct TagCase {
        std::string tag;
        std::string want;
    };
    const TagCase cases[] = {{"ABCDEFG", "ABCDEFG"},
                             {"ABCDEFGHIJKLMNOPQRSTUVWXY", "ABCDEFGHIJKLMNOPQR"}};
    for (const TagCase &tc : cases) {
        SCOPED_TRACE(tc.tag);
        record(8, 4, 1, 1, tc.tag.c_str());
        ASSERT_EQ(open_recording(), &dev_);
        vxif_param_item_t items[3];
        memset(items, 0x77, sizeof items);
        items[0].param_id = PARAM_INFO_PRODUCT;
        items[1].param_id = PARAM_FRAME_RATE;
        items[2].param_id = PARAM_INTG_TIME;
        ASSERT_TRUE(kavro_ll_param_get(&dev_, items, 3));
        EXPECT_EQ(items[0].param_val_len, tc.want.size());
        EXPECT_EQ(std::string(items[0].param_val.info_product, items[0].param_val_len), tc.want);
        uint32_t fps;
        memcpy(&fps, &items[1].param_val, 4);
        EXPECT_EQ(fps, 0u);
        EXPECT_EQ(items[1].param_val_len, 0x77);  // left as the caller set it
        for (uint8_t b : items[2].param_val.raw) EXPECT_EQ(b, 0);
        EXPECT_EQ(items[2].param_val_len, 0x77);

        // Commands and register accesses succeed without doing anything.
        uint32_t regs[2] = {5, 6};
        EXPECT_TRUE(kavro_ll_reg_read(&dev_, 1, 0, regs, 2));
        EXPECT_EQ(regs[0] + regs[1], 11u);
        EXPECT_TRUE(kavro_ll_reg_write(&dev_, 1, 0, regs, 2));
        EXPECT_TRUE(kavro_ll_exe_cmd(&dev_, true, 1, 2, regs, 8, 100));
        EXPECT_EQ(kavro_ll_tx_data(&dev_, regs, 8), 0);
        EXPECT_TRUE(kavro_ll_dev_reset(&dev_, RESET_TARGET_SYS));

        kavro_ll_dev_close(&dev_);
        fclose(fp_);
        fp_ = nullptr;
    }
}

TEST_F(LlFileTest, RefusesWhatIsNotARawRecordingAndLeavesTheRecordClosed) {
    struct Refusal {
        const char *name;
        std::string contents;
    };
    const std::vector<uint16_t> few(15, 1);
    const Refusal cases[] = {
        {"empty file", ""},
        {"distance file", "VX_DIST,F32,2,2\n" + std::string(16, '\0')},
        {"frame under 16 samples", "VX_RAW,U16,5,3,1,t\n" +
                                       std::string(reinterpret_cast<const char *>(few.data()), 30)},
        {"first frame cut short", "VX_RAW,U16,8,4,1,t\n" + std::string(40, 'a')},
    };
    for (const Refusal &r : cases) {
        SCOPED_TRACE(r.name);
        path_ = "refusal.vx";
        FILE *w = fopen(path_.c_str(), "wb");
        fwrite(r.contents.data(), 1, r.contents.size(), w);
        fclose(w);
        EXPECT_EQ(open_recording(), nullptr);
        EXPECT_EQ(dev_.h, nullptr);  // nothing stays attached to a failed open
        EXPECT_EQ(dev_.ll_op, nullptr);
        fclose(fp_);
        fp_ = nullptr;
    }
    kavro_ll_dev_t eth{};
    eth.ll_info.type = LL_IF_ETH;
    EXPECT_EQ(kavro_ll_dev_open(&eth), nullptr);
}

TEST_F(LlFileTest, SecondOpenIsRefusedAndSecondCloseOnlyWarns) {
    record(8, 4, 1, 2);
    ASSERT_EQ(open_recording(), &dev_);
    void *const state = dev_.h;
    EXPECT_EQ(kavro_ll_dev_open(&dev_), nullptr);  // already open: no second thread
    EXPECT_EQ(dev_.h, state);

    kavro_ll_dev_close(&dev_);
    log_.clear();
    kavro_ll_dev_close(&dev_);
    EXPECT_TRUE(log_.has("[file_ll_dev_close] device no need to closed!"));
    EXPECT_FALSE(kavro_ll_cap_start(&dev_, 0, Collector::notify, nullptr));
    EXPECT_FALSE(kavro_ll_cap_stop(&dev_));

    // The closed record opens again and reaches the same recording.
    ASSERT_EQ(kavro_ll_dev_open(&dev_), &dev_);
    Collector &c = c_;
    ASSERT_TRUE(kavro_ll_cap_start(&dev_, 0, Collector::notify, &c));
    ASSERT_TRUE(c.wait_events(5));
    EXPECT_EQ(c.take().size(), 5u);
}

}  // namespace
