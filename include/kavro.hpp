// libkavro for C++: a header-only layer of RAII handles over the C camera
// interface of kavro.h.
//
//   kavro::library lib("app.log");              // kavro_init ... kavro_uninit
//   kavro::device dev = kavro::device::open_replay("rec.raw");
//   dev.start();
//   while (auto fr = dev.capture()) {            // std::optional<kavro::frame>
//       std::vector<float> metres = dev.distance(*fr);
//   }
//
// Failures throw kavro::error, whose message is the error line the library
// logged for the failing call on the calling thread ("[function] text"), or
// a description of the failure when the library logged none (for example
// when the log file's level is above error). Destructors never throw. Handles
// are move-only; a moved-from handle is empty.
//
// Threads: the library object is made and destroyed by one thread. A device
// may be used from several threads as the C interface allows, except that
// only one thread at a time may wait in capture() / capture_into() on it.
// Needs C++20 and Linux.
#ifndef KAVRO_HPP
#define KAVRO_HPP

#include <sys/stat.h>
#include <sys/syscall.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "kavro.h"

namespace kavro {

/// A failed call. code() is the library's result code when it gave one
/// (capture codes such as KAVRO_ERR_CAP_TIMEOUT, -1 for wrong parameters,
/// -2 when the device is not capturing), else 0.
class error : public std::runtime_error {
public:
    explicit error(const std::string &message, int code = 0) : std::runtime_error(message), code_(code) {}
    int code() const noexcept { return code_; }

private:
    int code_;
};

namespace detail {

// The log file the library writes; set by kavro::library. Error messages are
// taken from it.
inline std::string &log_path() {
    static std::string path;
    return path;
}

inline unsigned thread_id() noexcept { return static_cast<unsigned>(::syscall(SYS_gettid)); }

inline long long log_size() noexcept {
    struct stat st;
    if (log_path().empty() || ::stat(log_path().c_str(), &st) != 0) return -1;
    return static_cast<long long>(st.st_size);
}

// A logged line starts "YYYYMMDD hh:mm:ss.mmm[thread][logger][level]". When
// `s` holds one at `i`, sets the thread, the level and where the text starts.
inline bool parse_prefix(const std::string &s, size_t i, unsigned &tid, std::string &level, size_t &text) {
    auto digits = [&s](size_t from, size_t n) {
        if (from + n > s.size()) return false;
        for (size_t k = from; k < from + n; ++k)
            if (s[k] < '0' || s[k] > '9') return false;
        return true;
    };
    if (!digits(i, 8) || i + 21 > s.size() || s[i + 8] != ' ' || !digits(i + 9, 2) || s[i + 11] != ':' ||
        !digits(i + 12, 2) || s[i + 14] != ':' || !digits(i + 15, 2) || s[i + 17] != '.' || !digits(i + 18, 3))
        return false;
    size_t p = i + 21;
    if (p >= s.size() || s[p] != '[') return false;
    const size_t tid_end = s.find(']', p);
    if (tid_end == std::string::npos || tid_end == p + 1 || !digits(p + 1, tid_end - p - 1)) return false;
    tid = static_cast<unsigned>(std::stoul(s.substr(p + 1, tid_end - p - 1)));
    p = tid_end + 1;
    if (p >= s.size() || s[p] != '[') return false;
    const size_t tag_end = s.find(']', p);  // the logger's tag
    if (tag_end == std::string::npos) return false;
    p = tag_end + 1;
    if (p >= s.size() || s[p] != '[') return false;
    const size_t lvl_end = s.find(']', p);
    if (lvl_end == std::string::npos) return false;
    level = s.substr(p + 1, lvl_end - p - 1);
    text = lvl_end + 1;
    return true;
}

// The place in the log file before a call. After a failure, problem() gives
// the last error line (else the last warning) that this thread logged since,
// without the time prefix and line end.
class log_mark {
public:
    log_mark() noexcept : pos_(log_size()), tid_(thread_id()) {}

