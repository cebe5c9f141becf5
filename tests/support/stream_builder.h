// Builds camera byte streams (stream headers and payloads) for tests: whole
// frames under one header, frames split over several headers, several frames
// under one header, hand-made headers and raw bytes in between.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "vx_stream.h"

namespace kavro_test {

/// One frame to put into a stream.
struct StreamFrame {
    std::vector<uint8_t> data;
    uint16_t frame_idx = 0;
    uint16_t frame_format = 2;
    std::array<uint8_t, 12> frame_prop{};
};

/// `n` bytes of a reproducible pattern that depends on `seed`.
std::vector<uint8_t> stream_pattern(size_t n, uint32_t seed);

/// Wrapping sum of the little-endian u32 words of `n` bytes (trailing bytes
/// that do not fill a word are not summed), as carried in `data_cksum`.
uint32_t stream_payload_sum(const uint8_t *p, size_t n);

/// Recomputes `cksum` over the first 34 bytes of the header.
void stream_hdr_seal(vx_stream_hdr_t &hdr);

/// A sealed header with the given fields (sync word set, other fields 0).
vx_stream_hdr_t stream_hdr(uint16_t idx, uint32_t len, uint32_t frame_size, uint16_t frame_idx,
                           uint16_t flag = VX_STREAM_FLAG_FR_BOUND, uint16_t frame_format = 2);

class StreamBuilder {
public:
    /// Set or clear `en_data_cksum` (with a correct `data_cksum`) on later headers.
    StreamBuilder &data_cksum(bool on);
    /// Sequence number the next header gets (then counts up, mod 65536).
    StreamBuilder &next_idx(uint16_t idx);
    uint16_t next_idx() const { return next_idx_; }

    /// One frame under one header with `fr_bound`.
    StreamBuilder &frame(const StreamFrame &f);
    /// One frame under several headers carrying `piece_len` bytes each (the
    /// last one the rest); the first has `fr_bound`, all carry its `frame_idx`.
    StreamBuilder &frame_split(const StreamFrame &f, uint32_t piece_len);
    /// Frames of equal size under one header with `fr_bound`; the header
    /// carries the first frame's index, info and properties.
    StreamBuilder &frames(const std::vector<StreamFrame> &fs);
    /// A header exactly as given (with `seal`, its `cksum` recomputed) and its
    /// payload. The sequence number is taken from `hdr`; the next header
    /// made by this builder follows it.
    StreamBuilder &header(vx_stream_hdr_t hdr, const uint8_t *payload, size_t n, bool seal = true);
    /// Raw bytes (garbage, truncated data...).
    StreamBuilder &bytes(const void *p, size_t n);

    const std::vector<uint8_t> &data() const { return out_; }
    /// Offset of every header added, in order.
    const std::vector<size_t> &header_offsets() const { return hdr_offsets_; }

private:
    void emit(uint16_t flag, uint32_t frame_size, const StreamFrame &first, const uint8_t *payload, size_t n);

    std::vector<uint8_t> out_;
    std::vector<size_t> hdr_offsets_;
    uint16_t next_idx_ = 0;
    bool data_cksum_ = false;
};

}  // namespace kavro_test
