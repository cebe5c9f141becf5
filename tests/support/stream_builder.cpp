#include "stream_builder.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace kavro_test {

std::vector<uint8_t> stream_pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v[i] = static_cast<uint8_t>(x >> 7);
    }
    return v;
}

uint32_t stream_payload_sum(const uint8_t *p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 4 <= n; i += 4)
        sum += static_cast<uint32_t>(p[i]) | static_cast<uint32_t>(p[i + 1]) << 8 |
               static_cast<uint32_t>(p[i + 2]) << 16 | static_cast<uint32_t>(p[i + 3]) << 24;
    return sum;
}

void stream_hdr_seal(vx_stream_hdr_t &hdr) {
    hdr.cksum = vx_stream_hash16(&hdr, 34, 0);
}

vx_stream_hdr_t stream_hdr(uint16_t idx, uint32_t len, uint32_t frame_size, uint16_t frame_idx, uint16_t flag,
                           uint16_t frame_format) {
    vx_stream_hdr_t h{};
    h.sync_word = VX_STREAM_SYNC_WORD;
    h.idx = idx;
    h.len = len;
    h.finfo.frame_size = frame_size;
    h.finfo.frame_idx = frame_idx;
    h.finfo.frame_format = frame_format;
    h.flag = flag;
    stream_hdr_seal(h);
    return h;
}

StreamBuilder &StreamBuilder::data_cksum(bool on) {
    data_cksum_ = on;
    return *this;
}

StreamBuilder &StreamBuilder::next_idx(uint16_t idx) {
    next_idx_ = idx;
    return *this;
}

void StreamBuilder::emit(uint16_t flag, uint32_t frame_size, const StreamFrame &first, const uint8_t *payload,
                         size_t n) {
    vx_stream_hdr_t h{};
    h.sync_word = VX_STREAM_SYNC_WORD;
    h.idx = next_idx_;
    h.len = static_cast<uint32_t>(n);
    h.finfo.frame_size = frame_size;
    h.finfo.frame_idx = first.frame_idx;
    h.finfo.frame_format = first.frame_format;
    std::memcpy(h.finfo.frame_prop, first.frame_prop.data(), sizeof(h.finfo.frame_prop));
    h.flag = flag;
    if (data_cksum_) {
        h.flag |= VX_STREAM_FLAG_EN_DATA_CKSUM;
        h.data_cksum = stream_payload_sum(payload, n);
    }
    header(h, payload, n, true);
}

StreamBuilder &StreamBuilder::frame(const StreamFrame &f) {
    emit(VX_STREAM_FLAG_FR_BOUND, static_cast<uint32_t>(f.data.size()), f, f.data.data(), f.data.size());
    return *this;
}

StreamBuilder &StreamBuilder::frame_split(const StreamFrame &f, uint32_t piece_len) {
    if (piece_len == 0) throw std::invalid_argument("piece_len must be positive");
    const size_t total = f.data.size();
    size_t off = 0;
    do {
        const size_t n = std::min<size_t>(piece_len, total - off);
        emit(off == 0 ? VX_STREAM_FLAG_FR_BOUND : 0, static_cast<uint32_t>(total), f, f.data.data() + off, n);
        off += n;
    } while (off < total);
    return *this;
}

StreamBuilder &StreamBuilder::frames(const std::vector<StreamFrame> &fs) {
    if (fs.empty()) throw std::invalid_argument("no frames");
    std::vector<uint8_t> payload;
    for (const StreamFrame &f : fs) {
        if (f.data.size() != fs[0].data.size()) throw std::invalid_argument("frames differ in size");
        payload.insert(payload.end(), f.data.begin(), f.data.end());
    }
    emit(VX_STREAM_FLAG_FR_BOUND, static_cast<uint32_t>(fs[0].data.size()), fs[0], payload.data(), payload.size());
    return *this;
}

StreamBuilder &StreamBuilder::header(vx_stream_hdr_t hdr, const uint8_t *payload, size_t n, bool seal) {
    if (seal) stream_hdr_seal(hdr);
    hdr_offsets_.push_back(out_.size());
    const auto *h = reinterpret_cast<const uint8_t *>(&hdr);
    out_.insert(out_.end(), h, h + sizeof(hdr));
    if (n) out_.insert(out_.end(), payload, payload + n);
    next_idx_ = static_cast<uint16_t>(hdr.idx + 1);
    return *this;
}

StreamBuilder &StreamBuilder::bytes(const void *p, size_t n) {
    const auto *b = static_cast<const uint8_t *>(p);
    out_.insert(out_.end(), b, b + n);
    return *this;
}

}  // namespace kavro_test