    std::string problem() const {
        if (pos_ < 0 || log_size() <= pos_) return {};
        std::ifstream in(log_path(), std::ios::binary);
        if (!in) return {};
        in.seekg(static_cast<std::streamoff>(pos_));
        const std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // A message may lack its line end, so entries are cut at the next
        // prefix wherever it is.
        struct entry {
            unsigned tid;
            std::string level;
            size_t text, end;
        };
        std::vector<entry> entries;
        for (size_t i = 0; i < s.size(); ++i) {
            unsigned tid = 0;
            std::string level;
            size_t text = 0;
            if ((s[i] >= '0' && s[i] <= '9') && parse_prefix(s, i, tid, level, text)) {
                if (!entries.empty()) entries.back().end = i;
                entries.push_back({tid, level, text, s.size()});
                i = text - 1;
            }
        }
        for (const char *want : {"ERR", "WRN"}) {
            for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
                if (it->tid != tid_ || it->level != want) continue;
                std::string msg = s.substr(it->text, it->end - it->text);
                while (!msg.empty() && (msg.back() == '\n' || msg.back() == '\r' || msg.back() == ' '))
                    msg.pop_back();
                return msg;
            }
        }
        return {};
    }

private:
    long long pos_;
    unsigned tid_;
};

[[noreturn]] inline void fail(const log_mark &mark, const std::string &what, int code = 0) {
    const std::string logged = mark.problem();
    throw error(logged.empty() ? what : logged, code);
}

// The message for a negative capture result.
inline std::string capture_problem(const char *call, int code) {
    switch (code) {
    case -1:
        return std::string(call) + ": wrong parameters (device not open)";
    case -2:
        return std::string(call) + ": the device is not capturing";
    default:
        return std::string(call) + ": " + kavro_error_name(code) + " (" + std::to_string(code) + ")";
    }
}

// A file descriptor closed at scope end.
class fd_guard {
public:
    explicit fd_guard(int fd) noexcept : fd_(fd) {}
    ~fd_guard() {
        if (fd_ >= 0) ::close(fd_);
    }
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

inline int open_for_write(const std::string &path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) throw error("cannot open " + path + " for writing: " + std::strerror(errno));
    return fd;
}

inline int open_for_read(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) throw error("cannot open " + path + ": " + std::strerror(errno));
    return fd;
}

}  // namespace detail

/// Frame buffer unit of the capture engine: one 320 x 240 x 4 byte frame.
inline constexpr uint32_t frame_buffer_unit = 320u * 240u * 4u;
/// Size of the buffer capture() takes frames into: the engine cuts a frame
/// that does not fit the caller's buffer, so this is generous.
inline constexpr size_t capture_buffer_bytes = 0x400000;

/// Which calibration decodes a frame (kavro_frame_info_t.flags).
enum class calibration : uint32_t {
    none = KAVRO_FRAME_CALIB_NONE,      ///< built-in constants
    simple = KAVRO_FRAME_CALIB_SIMPLE,  ///< the calibration file's scale and offset
    pixel = KAVRO_FRAME_CALIB_PIXEL,    ///< per-pixel references
};

/// Its name: "none", "simple" or "per-pixel".
inline const char *to_string(calibration c) noexcept {
    switch (c) {
    case calibration::simple: return "simple";
    case calibration::pixel: return "per-pixel";
    default: return "none";
    }
}

/// The calibration named by a frame description.
inline calibration calibration_of(const kavro_frame_info_t &info) noexcept {
    return static_cast<calibration>(info.flags & KAVRO_FRAME_CALIB_MASK);
}

/// True when the camera reported a plausible temperature for the frame.
inline bool temperature_measured(const kavro_frame_info_t &info) noexcept {
    return (info.flags & KAVRO_FRAME_FLAG_TEMP_MEASURED) != 0;
}

/// A captured frame in a buffer someone else owns (the span is not owned).
/// Empty (false) when no frame came.
struct frame_view {
    kavro_frame_info_t info{};
    std::span<const uint8_t> data;
    /// Host monotonic clock (CLOCK_MONOTONIC, ns) when the frame's last byte
    /// arrived; 0 when unknown (see kavro_frame_get_host_time).
    uint64_t host_ns = 0;

    explicit operator bool() const noexcept { return !data.empty(); }
    int width() const noexcept { return static_cast<int>(info.width); }
    int height() const noexcept { return static_cast<int>(info.height); }
    int pixels() const noexcept { return width() * height(); }
    kavro::calibration calibration() const noexcept { return calibration_of(info); }
    bool temperature_measured() const noexcept { return kavro::temperature_measured(info); }
};

/// A captured frame that owns its bytes.
class frame {
public:
    frame() = default;
    frame(const kavro_frame_info_t &info, std::vector<uint8_t> data, uint64_t host_ns = 0)
        : info_(info), data_(std::move(data)), host_ns_(host_ns) {}

    const kavro_frame_info_t &info() const noexcept { return info_; }
    const std::vector<uint8_t> &data() const noexcept { return data_; }
    int width() const noexcept { return static_cast<int>(info_.width); }
    int height() const noexcept { return static_cast<int>(info_.height); }
    int index() const noexcept { return info_.frame_idx; }
    kavro::calibration calibration() const noexcept { return calibration_of(info_); }
    bool temperature_measured() const noexcept { return kavro::temperature_measured(info_); }
    /// Host monotonic clock (ns) at the frame's arrival; 0 when unknown.
    uint64_t host_ns() const noexcept { return host_ns_; }
    frame_view view() const noexcept { return {info_, std::span<const uint8_t>(data_), host_ns_}; }
    operator frame_view() const noexcept { return view(); }

private:
    kavro_frame_info_t info_{};
    std::vector<uint8_t> data_;
    uint64_t host_ns_ = 0;
};

