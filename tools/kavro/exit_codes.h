// Exit codes of the kavro tool; README and --help list the same table.
#pragma once

namespace kavro_cli {

enum exit_code : int {
    EXIT_OK = 0,
    EXIT_FAILED = 1,       // the camera or the library reported a failure
    EXIT_USAGE = 2,        // bad command line, or a command the source cannot do
    EXIT_NO_CAMERA = 3,    // no camera found, or it could not be opened
    EXIT_FILE = 4,         // an input file cannot be read (also: a truncated recording) or an output written
    EXIT_REFUSED = 5,      // the image was refused (by the tool's checks or the camera); nothing was changed
    EXIT_INTERRUPTED = 6,  // a transfer broke off; the stored image is incomplete
    EXIT_NOT_CONFIRMED = 7, // a firmware upgrade was not confirmed
    // 128 + the signal's number: stopped by Ctrl-C (SIGINT) or SIGTERM (a
    // transfer to the camera stopped so exits with EXIT_INTERRUPTED).
    EXIT_STOPPED_SIGINT = 130,
    EXIT_STOPPED_SIGTERM = 143
};

inline constexpr const char *k_exit_code_help =
    "Exit codes:\n"
    "  0  success\n"
    "  1  the camera or the library reported a failure (see the message and the log)\n"
    "  2  bad command line (also: a command the source cannot do, e.g. params set on a recording)\n"
    "  3  no camera found or it could not be opened\n"
    "  4  a file could not be read or written (also: the cache folder is not writable, or a\n"
    "     recording is truncated: its whole frames are written, the message counts the missing ones)\n"
    "  5  the image was refused before anything was written: by the tool's checks (empty, too large\n"
    "     for its type) or by the camera\n"
    "  6  a transfer broke off (also: stopped by Ctrl-C): the image on the camera is incomplete, run it again\n"
    "  7  a firmware upgrade was not confirmed (answer 'y' or pass --yes)\n"
    "  130  stopped by Ctrl-C (143: by SIGTERM): the camera was closed; a recording keeps its whole\n"
    "       frames and its side file, capture and convert the whole frames written so far\n";

}  // namespace kavro_cli
