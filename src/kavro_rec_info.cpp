// Recording side file R.info: writer and reader of its text records, and the
// byte copy R.calib with its size and crc32 (see kavro_rec_info.h).
#include "kavro_rec_info.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <sstream>

namespace {

constexpr const char *MAGIC = "kavro-recording 1";
constexpr size_t COPY_CHUNK = 1 << 16;
constexpr size_t INFO_MAX_BYTES = 64u << 20;  // a side file is text of a few lines per frame

std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *f, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, f);
    vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

// Whole-field number parsers: the field must be a number and nothing else.
bool parse_u64(const std::string &s, int base, uint64_t *out) {
    if (s.empty() || s[0] == '-' || s[0] == '+') return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(s.c_str(), &end, base);
    if (errno != 0 || *end != '\0') return false;
    *out = v;
    return true;
}

bool parse_u32(const std::string &s, int base, uint32_t *out) {
    uint64_t v;
    if (!parse_u64(s, base, &v) || v > UINT32_MAX) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool parse_i16(const std::string &s, int16_t *out) {
    if (s.empty()) return false;
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < INT16_MIN || v > INT16_MAX) return false;
    *out = static_cast<int16_t>(v);
    return true;
}

bool parse_double(const std::string &s, double *out) {
    if (s.empty()) return false;
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &end);
    if (errno != 0 || *end != '\0') return false;
    *out = v;
    return true;
}

std::vector<std::string> split(const std::string &line) {
    std::vector<std::string> f;
    size_t i = 0;
    while (i < line.size()) {
        const size_t j = line.find(' ', i);
        const size_t e = j == std::string::npos ? line.size() : j;
        if (e > i) f.push_back(line.substr(i, e - i));
        i = e + 1;
    }
    return f;
}

bool parse_record(const std::vector<std::string> &f, kavro_rec_info_t *o, std::string *err) {
    const std::string &key = f[0];
    const size_t n = f.size();
    auto bad = [&]() {
        *err = "malformed '" + key + "' record";
        return false;
    };
    if (key == "product" || key == "vendor" || key == "serial" || key == "version") {
        if (n != 2) return bad();
        std::string &dst = key == "product" ? o->product : key == "vendor" ? o->vendor
                           : key == "serial"                 ? o->serial
                                                             : o->version;
        dst = f[1];
    } else if (key == "sensor") {
        uint32_t v[3];
        if (n != 4) return bad();
        for (int i = 0; i < 3; ++i)
            if (!parse_u32(f[1 + i], 10, &v[i]) || v[i] > UINT16_MAX) return bad();
        for (int i = 0; i < 3; ++i) o->sensor[i] = static_cast<uint16_t>(v[i]);
    } else if (key == "mod_freq") {
        if (n != 2 || !parse_u32(f[1], 10, &o->mod_freq)) return bad();
    } else if (key == "intg_time") {
        if (n != 2 || !parse_u32(f[1], 10, &o->intg_time)) return bad();
    } else if (key == "frame_rate") {
        if (n != 2 || !parse_double(f[1], &o->frame_rate) || !(o->frame_rate >= 0) || o->frame_rate > 1e6)
            return bad();
    } else if (key == "frame_format") {
        if (n != 2 || !parse_u32(f[1], 10, &o->frame_format)) return bad();
        o->has_frame_format = true;
    } else if (key == "lens") {
        if (n != 12) return bad();
        vx_len_param_t l{};
        uint32_t w, h;
        double v[9];
        if (!parse_u32(f[1], 10, &w) || !parse_u32(f[2], 10, &h) || w > INT32_MAX || h > INT32_MAX) return bad();
        for (int i = 0; i < 9; ++i)
            if (!parse_double(f[3 + i], &v[i])) return bad();
        l.img_w = static_cast<int>(w);
        l.img_h = static_cast<int>(h);
        l.cx = v[0];
        l.cy = v[1];
        l.fx = v[2];
        l.fy = v[3];
        for (int i = 0; i < 5; ++i) l.dcoeff[i] = v[4 + i];
        o->lens = l;
        o->has_lens = true;
    } else if (key == "calib") {
        if (n != 5) return bad();
        if (f[1] != "pixel" && f[1] != "simple" && f[1] != "none") return bad();
        if (f[4].size() != 8 || !parse_u64(f[3], 10, &o->calib_bytes) || !parse_u32(f[4], 16, &o->calib_crc))
            return bad();
        o->calib_kind = f[1];
        o->calib_file = f[2];
    } else if (key == "frame") {
        kavro_rec_frame_t fr;
        uint32_t idx;
        if (n != 6 || !parse_u32(f[1], 10, &idx) || !parse_i16(f[2], &fr.temp_cb) || !parse_i16(f[3], &fr.temp_ib) ||
            !parse_u64(f[4], 10, &fr.host_us) || !parse_u32(f[5], 16, &fr.flags))
            return bad();
        if (idx != o->frames.size()) {
            *err = fmt("frame line %u out of order (expected %zu)", idx, o->frames.size());
            return false;
        }
        o->frames.push_back(fr);
    }
    // Unknown keys are skipped: later versions may add records.
    return true;
}

}  // namespace