/// Library set-up for the lifetime of the object: kavro_init at construction,
/// kavro_uninit at destruction. Make one, from one thread, before any device;
/// close every device before it goes. An empty log file name means
/// "kavro_YYYYMMDD.log" in the working folder (today's local date).
class library {
public:
    explicit library(const std::string &log_file = {}) {
        if (detail::log_path().size()) throw error("kavro::library: the library is set up already");
        std::string name = log_file;
        if (name.empty()) {
            const std::time_t now = std::time(nullptr);
            std::tm tm{};
            localtime_r(&now, &tm);
            char buf[64];
            std::snprintf(buf, sizeof buf, "kavro_%04u%02u%02u.log", static_cast<unsigned>(tm.tm_year + 1900),
                          static_cast<unsigned>(tm.tm_mon + 1), static_cast<unsigned>(tm.tm_mday));
            name = buf;
        }
        // The absolute name, so that a later change of the working folder
        // does not lose the file the messages come from.
        if (name[0] != '/') {
            std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
            if (cwd) name = std::string(cwd.get()) + "/" + name;
        }
        kavro_init(name.c_str());
        detail::log_path() = name;
        active_ = true;
    }
    ~library() { reset(); }
    library(library &&o) noexcept : active_(std::exchange(o.active_, false)) {}
    library &operator=(library &&o) noexcept {
        if (this != &o) {
            reset();
            active_ = std::exchange(o.active_, false);
        }
        return *this;
    }
    library(const library &) = delete;
    library &operator=(const library &) = delete;

    /// kavro_uninit now (the destructor then does nothing).
    void reset() noexcept {
        if (!active_) return;
        active_ = false;
        kavro_uninit();
        detail::log_path().clear();
    }
    /// The log file (absolute name).
    static const std::string &log_file() noexcept { return detail::log_path(); }
    /// Log levels of the console, the log file and the USB transport.
    /// Error messages of kavro::error need the file at LOG_LEVEL_ERROR or below.
    static void log_levels(kavro_log_level_e console, kavro_log_level_e file,
                           kavro_log_level_e usb = LOG_LEVEL_NONE) noexcept {
        kavro_log_cfg(console, file, usb);
    }
    /// Folder for the files the library creates; it is made to exist. End it with '/'.
    static void path(const std::string &folder) noexcept { kavro_path_cfg(folder.c_str()); }
    static std::string path() { return kavro_path_get(); }

private:
    bool active_ = false;
};

/// The cameras the transports see (interface information only; each record
/// can be passed to device::open).
inline std::vector<kavro_dev_t> list_devices(int max_devices = 16) {
    std::vector<kavro_dev_t> records(static_cast<size_t>(max_devices > 0 ? max_devices : 1));
    const int n = kavro_dev_list(records.data(), static_cast<int>(records.size()));
    records.resize(static_cast<size_t>(n > 0 ? n : 0));
    return records;
}

/// The cameras the transports see, each with its identity (vendor, product,
/// serial, version; zeroed for a camera open in another program), see
/// kavro_dev_list_ident.
inline std::vector<kavro_dev_t> list_devices_with_identity(int max_devices = 16) {
    std::vector<kavro_dev_t> records(static_cast<size_t>(max_devices > 0 ? max_devices : 1));
    const int n = kavro_dev_list_ident(records.data(), static_cast<int>(records.size()));
    records.resize(static_cast<size_t>(n > 0 ? n : 0));
    return records;
}

/// A record's serial as text, "XXXXXXXX-XXXXXXXX-XXXXXXXX".
inline std::string serial_text(const kavro_dev_t &rec) {
    char buf[KAVRO_SERIAL_TEXT_SIZE];
    if (!kavro_dev_serial_text(&rec, buf, sizeof buf)) return {};
    return buf;
}

/// Version of the loaded library, "MAJOR.MINOR.PATCH".
inline std::string version() { return kavro_version(); }

/// Hot-plug watch for the lifetime of the object (kavro_hotplug_register ...
/// kavro_hotplug_deregister). The callback runs on the watch's own thread,
/// with a listed record valid during the call; do not open, close or destroy
/// the watch from inside it.
class hotplug {
public:
    using callback = std::function<void(const kavro_dev_t &rec, kavro_hotplug_event_e event)>;

    explicit hotplug(callback cb, unsigned flags = 0, unsigned poll_ms = 0)
        : cb_(std::make_unique<callback>(std::move(cb))) {
        detail::log_mark mark;
        hp_ = kavro_hotplug_register(&hotplug::trampoline, cb_.get(), flags, poll_ms);
        if (!hp_) detail::fail(mark, "kavro_hotplug_register failed");
    }
    ~hotplug() { kavro_hotplug_deregister(hp_); }
    hotplug(const hotplug &) = delete;
    hotplug &operator=(const hotplug &) = delete;
    /// True when the transport's hot-plug events are used, false when camera lists are compared.
    bool native() const noexcept { return kavro_hotplug_is_native(hp_); }

private:
    static void trampoline(const kavro_dev_t *rec, kavro_hotplug_event_e event, void *arg) {
        // No exception may leave into the library's thread.
        try {
            (*static_cast<callback *>(arg))(*rec, event);
        } catch (...) {
        }
    }
    std::unique_ptr<callback> cb_;
    kavro_hotplug_t *hp_ = nullptr;
};

