#include "log_file_capture.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "vx_log.h"

LogFileCapture::LogFileCapture(const std::string &name) : path_(name + ".log") {
    std::remove(path_.c_str());
    vx_log_init(nullptr, path_.c_str(), "TEST");
    vx_log_cfg(nullptr, VX_LOG_TARGET_CONSOLE, VX_LOG_LEVEL_NONE, false);
    vx_log_cfg(nullptr, VX_LOG_TARGET_FILE, VX_LOG_LEVEL_TRACE, true);
}

LogFileCapture::~LogFileCapture() { vx_log_uninit(nullptr); }

std::string LogFileCapture::text() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
