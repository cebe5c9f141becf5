// Frame stream: finds stream headers in the transport's bytes, checks them,
// cuts the payloads into frames and keeps finished frames in a bounded list.
//
// The parser is a byte sink driven by one producer thread. It is in one of
// these states: hunting for a header (no header bytes held), collecting an
// unfinished header (1-35 bytes held), consuming a payload (36 held, both
// sync flags clear), at the end of a payload (`need_sync_next_hdr`) or
// waiting for a frame boundary (`need_sync_fr_bound`).
#include "vx_stream_internal.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "vx_log_internal.h"

static_assert(std::endian::native == std::endian::little,
              "stream records are decoded by copying little-endian wire bytes");

static void *_default_node_alloc(std::size_t bytes) { return ::operator new(bytes, std::nothrow); }

void *(*_vx_stream_node_alloc)(std::size_t bytes) = _default_node_alloc;

namespace {

constexpr uint8_t SYNC_LO = 0xFB; // sync word 0x98FB, low byte first on the wire
constexpr uint8_t SYNC_HI = 0x98;
constexpr int HDR = VX_STREAM_HDR_SIZE;
constexpr int HDR_CKSUM_SPAN = 34; // the header checksum covers bytes 0-33

using write_lock = std::unique_lock<std::shared_mutex>;
using read_lock = std::shared_lock<std::shared_mutex>;

// ---- node lists -------------------------------------------------------------

vx_fr_node_t *_list_tail(vx_fr_node_t *head) { return head ? head->prev : nullptr; }

void _list_push_back(vx_fr_node_t *&head, vx_fr_node_t *node) {
    node->next = nullptr;
    if (!head) {
        node->prev = node;
        head = node;
        return;
    }
    vx_fr_node_t *tail = head->prev;
    tail->next = node;
    node->prev = tail;
    head->prev = node;
}

void _list_unlink(vx_fr_node_t *&head, vx_fr_node_t *node) {
    if (node == head) {
        head = node->next;
        if (head) head->prev = node->prev;
    } else {
        node->prev->next = node->next;
        if (node->next)
            node->next->prev = node->prev;
        else
            head->prev = node->prev; // removed the tail
    }
    node->next = node->prev = nullptr;
}

// Moves every node of `src` to the end of `dst`; returns the number moved.
uint32_t _list_splice(vx_fr_node_t *&dst, vx_fr_node_t *&src) {
    if (!src) return 0;
    uint32_t cnt = 0;
    for (vx_fr_node_t *n = src; n; n = n->next) ++cnt;
    if (!dst) {
        dst = src;
    } else {
        vx_fr_node_t *dst_tail = dst->prev;
        vx_fr_node_t *src_tail = src->prev;
        dst_tail->next = src;
        src->prev = dst_tail;
        dst->prev = src_tail;
    }
    src = nullptr;
    return cnt;
}

void _list_free(vx_fr_node_t *&head) {
    vx_fr_node_t *n = head;
    while (n) {
        vx_fr_node_t *next = n->next;
        ::operator delete(n);
        n = next;
    }
    head = nullptr;
}

bool _node_full(const vx_fr_node_t *n) { return n->d_len >= n->d_capacity; }

bool _has_unfinished(const vx_stream *s) {
    return s->cur_fr_node && !_node_full(s->cur_fr_node->prev);
}

vx_fr_node_t *_node_alloc(uint32_t capacity) {
    void *mem = _vx_stream_node_alloc(sizeof(vx_fr_node_t) + capacity);
    if (!mem) return nullptr;
    auto *node = static_cast<vx_fr_node_t *>(mem);
    node->next = node->prev = nullptr;
    node->info = vx_frinfo_t{};
    node->host_ns = 0;
    node->d_len = 0;
    node->d_capacity = capacity;
    node->d = reinterpret_cast<uint8_t *>(node + 1);
    return node;
}

vx_stream_ts_t _now() {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    return vx_stream_ts_t{us / 1000000, us % 1000000};
}

// ---- header checks ------------------------------------------------------------

// Decodes and checks the 36 bytes at `raw`. A header claiming zero-byte
// frames is refused as well: it cannot describe any frame and cutting its
// payload into frames would never make progress.
bool _verify_stream_hdr(const uint8_t *raw, vx_stream_hdr_t *hdr) {
    std::memcpy(hdr, raw, sizeof(*hdr));
    return hdr->sync_word == VX_STREAM_SYNC_WORD &&
           hdr->cksum == vx_stream_hash16(raw, HDR_CKSUM_SPAN, 0) && hdr->len < VX_STREAM_MAX_LEN &&
           hdr->finfo.frame_size < VX_STREAM_MAX_FRAME_SIZE && hdr->finfo.frame_size != 0 &&
           hdr->finfo.frame_format < VX_STREAM_MAX_FRAME_FORMAT;
}

uint32_t _load_u32(const uint8_t *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// Wrapping sum of `words` little-endian u32 words. The order of additions
// does not change a sum modulo 2^32, so the vector path gives the same result.
uint32_t _sum_words(const uint8_t *p, uint32_t words) {
    uint32_t sum = 0;
    uint32_t i = 0;
#ifdef __SSE2__
    __m128i acc0 = _mm_setzero_si128(), acc1 = acc0, acc2 = acc0, acc3 = acc0;
    for (; i + 16 <= words; i += 16) {
        const auto *v = reinterpret_cast<const __m128i *>(p + 4 * i);
        acc0 = _mm_add_epi32(acc0, _mm_loadu_si128(v));
        acc1 = _mm_add_epi32(acc1, _mm_loadu_si128(v + 1));
        acc2 = _mm_add_epi32(acc2, _mm_loadu_si128(v + 2));
        acc3 = _mm_add_epi32(acc3, _mm_loadu_si128(v + 3));
    }
    const __m128i acc = _mm_add_epi32(_mm_add_epi32(acc0, acc1), _mm_add_epi32(acc2, acc3));
    uint32_t lanes[4];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lanes), acc);
    sum = lanes[0] + lanes[1] + lanes[2] + lanes[3];
#endif
    for (; i < words; ++i) sum += _load_u32(p + 4 * i);
    return sum;
}

