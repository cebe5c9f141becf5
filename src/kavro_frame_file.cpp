// Frame files: one text header line naming kind, sample type and geometry,
// then the samples of one or more frames back to back. Saves and loads work
// on a descriptor the caller positioned; the header is written or parsed
// only at offset 0.
#include "kavro_frame_file.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "vx_log_internal.h"

static_assert(std::endian::native == std::endian::little,
              "frame files are little-endian and copied as they are");

namespace {

constexpr size_t HDR_MAX = 256;  // header line, line feed included
constexpr size_t TAG_MAX = 32;   // characters of the raw tag kept
constexpr size_t SKIP_CHUNK = 64 * 1024;

vx_frame_file_hdr_t g_raw_hdr;
vx_frame_file_hdr_t g_dist_hdr;
vx_frame_file_hdr_t g_gray_hdr;

// ---- descriptor I/O ----------------------------------------------------------

/// Write all of `len` bytes; returns the bytes written (less on failure).
size_t write_full(int fd, const void *buf, size_t len) {
    const auto *p = static_cast<const uint8_t *>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, p + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

/// Read up to `len` bytes, stopping early only at the end of the file or on
/// an error; returns the bytes read.
size_t read_full(int fd, void *buf, size_t len) {
    auto *p = static_cast<uint8_t *>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t n = read(fd, p + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

bool at_file_start(int fd) { return lseek(fd, 0, SEEK_CUR) == 0; }

// ---- conversions --------------------------------------------------------------

/// Truncate toward zero and keep the low bits, the way the file formats store
/// integers. NaN becomes 0 and values past the 64-bit range saturate, so the
/// conversion is defined for every float.
uint64_t trunc_bits(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9.2e18) return static_cast<uint64_t>(INT64_MAX);
    if (v <= -9.2e18) return static_cast<uint64_t>(INT64_MIN);
    return static_cast<uint64_t>(static_cast<int64_t>(v));
}

int sample_bytes(kavro_frame_save_fmt_t fmt) {
    switch (fmt) {
    case KAVRO_FRAME_SAVE_UINT8: return 1;
    case KAVRO_FRAME_SAVE_UINT16: return 2;
    default: return 4;
    }
}

template <typename T>
T load_le(const uint8_t *p) {
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}

// ---- header parsing -----------------------------------------------------------

enum class frame_kind { raw, dist, gray };

struct raw_pattern {
    const char *with_tag;
    const char *empty_tag;  // the same line written with an empty tag
    kavro_frame_save_fmt_t fmt;
};
struct image_pattern {
    const char *scan;
    kavro_frame_save_fmt_t fmt;
};

// Table order is matching order.
constexpr raw_pattern k_raw_patterns[] = {
    {"VX_RAW,U32,%d,%d,%d,%32s", "VX_RAW,U32,%d,%d,%d,%n", KAVRO_FRAME_SAVE_UINT32},
    {"VX_RAW,U16,%d,%d,%d,%32s", "VX_RAW,U16,%d,%d,%d,%n", KAVRO_FRAME_SAVE_UINT16},
};
constexpr image_pattern k_dist_patterns[] = {
    {"VX_DIST,F32,%d,%d", KAVRO_FRAME_SAVE_FLOAT32},
    {"VX_DIST,U32,%d,%d", KAVRO_FRAME_SAVE_UINT32},
    {"VX_DIST,U16,%d,%d", KAVRO_FRAME_SAVE_UINT16},
};
constexpr image_pattern k_gray_patterns[] = {
    {"VX_GRAY,U8,%d,%d", KAVRO_FRAME_SAVE_UINT8},
    {"VX_GRAY,U16,%d,%d", KAVRO_FRAME_SAVE_UINT16},
};

bool only_blanks(const char *s) {
    for (; *s; ++s)
        if (!isspace(static_cast<unsigned char>(*s))) return false;
    return true;
}

bool parse_header(frame_kind kind, const char *line, vx_frame_file_hdr_t &out,
                  char (&tag)[TAG_MAX + 1]) {
    if (kind == frame_kind::raw) {
        for (const auto &p : k_raw_patterns) {
            int w = 0, h = 0, n = 0, end = -1;
            tag[0] = '\0';
            if (sscanf(line, p.with_tag, &w, &h, &n, tag) == 4 ||
                // A save with an empty tag writes "...,N,\n"; accept it too so
                // every file the saver writes can be read back.
                (sscanf(line, p.empty_tag, &w, &h, &n, &end) == 3 && end > 0 &&
                 only_blanks(line + end))) {
                out = {w, h, n, p.fmt};
                return true;
            }
        }
        return false;
    }
    const image_pattern *begin = kind == frame_kind::dist ? std::begin(k_dist_patterns)
                                                          : std::begin(k_gray_patterns);
    const image_pattern *end = kind == frame_kind::dist ? std::end(k_dist_patterns)
                                                        : std::end(k_gray_patterns);
    for (const image_pattern *p = begin; p != end; ++p) {
        int w = 0, h = 0;
        if (sscanf(line, p->scan, &w, &h) == 2) {
            out = {w, h, 1, p->fmt};
            return true;
        }
    }
    return false;
}

/// Samples of one frame of `hdr`, or -1 when a dimension is negative or the
/// frame would be larger than a loader accepts. 0 when a dimension is 0.
int64_t frame_samples(const vx_frame_file_hdr_t &hdr) {
    if (hdr.img_w < 0 || hdr.img_h < 0 || hdr.dcs_cnt < 0) return -1;
    if (hdr.img_w == 0 || hdr.img_h == 0 || hdr.dcs_cnt == 0) return 0;
    // Bound width x height first so the full product cannot overflow.
    if (hdr.img_w > VX_FRAME_FILE_MAX_BYTES / hdr.img_h) return -1;
    const int64_t n = int64_t{hdr.img_w} * hdr.img_h * hdr.dcs_cnt;
    if (n > VX_FRAME_FILE_MAX_BYTES / sample_bytes(hdr.save_fmt)) return -1;
    return n;
}

// ---- the shared loader --------------------------------------------------------

void store_samples(frame_kind kind, kavro_frame_save_fmt_t fmt, const uint8_t *src, void *dst,
                   int count) {
    if (kind == frame_kind::raw) {
        auto *d = static_cast<uint16_t *>(dst);
        if (fmt == KAVRO_FRAME_SAVE_UINT32) {
            for (int i = 0; i < count; ++i) d[i] = static_cast<uint16_t>(load_le<uint32_t>(src + 4 * i));
        } else {
            memcpy(d, src, static_cast<size_t>(count) * 2);
        }
        return;
    }
    auto *d = static_cast<float *>(dst);
    switch (fmt) {
    case KAVRO_FRAME_SAVE_FLOAT32:
        memcpy(d, src, static_cast<size_t>(count) * 4);
        break;
    case KAVRO_FRAME_SAVE_UINT32:
        for (int i = 0; i < count; ++i)
            d[i] = static_cast<float>(load_le<uint32_t>(src + 4 * i) /
                                      (kind == frame_kind::dist ? 1000.0 : 1.0));
        break;
    case KAVRO_FRAME_SAVE_UINT16:
        for (int i = 0; i < count; ++i)
            d[i] = static_cast<float>(load_le<uint16_t>(src + 2 * i) /
                                      (kind == frame_kind::dist ? 1000.0 : 1.0));
        break;
    case KAVRO_FRAME_SAVE_UINT8:
        for (int i = 0; i < count; ++i) d[i] = static_cast<float>(src[i]);
        break;
    default:
        break;
    }
}

/// Parse the header when at offset 0, then read one frame and store at most
/// `dst_len` samples of it. `tag` receives the raw tag when the header was
/// read here, else stays empty. Returns the samples stored (0 when `dst_len`
/// is 0 or less: the frame is still consumed), or -1 at the end of the file
/// or on failure (nothing is stored then).
int load_frame(const char *fn, frame_kind kind, vx_frame_file_hdr_t &hdr, int fd, void *dst,
               int dst_len, char (&tag)[TAG_MAX + 1]) {
    tag[0] = '\0';
    if (at_file_start(fd)) {
        char buf[HDR_MAX + 1];
        const size_t got = read_full(fd, buf, HDR_MAX);
        if (got == 0) {
            LOG_ERR_AS(fn, "faile to load VX file header\n");
            return -1;
        }
        const void *lf = memchr(buf, '\n', got);
        const size_t hdr_len = lf ? static_cast<size_t>(static_cast<const char *>(lf) - buf) + 1 : got;
        buf[hdr_len] = '\0';
        vx_frame_file_hdr_t parsed{};
        if (!parse_header(kind, buf, parsed, tag) || frame_samples(parsed) < 0) {
            // A damaged header makes every later load of this kind fail too.
            LOG_ERR_AS(fn, "faile to load VX file header\n");
            hdr = {};
            tag[0] = '\0';
            return -1;
        }
        hdr = parsed;
        lseek(fd, static_cast<off_t>(hdr_len), SEEK_SET);
    }
    const int64_t samples = frame_samples(hdr);
    if (samples <= 0) return -1;

    const int ssize = sample_bytes(hdr.save_fmt);
    const int64_t frame_bytes = samples * ssize;
    // Only the part that is stored is kept; the rest of the frame is read
    // through a small scratch buffer. The caller's buffer stays untouched
    // unless the whole frame was there.
    const int store = static_cast<int>(std::min<int64_t>(std::max(dst_len, 0), samples));
    const size_t store_bytes = static_cast<size_t>(store) * static_cast<size_t>(ssize);
    const size_t skip_bytes = static_cast<size_t>(frame_bytes) - store_bytes;
    std::unique_ptr<uint8_t[]> keep(new (std::nothrow) uint8_t[store_bytes ? store_bytes : 1]);
    std::unique_ptr<uint8_t[]> scratch(
        skip_bytes ? new (std::nothrow) uint8_t[std::min(skip_bytes, SKIP_CHUNK)] : nullptr);
    if (!keep || (skip_bytes && !scratch)) {
        LOG_ERR_AS(fn, "malloc failed!\n");
        return -1;
    }
    size_t total = read_full(fd, keep.get(), store_bytes);
    if (total == store_bytes) {
        for (size_t left = skip_bytes; left > 0;) {
            const size_t want = std::min(left, SKIP_CHUNK);
            const size_t n = read_full(fd, scratch.get(), want);
            total += n;
            left -= n;
            if (n < want) break;
        }
    }
    if (total != static_cast<size_t>(frame_bytes)) {
        if (total > 0)
            LOG_ERR_AS(fn, "read %d date failed: ret= %d\n", static_cast<int>(frame_bytes),
                       static_cast<int>(total));
        return -1;
    }
    if (store > 0) store_samples(kind, hdr.save_fmt, keep.get(), dst, store);
    return store;
}

void copy_tag(char *dst, int dst_len, const char *tag) {
    if (!dst || dst_len <= 0) return;
    // Bounded and always terminated: at most dst_len bytes, the last a NUL.
    const size_t n = std::min(strlen(tag), static_cast<size_t>(dst_len) - 1);
    memcpy(dst, tag, n);
    dst[n] = '\0';
}

bool write_header(int fd, const char *text) {
    const size_t len = strlen(text);
    return write_full(fd, text, len) == len;
}

}  // namespace

int _kavro_frame_load_raw(vx_frame_file_hdr_t *hdr, int fd, uint16_t *dst, int dst_len, int *dst_w,
                          int *dst_h, int *dst_dcsn, char *dst_tag, int dst_tag_len) {
    char tag[TAG_MAX + 1];
    const int n = load_frame("kavro_frame_load_raw", frame_kind::raw, *hdr, fd, dst,
                             dst ? dst_len : 0, tag);
    if (n < 0) return 0;
    if (dst_w) *dst_w = hdr->img_w;
    if (dst_h) *dst_h = hdr->img_h;
    if (dst_dcsn) *dst_dcsn = hdr->dcs_cnt;
    copy_tag(dst_tag, dst_tag_len, tag);
    return n;
}

extern "C" {

bool kavro_frame_save_raw(int fd, kavro_frame_save_fmt_t save_fmt, const uint16_t *raw, int raw_len,
                          int img_w, int img_h, int dcs_cnt, const char *raw_tag) {
    const int64_t frame = (img_w > 0 && img_h > 0 && dcs_cnt > 0)
                              ? int64_t{img_w} * img_h * dcs_cnt
                              : 0;
    if (frame == 0 || raw_len < 0 || raw_len % frame != 0 || (raw_len > 0 && !raw)) {
        LOG_ERR("wrong param: raw_len=%d, w=%d, h=%d\n", raw_len, img_w, img_h);
        return false;
    }
    if (save_fmt != KAVRO_FRAME_SAVE_UINT16 && save_fmt != KAVRO_FRAME_SAVE_UINT32) {
        LOG_ERR("wrong raw save format: %d\n", save_fmt);
        return false;
    }
    if (at_file_start(fd)) {
        // The loader reads at most 32 tag characters; write no more, so the
        // header line stays short and always ends with its line feed.
        char tag[TAG_MAX + 1];
        snprintf(tag, sizeof tag, "%s", raw_tag ? raw_tag : "");
        char hdr[HDR_MAX];
        snprintf(hdr, sizeof hdr,
                 save_fmt == KAVRO_FRAME_SAVE_UINT16 ? "VX_RAW,U16,%d,%d,%d,%s\n"
                                                     : "VX_RAW,U32,%d,%d,%d,%s\n",
                 img_w, img_h, dcs_cnt, tag);
        if (!write_header(fd, hdr)) {
            LOG_ERR("faile to save VX_RAW header\n");
            return false;
        }
    }
    const size_t n = static_cast<size_t>(raw_len);
    if (save_fmt == KAVRO_FRAME_SAVE_UINT16) {
        const size_t done = write_full(fd, raw, n * 2);
        if (done != n * 2) {
            LOG_ERR("faile to save VX_RAW U16 data: %d bytes\n", static_cast<int>(done));
            return false;
        }
        return true;
    }
    std::unique_ptr<uint32_t[]> wide(new (std::nothrow) uint32_t[n ? n : 1]);
    if (!wide) {
        LOG_ERR("malloc failed!\n");
        return false;
    }
    for (size_t i = 0; i < n; ++i) wide[i] = raw[i];
    const size_t done = write_full(fd, wide.get(), n * 4);
    if (done != n * 4) {
        LOG_ERR("faile to save VX_RAW U32 data: %d bytes\n", static_cast<int>(done));
        return false;
    }
    return true;
}

bool kavro_frame_save_distance(int fd, kavro_frame_save_fmt_t save_fmt, const float *dist,
                               int dist_len, int img_w, int img_h) {
    const int64_t frame = (img_w > 0 && img_h > 0) ? int64_t{img_w} * img_h : 0;
    if (frame == 0 || dist_len < 0 || (dist_len >= frame && !dist)) {
        LOG_ERR("wrong param: dist_len=%d, w=%d, h=%d\n", dist_len, img_w, img_h);
        return false;
    }
    const char *hdr_text;
    switch (save_fmt) {
    case KAVRO_FRAME_SAVE_FLOAT32: hdr_text = "VX_DIST,F32,%d,%d\n"; break;
    case KAVRO_FRAME_SAVE_UINT32: hdr_text = "VX_DIST,U32,%d,%d\n"; break;
    case KAVRO_FRAME_SAVE_UINT16: hdr_text = "VX_DIST,U16,%d,%d\n"; break;
    default:
        LOG_ERR("wrong distance save format: %d\n", save_fmt);
        return false;
    }
    // Only whole frames are written.
    const size_t n = static_cast<size_t>(dist_len / frame * frame);
    if (at_file_start(fd)) {
        char hdr[HDR_MAX];
        snprintf(hdr, sizeof hdr, hdr_text, img_w, img_h);
        if (!write_header(fd, hdr)) {
            LOG_ERR("faile to save VX_DIST header\n");
            return false;
        }
    }
    if (save_fmt == KAVRO_FRAME_SAVE_FLOAT32) {
        const size_t done = write_full(fd, dist, n * 4);
        if (done != n * 4) {
            LOG_ERR("faile to save VX_DIST F32 data: %d bytes\n", static_cast<int>(done));
            return false;
        }
        return true;
    }
    const size_t ssize = save_fmt == KAVRO_FRAME_SAVE_UINT32 ? 4 : 2;
    std::unique_ptr<uint8_t[]> conv(new (std::nothrow) uint8_t[n ? n * ssize : 1]);
    if (!conv) {
        LOG_ERR("malloc failed!\n");
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        const uint64_t mm = trunc_bits(static_cast<double>(dist[i]) * 1000.0);
        if (ssize == 4) {
            const auto v = static_cast<uint32_t>(mm);
            memcpy(conv.get() + 4 * i, &v, 4);
        } else {
            const auto v = static_cast<uint16_t>(mm);
            memcpy(conv.get() + 2 * i, &v, 2);
        }
    }
    const size_t done = write_full(fd, conv.get(), n * ssize);
    if (done != n * ssize) {
        if (ssize == 4)
            LOG_ERR("faile to save VX_DIST U32 data: %d bytes\n", static_cast<int>(done));
        else
            LOG_ERR("faile to save VX_DIST U16 data: %d bytes\n", static_cast<int>(done));
        return false;
    }
    return true;
}

bool kavro_frame_save_gray(int fd, kavro_frame_save_fmt_t save_fmt, const float *src, int src_len,
                           int img_w, int img_h) {
    const int64_t frame = (img_w > 0 && img_h > 0) ? int64_t{img_w} * img_h : 0;
    if (frame == 0 || src_len < 0 || (src_len > 0 && !src)) {
        LOG_ERR("wrong param: src_len=%d, w=%d, h=%d\n", src_len, img_w, img_h);
        return false;
    }
    if (save_fmt != KAVRO_FRAME_SAVE_UINT8 && save_fmt != KAVRO_FRAME_SAVE_UINT16) {
        LOG_ERR("wrong gray save format: %d\n", save_fmt);
        return false;
    }
    // One frame at most.
    const size_t n = static_cast<size_t>(std::min<int64_t>(src_len, frame));
    if (at_file_start(fd)) {
        char hdr[HDR_MAX];
        snprintf(hdr, sizeof hdr,
                 save_fmt == KAVRO_FRAME_SAVE_UINT8 ? "VX_GRAY,U8,%d,%d\n" : "VX_GRAY,U16,%d,%d\n",
                 img_w, img_h);
        if (!write_header(fd, hdr)) {
            LOG_ERR("faile to save VX_GRAY header\n");
            return false;
        }
    }
    const size_t ssize = save_fmt == KAVRO_FRAME_SAVE_UINT8 ? 1 : 2;
    std::unique_ptr<uint8_t[]> conv(new (std::nothrow) uint8_t[n ? n * ssize : 1]);
    if (!conv) {
        LOG_ERR("malloc failed!\n");
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        const uint64_t v = trunc_bits(static_cast<double>(src[i]));
        if (ssize == 1) {
            conv[i] = static_cast<uint8_t>(v);
        } else {
            const auto v16 = static_cast<uint16_t>(v);
            memcpy(conv.get() + 2 * i, &v16, 2);
        }
    }
    const size_t done = write_full(fd, conv.get(), n * ssize);
    if (done != n * ssize) {
        if (ssize == 1)
            LOG_ERR("faile to save VX_GRAY U8 data: %d bytes\n", static_cast<int>(done));
        else
            LOG_ERR("faile to save VX_GRAY U16 data: %d bytes\n", static_cast<int>(done));
        return false;
    }
    return true;
}

int kavro_frame_load_raw(int fd, uint16_t *dst, int dst_len, int *dst_w, int *dst_h, int *dst_dcsn,
                         char *dst_tag, int dst_tag_len) {
    return _kavro_frame_load_raw(&g_raw_hdr, fd, dst, dst_len, dst_w, dst_h, dst_dcsn, dst_tag,
                                 dst_tag_len);
}

int kavro_frame_load_distance(int fd, float *dst, int dst_len, int *dst_w, int *dst_h) {
    char unused_tag[TAG_MAX + 1];
    const int n = load_frame(__func__, frame_kind::dist, g_dist_hdr, fd, dst, dst ? dst_len : 0,
                             unused_tag);
    if (n < 0) return 0;
    if (dst_w) *dst_w = g_dist_hdr.img_w;
    if (dst_h) *dst_h = g_dist_hdr.img_h;
    return n;
}

int kavro_frame_load_gray(int fd, float *dst, int dst_len, int *dst_w, int *dst_h) {
    char unused_tag[TAG_MAX + 1];
    const int n = load_frame(__func__, frame_kind::gray, g_gray_hdr, fd, dst, dst ? dst_len : 0,
                             unused_tag);
    if (n < 0) return 0;
    if (dst_w) *dst_w = g_gray_hdr.img_w;
    if (dst_h) *dst_h = g_gray_hdr.img_h;
    return n;
}

}  // extern "C"