/// An open camera (or replayed recording). Closed by close() or the destructor.
class device {
public:
    device() = default;
    ~device() { close(); }
    device(device &&o) noexcept
        : own_(std::move(o.own_)), dev_(std::exchange(o.dev_, nullptr)), scratch_(std::move(o.scratch_)) {}
    device &operator=(device &&o) noexcept {
        if (this != &o) {
            close();
            own_ = std::move(o.own_);
            dev_ = std::exchange(o.dev_, nullptr);
            scratch_ = std::move(o.scratch_);
        }
        return *this;
    }
    device(const device &) = delete;
    device &operator=(const device &) = delete;

    /// The first camera found, on the library's default record.
    static device open_first() {
        detail::log_mark mark;
        device d;
        d.dev_ = kavro_dev_open(nullptr);
        if (!d.dev_) detail::fail(mark, "kavro::device::open_first: no camera could be opened");
        return d;
    }
    /// The camera of a record from list_devices() (copied; the copy is ours).
    static device open(const kavro_dev_t &listed) {
        detail::log_mark mark;
        device d;
        d.own_ = std::make_unique<kavro_dev_t>(listed);
        d.own_->handler = nullptr;
        d.own_->alloc_flag = false;
        d.dev_ = kavro_dev_open(d.own_.get());
        if (!d.dev_) detail::fail(mark, "kavro::device::open: the camera could not be opened");
        return d;
    }
    /// The camera with this serial text (see serial_text()), on a record of its own.
    static device open_serial(const std::string &serial) {
        detail::log_mark mark;
        device d;
        d.own_ = std::make_unique<kavro_dev_t>();
        d.dev_ = kavro_dev_open_by_serial(d.own_.get(), serial.c_str());
        if (!d.dev_) detail::fail(mark, "kavro::device::open_serial: no camera with serial " + serial + " opened");
        return d;
    }
    /// A recorded raw frame file played as a camera, on the library's
    /// default record (so at most one such device, or open_first(), at a time).
    static device open_replay(const std::string &file) {
        detail::log_mark mark;
        device d;
        d.dev_ = kavro_dev_open_replay(file.c_str());
        if (!d.dev_) detail::fail(mark, "kavro::device::open_replay: cannot open " + file);
        return d;
    }

    /// Stop capture and close; waits for calls still running on other threads.
    void close() noexcept {
        if (kavro_dev_t *d = std::exchange(dev_, nullptr)) kavro_dev_close(d);
    }
    bool is_open() const noexcept { return dev_ != nullptr; }
    explicit operator bool() const noexcept { return is_open(); }
    /// The C record, for calls this layer does not wrap (null when closed).
    kavro_dev_t *get() const noexcept { return dev_; }

    std::string product() const { return text(rec().product, sizeof rec().product); }
    std::string vendor() const { return text(rec().vendor, sizeof rec().vendor); }
    /// The serial value's raw bytes (three u32).
    std::vector<uint8_t> serial() const {
        const auto *p = reinterpret_cast<const uint8_t *>(rec().serial);
        return {p, p + 12};
    }
    kavro_dev_ver_u version() const { return rec().version; }
    /// The serial as text, "XXXXXXXX-XXXXXXXX-XXXXXXXX".
    std::string serial_text() const { return kavro::serial_text(rec()); }

    // ---- data and firmware transfer -----------------------------------------
    /// Progress of a transfer: bytes done of total, on the calling thread.
    using progress_fn = std::function<void(uint32_t done, uint32_t total)>;
    /// Asked before each packet or piece: true stops the transfer.
    using cancel_fn = std::function<bool()>;
    /// Write `file` into the device as an image of `type` at `addr`; returns
    /// the KAVRO_XFER_* result (KAVRO_XFER_DONE on success, KAVRO_XFER_STOPPED
    /// when cancelled); throws only for a closed device.
    int data_write(uint8_t type, uint16_t version, uint32_t addr, const std::string &file,
                   const progress_fn &progress = {}, const cancel_fn &cancel = {}) {
        xfer_fns fns{&progress, &cancel};
        return kavro_dev_data_write(rec_ptr(), type, version, addr, file.c_str(), &xfer_fns::on_progress,
                                    &xfer_fns::on_cancel, &fns);
    }
    /// Read the device's image of `type` into `file`, as data_write.
    int data_read(uint8_t type, const std::string &file, const progress_fn &progress = {},
                  const cancel_fn &cancel = {}) {
        xfer_fns fns{&progress, &cancel};
        return kavro_dev_data_read(rec_ptr(), type, file.c_str(), &xfer_fns::on_progress, &xfer_fns::on_cancel,
                                   &fns);
    }