// Adds a piece of the payload to the running sum of little-endian u32 words.
// Words are counted from the start of the payload: a word split between two
// feed calls is completed from the next piece, so the sum does not depend on
// where the transport cut the stream. Trailing bytes that never fill a word
// are not summed.
void _calc_stream_data_cksum(vx_stream *s, const uint8_t *p, uint32_t n) {
    uint32_t sum = s->cur_hdr_data_cksum;
    if (s->cksum_tail_len) {
        while (n && s->cksum_tail_len < 4) {
            s->cksum_tail[s->cksum_tail_len++] = *p++;
            --n;
        }
        if (s->cksum_tail_len < 4) {
            s->cur_hdr_data_cksum = sum;
            return;
        }
        sum += _load_u32(s->cksum_tail);
        s->cksum_tail_len = 0;
    }
    const uint32_t words = n / 4;
    sum += _sum_words(p, words);
    const uint32_t rest = n - 4 * words;
    std::memcpy(s->cksum_tail, p + 4 * words, rest);
    s->cksum_tail_len = static_cast<uint8_t>(rest);
    s->cur_hdr_data_cksum = sum;
}

void _clear_payload_progress(vx_stream *s) {
    s->cur_hdr_rdy_dlen = 0;
    s->cur_hdr_data_cksum = 0;
    s->cksum_tail_len = 0;
}

void _forget_prev_hdr(vx_stream *s) {
    s->prev_hdr_idx = -1;
    s->prev_hdr_fr_idx = -1;
    s->prev_hdr_fr_cnt = 1;
}

// ---- frames -------------------------------------------------------------------

