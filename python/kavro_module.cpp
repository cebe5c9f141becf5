// The compiled part of the Python package `kavro`: the camera interface over
// the C++ layer of kavro.hpp, with numpy arrays for images and point clouds.
//
// Ownership: a Device closes its camera on close(), at the end of a `with`
// block or when it is collected. A Frame owns its bytes and keeps its Device
// alive; decoding a frame of a closed device raises kavro.Error.
//
// The GIL is released around every call that reaches the device or may
// block or compute for long (open, close, capture, parameters, registers,
// filters, decoding, point clouds). The frame-file calls keep it: the
// library's loaders share process-wide state that two threads must not use
// at once.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "kavro.hpp"

namespace py = pybind11;

namespace {

using f32_array = py::array_t<float, py::array::c_style | py::array::forcecast>;

// The library set-up the module made, if any. The module sets the library up
// itself on first use (require_library), with the default log file, unless
// init() chose one before; the package releases it at exit.
std::optional<kavro::library> g_library;
// Hot-plug watches still watching: like open devices, they keep the library
// set up, and uninit() stops them before the library goes.
class Hotplug;
std::set<Hotplug *> g_watches;

void setup_library(const std::string &log_file) {
    g_library.emplace(log_file);
    // Every failure reaches Python as a kavro.Error carrying the library's
    // message: the console copy of that line would print what the program
    // may catch. The log file keeps everything; set_log_level() brings the
    // console back.
    kavro::library::log_levels(LOG_LEVEL_NONE, LOG_LEVEL_DEBUG, LOG_LEVEL_NONE);
}

void require_library() {
    if (!g_library) setup_library("");
}

// The kinds of failure Python sees as subclasses of kavro.Error.
enum class failure { other, no_camera, not_capturing, timeout, invalid_argument, transfer };

// A failure whose kind the module knows from where it happened (the
// library's result codes tell the others apart).
struct kind_error : kavro::error {
    kind_error(failure k, const std::string &message, int code = 0) : kavro::error(message, code), kind(k) {}
    failure kind;
};

// A value the module refuses before it reaches the library: a kavro.Error
// that is a ValueError too.
[[noreturn]] void invalid_argument(const std::string &message) {
    throw kind_error(failure::invalid_argument, message, -1);
}

failure kind_of(const kavro::error &e) {
    if (const auto *k = dynamic_cast<const kind_error *>(&e)) return k->kind;
    switch (e.code()) {
    case -1:
        return failure::invalid_argument;
    case -2:
        return failure::not_capturing;
    case KAVRO_ERR_CAP_TIMEOUT:
        return failure::timeout;
    default:
        return failure::other;
    }
}

// Bytes of the scalar parameters; the others are structures passed as bytes.
int scalar_width(int id) {
    switch (id) {
    case PARAM_DEV_MODE:
    case PARAM_MOD_FREQ:
    case PARAM_FRAME_FORMAT:
    case PARAM_FRAME_RATE:
        return 4;
    case PARAM_INTG_TIME:
    case PARAM_HDR_INTG_TIME:
        return 2;
    case PARAM_ILLUM_POWER:
        return 1;
    default:
        return 0;
    }
}

// A float32 array of what the caller passed, which must hold real numbers
// (a complex or text array would be cast silently or fail deep inside).
f32_array real_array(const py::object &obj, const std::string &what) {
    py::array a = py::array::ensure(obj);
    if (!a) {
        PyErr_Clear();
        throw py::type_error(what + " must be an array of numbers, not " +
                             std::string(py::str(obj.get_type().attr("__name__"))));
    }
    const char kind = a.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b')
        throw py::type_error(what + " must hold real numbers, not " + std::string(py::str(a.dtype())));
    f32_array arr = f32_array::ensure(a);
    if (!arr) throw py::error_already_set();
    return arr;
}

// A Python number as float, with a message naming it when it is none.
float real_number(const py::handle &v, const char *what) {
    if (!PyFloat_Check(v.ptr()) && !PyLong_Check(v.ptr()) && !py::isinstance<py::array>(v) &&
        !PyNumber_Check(v.ptr()))
        throw py::type_error(std::string(what) + " must be a number");
    return v.cast<float>();
}

kavro_camera_para_t camera_from(const py::object &obj) {
    if (!PySequence_Check(obj.ptr()) || py::isinstance<py::str>(obj))
        throw py::type_error("camera must be a sequence (cx, cy, fx, fy) or (cx, cy, fx, fy, scale)");
    const py::sequence cam = py::reinterpret_borrow<py::sequence>(obj);
    if (cam.size() != 4 && cam.size() != 5)
        invalid_argument("camera must be (cx, cy, fx, fy) or (cx, cy, fx, fy, scale)");
    kavro_camera_para_t c{};
    c.cx = real_number(cam[0], "camera cx");
    c.cy = real_number(cam[1], "camera cy");
    c.fx = real_number(cam[2], "camera fx");
    c.fy = real_number(cam[3], "camera fy");
    c.scale = cam.size() == 5 ? real_number(cam[4], "camera scale") : 1.0f;
    return c;
}

// A float32 image as (frames, height, width) for the frame-file writers.
struct image_stack {
    f32_array arr;
    int width, height;
};

image_stack image_stack_from(const py::object &obj) {
    f32_array arr = real_array(obj, "images");
    if (arr.ndim() != 2 && arr.ndim() != 3)
        invalid_argument("expected an image (height, width) or a stack of images (frames, height, width)");
    const int h = static_cast<int>(arr.shape(arr.ndim() - 2));
    const int w = static_cast<int>(arr.shape(arr.ndim() - 1));
    return {std::move(arr), w, h};
}

template <typename T>
py::array_t<T> to_array(std::vector<T> &&v, std::vector<py::ssize_t> shape) {
    // The vector moves into a capsule that the array keeps: no copy.
    auto *owned = new std::vector<T>(std::move(v));
    py::capsule free_it(owned, [](void *p) { delete static_cast<std::vector<T> *>(p); });
    return py::array_t<T>(shape, owned->data(), free_it);
}

class Device;
// Every Device alive, so that uninit() can close them before the library goes.
std::set<Device *> g_devices;

class Device {
public:
    explicit Device(kavro::device d, bool replay = false) : dev_(std::move(d)), replay_(replay) {
        g_devices.insert(this);
    }
    ~Device() { g_devices.erase(this); }
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    void close() {
        py::gil_scoped_release nogil;
        dev_.close();
    }
    bool is_open() const { return dev_.is_open(); }
    kavro::device &dev() {
        if (!dev_.is_open()) throw kavro::error("the device is closed");
        return dev_;
    }
    bool replay() const { return replay_; }