    // ---- capture ----------------------------------------------------------
    /// Let the engine keep `frames` frames (more than 1); not while capturing.
    void set_buffer_frames(uint32_t frames) {
        detail::log_mark mark;
        if (!kavro_cap_set_frame_buffer(rec_ptr(), nullptr, frames * frame_buffer_unit))
            detail::fail(mark, "kavro_cap_set_frame_buffer failed");
    }
    void start() {
        detail::log_mark mark;
        if (!kavro_cap_start(rec_ptr())) detail::fail(mark, "kavro_cap_start failed");
    }
    void stop() {
        detail::log_mark mark;
        if (!kavro_cap_stop(rec_ptr())) detail::fail(mark, "kavro_cap_stop failed");
    }
    bool capturing() const noexcept { return dev_ && kavro_cap_is_ongoing(dev_); }

    /// Wait for the next frame and copy it into `buf`. Returns a view over
    /// `buf`, empty when no frame came within the engine's time limit (also
    /// at the end of a recording). Throws when capture stopped on an error.
    frame_view capture_into(std::span<uint8_t> buf) {
        detail::log_mark mark;
        kavro_frame_t fr{};
        const int n = kavro_cap_get_frames(rec_ptr(), 1, buf.data(), static_cast<uint32_t>(buf.size()), &fr);
        if (n < 0) detail::fail(mark, detail::capture_problem("kavro_cap_get_frames", n), n);
        if (n == 0) return {};
        const size_t len = std::min<size_t>(fr.frame_info.frame_size, buf.size());
        uint64_t host_ns = 0;
        kavro_frame_get_host_time(rec_ptr(), &fr.frame_info, &host_ns);
        return {fr.frame_info, std::span<const uint8_t>(buf.data(), len), host_ns};
    }
    /// The next frame in a buffer of its own; nullopt when none came.
    std::optional<frame> capture() {
        if (scratch_.size() < capture_buffer_bytes) scratch_.resize(capture_buffer_bytes);
        const frame_view v = capture_into(scratch_);
        if (!v) return std::nullopt;
        return frame(v.info, std::vector<uint8_t>(v.data.begin(), v.data.end()), v.host_ns);
    }

    // ---- decoding ---------------------------------------------------------
    /// Distance in metres of every pixel into `dst` (at least pixels()
    /// floats); returns the pixels written.
    int distance_into(const frame_view &f, std::span<float> dst) const { return decode(f, dst, true); }
    int gray_into(const frame_view &f, std::span<float> dst) const { return decode(f, dst, false); }
    std::vector<float> distance(const frame_view &f) const {
        std::vector<float> out(static_cast<size_t>(f.pixels()));
        out.resize(static_cast<size_t>(distance_into(f, out)));
        return out;
    }
    std::vector<float> gray(const frame_view &f) const {
        std::vector<float> out(static_cast<size_t>(f.pixels()));
        out.resize(static_cast<size_t>(gray_into(f, out)));
        return out;
    }