// Drops the unfinished frame at the end of `cur_fr_node`, if there is one.
void _discard_cur_frame(vx_stream *s) {
    vx_fr_node_t *tail = _list_tail(s->cur_fr_node);
    if (!tail || _node_full(tail)) return;
    {
        write_lock lk(s->frlist_lock);
        s->state.bytes_discard += tail->d_len;
        s->state.frcnt_err_discard += 1;
    }
    LOG_DBG("discard frame: idx = %d\n", tail->info.frame_idx);
    _list_unlink(s->cur_fr_node, tail);
    ::operator delete(tail);
}

// A frame's last byte arrived: stamp it with the host's monotonic clock.
void _count_completed(vx_stream *s, vx_fr_node_t *node) {
    node->host_ns = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
    {
        write_lock lk(s->frlist_lock);
        s->state.fridx += 1;
    }
    s->cur_hdr_fridx = static_cast<uint16_t>(s->cur_hdr_fridx + 1);
}

// Moves the finished frames of `cur_fr_node` to the end of `frlist` (an
// unfinished last frame stays behind as the frame being filled), then drops
// the oldest finished frames while the list holds more than allowed. Both
// happen under one hold of the lock, so readers never see the list above its
// limit. Dropped frames are logged and freed after the lock is released.
void _fr_list_refresh(vx_stream *s) {
    vx_fr_node_t *dropped = nullptr;
    uint32_t excess = 0;
    uint32_t slow_total = 0;
    {
        write_lock lk(s->frlist_lock);
        if (s->cur_fr_node && _node_full(s->cur_fr_node)) {
            const uint32_t moved = _list_splice(s->frlist, s->cur_fr_node);
            s->state.frcnt_total += moved;
            s->state.frcnt_in_list += moved;
            vx_fr_node_t *tail = _list_tail(s->frlist);
            if (tail && !_node_full(tail)) {
                _list_unlink(s->frlist, tail);
                _list_push_back(s->cur_fr_node, tail);
                s->state.frcnt_total -= 1;
                s->state.frcnt_in_list -= 1;
            }
        }
        if (s->state.frcnt_in_list <= s->cfg.max_frbuf_cnt) return;
        excess = s->state.frcnt_in_list - s->cfg.max_frbuf_cnt;
        slow_total = excess + s->state.frcnt_slow_discard;
        for (uint32_t i = 0; i < excess && s->frlist; ++i) {
            vx_fr_node_t *n = s->frlist;
            _list_unlink(s->frlist, n);
            _list_push_back(dropped, n);
            s->state.bytes_discard += n->info.frame_size;
            s->state.frcnt_in_list -= 1;
            s->state.frcnt_slow_discard += 1;
        }
    }
    LOG_DBG("discard frames: frame buffer is full (%d/%d)\n", static_cast<int>(excess),
            static_cast<int>(slow_total));
    for (vx_fr_node_t *n = dropped; n; n = n->next) LOG_DBG("discard frame: idx = %d\n", n->info.frame_idx);
    _list_free(dropped);
}

// Frames finished but not yet moved to the list are handed over in batches of
// this many, so that a payload of many tiny frames never piles up more than
// this beyond the list limit.
constexpr uint32_t REFRESH_BATCH = 16;

