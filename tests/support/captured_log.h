// Sends the default logger to a file at trace level for the lifetime of the
// object, so tests can check the exact messages the library wrote.
#pragma once

#include <string>

class CapturedLog {
public:
    CapturedLog();
    ~CapturedLog();
    CapturedLog(const CapturedLog &) = delete;
    CapturedLog &operator=(const CapturedLog &) = delete;

    /// Everything logged so far.
    std::string text() const;
    /// True when some line logged so far ends with `msg` (prefix stripped).
    bool has(const std::string &msg) const;
    /// Forget what was logged so far.
    void clear();

private:
    std::string path_;
};
