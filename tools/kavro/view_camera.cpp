#include "view_camera.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>

#include <pthread.h>

#include "device_names.h"
#include "driver/epc/kavro_driver_epc.h"
#include "frame_export.h"
#include "kavro.hpp"
#include "replay_rate.h"
#include "view_protocol.h"

namespace kavro_cli {

using nlohmann::json;

namespace {

constexpr uint32_t k_buf_bytes = 0x400000;  // the largest frame a device sends
constexpr uint32_t k_engine_bytes = 16 * 320 * 240 * 4;
constexpr uint32_t k_replay_fps = 30;
constexpr size_t k_kept_frames = 64;  // raw frames kept for snapshots (about 2 s)

// Calibration a frame was decoded with, from its description.
const char *calib_name(uint32_t flags) {
    switch (flags & KAVRO_FRAME_CALIB_MASK) {
    case KAVRO_FRAME_CALIB_PIXEL: return "per-pixel";
    case KAVRO_FRAME_CALIB_SIMPLE: return "simple";
    default: return "none";
    }
}

// The library's words for the last failure on this thread since `mark`.
std::string library_text(const kavro::detail::log_mark &mark, const std::string &fallback) {
    std::string d = mark.problem();
    if (d.size() > 2 && d[0] == '[') {
        const size_t close = d.find("] ");
        if (close != std::string::npos) d = d.substr(close + 2);
    }
    while (!d.empty() && (d.back() == '\n' || d.back() == ' ')) d.pop_back();
    return d.empty() ? fallback : fallback + ": " + d;
}

json failure(const std::string &text) { return {{"ok", false}, {"error", text}}; }

bool on_capture_error(kavro_dev_t *dev, int err, void *) {
    auto *n = static_cast<uint64_t *>(dev->user_data1);
    if (n && err == KAVRO_ERR_CAP_FRAME_DISCARD) ++*n;
    return true;  // the stream goes on; a hard failure ends kavro_cap_get_frames
}

std::string stamp() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char b[32];
    std::strftime(b, sizeof b, "%Y%m%d_%H%M%S", &tm);
    return b;
}

}  // namespace

struct view_camera::recording {
    std::string path;
    recording_writer writer;
    uint64_t frames = 0;
    recording(std::string p, kavro_dev_t *dev) : path(p), writer(std::move(p), dev) {}
};

view_camera::view_camera(kavro_dev_t *dev, bool replay, std::string record_dir)
    : dev_(dev), replay_(replay), record_dir_(std::move(record_dir)) {}

view_camera::~view_camera() { stop(); }

void view_camera::start() {
    read_settings();
    {
        std::lock_guard<std::mutex> lk(cmd_mu_);
        accepting_ = true;
    }
    thread_ = std::thread([this] { run(); });
}

void view_camera::stop() {
    {
        std::lock_guard<std::mutex> lk(pub_mu_);
        stopping_ = true;
    }
    pub_cv_.notify_all();
    cmd_cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    // Requests that came too late are answered.
    std::lock_guard<std::mutex> lk(cmd_mu_);
    accepting_ = false;
    for (auto &c : cmds_) c();
    cmds_.clear();
}

std::shared_ptr<const view_frame> view_camera::newest() const {
    std::lock_guard<std::mutex> lk(pub_mu_);
    return newest_;
}

std::shared_ptr<const std::vector<uint8_t>> view_camera::rays() const {
    std::lock_guard<std::mutex> lk(pub_mu_);
    return rays_;
}

bool view_camera::wait_update(uint64_t after, uint64_t settings_after, const std::function<bool()> &want,
                              const std::function<bool()> &quit, view_update *out) {
    std::unique_lock<std::mutex> lk(pub_mu_);
    const auto new_frame = [&] { return newest_ && newest_->seq > after && want(); };
    const auto new_settings = [&] { return settings_msg_ && settings_version_ > settings_after; };
    pub_cv_.wait(lk, [&] { return stopping_ || quit() || new_frame() || new_settings(); });
    if (stopping_ || quit()) return false;
    out->frame = new_frame() ? newest_ : nullptr;
    out->settings = new_settings() ? settings_msg_ : nullptr;
    out->settings_version = settings_version_;
    return true;
}