// Stores `n` payload bytes into the frames being filled. Returns false when a
// frame node could not be allocated; the rest of the piece is then dropped.
bool _fr_node_add_data(vx_stream *s, const uint8_t *p, uint32_t n) {
    vx_fr_node_t *tail = _list_tail(s->cur_fr_node);
    if (tail && !_node_full(tail)) {
        const uint32_t k = std::min(n, tail->d_capacity - tail->d_len);
        std::memcpy(tail->d + tail->d_len, p, k);
        tail->d_len += k;
        p += k;
        n -= k;
        if (_node_full(tail)) _count_completed(s, tail);
    }
    uint32_t batch = 0;
    while (n > 0) {
        const uint32_t fsize = s->cur_hdr.finfo.frame_size;
        vx_fr_node_t *node = _node_alloc(fsize);
        if (!node) {
            LOG_ERR("malloc failed: %d bytes\n", static_cast<int>(fsize + HDR));
            // The frame cannot be kept: count it and its bytes as dropped and
            // ignore payloads until the next frame boundary.
            write_lock lk(s->frlist_lock);
            s->state.bytes_discard += n;
            s->state.frcnt_err_discard += 1;
            s->need_sync_fr_bound = true;
            return false;
        }
        node->info = s->cur_hdr.finfo;
        node->info.frame_idx = static_cast<uint16_t>(s->cur_hdr.finfo.frame_idx + s->cur_hdr_fridx);
        _list_push_back(s->cur_fr_node, node);
        const uint32_t k = std::min(n, fsize);
        std::memcpy(node->d, p, k);
        node->d_len = k;
        p += k;
        n -= k;
        if (_node_full(node)) {
            _count_completed(s, node);
            if (++batch >= REFRESH_BATCH && n > 0) {
                _fr_list_refresh(s);
                batch = 0;
            }
        }
    }
    return true;
}

// ---- parser steps ---------------------------------------------------------------

constexpr uint32_t CKSUM_SLICE = 16384;

// Consumes up to `r` payload bytes of the current header; returns the count.
uint32_t _consume_payload(vx_stream *s, const uint8_t *p, uint32_t r) {
    const uint32_t n = std::min(r, s->cur_hdr.len - s->cur_hdr_rdy_dlen);
    s->cur_hdr_rdy_dlen += n;
    const bool complete = s->cur_hdr_rdy_dlen == s->cur_hdr.len;
    if ((s->cur_hdr.flag & VX_STREAM_FLAG_EN_DATA_CKSUM) && !complete) {
        // Nothing is decided before the payload is complete: sum and store
        // the piece in slices small enough to stay in the first-level cache,
        // so the bytes are read from memory only once.
        LOG_TRC("Add %d bytes to frlist\n", static_cast<int>(n));
        for (uint32_t off = 0; off < n; off += CKSUM_SLICE) {
            const uint32_t k = std::min(CKSUM_SLICE, n - off);
            _calc_stream_data_cksum(s, p + off, k);
            if (!_fr_node_add_data(s, p + off, k)) {
                // The frame could not be allocated: the rest of the piece
                // goes with it.
                write_lock lk(s->frlist_lock);
                s->state.bytes_discard += n - off - k;
                break;
            }
        }
        _fr_list_refresh(s);
        return n;
    }
    if (s->cur_hdr.flag & VX_STREAM_FLAG_EN_DATA_CKSUM) {
        // The last piece: the sum decides whether it is stored at all.
        _calc_stream_data_cksum(s, p, n);
        LOG_TRC("check data checksum: sidx=%d\n", s->cur_hdr.idx);
        if (s->cur_hdr_data_cksum != s->cur_hdr.data_cksum) {
            LOG_DBG("discard frame: verify data checksum failed: sidx=%d\n", s->cur_hdr.idx);
            // The bytes of this piece are dropped with the frame they
            // belong to. Count them, and count the frame even when none
            // of it had been stored yet (the payload came in one piece),
            // so that the loss is reported however the stream was cut.
            const bool had_unfinished = _has_unfinished(s);
            _discard_cur_frame(s);
            if (n > 0) {
                write_lock lk(s->frlist_lock);
                s->state.bytes_discard += n;
                if (!had_unfinished) s->state.frcnt_err_discard += 1;
            }
            s->need_sync_fr_bound = true;
            s->need_sync_next_hdr = true;
            _clear_payload_progress(s);
            return n;
        }
    }
    if (complete) {
        s->need_sync_next_hdr = true;
        _clear_payload_progress(s);
    }
    LOG_TRC("Add %d bytes to frlist\n", static_cast<int>(n));
    _fr_node_add_data(s, p, n);
    _fr_list_refresh(s);
    return n;
}