    /// Points X, Y, Z (3 floats each) of a width x height distance image, in
    /// pixel order, pixels outside 0 < d < 60 left out. Lens values from
    /// `cam`, else the driver's. Empty when no pixel is valid.
    std::vector<float> pointcloud(std::span<const float> dist, int width, int height,
                                  const kavro_camera_para_t *cam = nullptr) const {
        return points(dist, width, height, cam, 3, false);
    }
    /// Points X, Y, Z of a captured frame, decoded to distances first, with
    /// the driver's lens (or `cam`); the frame's rejected pixels left out.
    std::vector<float> pointcloud(const frame_view &f, const kavro_camera_para_t *cam = nullptr) const {
        const std::vector<float> dist = distance(f);
        return pointcloud(dist, f.width(), f.height(), cam);
    }
    /// The organised cloud of a width x height distance image: height x
    /// width x 3 floats, pixel (x, y) at 3 (y width + x), NaN in all three
    /// for a pixel pointcloud() leaves out.
    std::vector<float> pointcloud_organized(std::span<const float> dist, int width, int height,
                                            const kavro_camera_para_t *cam = nullptr) const {
        if (width <= 0 || height <= 0 || dist.size() < static_cast<size_t>(width) * static_cast<size_t>(height))
            throw error("kavro::device::pointcloud_organized: the distance image is smaller than width x height");
        detail::log_mark mark;
        std::vector<float> out(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
        const int n = kavro_frame_get_pcl_organized(rec_ptr(), out.data(), static_cast<int>(out.size()), dist.data(),
                                                    static_cast<int>(dist.size()), width, height, cam);
        if (n < 0) detail::fail(mark, "kavro_frame_get_pcl_organized failed");
        return out;
    }
    /// The organised cloud of a captured frame (see above).
    std::vector<float> pointcloud_organized(const frame_view &f, const kavro_camera_para_t *cam = nullptr) const {
        const std::vector<float> dist = distance(f);
        return pointcloud_organized(dist, f.width(), f.height(), cam);
    }
    /// As pointcloud() with a fourth float per point: the distance, or with
    /// `pseudo_color` the colour-map colour of it as a float of that integer.
    std::vector<float> pointcloud_xyzd(std::span<const float> dist, int width, int height, bool pseudo_color = false,
                                       const kavro_camera_para_t *cam = nullptr) const {
        return points(dist, width, height, cam, 4, pseudo_color);
    }

    // ---- parameters, registers, filters ------------------------------------
    void set_params(std::span<const kavro_param_item_t> items) {
        detail::log_mark mark;
        if (!kavro_param_batch_set(rec_ptr(), items.data(), static_cast<int>(items.size())))
            detail::fail(mark, "kavro_param_batch_set failed");
    }
    /// Fills the items named by their param_id.
    void get_params(std::span<kavro_param_item_t> items) {
        detail::log_mark mark;
        if (!kavro_param_batch_get(rec_ptr(), items.data(), static_cast<int>(items.size())))
            detail::fail(mark, "kavro_param_batch_get failed");
    }
    kavro_param_item_t get_param(kavro_dev_param_e id) {
        kavro_param_item_t item{};
        item.param_id = static_cast<uint32_t>(id);
        get_params(std::span<kavro_param_item_t>(&item, 1));
        return item;
    }
    /// The frame rate the device (and the capture engine's time limit) uses.
    void set_frame_rate(uint32_t fps) {
        kavro_param_item_t item{};
        item.param_id = PARAM_FRAME_RATE;
        item.param_val_len = sizeof(uint32_t);
        item.param_val.frame_rate.fps = fps;
        set_params(std::span<const kavro_param_item_t>(&item, 1));
    }
    void reg_write(kavro_dev_reg_e target, uint32_t base, std::span<const uint32_t> values) {
        detail::log_mark mark;
        if (!kavro_reg_batch_write(rec_ptr(), target, base, values.data(), static_cast<uint16_t>(values.size())))
            detail::fail(mark, "kavro_reg_batch_write failed");
    }
    std::vector<uint32_t> reg_read(kavro_dev_reg_e target, uint32_t base, uint16_t count) {
        detail::log_mark mark;
        std::vector<uint32_t> values(count);
        if (!kavro_reg_batch_read(rec_ptr(), target, base, values.data(), count))
            detail::fail(mark, "kavro_reg_batch_read failed");
        return values;
    }
    /// True when the driver switched the filter on, false when it refused.
    bool filter_enable(kavro_filter_id_e fid, kavro_filter_args_u args = {}) {
        detail::log_mark mark;
        const int r = kavro_filter_enable(rec_ptr(), fid, &args, sizeof args);
        if (r < 0) detail::fail(mark, "kavro_filter_enable: the device has no driver", r);
        return r == 1;
    }
    bool filter_disable(kavro_filter_id_e fid) {
        detail::log_mark mark;
        const int r = kavro_filter_disable(rec_ptr(), fid);
        if (r < 0) detail::fail(mark, "kavro_filter_disable: the device has no driver", r);
        return r == 1;
    }
    void reset(kavro_dev_rst_e target) {
        detail::log_mark mark;
        if (!kavro_dev_reset(rec_ptr(), target)) detail::fail(mark, "kavro_dev_reset failed");
    }
    /// The intrinsics of the images the driver decodes at width x height, as
    /// the lens switch stands now (see kavro_dev_get_intrinsics); the values
    /// pointcloud() uses without caller values. Throws when the driver has
    /// none for that size.
    kavro_intrinsics_t intrinsics(int width = 320, int height = 240) const {
        detail::log_mark mark;
        kavro_intrinsics_t in{};
        if (!kavro_dev_get_intrinsics(rec_ptr(), width, height, &in))
            detail::fail(mark, "kavro_dev_get_intrinsics: no lens values for " + std::to_string(width) + "x" +
                                   std::to_string(height));
        return in;
    }

private:
    const kavro_dev_t &rec() const {
        if (!dev_) throw error("kavro::device: the device is closed");
        return *dev_;
    }
    kavro_dev_t *rec_ptr() const { return const_cast<kavro_dev_t *>(&rec()); }

    static std::string text(const char *p, size_t n) { return std::string(p, strnlen(p, n)); }

    // The callbacks of one transfer, passed through the C call's argument.
    struct xfer_fns {
        const progress_fn *progress;
        const cancel_fn *cancel;
        static void on_progress(uint32_t done, uint32_t total, void *arg) {
            const auto *f = static_cast<xfer_fns *>(arg);
            if (*f->progress) (*f->progress)(done, total);
        }
        static bool on_cancel(void *arg) {
            const auto *f = static_cast<xfer_fns *>(arg);
            return *f->cancel && (*f->cancel)();
        }
    };

    int decode(const frame_view &f, std::span<float> dst, bool distance) const {
        const char *call = distance ? "kavro_frame_get_distance" : "kavro_frame_get_gray";
        if (dst.size() < static_cast<size_t>(f.pixels()))
            throw error(std::string(call) + ": the output holds fewer floats than the frame's pixels");
        detail::log_mark mark;
        // The decoder only reads the frame; the C signature is not const.
        auto *src = const_cast<uint8_t *>(f.data.data());
        const int len = static_cast<int>(dst.size());
        const int n = distance ? kavro_frame_get_distance(rec_ptr(), dst.data(), len, src,
                                                          static_cast<int>(f.data.size()), &f.info)
                               : kavro_frame_get_gray(rec_ptr(), dst.data(), len, src,
                                                      static_cast<int>(f.data.size()), &f.info);
        if (n <= 0) detail::fail(mark, std::string(call) + " failed");
        return n;
    }

    std::vector<float> points(std::span<const float> dist, int width, int height, const kavro_camera_para_t *cam,
                              int per_point, bool pseudo_color) const {
        if (width <= 0 || height <= 0 || dist.size() < static_cast<size_t>(width) * static_cast<size_t>(height))
            throw error("kavro::device::pointcloud: the distance image is smaller than width x height");
        detail::log_mark mark;
        // Room for every pixel: the call stops only when the next point
        // would not fit.
        std::vector<float> out(static_cast<size_t>(width) * static_cast<size_t>(height) *
                               static_cast<size_t>(per_point));
        const int len = static_cast<int>(out.size());
        const int n = per_point == 3
                          ? kavro_frame_get_pcl(rec_ptr(), out.data(), len, dist.data(),
                                                static_cast<int>(dist.size()), width, height, cam)
                          : kavro_frame_get_pcl_xyzd(rec_ptr(), out.data(), len, dist.data(),
                                                     static_cast<int>(dist.size()), width, height, pseudo_color, cam);
        // 0 points is a valid answer for an image without valid pixels; it is
        // a failure only when the library logged one.
        if (n == 0) {
            const std::string logged = mark.problem();
            if (!logged.empty()) throw error(logged);
        }
        out.resize(static_cast<size_t>(n) * static_cast<size_t>(per_point));
        return out;
    }

    std::unique_ptr<kavro_dev_t> own_;  // the record of open(listed)
    kavro_dev_t *dev_ = nullptr;        // own_, or the library's default record
    std::vector<uint8_t> scratch_;      // capture()'s buffer
};

/// Colour-map metres to 3 (RGB, BGR) or 4 (RGBA) bytes per value, spread
/// over min_m ... max_m. Not thread-safe (it sets the library colour map's range).
inline std::vector<uint8_t> colormap(std::span<const float> metres, float min_m, float max_m,
                                     kavro_cmap_outfmt_e fmt = KAVRO_CMAP_OUTFMT_RGB) {
    const size_t per_pixel = fmt == KAVRO_CMAP_OUTFMT_RGBA ? 4 : 3;
    if (fmt != KAVRO_CMAP_OUTFMT_RGB && fmt != KAVRO_CMAP_OUTFMT_RGBA && fmt != KAVRO_CMAP_OUTFMT_BGR)
        throw error("kavro::colormap: unknown output format " + std::to_string(static_cast<int>(fmt)));
    std::vector<uint8_t> out(metres.size() * per_pixel);
    const int n = kavro_cmap_float(out.data(), static_cast<int>(out.size()), metres.data(),
                                   static_cast<int>(metres.size()), fmt, min_m, max_m);
    out.resize(static_cast<size_t>(n) * per_pixel);
    return out;
}

// ---- frame files ----------------------------------------------------------
// Each function writes or reads a whole file. Reading is not thread-safe: the
// library's loaders remember the last header per kind process-wide.

/// Frames read from a file: `frames` frames of `width` x `height` (x `dcs`
/// sub-frames for raw files) values each, back to back in `values`.
template <typename T>
struct frame_file {
    int width = 0, height = 0, dcs = 1, frames = 0;
    std::string tag;  // raw files only
    std::vector<T> values;
};

/// Raw samples, whole frames of width x height x dcs, as UINT16 or UINT32.
inline void save_raw(const std::string &path, std::span<const uint16_t> samples, int width, int height, int dcs,
                     const std::string &tag, kavro_frame_save_fmt_t fmt = KAVRO_FRAME_SAVE_UINT16) {
    detail::fd_guard fd(detail::open_for_write(path));
    detail::log_mark mark;
    if (!kavro_frame_save_raw(fd.get(), fmt, samples.data(), static_cast<int>(samples.size()), width, height, dcs,
                              tag.c_str()))
        detail::fail(mark, "kavro_frame_save_raw failed for " + path);
}
/// Distances (metres), whole frames of width x height, as FLOAT32, UINT32 or UINT16.
inline void save_distance(const std::string &path, std::span<const float> metres, int width, int height,
                          kavro_frame_save_fmt_t fmt = KAVRO_FRAME_SAVE_FLOAT32) {
    detail::fd_guard fd(detail::open_for_write(path));
    detail::log_mark mark;
    if (!kavro_frame_save_distance(fd.get(), fmt, metres.data(), static_cast<int>(metres.size()), width, height))
        detail::fail(mark, "kavro_frame_save_distance failed for " + path);
}
/// Gray values, whole frames of width x height, as UINT8 or UINT16.
inline void save_gray(const std::string &path, std::span<const float> values, int width, int height,
                      kavro_frame_save_fmt_t fmt = KAVRO_FRAME_SAVE_UINT16) {
    const size_t per_frame = width > 0 && height > 0 ? static_cast<size_t>(width) * static_cast<size_t>(height) : 0;
    if (per_frame == 0 || values.empty() || values.size() % per_frame != 0)
        throw error("kavro::save_gray: " + std::to_string(values.size()) + " values are not whole frames of " +
                    std::to_string(width) + " x " + std::to_string(height));
    detail::fd_guard fd(detail::open_for_write(path));
    // The library writes at most one gray frame per call.
    for (size_t at = 0; at < values.size(); at += per_frame) {
        detail::log_mark mark;
        if (!kavro_frame_save_gray(fd.get(), fmt, values.data() + at, static_cast<int>(per_frame), width, height))
            detail::fail(mark, "kavro_frame_save_gray failed for " + path);
    }
}

namespace detail {

// Reads every frame of a file with `load(fd, dst, dst_len, w, h, dcs, tag,
// tag_len)`. The first load learns the geometry without storing anything;
// the file is then read again from its start.
template <typename T, typename Load>
frame_file<T> load_frames(const std::string &path, const char *call, Load load) {
    fd_guard fd(open_for_read(path));
    frame_file<T> out;
    int w = 0, h = 0, dcs = 1;
    {
        log_mark mark;
        load(fd.get(), nullptr, 0, &w, &h, &dcs, nullptr, 0);
        if (w <= 0 || h <= 0 || dcs <= 0) fail(mark, std::string(call) + ": no frame in " + path);
    }
    ::lseek(fd.get(), 0, SEEK_SET);
    const size_t per_frame = static_cast<size_t>(w) * static_cast<size_t>(h) * static_cast<size_t>(dcs);
    char tag[40] = "";
    for (;;) {
        log_mark mark;
        const off_t before = ::lseek(fd.get(), 0, SEEK_CUR);
        out.values.resize((static_cast<size_t>(out.frames) + 1) * per_frame);
        T *dst = out.values.data() + static_cast<size_t>(out.frames) * per_frame;
        const int n = load(fd.get(), dst, static_cast<int>(per_frame), nullptr, nullptr, nullptr,
                           out.frames == 0 ? tag : nullptr, static_cast<int>(sizeof tag));
        if (n == static_cast<int>(per_frame)) {
            ++out.frames;
            continue;
        }
        out.values.resize(static_cast<size_t>(out.frames) * per_frame);
        struct stat st;
        // The end of the file is where the last whole frame ended; anything
        // after it is a cut frame.
        if (out.frames == 0 || ::fstat(fd.get(), &st) != 0 || st.st_size != before)
            fail(mark, std::string(call) + ": " + path + " ends inside a frame");
        break;
    }
    out.width = w;
    out.height = h;
    out.dcs = dcs;
    out.tag = tag;
    return out;
}

}  // namespace detail

inline frame_file<uint16_t> load_raw(const std::string &path) {
    return detail::load_frames<uint16_t>(
        path, "kavro_frame_load_raw",
        [](int fd, uint16_t *dst, int len, int *w, int *h, int *dcs, char *tag, int tag_len) {
            return kavro_frame_load_raw(fd, dst, len, w, h, dcs, tag, tag_len);
        });
}
inline frame_file<float> load_distance(const std::string &path) {
    return detail::load_frames<float>(path, "kavro_frame_load_distance",
                                      [](int fd, float *dst, int len, int *w, int *h, int *, char *, int) {
                                          return kavro_frame_load_distance(fd, dst, len, w, h);
                                      });
}
inline frame_file<float> load_gray(const std::string &path) {
    return detail::load_frames<float>(path, "kavro_frame_load_gray",
                                      [](int fd, float *dst, int len, int *w, int *h, int *, char *, int) {
                                          return kavro_frame_load_gray(fd, dst, len, w, h);
                                      });
}

}  // namespace kavro

#endif  // KAVRO_HPP