void view_camera::notify() {
    { std::lock_guard<std::mutex> lk(pub_mu_); }
    pub_cv_.notify_all();
}

json view_camera::settings() const {
    std::lock_guard<std::mutex> lk(pub_mu_);
    return settings_;
}

json view_camera::control(const json &req) {
    std::packaged_task<json()> task([this, req] {
        bool stopping;
        {
            std::lock_guard<std::mutex> lk(pub_mu_);
            stopping = stopping_;
        }
        return stopping ? failure("the viewer is stopping") : apply(req);
    });
    auto fut = task.get_future();
    {
        std::lock_guard<std::mutex> lk(cmd_mu_);
        if (!accepting_) return failure("the camera is not running");
        cmds_.push_back(std::move(task));
    }
    cmd_cv_.notify_all();
    return fut.get();
}

// ---- the capture thread --------------------------------------------------

bool view_camera::start_capture() {
    if (capturing_) return true;
    dev_->user_data1 = &discarded_;
    kavro_cap_set_callback_on_error(dev_, on_capture_error);
    if (replay_ && !set_replay_rate(dev_, k_replay_fps)) return false;
    if (!kavro_cap_set_frame_buffer(dev_, nullptr, k_engine_bytes) || !kavro_cap_start(dev_)) return false;
    capturing_ = true;
    return true;
}

void view_camera::stop_capture() {
    if (!capturing_) return;
    kavro_cap_stop(dev_);
    kavro_cap_set_callback_on_error(dev_, nullptr);
    dev_->user_data1 = nullptr;
    capturing_ = false;
}

void view_camera::run() {
    // Named for profilers and bench/view_bench.mjs, which splits the CPU
    // time by thread.
    pthread_setname_np(pthread_self(), "view-capture");
    std::vector<uint8_t> buf(k_buf_bytes);
    bool failed = false;
    for (;;) {
        std::deque<std::packaged_task<json()>> cmds;
        {
            std::unique_lock<std::mutex> lk(cmd_mu_);
            // Paused (or the camera failed): only requests wake the thread.
            if (paused_ || failed)
                cmd_cv_.wait_for(lk, std::chrono::milliseconds(200), [&] { return !cmds_.empty(); });
            cmds.swap(cmds_);
        }
        for (auto &c : cmds) c();
        {
            std::lock_guard<std::mutex> lk(pub_mu_);
            if (stopping_) break;
        }
        if (paused_ || failed) continue;
        if (!start_capture()) {
            failed = true;
            {
                std::lock_guard<std::mutex> lk(pub_mu_);
                settings_["camera_error"] = "cannot start the capture (see the log)";
                settings_changed_locked();
            }
            pub_cv_.notify_all();
            continue;
        }
        kavro_frame_t first{};
        const int n = kavro_cap_get_frames(dev_, 1, buf.data(), k_buf_bytes, &first);
        if (n == 0 && replay_) {  // the recording ended: from the start again
            stop_capture();
            continue;
        }
        if (n < 0) {
            stop_capture();
            {
                std::lock_guard<std::mutex> lk(pub_mu_);
                settings_["camera_error"] = std::string("capture failed: ") + kavro_error_name(n);
                settings_changed_locked();
            }
            pub_cv_.notify_all();
            failed = replay_;  // a camera is tried again, a recording that fails does not get better
            continue;
        }
        if (n == 0 || first.frame_info.frame_format == EPC_FRAME_FMT_CALIB_DATA) continue;
        decode_publish(first.frame_info, buf);
    }
    if (rec_) {
        std::string err;
        rec_->writer.close(&err);
        rec_.reset();
    }
    stop_capture();
}

std::shared_ptr<view_frame> view_camera::take_frame() {
    std::unique_ptr<view_frame> f;
    {
        std::lock_guard<std::mutex> lk(pool_->mu);
        if (!pool_->free.empty()) {
            f = std::move(pool_->free.back());
            pool_->free.pop_back();
        }
    }
    if (!f) f = std::make_unique<view_frame>();
    // The last holder gives it back (the pool outlives the camera while a
    // frame is held); a few are enough: the newest and those on their way.
    return std::shared_ptr<view_frame>(f.release(), [pool = pool_](view_frame *p) {
        std::unique_ptr<view_frame> u(p);
        std::lock_guard<std::mutex> lk(pool->mu);
        if (pool->free.size() < 4) pool->free.push_back(std::move(u));
    });
}