// Checks a newly taken header against the stream so far and decides whether
// its payload is stored.
void _on_new_hdr(vx_stream *s) {
    const vx_stream_hdr_t &h = s->cur_hdr;
    const bool fr_bound = (h.flag & VX_STREAM_FLAG_FR_BOUND) != 0;
    if (s->need_sync_fr_bound) {
        if (!fr_bound) return; // ignored: its payload is scanned for the next header
        s->need_sync_fr_bound = false;
        s->prev_hdr_idx = -1;
    }
    vx_fr_node_t *tail = _list_tail(s->cur_fr_node);
    if (!fr_bound) {
        if (s->prev_hdr_fr_idx != -1 && s->prev_hdr_fr_idx != h.finfo.frame_idx) {
            LOG_DBG("discard frame: frame idx not consist (prev=%d, cur=%d)\n", s->prev_hdr_fr_idx,
                    h.finfo.frame_idx);
            _discard_cur_frame(s);
            s->prev_hdr_idx = -1;
            return;
        }
    } else if (tail && !_node_full(tail)) {
        LOG_DBG("discard frame: frame bound met, prev not complete\n");
        _discard_cur_frame(s);
        s->prev_hdr_idx = -1;
        return;
    } else {
        uint32_t fridx;
        {
            read_lock lk(s->frlist_lock);
            fridx = s->state.fridx;
        }
        if (fridx != 0 && s->prev_hdr_fr_idx != -1) {
            const int expected = (s->prev_hdr_fr_idx + s->prev_hdr_fr_cnt) & 0xFFFF;
            if (expected != h.finfo.frame_idx)
                LOG_DBG("missing frame: jumpping frame idx (prev=%d, cur=%d)\n", expected, h.finfo.frame_idx);
        }
    }
    // Sequence check; a header with fr_bound is never rejected for its number.
    if (!fr_bound && s->prev_hdr_idx != -1 && h.idx != ((s->prev_hdr_idx + 1) & 0xFFFF)) {
        LOG_DBG("discard frame: stream hdr idx not correct (prev=%d, cur=%d)\n", s->prev_hdr_idx, h.idx);
        s->need_sync_fr_bound = true;
        _discard_cur_frame(s);
    }
}

// A newly taken header's payload has not been read yet. Clearing
// `need_sync_next_hdr` here matters after a reset, which keeps the flag: a
// capture that stopped right at the end of a payload would otherwise have the
// first payload of the next capture skipped.
void _take_hdr(vx_stream *s) {
    s->cur_hdr_len = HDR;
    s->need_sync_next_hdr = false;
    _clear_payload_progress(s);
    s->cur_hdr_fridx = 0;
}

void _hold_partial(vx_stream *s, const uint8_t *p, uint32_t r) {
    std::memcpy(s->cur_hdr_raw, p, r);
    s->cur_hdr_len = static_cast<uint8_t>(r);
    LOG_TRC("partial stream hdr found: %d bytes, need more bytes.\n", static_cast<int>(r));
}