std::string _kavro_rec_info_path(const std::string &raw_path) { return raw_path + ".info"; }

std::string _kavro_rec_dir_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string _kavro_rec_base_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string _kavro_rec_token(const char *text, size_t max_len) {
    std::string t(text ? text : "", text ? strnlen(text, max_len) : 0);
    for (char &c : t)
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') c = '_';
    return t.empty() ? "-" : t;
}

std::string _kavro_rec_info_header_text(const kavro_rec_info_t &i) {
    std::string s = std::string(MAGIC) + "\n";
    s += "product " + i.product + "\n";
    s += "vendor " + i.vendor + "\n";
    s += "serial " + i.serial + "\n";
    s += fmt("sensor %u %u %u\n", i.sensor[0], i.sensor[1], i.sensor[2]);
    s += "version " + i.version + "\n";
    s += fmt("mod_freq %u\n", i.mod_freq);
    s += fmt("intg_time %u\n", i.intg_time);
    s += fmt("frame_rate %.17g\n", i.frame_rate);
    if (i.has_frame_format) s += fmt("frame_format %u\n", i.frame_format);
    if (i.has_lens) {
        const vx_len_param_t &l = i.lens;
        s += fmt("lens %d %d %.17g %.17g %.17g %.17g %.17g %.17g %.17g %.17g %.17g\n", l.img_w, l.img_h, l.cx, l.cy,
                 l.fx, l.fy, l.dcoeff[0], l.dcoeff[1], l.dcoeff[2], l.dcoeff[3], l.dcoeff[4]);
    }
    s += fmt("calib %s %s %" PRIu64 " %08x\n", i.calib_kind.c_str(), i.calib_file.c_str(), i.calib_bytes,
             i.calib_crc);
    return s;
}

std::string _kavro_rec_info_frame_line(uint32_t n, const kavro_rec_frame_t &f) {
    return fmt("frame %u %d %d %" PRIu64 " %x\n", n, f.temp_cb, f.temp_ib, f.host_us, f.flags);
}

bool _kavro_rec_info_parse(const std::string &text, kavro_rec_info_t *out, std::string *err) {
    kavro_rec_info_t o;
    std::istringstream in(text);
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (first) {
            if (line != MAGIC) {
                *err = "not a recording side file (first line is not \"" + std::string(MAGIC) + "\")";
                return false;
            }
            first = false;
            continue;
        }
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> f = split(line);
        if (f.empty()) continue;
        // A frame line cut off by a crash or a full disk is the last line
        // and has no line feed: it is dropped, not an error (a cut number
        // would read as a wrong value).
        if (f[0] == "frame" && in.eof()) break;
        if (!parse_record(f, &o, err)) return false;
    }
    if (first) {
        *err = "empty side file";
        return false;
    }
    *out = std::move(o);
    return true;
}

bool _kavro_rec_info_read(const std::string &info_path, kavro_rec_info_t *out, std::string *err) {
    std::unique_ptr<FILE, int (*)(FILE *)> f(std::fopen(info_path.c_str(), "rb"), &std::fclose);
    if (!f) {
        *err = std::string("cannot open: ") + std::strerror(errno);
        return false;
    }
    std::string text;
    char buf[4096];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f.get())) > 0) {
        text.append(buf, got);
        if (text.size() > INFO_MAX_BYTES) {
            *err = "side file too large";
            return false;
        }
    }
    if (std::ferror(f.get())) {
        *err = std::string("read failed: ") + std::strerror(errno);
        return false;
    }
    return _kavro_rec_info_parse(text, out, err);
}

bool _kavro_rec_fd_crc(int fd, uint64_t *bytes, uint32_t *crc) {
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[COPY_CHUNK]);
    if (!buf) return false;
    uLong c = crc32(0L, Z_NULL, 0);
    uint64_t total = 0;
    for (;;) {
        const ssize_t n = pread(fd, buf.get(), COPY_CHUNK, static_cast<off_t>(total));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        c = crc32(c, buf.get(), static_cast<uInt>(n));
        total += static_cast<uint64_t>(n);
    }
    *bytes = total;
    *crc = static_cast<uint32_t>(c);
    return true;
}

bool _kavro_rec_copy_file(const std::string &src, const std::string &dst, uint64_t *bytes, uint32_t *crc) {
    const int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    const int out = ::open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        ::close(in);
        return false;
    }
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[COPY_CHUNK]);
    bool ok = buf != nullptr;
    uLong c = crc32(0L, Z_NULL, 0);
    uint64_t total = 0;
    while (ok) {
        const ssize_t n = ::read(in, buf.get(), COPY_CHUNK);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        c = crc32(c, buf.get(), static_cast<uInt>(n));
        total += static_cast<uint64_t>(n);
        for (ssize_t off = 0; ok && off < n;) {
            const ssize_t w = ::write(out, buf.get() + off, static_cast<size_t>(n - off));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) ok = false;
            else off += w;
        }
    }
    ::close(in);
    if (::close(out) != 0) ok = false;
    if (!ok) {
        ::unlink(dst.c_str());
        return false;
    }
    *bytes = total;
    *crc = static_cast<uint32_t>(c);
    return true;
}