namespace {

// The gray values at the 1st and 99th percentile (of the finite ones),
// from a histogram of 4096 steps between the smallest and the largest:
// close enough for a contrast stretch, and two passes instead of sorting.
std::pair<float, float> gray_range(const std::vector<float> &gray, std::vector<uint32_t> &hist) {
    // Eight running minima and maxima: no chain of dependent steps, and a
    // NaN fails the comparisons and is passed over.
    constexpr size_t lanes = 8;
    float lo8[lanes], hi8[lanes];
    std::fill(lo8, lo8 + lanes, INFINITY);
    std::fill(hi8, hi8 + lanes, -INFINITY);
    const float *g = gray.data();
    const size_t n_all = gray.size();
    size_t i = 0;
    for (; i + lanes <= n_all; i += lanes)
        for (size_t k = 0; k < lanes; ++k) {
            lo8[k] = g[i + k] < lo8[k] ? g[i + k] : lo8[k];
            hi8[k] = g[i + k] > hi8[k] ? g[i + k] : hi8[k];
        }
    for (; i < n_all; ++i) {
        lo8[0] = g[i] < lo8[0] ? g[i] : lo8[0];
        hi8[0] = g[i] > hi8[0] ? g[i] : hi8[0];
    }
    float lo = *std::min_element(lo8, lo8 + lanes), hi = *std::max_element(hi8, hi8 + lanes);
    if (!std::isfinite(lo) || !std::isfinite(hi)) {  // infinities (or nothing but NaN): the finite ones
        lo = INFINITY;
        hi = -INFINITY;
        for (size_t j = 0; j < n_all; ++j)
            if (std::isfinite(g[j])) {
                lo = std::min(lo, g[j]);
                hi = std::max(hi, g[j]);
            }
    }
    if (!(hi > lo)) return {std::isfinite(lo) ? lo : 0.f, (std::isfinite(lo) ? lo : 0.f) + 1e-6f};
    constexpr size_t steps = 4096;
    hist.assign(steps, 0);
    const float scale = static_cast<float>(steps - 1) / (hi - lo), end = static_cast<float>(steps);
    size_t n = 0;
    for (size_t j = 0; j < n_all; ++j) {
        const float t = (g[j] - lo) * scale;
        if (t >= 0.f && t < end) {  // not NaN, not infinite
            ++hist[static_cast<size_t>(t)];
            ++n;
        }
    }
    const size_t lo_rank = n / 100, hi_rank = n - 1 - n / 100;
    size_t below = 0, lo_step = 0, hi_step = steps - 1;
    bool have_lo = false;
    for (size_t b = 0; b < steps; ++b) {
        below += hist[b];
        if (!have_lo && below > lo_rank) {
            lo_step = b;
            have_lo = true;
        }
        if (below > hi_rank) {
            hi_step = b;
            break;
        }
    }
    const float a = lo + static_cast<float>(lo_step) / scale, z = lo + static_cast<float>(hi_step + 1) / scale;
    return {a, std::max(z, a + 1e-6f)};
}

}  // namespace