// Looks through `r` bytes for a header. Returns the bytes consumed: up to and
// including a valid header (then `found` is set), or all of them.
// `pre_skipped` bytes of the same input were already passed over just before
// `p`; they count as skipped when a header is found.
uint32_t _sync_stream_hdr(vx_stream *s, const uint8_t *p, uint32_t r, uint32_t pre_skipped, bool *found) {
    *found = false;
    uint32_t i = 0;
    while (i < r) {
        const void *hit = std::memchr(p + i, SYNC_LO, r - i);
        if (!hit) break;
        i = static_cast<uint32_t>(static_cast<const uint8_t *>(hit) - p);
        if (i + 1 == r) { // a lone FB at the end may start the next header
            _hold_partial(s, p + i, 1);
            return r;
        }
        if (p[i + 1] != SYNC_HI) {
            ++i;
            continue;
        }
        if (r - i < HDR) {
            _hold_partial(s, p + i, r - i);
            return r;
        }
        vx_stream_hdr_t hdr;
        if (!_verify_stream_hdr(p + i, &hdr)) {
            ++i;
            continue;
        }
        s->cur_hdr = hdr;
        std::memcpy(s->cur_hdr_raw, p + i, HDR);
        _take_hdr(s);
        const vx_stream_hdr_t &h = s->cur_hdr;
        LOG_TRC("HDR found: idx/len=%d/%d (frlen:%d,fridx=%d,frfmt=%d)\n", h.idx, static_cast<int>(h.len),
                static_cast<int>(h.finfo.frame_size), h.finfo.frame_idx, h.finfo.frame_format);
        if (pre_skipped + i > 0) {
            LOG_TRC("sync hdr: skip %d bytes\n", static_cast<int>(pre_skipped + i));
            write_lock lk(s->frlist_lock);
            s->state.bytes_discard += pre_skipped + i;
        }
        *found = true;
        return i + HDR;
    }
    // No header in the input.
    if (s->need_sync_fr_bound) {
        LOG_DBG("not find hdr: skip %d bytes\n", static_cast<int>(pre_skipped + r));
    } else {
        LOG_DBG("discard frame: stream hdr verify failed\n");
        s->need_sync_fr_bound = true;
        _discard_cur_frame(s);
    }
    return r;
}

enum class collect_e { partial, found, scan };

// Completes a header begun in an earlier feed with bytes from `p`. When the
// 36 bytes turn out not to be a header, the search goes on inside them: the
// next FB 98 among the held bytes (or a final FB) becomes the start of the
// header being collected. Only when none is left does the caller scan the
// rest of the input. This finds a header whatever the sizes of the feeds,
// also when it began inside bytes held from an earlier feed.
// `used` receives the input bytes consumed.
collect_e _collect_stream_hdr(vx_stream *s, const uint8_t *p, uint32_t r, uint32_t *used) {
    const uint32_t from_prev = s->cur_hdr_len; // held bytes from earlier feeds
    uint32_t shifted = 0;                      // bytes dropped from the front of the held ones
    uint32_t pos = 0;
    for (;;) {
        const uint32_t k = std::min<uint32_t>(r - pos, HDR - s->cur_hdr_len);
        std::memcpy(s->cur_hdr_raw + s->cur_hdr_len, p + pos, k);
        s->cur_hdr_len = static_cast<uint8_t>(s->cur_hdr_len + k);
        pos += k;
        *used = pos;
        if (s->cur_hdr_len < HDR) {
            LOG_TRC("partial stream hdr found: %d bytes, need more bytes.\n", s->cur_hdr_len);
            return collect_e::partial;
        }
        vx_stream_hdr_t hdr;
        if (_verify_stream_hdr(s->cur_hdr_raw, &hdr)) {
            s->cur_hdr = hdr;
            _take_hdr(s);
            LOG_TRC("HDR found: idx/len=%d/%d(frlen:%d,fridx=%d,frfmt=%d)\n", hdr.idx, static_cast<int>(hdr.len),
                    static_cast<int>(hdr.finfo.frame_size), hdr.finfo.frame_idx, hdr.finfo.frame_format);
            // Bytes of this input passed over before the header.
            const uint32_t skipped = shifted > from_prev ? shifted - from_prev : 0;
            if (skipped > 0) {
                LOG_TRC("sync hdr: skip %d bytes\n", static_cast<int>(skipped));
                write_lock lk(s->frlist_lock);
                s->state.bytes_discard += skipped;
            }
            return collect_e::found;
        }
        // Not a header: what came before it is no longer known.
        _forget_prev_hdr(s);
        uint32_t q = 1;
        while (q < HDR && !(s->cur_hdr_raw[q] == SYNC_LO && (q + 1 == HDR || s->cur_hdr_raw[q + 1] == SYNC_HI))) ++q;
        if (q == HDR) {
            s->cur_hdr_len = 0;
            return collect_e::scan;
        }
        std::memmove(s->cur_hdr_raw, s->cur_hdr_raw + q, HDR - q);
        s->cur_hdr_len = static_cast<uint8_t>(HDR - q);
        shifted += q;
    }
}

} // namespace

