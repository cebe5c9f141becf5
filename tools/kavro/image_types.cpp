#include "image_types.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kavro_cli {

namespace {

// Firmware fits the camera's program memory; data images its data flash.
constexpr uint64_t k_firmware_max = 4ull << 20;
constexpr uint64_t k_data_max = 16ull << 20;

}  // namespace

image_type_info image_type(int type) {
    switch (type) {
    case 0:
        return {"firmware", k_firmware_max,
                "the camera restarts into it; its version becomes the 'sw' version"};
    case 1:
        return {"firmware", k_firmware_max,
                "the camera restarts into it; its version becomes the 'sw2' version"};
    case 2:
    case 3: return {"data", k_data_max, "the camera stores it (about 7 s; do not power it off)"};
    default: return {"data", k_data_max, "kept as it is"};
    }
}

std::string image_type_help() {
    return "Image types (--type):\n"
           "  0    firmware; the camera restarts into it, its version becomes the 'sw' version (at most 4 MiB)\n"
           "  1    second firmware; the camera restarts into it, version 'sw2' (at most 4 MiB)\n"
           "  2,3  data the camera stores after the transfer (about 7 s; at most 16 MiB)\n"
           "  4-255 other data images, kept as they are (at most 16 MiB)\n"
           "Before anything is sent the tool checks that the file is readable, not empty and within its\n"
           "type's size. Images carry no header or checksum the tool could verify: the camera checks\n"
           "each packet's CRC, so a file of the wrong content but an allowed size is written as it is.\n";
}

bool image_file_check(int type, const std::string &file, std::string *err, bool *unreadable) {
    *unreadable = false;
    struct stat st {};
    if (access(file.c_str(), R_OK) != 0 || stat(file.c_str(), &st) != 0) {
        *unreadable = true;
        *err = "cannot read " + file + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *unreadable = true;
        *err = "cannot read " + file + ": not a regular file";
        return false;
    }
    const image_type_info t = image_type(type);
    if (st.st_size == 0) {
        *err = file + " is empty: not sent as an image of type " + std::to_string(type) + "; nothing was changed";
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > t.max_bytes) {
        *err = file + " has " + std::to_string(st.st_size) + " bytes: a " + t.kind + " image of type " +
               std::to_string(type) + " has at most " + std::to_string(t.max_bytes) +
               " bytes; not sent, nothing was changed";
        return false;
    }
    return true;
}

}  // namespace kavro_cli
