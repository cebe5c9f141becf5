// Which file of the viewer folder a request names, if any.
#pragma once

#include <optional>
#include <string>

namespace kavro_cli {

/// The file under `root` (a folder, made canonical by the caller) that the
/// request path `uri_path` (percent-decoded, without the query) names; "/" names index.html. Nothing when the path leaves the folder (a
/// ".." segment, encoded or not, a NUL, a backslash, a symbolic link that
/// points out of it) or names no regular file.
std::optional<std::string> viewer_file(const std::string &root, const std::string &uri_path);

/// Content type of a served file by its extension.
const char *viewer_content_type(const std::string &path);

}  // namespace kavro_cli
