// Frames from an open device (camera or recording) to files: capture of raw
// frames, raw recordings, and the decoded outputs (colour-mapped depth PNG,
// gray PNG, PLY point cloud, distance and gray frame files).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kavro.h"

namespace kavro_cli {

struct raw_frame {
    kavro_frame_info_t info{};
    std::vector<uint8_t> data;
};

/// Receives each captured frame; returns an exit code (non-zero stops the
/// capture) and sets `err` then.
using frame_sink = std::function<int(const raw_frame &, std::string *err)>;

/// Hands `count` frames of `dev` to `sink`, in order (capture is started and
/// stopped here). A recording (`is_replay`) may end early: all it has is
/// then a success; a camera that stops delivering is a failure. `count` <= 0
/// takes everything a recording holds. Progress is shown under `what` with
/// `expected` frames as the total. Returns an exit code.
int capture_frames(kavro_dev_t *dev, int count, int expected, bool is_replay, const std::string &what,
                   const frame_sink &sink, std::string *err);

struct export_opts {
    std::string dir;      // output folder, created when missing
    float near_m = 0.5f;  // colour map range: red at near_m ...
    float far_m = 6.0f;   // ... blue at far_m; invalid pixels black
};

/// Decodes frames and writes, per frame n (1, 2, ...): frame_NNNN_depth.png,
/// frame_NNNN_gray.png, frame_NNNN.ply; and for all frames frames.dist
/// (VX_DIST, float metres) and frames.gray (VX_GRAY, 16 bits).
class frame_exporter {
public:
    frame_exporter(kavro_dev_t *dev, export_opts o);
    ~frame_exporter();
    frame_exporter(const frame_exporter &) = delete;
    frame_exporter &operator=(const frame_exporter &) = delete;

    /// Creates the folder and the frame files; an exit code.
    int open(std::string *err);
    /// Decodes and writes one frame; an exit code.
    int add(const raw_frame &f, std::string *err);
    int frames() const { return n_; }

private:
    kavro_dev_t *dev_;
    export_opts o_;
    int dist_fd_ = -1, gray_fd_ = -1;
    int n_ = 0;
};

/// Writes a recording of the open device through the library's recording
/// calls: the raw frames in the file (replayable with --replay or convert,
/// tagged with the device's product string), the side file beside it
/// (identity, settings, lens, calibration kind, per-frame temperatures) and
/// the copy of the calibration in use. The device must stay open until
/// close() (or the destructor).
class recording_writer {
public:
    recording_writer(std::string path, kavro_dev_t *dev);
    ~recording_writer();
    recording_writer(const recording_writer &) = delete;
    recording_writer &operator=(const recording_writer &) = delete;

    int open(std::string *err);
    int add(const raw_frame &f, std::string *err);
    /// Flushes and closes; an exit code.
    int close(std::string *err);

private:
    std::string path_;
    kavro_dev_t *dev_;
    kavro_rec_t *rec_ = nullptr;
    uint32_t w_ = 0, h_ = 0, bytes_ = 0;  // size of the first frame
};

/// Frames in a raw recording (from its header and size); 0 when unreadable.
int recording_frame_count(const std::string &path);
/// Frame size (w x h) and count of whole frames of a raw recording, and
/// whether the file ends inside a frame (`cut`, may be null); false when its
/// header cannot be read.
bool recording_geometry(const std::string &path, int *w, int *h, int *frames, bool *cut = nullptr);
/// Frames a recording lacks (0 for a whole one): a file that ends inside a
/// frame lacks that frame; a side file that lists more frames than the file
/// holds whole says how many. `whole` gets the whole frames, `why` which of
/// the two it is.
int recording_missing_frames(const std::string &path, int *whole, std::string *why);

}  // namespace kavro_cli