void view_camera::decode_publish(const kavro_frame_info_t &info, std::vector<uint8_t> &raw) {
    const int w = static_cast<int>(info.width), h = static_cast<int>(info.height);
    if (w <= 0 || h <= 0 || w > 4096 || h > 4096 || info.frame_size > raw.size()) return;
    ++captured_;
    if (have_last_ && info.frame_idx > last_index_ + 1) skipped_ += info.frame_idx - last_index_ - 1;
    last_index_ = info.frame_idx;
    have_last_ = true;

    // The raw frame is kept (snapshots) and recorded before decoding, which
    // may write into it; the oldest kept frame's buffer takes the newest.
    kept_frame slot;
    if (kept_.size() >= k_kept_frames) {
        slot = std::move(kept_.front());
        kept_.pop_front();
    }
    slot.info = info;
    slot.data.assign(raw.begin(), raw.begin() + info.frame_size);
    kept_.push_back(std::move(slot));
    std::string rec_error;
    if (rec_) {
        raw_frame rf{info, kept_.back().data};
        if (rec_->writer.add(rf, &rec_error) == 0) {
            ++rec_->frames;
        } else {
            std::string e;
            rec_->writer.close(&e);
            rec_.reset();
        }
    }

    const auto t0 = std::chrono::steady_clock::now();
    const size_t pixels = static_cast<size_t>(w) * h;
    dist_.resize(pixels);
    gray_.resize(pixels);
    const int src_len = static_cast<int>(info.frame_size);
    if (kavro_frame_get_distance(dev_, dist_.data(), static_cast<int>(pixels), raw.data(), src_len, &info) !=
            static_cast<int>(pixels) ||
        kavro_frame_get_gray(dev_, gray_.data(), static_cast<int>(pixels), raw.data(), src_len, &info) !=
            static_cast<int>(pixels))
        return;
    if (w != rays_w_ || h != rays_h_) make_rays(w, h);

    // One message for every client, in a buffer a former frame left behind.
    auto f = take_frame();
    f->index = info.frame_idx;
    f->msg.resize(k_view_header_bytes + pixels * 3);
    uint8_t *p = f->msg.data();
    const uint32_t data_bytes = static_cast<uint32_t>(pixels * 3);
    const uint16_t w16 = static_cast<uint16_t>(w), h16 = static_cast<uint16_t>(h);
    p[0] = VIEW_MSG_FRAME;
    p[1] = k_view_layout_version;
    p[2] = p[3] = 0;
    std::memcpy(p + 4, &w16, 2);  // the hosts this runs on are little-endian
    std::memcpy(p + 6, &h16, 2);
    const uint32_t index = info.frame_idx;
    std::memcpy(p + 8, &index, 4);
    std::memcpy(p + 12, &data_bytes, 4);
    // Millimetres, rounded (adding a half and dropping the fraction); 0
    // outside (0, 60 m) and for NaN, which fails both tests. Written as
    // arithmetic and selects on the result, the loop vectorises.
    uint16_t *__restrict mm = reinterpret_cast<uint16_t *>(p + k_view_header_bytes);
    const float *__restrict dist = dist_.data();
    for (size_t i = 0; i < pixels; ++i) {
        const float v = dist[i] * 1000.f + 0.5f;
        const float m = v > 0.5f ? (v < 60000.5f ? v : 0.f) : 0.f;
        mm[i] = static_cast<uint16_t>(static_cast<int32_t>(m));
    }
    // Gray, contrast-stretched between its 1st and 99th percentile.
    const auto [lo, hi] = gray_range(gray_, hist_);
    const float gain = 255.f / (hi - lo);
    uint8_t *__restrict g8 = p + k_view_header_bytes + pixels * 2;
    const float *__restrict gray = gray_.data();
    for (size_t i = 0; i < pixels; ++i) {
        const float v = (gray[i] - lo) * gain;  // NaN fails both tests below: 0
        g8[i] = static_cast<uint8_t>(static_cast<int32_t>(v > 0.f ? (v < 255.f ? v : 255.f) : 0.f));
    }
    const double decode_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();

    // The status of the frame; the settings reach each client on their own
    // when they change (wait_update), not with every frame.
    json st = {{"type", "frame"},
               {"index", info.frame_idx},
               {"width", w},
               {"height", h},
               {"decode_ms", std::round(decode_ms * 100) / 100},
               {"temp_c", (info.flags & KAVRO_FRAME_FLAG_TEMP_MEASURED) ? json(info.temp0 / 10.0) : json(nullptr)},
               {"calibration", calib_name(info.flags)},
               {"captured", captured_},
               {"skipped", skipped_},
               {"discarded", discarded_}};
    if (rec_) st["recording"] = {{"path", rec_->path}, {"frames", rec_->frames}};
    if (!rec_error.empty()) st["record_error"] = rec_error;
    f->status = st.dump();
    {
        std::lock_guard<std::mutex> lk(pub_mu_);
        f->seq = ++seq_;
        f->rays_seq = rays_seq_;
        newest_ = std::move(f);
        if (!rec_error.empty()) {
            settings_.erase("recording");
            settings_changed_locked();
        }
    }
    pub_cv_.notify_all();
}

