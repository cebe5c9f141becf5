// Frame stream throughput: a stream of 614400-byte frames (320 x 240 x 8
// bytes) handed over in 153600-byte pieces, against memcpy of the same bytes
// in the same pieces. Taking the finished frames without copying them out
// keeps the list short; each frame still costs one allocation and one copy.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "vx_stream.h"

namespace {

constexpr uint32_t FRAME = 614400;
constexpr size_t PIECE = 153600;
constexpr int FRAMES = 8;

void put_header(std::vector<uint8_t> &out, uint16_t idx, bool sum) {
    vx_stream_hdr_t h{};
    h.sync_word = VX_STREAM_SYNC_WORD;
    h.idx = idx;
    h.len = FRAME;
    h.finfo.frame_size = FRAME;
    h.finfo.frame_idx = idx;
    h.finfo.frame_format = 2;
    h.flag = VX_STREAM_FLAG_FR_BOUND | (sum ? VX_STREAM_FLAG_EN_DATA_CKSUM : 0);
    const size_t payload = out.size() + sizeof(h);
    out.resize(payload + FRAME);
    uint32_t s = 0;
    for (uint32_t i = 0; i < FRAME; i += 4) {
        const uint32_t w = (i * 2654435761u) ^ idx;
        std::memcpy(&out[payload + i], &w, 4);
        s += w;
    }
    h.data_cksum = sum ? s : 0;
    h.cksum = vx_stream_hash16(&h, 34, 0);
    std::memcpy(&out[payload - sizeof(h)], &h, sizeof(h));
}

std::vector<uint8_t> make_stream(bool sum) {
    std::vector<uint8_t> out;
    for (int i = 0; i < FRAMES; ++i) put_header(out, static_cast<uint16_t>(i), sum);
    return out;
}

void run_stream(benchmark::State &state, bool sum) {
    const std::vector<uint8_t> stream = make_stream(sum);
    const vx_stream_cfg_t cfg{10};
    vx_stream_t s = vx_stream_create(&cfg);
    for (auto _ : state) {
        for (size_t off = 0; off < stream.size(); off += PIECE) {
            const size_t n = std::min(PIECE, stream.size() - off);
            vx_stream_feed_input(s, stream.data() + off, static_cast<int>(n));
        }
        benchmark::DoNotOptimize(vx_stream_fetch_frames(s, nullptr, 0, FRAMES, nullptr, false));
    }
    vx_stream_state_t st{};
    vx_stream_get_state(s, &st);
    if (st.frcnt_err_discard != 0 || st.frcnt_slow_discard != 0) state.SkipWithError("frames were dropped");
    vx_stream_destroy(s);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
}

void run_memcpy(benchmark::State &state) {
    const std::vector<uint8_t> stream = make_stream(false);
    std::vector<uint8_t> dst(FRAME);
    for (auto _ : state) {
        size_t at = 0;
        for (size_t off = 0; off < stream.size(); off += PIECE) {
            const size_t n = std::min(PIECE, stream.size() - off);
            // Same bytes, same pieces, into a frame-sized destination.
            const size_t k = std::min(n, dst.size() - at);
            std::memcpy(dst.data() + at, stream.data() + off, k);
            std::memcpy(dst.data(), stream.data() + off + k, n - k);
            at = (at + n) % dst.size();
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
}

}  // namespace

static void BM_stream(benchmark::State &state) { run_stream(state, false); }
static void BM_stream_sum(benchmark::State &state) { run_stream(state, true); }
static void BM_stream_memcpy(benchmark::State &state) { run_memcpy(state); }

BENCHMARK(BM_stream)->Name("stream_feed:kavro/614400");
BENCHMARK(BM_stream_memcpy)->Name("stream_feed:memcpy/614400");
BENCHMARK(BM_stream_sum)->Name("stream_feed_sum:kavro/614400");
BENCHMARK(BM_stream_memcpy)->Name("stream_feed_sum:memcpy/614400");
