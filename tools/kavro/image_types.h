// Image types of the camera's flash as the kavro tool explains and checks
// them before a transfer.
#pragma once

#include <cstdint>
#include <string>

namespace kavro_cli {

/// What the tool checks of an image file before anything is sent (and so
/// before the camera erases the old image): that the file can be read, is
/// not empty and is not larger than its type allows. The image format
/// carries no header and no checksum of its own: the camera checks each
/// packet's CRC-16, which the host computes while sending, and keeps its own
/// hash of the stored image. A file of an allowed size with the wrong
/// content is therefore not recognised by the host.
struct image_type_info {
    const char *kind;     // "firmware", "data"
    uint64_t max_bytes;   // largest image of the type
    const char *after;    // what the camera does after a finished write
};

/// The description of an image type (0 ... 255).
image_type_info image_type(int type);

/// The --help text that explains the image types.
std::string image_type_help();

/// Checks the file for an image of `type`; false with `err` set (the file
/// name and the cause) when it cannot be sent. `unreadable` tells the
/// caller whether the file could not be read (rather than refused).
bool image_file_check(int type, const std::string &file, std::string *err, bool *unreadable);

}  // namespace kavro_cli
