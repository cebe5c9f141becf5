#include "frame_export.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>

#include "driver/epc/kavro_driver_epc.h"
#include "exit_codes.h"
#include "interrupt.h"
#include "kavro_rec_info.h"
#include "gray_image.h"
#include "ply_writer.h"
#include "png_writer.h"
#include "progress.h"
#include "replay_rate.h"

namespace kavro_cli {

namespace {

// Room for the largest frame a device sends (320 x 240 x 4 DCS x 2 bytes and
// more): the capture engine cuts a frame that does not fit the buffer.
constexpr uint32_t k_frame_buf_bytes = 0x400000;
constexpr uint32_t k_engine_frames = 16;
constexpr uint32_t k_engine_frame_unit = 320 * 240 * 4;
// A recording is paced at this rate: fast, and slow enough that the engine's
// buffer never overflows while frames are decoded.
constexpr uint32_t k_replay_fps = 60;

// Frames the engine handed to the frame-ready callback during one request
// (a request also drains frames beyond the one it asked for); the callback
// only copies, the frames are processed after the request returns.
struct frame_queue {
    std::deque<raw_frame> frames;
};

void on_frame_ready(kavro_dev_t *dev, kavro_frame_t *frame) {
    auto *q = static_cast<frame_queue *>(dev->user_data0);
    if (!q || !frame->frame_data) return;
    raw_frame f;
    f.info = frame->frame_info;
    const auto *p = static_cast<const uint8_t *>(frame->frame_data);
    f.data.assign(p, p + frame->frame_info.frame_size);
    q->frames.push_back(std::move(f));
}

std::string frame_name(const std::string &dir, int n, const char *suffix) {
    char buf[32];
    snprintf(buf, sizeof buf, "frame_%04d%s", n, suffix);
    return (std::filesystem::path(dir) / buf).string();
}

std::string errno_text() { return std::strerror(errno); }

// Creates (or empties) a file for writing; an exit code.
int create_file(const std::string &path, int *fd, std::string *err) {
    *fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (*fd >= 0) return EXIT_OK;
    *err = "cannot create " + path + ": " + errno_text();
    return EXIT_FILE;
}

// Writes `path` through `write` into a temporary name beside it and renames
// it into place only when complete: a write that fails (a full disk, a file
// size limit) or is interrupted never leaves a cut file under the final name.
template <typename F>
bool write_whole(const std::string &path, F write, std::string *err) {
    const std::string part = path + ".part";
    if (!write(part)) {
        const int e = errno;
        std::remove(part.c_str());
        if (e) *err += std::string(": ") + std::strerror(e);
        return false;
    }
    if (std::rename(part.c_str(), path.c_str()) != 0) {
        *err = "cannot write " + path + ": " + errno_text();
        std::remove(part.c_str());
        return false;
    }
    return true;
}

// Truncates a frame file back to `end` (where the failed frame began).
void cut_back(int fd, off_t end) {
    if (end >= 0 && ::ftruncate(fd, end) == 0) ::lseek(fd, end, SEEK_SET);
}

}  // namespace

int capture_frames(kavro_dev_t *dev, int count, int expected, bool is_replay, const std::string &what,
                   const frame_sink &sink, std::string *err) {
    frame_queue queue;
    dev->user_data0 = &queue;
    kavro_cap_set_callback_on_frame_ready(dev, on_frame_ready);
    struct detach {
        kavro_dev_t *d;
        ~detach() {
            kavro_cap_stop(d);
            kavro_cap_set_callback_on_frame_ready(d, nullptr);
            d->user_data0 = nullptr;
        }
    } detach_on_exit{dev};

    if (is_replay && !set_replay_rate(dev, k_replay_fps)) {
        *err = "cannot set the replay rate of the recording";
        return EXIT_FAILED;
    }
    if (!kavro_cap_set_frame_buffer(dev, nullptr, k_engine_frames * k_engine_frame_unit) || !kavro_cap_start(dev)) {
        *err = "cannot start the capture (see the log for the camera's answer)";
        return EXIT_FAILED;
    }
    progress_meter meter(what, "frames");
    const int total = count > 0 ? count : expected;
    std::vector<uint8_t> buf(k_frame_buf_bytes);
    int taken = 0;
    bool ended = false;
    while ((count <= 0 || taken < count) && !ended) {
        // Ctrl-C: the frames handed on so far are whole; the capture is
        // stopped on the way out and the caller finishes its files.
        if (interrupted()) {
            meter.finish(false);
            *err = "interrupted after " + std::to_string(taken) + " of " + std::to_string(total) + " frames";
            return interrupt_exit_code();
        }
        const int n = kavro_cap_get_frames(dev, 1, buf.data(), k_frame_buf_bytes, nullptr);
        if (n < 0) {
            meter.finish(false);
            *err = std::string("capture failed: ") + kavro_error_name(n) + " (" + std::to_string(n) + ")";
            return EXIT_FAILED;
        }
        if (n == 0) ended = true;  // a recording has ended, or a camera sent nothing in time
        while (!queue.frames.empty() && (count <= 0 || taken < count)) {
            // A frame of the calibration package can trail the download
            // that opening the camera ran: it is no image, so it is passed
            // over.
            if (queue.frames.front().info.frame_format == EPC_FRAME_FMT_CALIB_DATA) {
                queue.frames.pop_front();
                continue;
            }
            const int rc = sink(queue.frames.front(), err);
            queue.frames.pop_front();
            if (rc != EXIT_OK) {
                meter.finish(false);
                return rc;
            }
            ++taken;
            if (total > 0) meter.update(static_cast<uint64_t>(taken), static_cast<uint64_t>(total));
            interrupt_test_hold();
            if (interrupted()) break;
        }
    }
    const bool complete = count <= 0 || taken >= count || is_replay;
    meter.finish(complete && taken > 0);
    if (taken == 0) {
        *err = is_replay ? "the recording holds no frame" : "the camera sent no frame in time";
        return EXIT_FAILED;
    }
    if (!complete) {
        *err = "the camera stopped sending frames after " + std::to_string(taken) + " of " + std::to_string(count);
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

frame_exporter::frame_exporter(kavro_dev_t *dev, export_opts o) : dev_(dev), o_(std::move(o)) {}

frame_exporter::~frame_exporter() {
    if (dist_fd_ >= 0) ::close(dist_fd_);
    if (gray_fd_ >= 0) ::close(gray_fd_);
}

int frame_exporter::open(std::string *err) {
    std::error_code ec;
    std::filesystem::create_directories(o_.dir, ec);
    if (ec) {
        *err = "cannot create the output folder " + o_.dir + ": " + ec.message();
        return EXIT_FILE;
    }
    const std::string dist = (std::filesystem::path(o_.dir) / "frames.dist").string();
    const std::string gray = (std::filesystem::path(o_.dir) / "frames.gray").string();
    if (int rc = create_file(dist, &dist_fd_, err)) return rc;
    return create_file(gray, &gray_fd_, err);
}

int frame_exporter::add(const raw_frame &f, std::string *err) {
    const int w = static_cast<int>(f.info.width), h = static_cast<int>(f.info.height);
    if (w <= 0 || h <= 0 || w > 4096 || h > 4096) {
        *err = "frame of unusable size " + std::to_string(w) + "x" + std::to_string(h);
        return EXIT_FAILED;
    }
    const int pixels = w * h;
    std::vector<float> dist(static_cast<size_t>(pixels)), gray(static_cast<size_t>(pixels));
    std::vector<float> pcl(static_cast<size_t>(pixels) * 3);
    std::vector<uint8_t> src(f.data);  // the decoder takes a writable buffer
    const int src_len = static_cast<int>(src.size());
    const int n = n_ + 1;
    if (kavro_frame_get_distance(dev_, dist.data(), pixels, src.data(), src_len, &f.info) != pixels ||
        kavro_frame_get_gray(dev_, gray.data(), pixels, src.data(), src_len, &f.info) != pixels) {
        *err = "cannot decode frame " + std::to_string(n) + " (" + std::to_string(f.data.size()) + " bytes, format " +
               std::to_string(f.info.frame_format) + ", index " + std::to_string(f.info.frame_idx) + "; see the log)";
        return EXIT_FAILED;
    }
    const int points =
        kavro_frame_get_pcl(dev_, pcl.data(), pixels * 3, dist.data(), pixels, w, h, nullptr);
    std::vector<uint8_t> rgb(static_cast<size_t>(pixels) * 3);
    if (points < 0 || kavro_cmap_float(rgb.data(), static_cast<int>(rgb.size()), dist.data(), pixels,
                                       KAVRO_CMAP_OUTFMT_RGB, o_.near_m, o_.far_m) != pixels) {
        *err = "cannot colour-map frame " + std::to_string(n);
        return EXIT_FAILED;
    }
    std::string e;
    const std::vector<uint8_t> gray8 = gray_to_8bit(gray);
    if (!write_whole(frame_name(o_.dir, n, "_depth.png"),
                     [&](const std::string &p) { return write_png_rgb(p, rgb.data(), w, h, e); }, &e) ||
        !write_whole(frame_name(o_.dir, n, "_gray.png"),
                     [&](const std::string &p) { return write_png_gray(p, gray8.data(), w, h, e); }, &e) ||
        !write_whole(frame_name(o_.dir, n, ".ply"),
                     [&](const std::string &p) {
                         return write_ply_xyz_rgb(p, pcl, points, dist.data(), rgb.data(), pixels,
                                                  "libkavro point cloud, metres", e);
                     },
                     &e)) {
        *err = e;
        return EXIT_FILE;
    }
    // The frame files take the frame whole or not at all: a failed save (a
    // full disk, a file size limit) is cut off again.
    const off_t dist_end = ::lseek(dist_fd_, 0, SEEK_CUR), gray_end = ::lseek(gray_fd_, 0, SEEK_CUR);
    if (!kavro_frame_save_distance(dist_fd_, KAVRO_FRAME_SAVE_FLOAT32, dist.data(), pixels, w, h) ||
        !kavro_frame_save_gray(gray_fd_, KAVRO_FRAME_SAVE_UINT16, gray.data(), pixels, w, h)) {
        *err = "cannot write the frame files in " + o_.dir + ": " + errno_text();
        cut_back(dist_fd_, dist_end);
        cut_back(gray_fd_, gray_end);
        return EXIT_FILE;
    }
    n_ = n;
    return EXIT_OK;
}

recording_writer::recording_writer(std::string path, kavro_dev_t *dev) : path_(std::move(path)), dev_(dev) {}

recording_writer::~recording_writer() {
    // An unfinished recording (a failed capture) keeps its whole frames.
    if (rec_) kavro_rec_close(rec_);
}

int recording_writer::open(std::string *err) {
    rec_ = kavro_rec_open(dev_, path_.c_str());
    if (rec_) return EXIT_OK;
    const int e = errno;
    *err = "cannot create " + path_ + " (or " + path_ + ".info): " + std::strerror(e);
    return EXIT_FILE;
}

int recording_writer::add(const raw_frame &f, std::string *err) {
    const int w = static_cast<int>(f.info.width), h = static_cast<int>(f.info.height);
    const int dcs = f.info.depth / 2;  // bytes per pixel: two per phase image
    const size_t samples = static_cast<size_t>(w) * h * dcs;
    if (w <= 0 || h <= 0 || dcs <= 0 || samples * 2 > f.data.size() || samples * 2 > 0xFFFFFFFFu) {
        *err = "frame of unusable size " + std::to_string(w) + "x" + std::to_string(h) + "x" + std::to_string(dcs);
        return EXIT_FAILED;
    }
    // The samples of the frame's phase images; bytes the camera sends after
    // them are not part of a recording.
    kavro_frame_t frame{};
    frame.frame_info = f.info;
    frame.frame_info.frame_size = static_cast<uint32_t>(samples * 2);
    frame.frame_data = const_cast<uint8_t *>(f.data.data());
    if (bytes_ == 0) {
        w_ = f.info.width;
        h_ = f.info.height;
        bytes_ = frame.frame_info.frame_size;
    } else if (f.info.width != w_ || f.info.height != h_ || frame.frame_info.frame_size != bytes_) {
        *err = "frame of size " + std::to_string(w) + "x" + std::to_string(h) + "x" + std::to_string(dcs) +
               " differs from the recording's first frame";
        return EXIT_FAILED;
    }
    if (!kavro_rec_add(rec_, &frame)) {
        *err = "cannot write to " + path_ + " (or " + path_ + ".info): " + errno_text();
        return EXIT_FILE;
    }
    return EXIT_OK;
}

int recording_writer::close(std::string *err) {
    if (!rec_) return EXIT_OK;
    const bool ok = kavro_rec_close(rec_);
    const int e = errno;
    rec_ = nullptr;
    if (!ok) {
        *err = "cannot finish " + path_ + ": " + std::strerror(e);
        return EXIT_FILE;
    }
    return EXIT_OK;
}

bool recording_geometry(const std::string &path, int *w, int *h, int *frames, bool *cut) {
    FILE *fp = fopen(path.c_str(), "rb");
    if (!fp) return false;
    char line[256] = {};
    const bool got = fgets(line, sizeof line, fp) != nullptr;
    fclose(fp);
    if (!got) return false;
    char type[4] = {};
    int dcs = 0;
    if (sscanf(line, "VX_RAW,%3[A-Z0-9],%d,%d,%d", type, w, h, &dcs) != 4 || *w <= 0 || *h <= 0 || dcs <= 0)
        return false;
    const size_t sample = std::strcmp(type, "U32") == 0 ? 4 : 2;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    const size_t hdr = std::strlen(line);
    const size_t frame = static_cast<size_t>(*w) * static_cast<size_t>(*h) * static_cast<size_t>(dcs) * sample;
    const size_t body = static_cast<size_t>(st.st_size) > hdr ? static_cast<size_t>(st.st_size) - hdr : 0;
    *frames = static_cast<int>(body / frame);
    if (cut) *cut = body % frame != 0;
    return true;
}

int recording_missing_frames(const std::string &path, int *whole, std::string *why) {
    int w = 0, h = 0;
    bool cut = false;
    *whole = 0;
    if (!recording_geometry(path, &w, &h, whole, &cut)) return 0;
    int missing = 0;
    if (cut) {
        missing = 1;
        *why = "the file ends inside frame " + std::to_string(*whole + 1);
    }
    kavro_rec_info_t info;
    std::string err;
    const std::string info_path = _kavro_rec_info_path(path);
    if (access(info_path.c_str(), F_OK) == 0 && _kavro_rec_info_read(info_path, &info, &err) &&
        static_cast<int>(info.frames.size()) - *whole > missing) {
        missing = static_cast<int>(info.frames.size()) - *whole;
        *why = "its side file lists " + std::to_string(info.frames.size()) + " frames";
    }
    return missing;
}

int recording_frame_count(const std::string &path) {
    int w = 0, h = 0, frames = 0;
    return recording_geometry(path, &w, &h, &frames) ? frames : 0;
}

}  // namespace kavro_cli
