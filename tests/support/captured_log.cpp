#include "captured_log.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "vx_log.h"

CapturedLog::CapturedLog() {
    path_ = "captured_" + std::to_string(getpid()) + "_" +
            std::to_string(reinterpret_cast<uintptr_t>(this)) + ".log";
    std::remove(path_.c_str());
    vx_log_init(nullptr, path_.c_str(), "TEST");
    vx_log_cfg(nullptr, VX_LOG_TARGET_CONSOLE, VX_LOG_LEVEL_NONE, false);
    vx_log_cfg(nullptr, VX_LOG_TARGET_FILE, VX_LOG_LEVEL_TRACE, true);
}

CapturedLog::~CapturedLog() {
    vx_log_uninit(nullptr);
    std::remove(path_.c_str());
}

std::string CapturedLog::text() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool CapturedLog::has(const std::string &msg) const {
    const std::string all = text();
    // Every line is "<prefix>[tag][level]<msg>"; the message follows the
    // logger's own prefix, so a suffix match on each line is exact enough.
    std::istringstream lines(all);
    std::string line;
    while (std::getline(lines, line)) {
        const std::string full = line + "\n";
        const std::string want = msg.back() == '\n' ? msg : msg + "\n";
        if (full.size() >= want.size() && full.compare(full.size() - want.size(), want.size(), want) == 0)
            return true;
    }
    return false;
}

void CapturedLog::clear() {
    vx_log_uninit(nullptr);
    std::remove(path_.c_str());
    vx_log_init(nullptr, path_.c_str(), "TEST");
    vx_log_cfg(nullptr, VX_LOG_TARGET_CONSOLE, VX_LOG_LEVEL_NONE, false);
    vx_log_cfg(nullptr, VX_LOG_TARGET_FILE, VX_LOG_LEVEL_TRACE, true);
}
