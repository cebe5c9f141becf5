#include "view.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "exit_codes.h"
#include "interrupt.h"
#include "view_camera.h"
#include "view_server.h"

namespace kavro_cli {

namespace {

// The viewer folder: the one given, else "view" beside the tool (build
// tree), else ../share/kavro/view from it (installed).
std::string find_web_root(const std::string &given) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!given.empty()) {
        const fs::path p = fs::canonical(given, ec);
        return ec ? std::string() : p.string();
    }
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    for (const fs::path &cand : {exe.parent_path() / "view", exe.parent_path() / ".." / "share" / "kavro" / "view"}) {
        const fs::path p = fs::canonical(cand, ec);
        if (!ec && fs::exists(p / "index.html", ec)) return p.string();
    }
    return {};
}

}  // namespace

int run_view(kavro_dev_t *dev, bool replay, const view_opts &o) {
    view_server_opts so;
    so.listen = o.listen;
    so.port = o.port;
    so.root = find_web_root(o.web_root);
    if (so.root.empty()) {
        fprintf(stderr, "kavro: the viewer's files are not found%s\n",
                o.web_root.empty() ? " (install them, or give --web-root)" : (" in " + o.web_root).c_str());
        return EXIT_FILE;
    }
    std::error_code ec;
    const std::string rec_dir = std::filesystem::absolute(o.record_dir, ec).string();
    view_camera cam(dev, replay, ec ? o.record_dir : rec_dir);
    view_server server(cam);
    std::string err;
    if (!server.start(so, &err)) {
        fprintf(stderr, "kavro: %s\n", err.c_str());
        return EXIT_FAILED;
    }
    cam.start();
    const std::string host = so.listen.find(':') != std::string::npos ? "[" + so.listen + "]" : so.listen;
    printf("http://%s:%d/\n", host == "0.0.0.0" ? "127.0.0.1" : host.c_str(), server.port());
    fflush(stdout);
    while (!interrupt_wait(500)) {
    }
    // Capture stops first (a recording is finished), then the connections
    // close; the caller closes the camera.
    cam.stop();
    server.stop();
    fprintf(stderr, "kavro: viewer stopped\n");
    return interrupt_exit_code();
}

}  // namespace kavro_cli
