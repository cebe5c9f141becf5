// Platform shim: the few operating-system services the library needs, in one
// place so the rest of the code stays portable.
#pragma once

#include <cstdint>

namespace vx_port {

/// Numeric id of the calling thread (the kernel thread id on Linux).
unsigned thread_id();
/// Sleep for `ms` milliseconds.
void sleep_ms(unsigned ms);
/// True when `path` names an existing folder.
bool dir_exists(const char *path);
/// Create one folder level; true on success or when it exists already.
bool make_dir(const char *path);

}  // namespace vx_port
