// `kavro view`: the camera live in a browser.
#pragma once

#include <string>

#include "kavro.h"

namespace kavro_cli {

struct view_opts {
    std::string listen = "127.0.0.1";
    int port = 8080;
    std::string web_root;    // the viewer folder; empty: beside the tool
    std::string record_dir = ".";
};

/// Serves the viewer for the open device until Ctrl-C or SIGTERM; prints
/// the address to open on stdout. An exit code.
int run_view(kavro_dev_t *dev, bool replay, const view_opts &o);

}  // namespace kavro_cli