void view_camera::settings_changed_locked() {
    // Replies and settings messages reach a tab on different paths: the
    // version lets it keep the newest.
    settings_["version"] = ++settings_version_;
    settings_msg_ = std::make_shared<const std::string>(json{{"type", "settings"}, {"settings", settings_}}.dump());
}

// The unit ray of every pixel: the library's organised point cloud of a
// distance image of 1 m everywhere.
void view_camera::make_rays(int w, int h) {
    const size_t pixels = static_cast<size_t>(w) * h;
    std::vector<float> ones(pixels, 1.0f);
    auto msg = std::make_shared<std::vector<uint8_t>>(k_view_header_bytes + pixels * 12);
    auto *rays = reinterpret_cast<float *>(msg->data() + k_view_header_bytes);
    if (kavro_frame_get_pcl_organized(dev_, rays, static_cast<int>(pixels * 3), ones.data(), static_cast<int>(pixels),
                                      w, h, nullptr) < 0)
        std::fill(rays, rays + pixels * 3, std::nanf(""));
    uint8_t *p = msg->data();
    const uint16_t w16 = static_cast<uint16_t>(w), h16 = static_cast<uint16_t>(h);
    const uint32_t zero = 0, bytes = static_cast<uint32_t>(pixels * 12);
    p[0] = VIEW_MSG_RAYS;
    p[1] = k_view_layout_version;
    p[2] = p[3] = 0;
    std::memcpy(p + 4, &w16, 2);
    std::memcpy(p + 6, &h16, 2);
    std::memcpy(p + 8, &zero, 4);
    std::memcpy(p + 12, &bytes, 4);
    rays_w_ = w;
    rays_h_ = h;
    std::lock_guard<std::mutex> lk(pub_mu_);
    rays_ = std::move(msg);
    ++rays_seq_;
}

// ---- controls (on the capture thread) -------------------------------------

void view_camera::read_settings() {
    json s = json::object();
    for (const char *name : {"intg_time", "frame_rate", "mod_freq", "hdr_intg_time"}) {
        const param_desc *d = param_find(name);
        kavro_param_item_t item{};
        item.param_id = d->id;
        item.param_val_len = static_cast<uint8_t>(d->len);
        if (!kavro_param_batch_get(dev_, &item, 1)) {
            s[name] = nullptr;
            continue;
        }
        switch (d->id) {
        case PARAM_INTG_TIME: s[name] = item.param_val.intg.intg_us; break;
        case PARAM_FRAME_RATE: s[name] = item.param_val.frame_rate.fps; break;
        case PARAM_MOD_FREQ: s[name] = item.param_val.mod_freq; break;
        case PARAM_HDR_INTG_TIME: s[name] = item.param_val.intg_hdr.intg_3dhdr; break;
        default: break;
        }
    }
    s["filters"] = filters_;
    s["paused"] = paused_;
    s["replay"] = replay_;
    s["filter_names"] = filter_names();
    if (rec_) s["recording"] = {{"path", rec_->path}, {"frames", rec_->frames}};
    {
        std::lock_guard<std::mutex> lk(pub_mu_);
        s["camera_error"] = settings_.value("camera_error", json(nullptr));
        settings_ = std::move(s);
        settings_changed_locked();
    }
    pub_cv_.notify_all();
}

json view_camera::set_param(const std::string &name, long long value) {
    const param_desc *d = param_find(name);
    if (!d || (name != "intg_time" && name != "frame_rate" && name != "mod_freq"))
        return failure("unknown setting '" + name + "'");
    if (replay_) return failure("a recording's settings cannot be changed");
    kavro_param_item_t item{};
    if (value < 0 || !param_fill(*d, static_cast<unsigned long long>(value), &item))
        return failure(name + " does not take the value " + std::to_string(value));
    const kavro::detail::log_mark mark;
    const bool ok = kavro_param_batch_set(dev_, &item, 1);
    read_settings();
    if (!ok) return failure(library_text(mark, "the camera refused " + name + "=" + std::to_string(value)));
    return {{"ok", true}, {"name", name}, {"value", settings()[name]}};
}

