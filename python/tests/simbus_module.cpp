// Test helper for the Python tests: simulated cameras on the emulated USB
// bus in the interpreter's own process, so the package's camera calls run
// through the real USB transport. Needs umockdev's preload library in
// LD_PRELOAD (ctest sets it for python_kavro_usb).
#include <pybind11/pybind11.h>

#include <cstring>
#include <memory>
#include <string>

#include "sim_usb_bed.h"

namespace py = pybind11;

PYBIND11_MODULE(_kavro_simbus, m) {
    m.doc() = "simulated cameras on an emulated USB bus (tests only)";
    m.def("available", &kavro_sim::usb_bed_available, "True when the process runs under umockdev's preload.");
    py::class_<kavro_sim::usb_bed>(m, "Bus")
        .def(py::init<>())
        .def(
            "add_camera",
            [](kavro_sim::usb_bed &b, int port, int addr, uint32_t serial0, bool mute) {
                kavro_sim::usb_cam_opts o;
                o.port = port;
                o.addr = addr;
                o.fw.serial[0] = serial0;
                o.fw.erase_polls = 2;
                // A mute camera answers control requests but every bulk read
                // times out: it streams no frame at all.
                if (mute) o.fw.faults.bulk_timeout.prob = 1.0;
                return b.add_camera(o);
            },
            py::arg("port") = 1, py::arg("addr") = 2, py::arg("serial0") = 0x00C0FFEE, py::arg("mute") = false)
        .def("unplug", &kavro_sim::usb_bed::unplug, py::arg("cam"))
        .def("replug", &kavro_sim::usb_bed::replug, py::arg("cam"))
        .def(
            "image",
            [](kavro_sim::usb_bed &b, int cam, int type) -> py::object {
                const kavro_sim::flash_image *img = b.fw(cam).image(static_cast<uint8_t>(type));
                if (!img) return py::none();
                return py::bytes(reinterpret_cast<const char *>(img->data.data()), img->data.size());
            },
            py::arg("cam"), py::arg("type"));
}
