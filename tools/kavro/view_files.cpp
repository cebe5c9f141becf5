#include "view_files.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace kavro_cli {

std::optional<std::string> viewer_file(const std::string &root, const std::string &uri_path) {
    if (uri_path.empty() || uri_path[0] != '/' || uri_path.size() > 1024) return std::nullopt;
    std::string path = uri_path;
    // The path is decoded: "%2e%2e" arrives as "..", "%00" as a NUL.
    if (path.find('\0') != std::string::npos || path.find('\\') != std::string::npos) return std::nullopt;
    for (size_t pos = 0; pos <= path.size();) {
        const size_t end = std::min(path.find('/', pos), path.size());
        if (path.compare(pos, end - pos, "..") == 0 && end - pos == 2) return std::nullopt;
        pos = end + 1;
    }
    if (path == "/") path = "/index.html";
    // The real location, links resolved, must still lie inside the folder.
    char real[PATH_MAX];
    if (!::realpath((root + path).c_str(), real)) return std::nullopt;
    const std::string r(real);
    if (r.size() <= root.size() || r.compare(0, root.size(), root) != 0 || r[root.size()] != '/') return std::nullopt;
    struct stat st {};
    if (::stat(real, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return r;
}

const char *viewer_content_type(const std::string &path) {
    static const std::pair<const char *, const char *> types[] = {
        {".html", "text/html; charset=utf-8"}, {".js", "text/javascript; charset=utf-8"},
        {".mjs", "text/javascript; charset=utf-8"}, {".css", "text/css; charset=utf-8"},
        {".png", "image/png"}, {".svg", "image/svg+xml"}, {".json", "application/json"}};
    for (const auto &t : types) {
        const size_t n = std::strlen(t.first);
        if (path.size() >= n && path.compare(path.size() - n, n, t.first) == 0) return t.second;
    }
    return "application/octet-stream";
}

}  // namespace kavro_cli