json view_camera::set_filter(const std::string &name, bool on, const std::string &value) {
    kavro_filter_id_e fid{};
    if (!filter_parse(name, &fid)) return failure("unknown filter '" + name + "' (known: " + filter_names() + ")");
    kavro_filter_args_u arg{};
    if (on && !filter_arg(fid, value, &arg)) return failure("bad value '" + value + "' for filter " + name);
    const kavro::detail::log_mark mark;
    const int r = on ? kavro_filter_enable(dev_, fid, &arg, sizeof arg) : kavro_filter_disable(dev_, fid);
    if (r == 1) filters_[name] = {{"on", on}, {"value", on ? value : ""}};
    // A filter can change the lens the driver decodes with, and some set
    // camera parameters (hdr): rays and settings are read again.
    rays_w_ = rays_h_ = 0;
    read_settings();
    if (r != 1)
        return failure(library_text(mark, r < 0 ? "the device has no chip driver"
                                                : "the camera's driver refused filter '" + name + "'"));
    return {{"ok", true}, {"name", name}, {"filter", filters_[name]}, {"settings", settings()}};
}

json view_camera::record(bool on) {
    if (!on) {
        if (!rec_) return failure("not recording");
        std::string err;
        const int rc = rec_->writer.close(&err);
        json r = {{"ok", rc == 0}, {"path", rec_->path}, {"frames", rec_->frames}};
        if (rc) r["error"] = err;
        rec_.reset();
        read_settings();
        return r;
    }
    if (rec_) return failure("already recording to " + rec_->path);
    auto rec = std::make_unique<recording>(record_dir_ + "/kavro_view_" + stamp() + "_" +
                                               std::to_string(last_index_) + ".raw",
                                           dev_);
    std::string err;
    if (rec->writer.open(&err)) return failure(err);
    rec_ = std::move(rec);
    read_settings();
    return {{"ok", true}, {"path", rec_->path}, {"frames", 0}};
}

json view_camera::snapshot(uint32_t index) {
    const auto it = std::find_if(kept_.begin(), kept_.end(), [&](const kept_frame &k) { return k.info.frame_idx == index; });
    if (it == kept_.end()) return failure("frame " + std::to_string(index) + " is no longer kept");
    const std::string path = record_dir_ + "/kavro_view_frame_" + std::to_string(index) + ".raw";
    recording_writer w(path, dev_);
    std::string err;
    raw_frame rf{it->info, it->data};
    if (w.open(&err) || w.add(rf, &err) || w.close(&err)) return failure(err);
    return {{"ok", true}, {"path", path}, {"index", index}};
}

json view_camera::apply(const json &req) {
    const std::string cmd = req.value("cmd", "");
    try {
        if (cmd == "set") return set_param(req.at("name").get<std::string>(), req.at("value").get<long long>());
        if (cmd == "filter") {
            std::string value;
            if (req.contains("value")) {
                const json &v = req.at("value");
                value = v.is_string() ? v.get<std::string>() : v.dump();
            }
            return set_filter(req.at("name").get<std::string>(), req.at("on").get<bool>(), value);
        }
        if (cmd == "pause" || cmd == "resume") {
            paused_ = cmd == "pause";
            if (paused_) stop_capture();
            read_settings();
            return {{"ok", true}, {"paused", paused_}};
        }
        if (cmd == "record") return record(req.at("on").get<bool>());
        if (cmd == "snapshot") return snapshot(req.at("index").get<uint32_t>());
        if (cmd == "settings") {
            read_settings();
            return {{"ok", true}, {"settings", settings()}};
        }
    } catch (const json::exception &) {
        return failure("the request '" + cmd + "' lacks a field or has one of the wrong type");
    }
    return failure("unknown request '" + cmd + "'");
}

}  // namespace kavro_cli