extern "C" {

uint16_t vx_stream_hash16(const void *buf, int len, uint16_t seed) {
    if (len < 1 || !buf) return seed;
    const auto *p = static_cast<const uint8_t *>(buf);
    uint32_t sum1 = seed & 0xFF;
    uint32_t sum2 = seed >> 8;
    // Reducing once per block gives the same result as reducing after every
    // byte; 4096 bytes keep both sums far below 2^32.
    while (len > 0) {
        const int block = std::min(len, 4096);
        for (int i = 0; i < block; ++i) {
            sum1 += p[i];
            sum2 += sum1;
        }
        sum1 %= 255;
        sum2 %= 255;
        p += block;
        len -= block;
    }
    return static_cast<uint16_t>(sum1 | (sum2 << 8));
}

vx_stream_t vx_stream_create(const vx_stream_cfg_t *cfg) {
    vx_stream *s = nullptr;
    try {
        s = new (std::nothrow) vx_stream();
    } catch (...) { // the lock's constructor may throw
        s = nullptr;
    }
    if (!s) return nullptr;
    if (cfg) s->cfg = *cfg;
    s->cur_hdr.idx = 0xFFFF;
    s->state.reset_ts = _now();
    return s;
}

void vx_stream_destroy(vx_stream_t s) {
    if (!s) return;
    _list_free(s->cur_fr_node);
    _list_free(s->frlist);
    delete s;
}

void vx_stream_set_cfg(vx_stream_t s, const vx_stream_cfg_t *cfg) {
    if (!s || !cfg) return;
    write_lock lk(s->frlist_lock);
    s->cfg = *cfg;
}

vx_stream_cfg_t *vx_stream_get_cfg(vx_stream_t s, vx_stream_cfg_t *cfg) {
    if (!s || !cfg) return cfg;
    read_lock lk(s->frlist_lock);
    *cfg = s->cfg;
    return cfg;
}

void vx_stream_reset(vx_stream_t s) {
    if (!s) return;
    _list_free(s->cur_fr_node);
    vx_fr_node_t *finished = nullptr;
    {
        write_lock lk(s->frlist_lock);
        finished = s->frlist;
        s->frlist = nullptr;
        s->state = vx_stream_state_t{};
        s->state.reset_ts = _now();
    }
    _list_free(finished);
    s->cur_hdr_len = 0;
    _clear_payload_progress(s);
    s->cur_hdr_fridx = 0;
    _forget_prev_hdr(s);
    s->cur_hdr.idx = 0xFFFF;
}

bool vx_stream_feed_input(vx_stream_t s, const void *dbuf, int dbuf_len) {
    if (!s) return false;
    LOG_TRC("%d raw bytes\n", dbuf_len);
    const auto *in = static_cast<const uint8_t *>(dbuf);
    uint32_t r = (in && dbuf_len > 0) ? static_cast<uint32_t>(dbuf_len) : 0;
    const uint8_t *p = in;
    while (r > 0) {
        if (s->cur_hdr_len == HDR && !s->need_sync_fr_bound && !s->need_sync_next_hdr) {
            const uint32_t n = _consume_payload(s, p, r);
            p += n;
            r -= n;
            continue;
        }
        uint32_t pre_skipped = 0;
        if (s->cur_hdr_len == HDR) {
            // End of a payload (or of an ignored header): remember it and
            // look for the next header.
            const vx_stream_hdr_t &h = s->cur_hdr;
            s->prev_hdr_idx = h.idx;
            s->prev_hdr_fr_idx = h.finfo.frame_idx;
            s->prev_hdr_fr_cnt =
                h.finfo.frame_size < h.len ? static_cast<uint16_t>(h.len / h.finfo.frame_size) : 1;
            s->need_sync_next_hdr = false;
            s->cur_hdr_len = 0;
        } else if (s->cur_hdr_len > 0) {
            uint32_t used = 0;
            const collect_e c = _collect_stream_hdr(s, p, r, &used);
            p += used;
            r -= used;
            if (c == collect_e::found) _on_new_hdr(s);
            if (c != collect_e::scan) continue;
            // The bytes taken from this input hold no header start: scan on
            // after them, counting them as skipped should a header follow.
            pre_skipped = used;
        } else {
            _forget_prev_hdr(s);
        }
        bool found = false;
        const uint32_t used = _sync_stream_hdr(s, p, r, pre_skipped, &found);
        p += used;
        r -= used;
        if (found) _on_new_hdr(s);
    }
    read_lock lk(s->frlist_lock);
    return s->state.frcnt_in_list > 0;
}

} // extern "C"