    std::mutex capture_mutex;  // one waiting thread per device

private:
    kavro::device dev_;
    bool replay_;
};

// Sets the library up if needed, runs `open` (which returns a kavro::device)
// with the GIL released, and wraps what it opened.
template <class Open>
std::unique_ptr<Device> open_device(Open open, bool replay = false) {
    require_library();
    std::optional<kavro::device> d;
    {
        py::gil_scoped_release nogil;
        d.emplace(open());
    }
    return std::make_unique<Device>(std::move(*d), replay);
}

class Frame {
public:
    Frame(kavro::frame f, py::object device) : frame_(std::move(f)), device_(std::move(device)) {}

    const kavro::frame &get() const { return frame_; }
    Device &device() const { return device_.cast<Device &>(); }
    const py::object &device_object() const { return device_; }
    std::optional<uint32_t> integration_us;  // what the device reported when the frame was taken

private:
    kavro::frame frame_;
    py::object device_;  // keeps the Device alive as long as the frame
};

py::array_t<float> decode(const Frame &fr, bool distance) {
    kavro::device &dev = fr.device().dev();
    const kavro::frame &f = fr.get();
    std::vector<float> out(static_cast<size_t>(f.width()) * static_cast<size_t>(f.height()));
    {
        py::gil_scoped_release nogil;
        if (distance)
            dev.distance_into(f.view(), out);
        else
            dev.gray_into(f.view(), out);
    }
    return to_array(std::move(out), {f.height(), f.width()});
}

py::array_t<float> pointcloud(Device &d, const py::object &dist_obj, const py::object &camera, int per_point,
                              bool pseudo_color) {
    f32_array dist = real_array(dist_obj, "the distance image");
    if (dist.ndim() != 2) invalid_argument("expected a distance image (height, width)");
    const int h = static_cast<int>(dist.shape(0)), w = static_cast<int>(dist.shape(1));
    std::optional<kavro_camera_para_t> cam;
    if (!camera.is_none()) cam = camera_from(camera);
    kavro::device &dev = d.dev();
    std::vector<float> pts;
    {
        py::gil_scoped_release nogil;
        const std::span<const float> src(dist.data(), static_cast<size_t>(w) * static_cast<size_t>(h));
        pts = per_point == 3 ? dev.pointcloud(src, w, h, cam ? &*cam : nullptr)
                             : dev.pointcloud_xyzd(src, w, h, pseudo_color, cam ? &*cam : nullptr);
    }
    const py::ssize_t n = static_cast<py::ssize_t>(pts.size() / static_cast<size_t>(per_point));
    return to_array(std::move(pts), {n, per_point});
}

py::array_t<float> pointcloud_organized(Device &d, const py::object &dist_obj, const py::object &camera) {
    f32_array dist = real_array(dist_obj, "the distance image");
    if (dist.ndim() != 2) invalid_argument("expected a distance image (height, width)");
    const int h = static_cast<int>(dist.shape(0)), w = static_cast<int>(dist.shape(1));
    std::optional<kavro_camera_para_t> cam;
    if (!camera.is_none()) cam = camera_from(camera);
    kavro::device &dev = d.dev();
    std::vector<float> pts;
    {
        py::gil_scoped_release nogil;
        const std::span<const float> src(dist.data(), static_cast<size_t>(w) * static_cast<size_t>(h));
        pts = dev.pointcloud_organized(src, w, h, cam ? &*cam : nullptr);
    }
    return to_array(std::move(pts), {h, w, 3});
}

// A transfer with Python callbacks, run without the GIL; the callbacks take
// it. An exception in a callback stops the transfer and is raised after it.
bool transfer(Device &d, bool write, int type, const std::string &file, int version, uint32_t addr,
              const py::object &progress, const py::object &cancel) {
    if (type < 0 || type > 255) invalid_argument("the image type must be 0 ... 255");
    if (version < 0 || version > 0xFFFF) invalid_argument("the version must be 0 ... 65535");
    kavro::device &dev = d.dev();
    std::optional<py::error_already_set> raised;
    kavro::device::progress_fn on_progress;
    kavro::device::cancel_fn on_cancel;
    if (!progress.is_none())
        on_progress = [&](uint32_t done, uint32_t total) {
            py::gil_scoped_acquire gil;
            if (raised) return;
            try {
                progress(done, total);
            } catch (py::error_already_set &e) {
                raised = std::move(e);
            }
        };
    on_cancel = [&]() {
        py::gil_scoped_acquire gil;
        if (raised) return true;
        if (cancel.is_none()) return false;
        try {
            return py::bool_(cancel()).cast<bool>();
        } catch (py::error_already_set &e) {
            raised = std::move(e);
            return true;
        }
    };
    int r;
    {
        py::gil_scoped_release nogil;
        kavro::detail::log_mark mark;
        r = write ? dev.data_write(static_cast<uint8_t>(type), static_cast<uint16_t>(version), addr, file,
                                   on_progress, on_cancel)
                  : dev.data_read(static_cast<uint8_t>(type), file, on_progress, on_cancel);
        // The callbacks ran on this thread: `raised` is not shared.
        if (!raised && r != KAVRO_XFER_DONE && r != KAVRO_XFER_STOPPED) {
            const std::string logged = mark.problem();
            throw kind_error(failure::transfer,
                             logged.empty() ? std::string(write ? "data write" : "data read") + " failed (" +
                                                  std::to_string(r) + ")"
                                            : logged,
                             r);
        }
    }
    if (raised) throw std::move(*raised);
    return r == KAVRO_XFER_DONE;
}

// A hot-plug watch calling a Python function on the library's thread.
class Hotplug {
public:
    Hotplug(py::function cb, bool enumerate, bool poll, unsigned poll_ms) : cb_(std::move(cb)) {
        unsigned flags = (enumerate ? KAVRO_HOTPLUG_ENUMERATE : 0u) | (poll ? KAVRO_HOTPLUG_POLL : 0u);
        kavro::detail::log_mark mark;
        hp_ = kavro_hotplug_register(&Hotplug::on_event, this, flags, poll_ms);
        if (!hp_) kavro::detail::fail(mark, "kavro_hotplug_register failed");
        g_watches.insert(this);
    }
    ~Hotplug() { close(); }
    Hotplug(const Hotplug &) = delete;
    Hotplug &operator=(const Hotplug &) = delete;
    void close() {
        if (!hp_) return;
        kavro_hotplug_t *hp = std::exchange(hp_, nullptr);
        g_watches.erase(this);
        py::gil_scoped_release nogil;  // a callback waiting for the GIL must finish
        kavro_hotplug_deregister(hp);
    }
    bool native() const { return hp_ && kavro_hotplug_is_native(hp_); }
    bool active() const { return hp_ != nullptr; }

private:
    static void on_event(const kavro_dev_t *rec, kavro_hotplug_event_e event, void *arg) {
        auto *self = static_cast<Hotplug *>(arg);
        py::gil_scoped_acquire gil;
        try {
            self->cb_(static_cast<int>(event), *rec);
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable("kavro hot-plug callback");
        }
    }
    py::function cb_;
    kavro_hotplug_t *hp_ = nullptr;
};

py::array_t<uint8_t> colormap(const py::object &src_obj, float min_m, float max_m, int fmt) {
    f32_array src = real_array(src_obj, "the distances");
    std::vector<py::ssize_t> shape(src.shape(), src.shape() + src.ndim());
    shape.push_back(fmt == KAVRO_CMAP_OUTFMT_RGBA ? 4 : 3);
    std::vector<uint8_t> out = kavro::colormap(std::span<const float>(src.data(), static_cast<size_t>(src.size())),
                                               min_m, max_m, static_cast<kavro_cmap_outfmt_e>(fmt));
    return to_array(std::move(out), shape);
}

py::array_t<float> stack_to_array(kavro::frame_file<float> &&f) {
    return to_array(std::move(f.values), {f.frames, f.height, f.width});
}

}  // namespace

