// Hot-plug notification from libusb for cameras on the USB bus (the vendor
// and product of ll_usb_proto.h), for the camera layer's hot-plug watch.
// One watch owns its libusb context; the thread that calls poll() receives
// the events, queued by libusb's callback and handed out after it returned,
// so no code of the watch's user ever runs inside libusb.
#pragma once

#include <memory>
#include <vector>

#include "kavro_ll.h"

struct _kavro_usb_hotplug_evt {
    kavro_ll_info_t info;
    bool arrived;  // false: the camera left
};

class _kavro_usb_hotplug {
public:
    virtual ~_kavro_usb_hotplug() = default;
    // Handle libusb events for at most `ms` milliseconds (less when an event
    // or interrupt() comes) and append the events queued meanwhile.
    virtual void poll(int ms, std::vector<_kavro_usb_hotplug_evt> *out) = 0;
    // Make a poll() running on another thread return soon. Any thread.
    virtual void interrupt() = 0;
};

// A watch, or null when libusb has no hot-plug support on this platform or
// its context cannot be made. With `enumerate`, the cameras present now are
// queued as arrived before any other event.
std::unique_ptr<_kavro_usb_hotplug> _kavro_usb_hotplug_open(bool enumerate);