int _vx_stream_fetch_frames_ts(vx_stream_t s, void *outbuf, int outbuf_sz, int frame_cnt, vx_frinfo_t *finfo,
                               bool peek, uint64_t *host_ns) {
    if (!s || frame_cnt <= 0) return 0;
    auto *out = static_cast<uint8_t *>(outbuf);
    size_t space = (out && outbuf_sz > 0) ? static_cast<size_t>(outbuf_sz) : 0;
    auto copy_out = [&](const vx_fr_node_t *n) {
        const size_t k = std::min<size_t>(space, n->d_len);
        if (k) {
            std::memcpy(out, n->d, k);
            out += k;
            space -= k;
        }
    };
    if (peek) {
        read_lock lk(s->frlist_lock);
        const uint32_t n = std::min<uint32_t>(s->state.frcnt_in_list, static_cast<uint32_t>(frame_cnt));
        if (n == 0 || !outbuf) return static_cast<int>(n);
        const vx_fr_node_t *node = s->frlist;
        if (finfo && node) *finfo = node->info;
        if (host_ns && node) *host_ns = node->host_ns;
        for (uint32_t i = 0; i < n && node; ++i, node = node->next) copy_out(node);
        return static_cast<int>(n);
    }
    // Unlink under the lock, copy and free outside it so that the feeding
    // thread is not held up by the copy.
    vx_fr_node_t *taken = nullptr;
    uint32_t n = 0;
    {
        write_lock lk(s->frlist_lock);
        n = std::min<uint32_t>(s->state.frcnt_in_list, static_cast<uint32_t>(frame_cnt));
        for (uint32_t i = 0; i < n && s->frlist; ++i) {
            vx_fr_node_t *node = s->frlist;
            _list_unlink(s->frlist, node);
            _list_push_back(taken, node);
            s->state.frcnt_in_list -= 1;
        }
    }
    if (n == 0) return 0;
    if (finfo && taken) *finfo = taken->info;
    if (host_ns && taken) *host_ns = taken->host_ns;
    for (const vx_fr_node_t *node = taken; node; node = node->next) copy_out(node);
    _list_free(taken);
    return static_cast<int>(n);
}

extern "C" {

int vx_stream_fetch_frames(vx_stream_t s, void *outbuf, int outbuf_sz, int frame_cnt, vx_frinfo_t *finfo,
                           bool peek) {
    return _vx_stream_fetch_frames_ts(s, outbuf, outbuf_sz, frame_cnt, finfo, peek, nullptr);
}

vx_stream_state_t *vx_stream_get_state(vx_stream_t s, vx_stream_state_t *stat) {
    if (!s || !stat) return stat;
    read_lock lk(s->frlist_lock);
    *stat = s->state;
    return stat;
}

} // extern "C"
