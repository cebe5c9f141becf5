// Routes the default logger into a file for the lifetime of the object, so a
// test can check what the library logged.
#pragma once

#include <string>

class LogFileCapture {
public:
    // Opens "<name>.log" in the working directory (truncated) at error level.
    explicit LogFileCapture(const std::string &name);
    ~LogFileCapture();
    LogFileCapture(const LogFileCapture &) = delete;
    LogFileCapture &operator=(const LogFileCapture &) = delete;

    // Everything logged so far.
    std::string text() const;
    // Whether some logged line contains needle.
    bool contains(const std::string &needle) const { return text().find(needle) != std::string::npos; }

private:
    std::string path_;
};