PYBIND11_MODULE(_kavro, m) {
    m.doc() = "libkavro: time-of-flight depth camera interface";

    // kavro.Error: a RuntimeError carrying the library's message and, when
    // the library gave one, its result code in `code`.
    static py::handle error_type =
        py::exception<kavro::error>(m, "Error", PyExc_RuntimeError).release();
    error_type.attr("__doc__") =
        "A failure of the library: a RuntimeError with the error line the library logged for the call, and its "
        "result code in `code` (0 when it gave none). Subclasses tell the main kinds apart.";
    error_type.attr("code") = 0;
    // The subclasses, by failure kind (index: the enum's value).
    static py::handle kinds[6];
    kinds[0] = error_type;
    const struct {
        failure kind;
        const char *name;
        const char *doc;
        PyObject *also;
    } subclasses[] = {
        {failure::no_camera, "NoCameraError", "No camera (or no camera with that serial) could be found or opened.",
         nullptr},
        {failure::not_capturing, "NotCapturingError", "The call needs capture running: start() first.", nullptr},
        {failure::timeout, "FrameTimeoutError", "No frame came in time.", nullptr},
        {failure::invalid_argument, "InvalidArgumentError",
         "The library refused a value (also a ValueError).", PyExc_ValueError},
        {failure::transfer, "TransferError", "A data transfer failed; `code` is the transfer result (XFER_*).",
         nullptr},
    };
    for (const auto &c : subclasses) {
        const std::string qualified = std::string("kavro.") + c.name;
        py::tuple bases = c.also ? py::make_tuple(error_type, py::handle(c.also)) : py::make_tuple(error_type);
        PyObject *type = PyErr_NewExceptionWithDoc(qualified.c_str(), c.doc, bases.ptr(), nullptr);
        if (!type) throw py::error_already_set();
        kinds[static_cast<int>(c.kind)] = type;
        m.add_object(c.name, py::handle(type));
    }
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const kavro::error &e) {
            py::handle type = kinds[static_cast<int>(kind_of(e))];
            py::object inst = py::reinterpret_borrow<py::object>(type)(e.what());
            inst.attr("code") = e.code();
            PyErr_SetObject(type.ptr(), inst.ptr());
        }
    });

    // ---- constants ----------------------------------------------------------
    const std::pair<const char *, int> constants[] = {
        {"LOG_LEVEL_TRACE", LOG_LEVEL_TRACE}, {"LOG_LEVEL_DEBUG", LOG_LEVEL_DEBUG},
        {"LOG_LEVEL_INFO", LOG_LEVEL_INFO}, {"LOG_LEVEL_WARN", LOG_LEVEL_WARN},
        {"LOG_LEVEL_ERROR", LOG_LEVEL_ERROR}, {"LOG_LEVEL_NONE", LOG_LEVEL_NONE},
        {"DEV_IF_USB", DEV_IF_USB}, {"DEV_IF_ETH", DEV_IF_ETH}, {"DEV_IF_FILE", DEV_IF_FILE},
        {"DEV_IF_NONE", DEV_IF_NONE},
        {"DEV_RST_DEV", DEV_RST_DEV}, {"DEV_RST_CAM0", DEV_RST_CAM0}, {"DEV_RST_CAM1", DEV_RST_CAM1},
        {"DEV_RST_USB", DEV_RST_USB}, {"DEV_RST_IR1", DEV_RST_IR1}, {"DEV_RST_IR2", DEV_RST_IR2},
        {"DEV_RST_MCU", DEV_RST_MCU},
        {"DEV_REG_RESERVED", DEV_REG_RESERVED}, {"DEV_REG_CAM0", DEV_REG_CAM0}, {"DEV_REG_CAM1", DEV_REG_CAM1},
        {"DEV_REG_IR_0", DEV_REG_IR_0}, {"DEV_REG_IR_1", DEV_REG_IR_1}, {"DEV_REG_MCU", DEV_REG_MCU},
        {"PARAM_DEV_MODE", PARAM_DEV_MODE}, {"PARAM_MOD_FREQ", PARAM_MOD_FREQ},
        {"PARAM_INFO_VENDOR", PARAM_INFO_VENDOR}, {"PARAM_INFO_PRODUCT", PARAM_INFO_PRODUCT},
        {"PARAM_INFO_CAPABILITY", PARAM_INFO_CAPABILITY}, {"PARAM_INFO_SERIAL", PARAM_INFO_SERIAL},
        {"PARAM_INFO_VERSION", PARAM_INFO_VERSION}, {"PARAM_INFO_SENSOR", PARAM_INFO_SENSOR},
        {"PARAM_INFO_CALIB", PARAM_INFO_CALIB}, {"PARAM_ROI", PARAM_ROI},
        {"PARAM_FRAME_FORMAT", PARAM_FRAME_FORMAT}, {"PARAM_ILLUM_POWER", PARAM_ILLUM_POWER},
        {"PARAM_FRAME_RATE", PARAM_FRAME_RATE}, {"PARAM_INTG_TIME", PARAM_INTG_TIME},
        {"PARAM_PHASE_CORR", PARAM_PHASE_CORR}, {"PARAM_TEMP", PARAM_TEMP},
        {"PARAM_HDR_INTG_TIME", PARAM_HDR_INTG_TIME}, {"PARAM_SYNC_DELAY", PARAM_SYNC_DELAY},
        {"FILTER_LEN_CALIB", KAVRO_FILTER_ID_LEN_CALIB}, {"FILTER_PIXEL_CALIB", KAVRO_FILTER_ID_PIXEL_CALIB},
        {"FILTER_MEDIAN", KAVRO_FILTER_ID_MEDIAN}, {"FILTER_AMP", KAVRO_FILTER_ID_AMP},
        {"FILTER_AUTO_INTG", KAVRO_FILTER_ID_AUTO_INTG}, {"FILTER_SYNC_DELAY", KAVRO_FILTER_ID_SYNC_DELAY},
        {"FILTER_TEMP_MONITOR", KAVRO_FILTER_ID_TEMP_MONITOR}, {"FILTER_HDR", KAVRO_FILTER_ID_HDR},
        {"FILTER_OFFSET", KAVRO_FILTER_ID_OFFSET}, {"FILTER_SPORT_MODE", KAVRO_FILTER_ID_SPORT_MODE},
        {"CMAP_RGB", KAVRO_CMAP_OUTFMT_RGB}, {"CMAP_RGBA", KAVRO_CMAP_OUTFMT_RGBA},
        {"CMAP_BGR", KAVRO_CMAP_OUTFMT_BGR},
        {"SAVE_FLOAT32", KAVRO_FRAME_SAVE_FLOAT32}, {"SAVE_UINT32", KAVRO_FRAME_SAVE_UINT32},
        {"SAVE_UINT16", KAVRO_FRAME_SAVE_UINT16}, {"SAVE_UINT8", KAVRO_FRAME_SAVE_UINT8},
        {"ERR_CAP_FRAME_DISCARD", KAVRO_ERR_CAP_FRAME_DISCARD}, {"ERR_CAP_TIMEOUT", KAVRO_ERR_CAP_TIMEOUT},
        {"ERR_CAP_STALL", KAVRO_ERR_CAP_STALL}, {"ERR_CAP_ERROR", KAVRO_ERR_CAP_ERROR},
        {"ERR_CAP_UNKNOWN", KAVRO_ERR_CAP_UNKNOWN},
        {"HOTPLUG_ARRIVED", KAVRO_HOTPLUG_ARRIVED}, {"HOTPLUG_LEFT", KAVRO_HOTPLUG_LEFT},
        {"XFER_DONE", KAVRO_XFER_DONE}, {"XFER_FAILED", KAVRO_XFER_FAILED}, {"XFER_REFUSED", KAVRO_XFER_REFUSED},
        {"XFER_NACKED", KAVRO_XFER_NACKED}, {"XFER_TX_SHORT", KAVRO_XFER_TX_SHORT},
        {"XFER_ERASE_TIMEOUT", KAVRO_XFER_ERASE_TIMEOUT}, {"XFER_STOPPED", KAVRO_XFER_STOPPED},
        {"VERSION_MAJOR", KAVRO_VERSION_MAJOR}, {"VERSION_MINOR", KAVRO_VERSION_MINOR},
        {"VERSION_PATCH", KAVRO_VERSION_PATCH},
    };
    for (const auto &[name, value] : constants) m.attr(name) = value;

    // ---- library set-up ---------------------------------------------------
    m.def(
        "init",
        [](std::optional<std::string> log_file) {
            if (!g_library) {
                setup_library(log_file.value_or(""));
                return;
            }
            if (!log_file || log_file->empty()) return;  // set up already, any log file will do
            // The same file as now (by its absolute name): nothing to do.
            std::string wanted = *log_file;
            if (wanted[0] != '/') {
                std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
                if (cwd) wanted = std::string(cwd.get()) + "/" + wanted;
            }
            const std::string current = kavro::library::log_file();
            if (wanted == current) return;
            const bool open = std::any_of(g_devices.begin(), g_devices.end(), [](Device *d) { return d->is_open(); });
            if (open || !g_watches.empty())
                throw kavro::error("the library is set up already with the log file " + current +
                                   ": close the open devices and hot-plug watches (or call uninit()) before "
                                   "init() with another log file");
            // Nothing depends on the set-up yet: set up again with this file.
            g_library.reset();
            setup_library(*log_file);
        },
        py::arg("log_file") = py::none(),
        "Set the library up with this log file (default: kavro_YYYYMMDD.log in the working folder).\n\n"
        "Optional: the first call that needs the library sets it up with the default log file, and the "
        "library is released at exit. Call init() first to choose the log file. Called again (or after "
        "the library was set up by first use): without a log file, or with the one in use, it does "
        "nothing; with another log file it sets the library up again with that file when no device or "
        "hot-plug watch is open, and raises kavro.Error when one is. The console log is off (failures "
        "raise kavro.Error with the library's message; set_log_level() switches it on).");
    m.def(
        "uninit",
        [] {
            for (Device *d : g_devices) d->close();
            // close() takes each watch out of the set.
            for (const std::set<Hotplug *> watching = g_watches; Hotplug *h : watching) h->close();
            g_library.reset();
        },
        "Close every open device, stop every hot-plug watch and release the library (it runs at exit "
        "too). A later call that needs the library sets it up again.");
    m.def(
        "is_initialized", [] { return g_library.has_value(); },
        "True while the library is set up (by init() or by first use).");
    m.def(
        "log_file", []() -> std::optional<std::string> {
            if (!g_library) return std::nullopt;
            return kavro::library::log_file();
        },
        "The log file the library writes (absolute name), or None while the library is not set up.");
    m.def(
        "set_log_level",
        [](int console, int file, int usb) {
            require_library();  // a set-up on first use would reset the levels
            kavro::library::log_levels(static_cast<kavro_log_level_e>(console),
                                       static_cast<kavro_log_level_e>(file), static_cast<kavro_log_level_e>(usb));
        },
        py::arg("console"), py::arg("file") = static_cast<int>(LOG_LEVEL_DEBUG),
        py::arg("usb") = static_cast<int>(LOG_LEVEL_NONE),
        "Log levels of the console, the log file and the USB transport. Error messages of kavro.Error "
        "come from the log file: keep it at LOG_LEVEL_ERROR or below.");
    m.def(
        "set_path", [](const std::string &p) { kavro::library::path(p); }, py::arg("folder"),
        "Folder for the files the library creates (made to exist); end it with '/'.");
    m.def(
        "get_path", [] { return kavro::library::path(); }, "The folder set with set_path().");
    m.def(
        "error_name", [](int code) { return std::string(kavro_error_name(code)); }, py::arg("code"),
        "Name of a capture error code.");
    m.def(
        "version", [] { return kavro::version(); }, "Version of the loaded library, 'MAJOR.MINOR.PATCH'.");

    // ---- devices -----------------------------------------------------------
    py::class_<kavro_dev_t>(m, "DeviceInfo", "A camera found by list_devices(); pass it to open().")
        .def_property_readonly(
            "interface", [](const kavro_dev_t &d) { return static_cast<int>(d.if_info.type); },
            "The transport: DEV_IF_USB, DEV_IF_ETH, DEV_IF_FILE or DEV_IF_NONE.")
        .def_property_readonly(
            "usb_bus", [](const kavro_dev_t &d) { return d.if_info.info.usb.usb_bus_num; }, "USB bus number.")
        .def_property_readonly(
            "usb_port", [](const kavro_dev_t &d) { return d.if_info.info.usb.usb_port_num; }, "USB port number.")
        .def_property_readonly(
            "usb_address", [](const kavro_dev_t &d) { return d.if_info.info.usb.usb_dev_addr; },
            "USB device address on its bus.")
        .def_property_readonly(
            "usb_speed", [](const kavro_dev_t &d) { return d.if_info.info.usb.usb_speed; },
            "USB speed: 0 unknown, 1 low, 2 full, 3 high, 4 super.")
        .def_property_readonly(
            "serial",
            [](const kavro_dev_t &d) -> std::optional<std::string> {
                if (d.product[0] == 0) return std::nullopt;
                return kavro::serial_text(d);
            },
            "The serial as text 'XXXXXXXX-XXXXXXXX-XXXXXXXX' when listed with identify=True and the camera "
            "answered, else None.")
        .def_property_readonly(
            "product",
            [](const kavro_dev_t &d) -> std::optional<std::string> {
                if (d.product[0] == 0) return std::nullopt;
                return std::string(d.product, strnlen(d.product, sizeof d.product));
            },
            "The product name when listed with identify=True and the camera answered, else None.")
        .def("__repr__", [](const kavro_dev_t &d) {
            return "<kavro.DeviceInfo interface=" + std::to_string(d.if_info.type) +
                   " bus=" + std::to_string(d.if_info.info.usb.usb_bus_num) +
                   " address=" + std::to_string(d.if_info.info.usb.usb_dev_addr) + ">";
        });

    m.def(
        "list_devices",
        [](int max_devices, bool identify) {
            if (max_devices < 1) invalid_argument("max_devices must be at least 1");
            require_library();
            py::gil_scoped_release nogil;
            return identify ? kavro::list_devices_with_identity(max_devices) : kavro::list_devices(max_devices);
        },
        py::arg("max_devices") = 16, py::arg("identify") = false,
        "The cameras the transports see; with identify=True each camera is asked for its identity "
        "(serial, product), which opens it for a moment.");
    py::class_<Hotplug>(m, "HotplugWatch",
                        "Calls callback(event, DeviceInfo) on the library's thread when a camera arrives "
                        "(HOTPLUG_ARRIVED) or leaves (HOTPLUG_LEFT); a context manager that stops watching.")
        .def("close", &Hotplug::close, "Stop watching; no callback comes after the return.")
        .def_property_readonly("active", &Hotplug::active,
                               "True until the watch is closed (by close(), the with block or uninit()).")
        .def_property_readonly("native", &Hotplug::native,
                               "True when the USB transport's hot-plug events are used, False when camera "
                               "lists are compared.")
        .def("__enter__", [](py::object self) { return self; }, "The watch itself.")
        .def(
            "__exit__",
            [](Hotplug &h, py::object, py::object, py::object) {
                h.close();
                return false;
            },
            py::arg("exc_type"), py::arg("exc"), py::arg("tb"),
            "Stop watching.");
    m.def(
        "watch_hotplug",
        [](py::function callback, bool enumerate, bool poll, unsigned poll_ms) {
            require_library();
            return std::make_unique<Hotplug>(std::move(callback), enumerate, poll, poll_ms);
        },
        py::arg("callback"), py::arg("enumerate") = false, py::arg("poll") = false, py::arg("poll_ms") = 0,
        "Watch the bus for cameras: enumerate=True reports the cameras present first; poll=True compares "
        "camera lists every poll_ms (default 500) even where hot-plug events exist.");

    py::class_<Device>(m, "Device", "An open camera or replayed recording; a context manager that closes it.")
        .def("close", &Device::close, "Stop capture and close (also when already closed).")
        .def_property_readonly("is_open", &Device::is_open, "True until close().")
        .def_property_readonly("is_replay", &Device::replay, "True for a recording opened with open_replay().")
        .def("__enter__", [](py::object self) { return self; }, "The device itself.")
        .def(
            "__exit__",
            [](Device &d, py::object, py::object, py::object) {
                d.close();
                return false;
            },
            py::arg("exc_type"), py::arg("exc"), py::arg("tb"),
            "Close the device (also when the block raised; the exception goes on).")
        .def_property_readonly(
            "product", [](Device &d) { return d.dev().product(); }, "The product name the device reports.")
        .def_property_readonly(
            "vendor", [](Device &d) { return d.dev().vendor(); }, "The vendor name the device reports.")
        .def_property_readonly(
            "serial",
            [](Device &d) {
                const auto s = d.dev().serial();
                return py::bytes(reinterpret_cast<const char *>(s.data()), s.size());
            },
            "The serial as the device's bytes (see serial_text).")
        .def_property_readonly("serial_text", [](Device &d) { return d.dev().serial_text(); },
                               "The serial as text, 'XXXXXXXX-XXXXXXXX-XXXXXXXX'.")
        .def(
            "data_write",
            [](Device &d, int type, const std::string &file, int version, uint32_t addr, const py::object &progress,
               const py::object &cancel) { return transfer(d, true, type, file, version, addr, progress, cancel); },
            py::arg("type"), py::arg("file"), py::arg("version") = 0, py::arg("addr") = 0,
            py::arg("progress") = py::none(), py::arg("cancel") = py::none(),
            "Write a file into the device as an image of `type` at flash address `addr`. progress(done, total) "
            "is called after each packet; cancel() before each one (True stops). Returns True when done, "
            "False when cancelled; raises kavro.Error (code: the transfer result) on failure.")
        .def(
            "data_read",
            [](Device &d, int type, const std::string &file, const py::object &progress, const py::object &cancel) {
                return transfer(d, false, type, file, 0, 0, progress, cancel);
            },
            py::arg("type"), py::arg("file"), py::arg("progress") = py::none(), py::arg("cancel") = py::none(),
            "Read the device's image of `type` into a file, as data_write.")
        .def_property_readonly(
            "version",
            [](Device &d) {
                const kavro_dev_ver_u v = d.dev().version();
                return py::make_tuple(v.ver.hw_ver, v.ver.sw_ver, v.ver.sw2_ver, v.ver.hw2_ver);
            },
            "The device's versions (hardware, software, second software, second hardware).")
        // capture
        .def(
            "start",
            [](Device &d, std::optional<uint32_t> buffer_frames) {
                kavro::device &dev = d.dev();
                py::gil_scoped_release nogil;
                if (buffer_frames) dev.set_buffer_frames(*buffer_frames);
                dev.start();
            },
            py::arg("buffer_frames") = py::none(),
            "Start capture; buffer_frames (more than 1) sets how many frames the engine may hold.")
        .def(
            "stop",
            [](Device &d) {
                kavro::device &dev = d.dev();
                py::gil_scoped_release nogil;
                dev.stop();
            },
            "Stop capture.")
        .def_property_readonly(
            "capturing", [](Device &d) { return d.is_open() && d.dev().capturing(); },
            "True while capture runs (False for a closed device).")
        .def(
            "capture",
            [](py::object self) -> py::object {
                Device &d = self.cast<Device &>();
                kavro::device &dev = d.dev();
                std::optional<kavro::frame> f;
                {
                    py::gil_scoped_release nogil;
                    std::lock_guard<std::mutex> one_waiter(d.capture_mutex);
                    f = dev.capture();
                }
                if (!f) return py::none();
                return py::cast(Frame(std::move(*f), self));
            },
            "Wait for the next frame: a Frame, or None when none came in time (also at the end of a "
            "recording). Raises kavro.Error when capture stopped on an error.")
        .def(
            "pointcloud",
            [](Device &d, const py::object &dist, const py::object &camera) {
                return pointcloud(d, dist, camera, 3, false);
            },
            py::arg("distance"), py::arg("camera") = py::none(),
            "Points (n, 3) float32 of a distance image (metres); camera = (cx, cy, fx, fy[, scale]) or the "
            "driver's lens values.")
        .def(
            "pointcloud_organized",
            [](Device &d, const py::object &dist, const py::object &camera) {
                return pointcloud_organized(d, dist, camera);
            },
            py::arg("distance"), py::arg("camera") = py::none(),
            "The organised cloud of a distance image: float32 (height, width, 3), NaN for pixels pointcloud() "
            "leaves out.")
        .def(
            "pointcloud_xyzd",
            [](Device &d, const py::object &dist, bool pseudo_color, const py::object &camera) {
                return pointcloud(d, dist, camera, 4, pseudo_color);
            },
            py::arg("distance"), py::arg("pseudo_color") = false, py::arg("camera") = py::none(),
            "Points (n, 4) float32: X, Y, Z and the distance (or its colour-map colour).")
        .def(
            "intrinsics",
            [](Device &d, int width, int height) {
                kavro::device &dev = d.dev();
                kavro_intrinsics_t in{};
                {
                    py::gil_scoped_release nogil;
                    in = dev.intrinsics(width, height);
                }
                std::vector<double> k = {in.fx, 0.0, in.cx, 0.0, in.fy, in.cy, 0.0, 0.0, 1.0};
                std::vector<double> dist(in.dist, in.dist + 5);
                py::dict out;
                out["camera_matrix"] = to_array(std::move(k), {3, 3});
                out["dist_coeffs"] = to_array(std::move(dist), {5});
                out["size"] = py::make_tuple(in.img_w, in.img_h);
                out["undistorted"] = in.undistorted;
                return out;
            },
            py::arg("width") = 320, py::arg("height") = 240,
            "The lens model of the images the device decodes at width x height, as the lens switch stands "
            "now, in the common camera model's layout: a dict with 'camera_matrix' (3, 3) float64 "
            "[[fx, 0, cx], [0, fy, cy], [0, 0, 1]], 'dist_coeffs' (5,) float64 (k1, k2, p1, p2, k3), 'size' "
            "(width, height) and 'undistorted' (True: the pinhole of the undistorted images, zero "
            "distortion). Pixel centres at integer coordinates. The values pointcloud() uses without a "
            "camera. Raises kavro.Error when the driver has none for that size.")
        // parameters and registers
        .def(
            "get_param",
            [](Device &d, int id) -> py::object {
                if (id < 0 || id >= PARAM_ENUM_COUNT) invalid_argument("unknown parameter id");
                kavro::device &dev = d.dev();
                kavro_param_item_t item;
                {
                    py::gil_scoped_release nogil;
                    item = dev.get_param(static_cast<kavro_dev_param_e>(id));
                }
                const uint8_t *raw = item.param_val.raw;
                if (const int w = scalar_width(id)) {
                    uint32_t v = 0;
                    std::memcpy(&v, raw, static_cast<size_t>(w));
                    return py::int_(v);
                }
                if (id == PARAM_INFO_VENDOR || id == PARAM_INFO_PRODUCT)
                    return py::str(std::string(reinterpret_cast<const char *>(raw),
                                               strnlen(reinterpret_cast<const char *>(raw), sizeof item.param_val)));
                return py::bytes(reinterpret_cast<const char *>(raw), sizeof item.param_val);
            },
            py::arg("param_id"),
            "A parameter: an int for the scalar ones, a str for vendor and product, else the 18 value bytes.")
        .def(
            "set_param",
            [](Device &d, int id, const py::object &value) {
                if (id < 0 || id >= PARAM_ENUM_COUNT) invalid_argument("unknown parameter id");
                kavro_param_item_t item{};
                item.param_id = static_cast<uint32_t>(id);
                if (py::isinstance<py::bytes>(value)) {
                    const std::string b = value.cast<std::string>();
                    if (b.size() > sizeof item.param_val) invalid_argument("a value has at most 18 bytes");
                    std::memcpy(item.param_val.raw, b.data(), b.size());
                    item.param_val_len = static_cast<uint8_t>(b.size());
                } else {
                    const int w = scalar_width(id);
                    if (!w) throw py::type_error("this parameter is a structure: pass its bytes");
                    if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr()))
                        throw py::type_error("this parameter takes an int, not " +
                                             std::string(py::str(value.get_type().attr("__name__"))));
                    const long long wide = value.cast<long long>();
                    if (wide < 0 || wide > (w == 4 ? 0xFFFFFFFFll : w == 2 ? 0xFFFFll : 0xFFll))
                        invalid_argument("the value " + std::to_string(wide) + " does not fit the parameter's " +
                                         std::to_string(w) + " unsigned bytes");
                    const uint32_t v = static_cast<uint32_t>(wide);
                    std::memcpy(item.param_val.raw, &v, static_cast<size_t>(w));
                    item.param_val_len = static_cast<uint8_t>(w);
                }
                kavro::device &dev = d.dev();
                py::gil_scoped_release nogil;
                dev.set_params(std::span<const kavro_param_item_t>(&item, 1));
            },
            py::arg("param_id"), py::arg("value"), "Write a parameter (int for the scalar ones, else bytes).")
        .def(
            "reg_read",
            [](Device &d, int target, uint32_t base, uint16_t count) {
                kavro::device &dev = d.dev();
                py::gil_scoped_release nogil;
                return dev.reg_read(static_cast<kavro_dev_reg_e>(target), base, count);
            },
            py::arg("target"), py::arg("base"), py::arg("count"), "Read count consecutive registers.")
        .def(
            "reg_write",
            [](Device &d, int target, uint32_t base, const std::vector<uint32_t> &values) {
                kavro::device &dev = d.dev();
                py::gil_scoped_release nogil;
                dev.reg_write(static_cast<kavro_dev_reg_e>(target), base, values);
            },
            py::arg("target"), py::arg("base"), py::arg("values"), "Write consecutive registers.")
        .def(
            "filter_enable",
            [](Device &d, int fid, int64_t arg) {
                kavro_filter_args_u args{};
                const uint32_t bits = static_cast<uint32_t>(arg);
                std::memcpy(&args, &bits, sizeof args);
                kavro::device &dev = d.dev();
                py::gil_scoped_release nogil;
                return dev.filter_enable(static_cast<kavro_filter_id_e>(fid), args);
            },
            py::arg("filter_id"), py::arg("arg") = 0,
            "Switch a driver filter on; arg is the filter's 4-byte argument as an integer. True when accepted.")
        .def(
            "filter_disable",
            [](Device &d, int fid) {
                kavro::device &dev = d.dev();
                py::gil_scoped_release nogil;
                return dev.filter_disable(static_cast<kavro_filter_id_e>(fid));
            },
            py::arg("filter_id"), "Switch a driver filter off. True when accepted.")
        .def(
            "reset",
            [](Device &d, int target) {
                kavro::device &dev = d.dev();
                py::gil_scoped_release nogil;
                dev.reset(static_cast<kavro_dev_rst_e>(target));
            },
            py::arg("target"), "Reset a part of the device.");

    m.def(
        "open",
        [](std::optional<kavro_dev_t> info) {
            return open_device([&] {
                try {
                    return info ? kavro::device::open(*info) : kavro::device::open_first();
                } catch (const kavro::error &e) {
                    // Nothing on the bus (any more): say so by the error's kind.
                    if (kavro::list_devices(1).empty()) throw kind_error(failure::no_camera, e.what(), e.code());
                    throw;
                }
            });
        },
        py::arg("info") = py::none(), "Open a camera from list_devices(), or the first one found.");
    m.def(
        "open_replay",
        [](const std::string &path) { return open_device([&] { return kavro::device::open_replay(path); }, true); },
        py::arg("path"), "Play a recorded raw frame file as a camera (one at a time).");

    m.def(
        "open_serial",
        [](const std::string &serial) {
            return open_device([&] {
                try {
                    return kavro::device::open_serial(serial);
                } catch (const kavro::error &e) {
                    throw kind_error(failure::no_camera, e.what(), e.code());
                }
            });
        },
        py::arg("serial"), "Open the camera with this serial text ('XXXXXXXX-XXXXXXXX-XXXXXXXX').");

    // ---- frames ------------------------------------------------------------
    py::class_<Frame>(m, "Frame", "A captured raw frame; owns its bytes.")
        .def_property_readonly("width", [](const Frame &f) { return f.get().width(); }, "Image width in pixels.")
        .def_property_readonly("height", [](const Frame &f) { return f.get().height(); }, "Image height in pixels.")
        .def_property_readonly("index", [](const Frame &f) { return f.get().index(); },
                               "The frame counter of the device (a recording's frames count from 1).")
        .def_property_readonly(
            "size", [](const Frame &f) { return f.get().info().frame_size; }, "Bytes of raw frame data.")
        .def_property_readonly(
            "format", [](const Frame &f) { return f.get().info().frame_format; }, "The device's frame format code.")
        .def_property_readonly(
            "temperatures", [](const Frame &f) { return py::make_tuple(f.get().info().temp0, f.get().info().temp1); },
            "The two temperatures the frame reported, as reported (0.1 degC units): (sensor, second).")
        .def_property_readonly(
            "temperature_measured", [](const Frame &f) { return f.get().temperature_measured(); },
            "False when the camera reported no plausible temperature (decoded without temperature compensation).")
        .def_property_readonly(
            "calibration", [](const Frame &f) { return std::string(kavro::to_string(f.get().calibration())); },
            "Which calibration decodes the frame: 'per-pixel', 'simple' or 'none'.")
        .def_property_readonly("device", [](const Frame &f) { return f.device_object(); },
                               "The Device the frame came from (kept alive by the frame).")
        .def_property_readonly(
            "timestamp",
            [](const Frame &f) -> std::optional<double> {
                if (!f.get().host_ns()) return std::nullopt;
                return static_cast<double>(f.get().host_ns()) * 1e-9;
            },
            "Seconds on the clock of time.monotonic() when the frame's last byte reached the host; None when "
            "unknown.")
        .def_property_readonly(
            "temperature",
            [](const Frame &f) -> std::optional<double> {
                if (!f.get().temperature_measured()) return std::nullopt;
                return f.get().info().temp0 / 10.0;
            },
            "The sensor temperature in degrees Celsius the camera reported with the frame; None when it "
            "reported none that is plausible.")
        .def_property_readonly(
            "integration_time", [](const Frame &f) { return f.integration_us; },
            "The integration time in microseconds the device reported when the frame was taken (frames of "
            "Device.stream()); None for frames of capture().")
        .def(
            "_set_integration_time", [](Frame &f, std::optional<uint32_t> us) { f.integration_us = us; },
            "Used by Device.stream().")
        .def_property_readonly(
            "host_ns", [](const Frame &f) { return f.get().host_ns(); },
            "Host monotonic clock (time.monotonic_ns()) when the frame's last byte arrived; 0 when unknown.")
        .def_property_readonly(
            "data",
            [](py::object self) {
                const Frame &f = self.cast<const Frame &>();
                const auto &d = f.get().data();
                // A read-only view that keeps the frame alive.
                py::array_t<uint8_t> a({static_cast<py::ssize_t>(d.size())}, d.data(), self);
                a.attr("setflags")(py::arg("write") = false);
                return a;
            },
            "The raw bytes as a read-only uint8 array.")
        .def("distance", [](const Frame &f) { return decode(f, true); },
             "Distance in metres, float32 (height, width).")
        .def("gray", [](const Frame &f) { return decode(f, false); }, "Gray (amplitude), float32 (height, width).")
        .def(
            "pointcloud",
            [](const Frame &f, const py::object &camera) {
                return pointcloud(f.device(), decode(f, true), camera, 3, false);
            },
            py::arg("camera") = py::none(), "Points (n, 3) float32 of the frame's distance image.")
        .def(
            "pointcloud_organized",
            [](const Frame &f, const py::object &camera) {
                return pointcloud_organized(f.device(), decode(f, true), camera);
            },
            py::arg("camera") = py::none(),
            "The organised cloud of the frame: float32 (height, width, 3), NaN for rejected pixels.")
        .def(
            "pointcloud_xyzd",
            [](const Frame &f, bool pseudo_color, const py::object &camera) {
                return pointcloud(f.device(), decode(f, true), camera, 4, pseudo_color);
            },
            py::arg("pseudo_color") = false, py::arg("camera") = py::none(),
            "Points (n, 4) float32 of the frame's distance image.")
        .def(
            "colormap",
            [](const Frame &f, float min_m, float max_m, int fmt) { return colormap(decode(f, true), min_m, max_m, fmt); },
            py::arg("min_m"), py::arg("max_m"), py::arg("fmt") = static_cast<int>(KAVRO_CMAP_OUTFMT_RGB),
            "The distance image colour-mapped: uint8 (height, width, 3), or 4 channels for CMAP_RGBA.");

    m.def("colormap", &colormap, py::arg("distance"), py::arg("min_m"), py::arg("max_m"),
          py::arg("fmt") = static_cast<int>(KAVRO_CMAP_OUTFMT_RGB),
          "Colour-map distances (metres): uint8 array of their shape plus a channel axis.");

    // ---- frame files -------------------------------------------------------
    m.def(
        "save_raw",
        [](const std::string &path, const py::object &samples, int width, int height, int dcs, const std::string &tag,
           int fmt) {
            auto arr = py::array_t<uint16_t, py::array::c_style | py::array::forcecast>::ensure(samples);
            if (!arr) invalid_argument("expected an array of 16-bit samples");
            kavro::save_raw(path, std::span<const uint16_t>(arr.data(), static_cast<size_t>(arr.size())), width,
                            height, dcs, tag, static_cast<kavro_frame_save_fmt_t>(fmt));
        },
        py::arg("path"), py::arg("samples"), py::arg("width"), py::arg("height"), py::arg("dcs"), py::arg("tag"),
        py::arg("fmt") = static_cast<int>(KAVRO_FRAME_SAVE_UINT16),
        "Write a raw frame file: whole frames of width x height x dcs samples, SAVE_UINT16 or SAVE_UINT32.");
    m.def(
        "save_distance",
        [](const std::string &path, const py::object &images, int fmt) {
            image_stack s = image_stack_from(images);
            kavro::save_distance(path, std::span<const float>(s.arr.data(), static_cast<size_t>(s.arr.size())),
                                 s.width, s.height, static_cast<kavro_frame_save_fmt_t>(fmt));
        },
        py::arg("path"), py::arg("images"), py::arg("fmt") = static_cast<int>(KAVRO_FRAME_SAVE_FLOAT32),
        "Write distance images (metres), (h, w) or (n, h, w), as SAVE_FLOAT32, SAVE_UINT32 or SAVE_UINT16 (mm).");
    m.def(
        "save_gray",
        [](const std::string &path, const py::object &images, int fmt) {
            image_stack s = image_stack_from(images);
            kavro::save_gray(path, std::span<const float>(s.arr.data(), static_cast<size_t>(s.arr.size())), s.width,
                             s.height, static_cast<kavro_frame_save_fmt_t>(fmt));
        },
        py::arg("path"), py::arg("images"), py::arg("fmt") = static_cast<int>(KAVRO_FRAME_SAVE_UINT16),
        "Write gray images, (h, w) or (n, h, w), as SAVE_UINT8 or SAVE_UINT16.");
    m.def(
        "load_raw",
        [](const std::string &path) {
            kavro::frame_file<uint16_t> f = kavro::load_raw(path);
            const py::ssize_t per_frame = static_cast<py::ssize_t>(f.width) * f.height * f.dcs;
            py::dict out;
            out["width"] = f.width;
            out["height"] = f.height;
            out["dcs"] = f.dcs;
            out["tag"] = f.tag;
            out["samples"] = to_array(std::move(f.values), {f.frames, per_frame});
            return out;
        },
        py::arg("path"),
        "Read a raw frame file: a dict with width, height, dcs, tag and samples, uint16 (frames, "
        "width x height x dcs).");
    m.def(
        "load_distance", [](const std::string &path) { return stack_to_array(kavro::load_distance(path)); },
        py::arg("path"), "Read a distance file: float32 metres (frames, height, width).");
    m.def(
        "load_gray", [](const std::string &path) { return stack_to_array(kavro::load_gray(path)); },
        py::arg("path"), "Read a gray file: float32 (frames, height, width).");
}
