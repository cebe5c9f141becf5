#include "vx_port.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace vx_port {

unsigned thread_id() { return static_cast<unsigned>(::syscall(SYS_gettid)); }

void sleep_ms(unsigned ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

bool dir_exists(const char *path) {
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool make_dir(const char *path) { return ::mkdir(path, 0755) == 0 || errno == EEXIST; }

}  // namespace vx_port
