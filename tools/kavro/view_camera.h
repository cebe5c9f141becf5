// The camera side of `kavro view`: one thread captures, decodes each frame
// once (distance, gray, the lens rays for point clouds) and publishes the
// newest; the controls of the page run on that thread between frames.
#pragma once

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kavro.h"

namespace kavro_cli {

/// One decoded frame, as every client is sent it: made once, shared by all
/// (its buffers are reused for a later frame once no client holds it).
struct view_frame {
    uint64_t seq = 0;           // 1, 2, ... in publication order
    uint32_t index = 0;         // the camera's frame index
    std::vector<uint8_t> msg;   // the binary message (view_protocol.h)
    std::string status;         // the JSON status sent before it
    uint64_t rays_seq = 0;      // the rays that belong to it
};

/// What a client is to be sent next (see view_camera::wait_update).
struct view_update {
    std::shared_ptr<const view_frame> frame;       // a newer frame, or null
    std::shared_ptr<const std::string> settings;   // the settings message when they changed, or null
    uint64_t settings_version = 0;                 // the version `settings` carries
};

class view_camera {
public:
    /// `dev` stays open (and owned by the caller) until stop() returned.
    view_camera(kavro_dev_t *dev, bool replay, std::string record_dir);
    ~view_camera();
    view_camera(const view_camera &) = delete;
    view_camera &operator=(const view_camera &) = delete;

    void start();
    /// Stops capture (and a running recording) and joins the thread.
    void stop();

    /// The newest frame (null before the first) and the rays message of
    /// its geometry.
    std::shared_ptr<const view_frame> newest() const;
    std::shared_ptr<const std::vector<uint8_t>> rays() const;

    /// Waits for a frame newer than `after` while `want()` holds, for
    /// settings newer than version `settings_after`, or for `quit()` (all
    /// checked under the publication lock, again after each publication,
    /// each change of the settings and each notify()). Fills `out` (frame
    /// and settings message as far as they are newer) and returns true;
    /// false on quit() or when the camera stops.
    bool wait_update(uint64_t after, uint64_t settings_after, const std::function<bool()> &want,
                     const std::function<bool()> &quit, view_update *out);
    /// Wakes the waiters of wait_update() (a client's state changed).
    void notify();

    /// Runs a control request (a JSON object with "cmd") on the capture
    /// thread and returns the reply: {"ok": true, ...read back...} or
    /// {"ok": false, "error": text}.
    nlohmann::json control(const nlohmann::json &req);
    /// The settings as last read back (intg_time, frame_rate, mod_freq,
    /// filters, paused, recording, and their "version", raised by each
    /// change).
    nlohmann::json settings() const;

private:
    void run();
    nlohmann::json apply(const nlohmann::json &req);
    nlohmann::json set_param(const std::string &name, long long value);
    nlohmann::json set_filter(const std::string &name, bool on, const std::string &value);
    nlohmann::json record(bool on);
    nlohmann::json snapshot(uint32_t index);
    void read_settings();
    bool start_capture();
    void stop_capture();
    void decode_publish(const kavro_frame_info_t &info, std::vector<uint8_t> &raw);
    void make_rays(int w, int h);
    /// A new version of settings_ for every client (pub_mu_ held).
    void settings_changed_locked();
    std::shared_ptr<view_frame> take_frame();

    kavro_dev_t *dev_;
    bool replay_;
    std::string record_dir_;
    std::thread thread_;

    mutable std::mutex pub_mu_;
    std::condition_variable pub_cv_;
    bool stopping_ = false;
    std::shared_ptr<const view_frame> newest_;
    std::shared_ptr<const std::vector<uint8_t>> rays_;
    uint64_t rays_seq_ = 0;
    int rays_w_ = 0, rays_h_ = 0;
    nlohmann::json settings_ = nlohmann::json::object();
    uint64_t settings_version_ = 0;
    std::shared_ptr<const std::string> settings_msg_;  // {"type": "settings", ...} of that version

    // Frames no client holds any more, for reuse (their deleter puts them
    // back, on whichever thread let go of them last).
    struct frame_pool {
        std::mutex mu;
        std::vector<std::unique_ptr<view_frame>> free;
    };
    std::shared_ptr<frame_pool> pool_ = std::make_shared<frame_pool>();

    std::mutex cmd_mu_;
    std::condition_variable cmd_cv_;
    std::deque<std::packaged_task<nlohmann::json()>> cmds_;
    bool accepting_ = false;

    // Capture-thread state.
    bool capturing_ = false;
    bool paused_ = false;
    uint64_t seq_ = 0;
    uint64_t captured_ = 0, skipped_ = 0, discarded_ = 0;
    uint32_t last_index_ = 0;
    bool have_last_ = false;
    struct kept_frame {
        kavro_frame_info_t info;
        std::vector<uint8_t> data;
    };
    std::deque<kept_frame> kept_;  // the last frames, for snapshots
    std::vector<float> dist_, gray_;  // decoded images, reused frame after frame
    std::vector<uint32_t> hist_;      // gray histogram for the contrast stretch
    struct recording;
    std::unique_ptr<recording> rec_;
    nlohmann::json filters_ = nlohmann::json::object();
};

}  // namespace kavro_cli
