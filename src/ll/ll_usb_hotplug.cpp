// libusb hot-plug watch for cameras (see ll_usb_hotplug.h).
#include "ll/ll_usb_hotplug.h"

#include <libusb.h>

#include <mutex>
#include <new>
#include <utility>

#include "ll/ll_usb_proto.h"
#include "vx_log_internal.h"

namespace {

class usb_hotplug final : public _kavro_usb_hotplug {
public:
    ~usb_hotplug() override {
        if (ctx_) {
            if (registered_) libusb_hotplug_deregister_callback(ctx_, handle_);
            libusb_exit(ctx_);
        }
    }

    bool open(bool enumerate) {
        if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
            LOG_DBG("libusb has no hot-plug support here\n");
            return false;
        }
        if (libusb_init(&ctx_) != 0) {
            ctx_ = nullptr;
            return false;
        }
        const int flags = enumerate ? LIBUSB_HOTPLUG_ENUMERATE : 0;
        // With ENUMERATE libusb calls back for the present cameras inside
        // the registration, on this thread: they are only queued.
        const int r = libusb_hotplug_register_callback(
            ctx_, static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            static_cast<libusb_hotplug_flag>(flags), KAVRO_USB_VID, KAVRO_USB_PID, LIBUSB_HOTPLUG_MATCH_ANY, on_event,
            this, &handle_);
        if (r != LIBUSB_SUCCESS) {
            LOG_WRN("libusb hot-plug registration failed: %s\n", libusb_error_name(r));
            return false;
        }
        registered_ = true;
        return true;
    }

    void poll(int ms, std::vector<_kavro_usb_hotplug_evt> *out) override {
        timeval tv{ms / 1000, (ms % 1000) * 1000};
        libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
        std::lock_guard<std::mutex> g(mutex_);
        out->insert(out->end(), queued_.begin(), queued_.end());
        queued_.clear();
    }

    void interrupt() override { libusb_interrupt_event_handler(ctx_); }

private:
    static int LIBUSB_CALL on_event(libusb_context *, libusb_device *d, libusb_hotplug_event event, void *arg) {
        auto *self = static_cast<usb_hotplug *>(arg);
        _kavro_usb_hotplug_evt e{};
        e.info.type = LL_IF_USB;
        e.info.info.usb.usb_bus_num = libusb_get_bus_number(d);
        e.info.info.usb.usb_port_num = libusb_get_port_number(d);
        e.info.info.usb.usb_dev_addr = libusb_get_device_address(d);
        e.info.info.usb.usb_speed = static_cast<uint8_t>(libusb_get_device_speed(d));
        e.arrived = event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
        std::lock_guard<std::mutex> g(self->mutex_);
        self->queued_.push_back(e);
        return 0;  // stay registered
    }

    libusb_context *ctx_ = nullptr;
    libusb_hotplug_callback_handle handle_ = 0;
    bool registered_ = false;
    std::mutex mutex_;
    std::vector<_kavro_usb_hotplug_evt> queued_;
};

}  // namespace

std::unique_ptr<_kavro_usb_hotplug> _kavro_usb_hotplug_open(bool enumerate) {
    std::unique_ptr<usb_hotplug> w(new (std::nothrow) usb_hotplug);
    if (!w || !w->open(enumerate)) return nullptr;
    return w;
}
