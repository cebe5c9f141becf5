#include "progress.h"

#include <unistd.h>

#include <algorithm>
#include <utility>

namespace kavro_cli {

namespace {
constexpr int k_bar_width = 30;
}

progress_meter::progress_meter(std::string what, std::string unit)
    : progress_meter(std::move(what), std::move(unit), stderr, isatty(STDERR_FILENO) == 1) {}

progress_meter::progress_meter(std::string what, std::string unit, FILE *out, bool tty)
    : what_(std::move(what)), unit_(std::move(unit)), out_(out), tty_(tty) {}

progress_meter::~progress_meter() {
    if (open_) finish(done_ >= total_ && total_ > 0);
}

void progress_meter::update(uint64_t done, uint64_t total) {
    done_ = std::min(done, total);
    total_ = total;
    const int percent = total ? static_cast<int>(done_ * 100 / total) : 0;
    if (tty_) {
        if (percent == last_step_ && open_) return;
        last_step_ = percent;
        const int filled = percent * k_bar_width / 100;
        std::string bar(static_cast<size_t>(filled), '#');
        bar.resize(k_bar_width, '.');
        fprintf(out_, "\r%s [%s] %3d%% %llu/%llu %s", what_.c_str(), bar.c_str(), percent,
                static_cast<unsigned long long>(done_), static_cast<unsigned long long>(total),
                unit_.c_str());
        open_ = true;
    } else {
        const int step = percent / 10;
        if (step == last_step_) return;
        last_step_ = step;
        fprintf(out_, "%s: %d%% (%llu of %llu %s)\n", what_.c_str(), step * 10,
                static_cast<unsigned long long>(done_), static_cast<unsigned long long>(total),
                unit_.c_str());
        open_ = true;
    }
    fflush(out_);
}

void progress_meter::finish(bool ok) {
    if (!open_) return;
    if (tty_) fputc('\n', out_);
    if (!ok)
        fprintf(out_, "%s: broken off at %llu of %llu %s\n", what_.c_str(),
                static_cast<unsigned long long>(done_), static_cast<unsigned long long>(total_),
                unit_.c_str());
    fflush(out_);
    open_ = false;
}

}  // namespace kavro_cli
