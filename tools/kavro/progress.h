// Progress of long work: a bar redrawn in place on a terminal, plain lines
// at every tenth otherwise (logs and pipes stay readable).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace kavro_cli {

class progress_meter {
public:
    /// `what` names the work ("recording", "firmware upload"); `unit` the
    /// counted things ("frames", "bytes"). Draws on stderr.
    progress_meter(std::string what, std::string unit);
    /// The same with the terminal decision made by the caller.
    progress_meter(std::string what, std::string unit, FILE *out, bool tty);
    ~progress_meter();
    progress_meter(const progress_meter &) = delete;
    progress_meter &operator=(const progress_meter &) = delete;

    void update(uint64_t done, uint64_t total);
    /// Ends the bar's line; `ok` false marks the work as broken off.
    void finish(bool ok);

private:
    std::string what_, unit_;
    FILE *out_;
    bool tty_;
    bool open_ = false;   // a bar line is drawn and not ended
    int last_step_ = -1;  // last tenth printed (plain lines) or percent drawn (bar)
    uint64_t done_ = 0, total_ = 0;
};

}  // namespace kavro_cli
