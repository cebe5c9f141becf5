#include "interrupt.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace kavro_cli {

namespace {

std::atomic<int> g_signal{0};
std::atomic<bool> g_stoppable{false};
std::mutex g_mu;
std::condition_variable g_cv;

sigset_t g_taken;  // the signals taken here, set once before the thread starts

// SIGINT and SIGTERM, leaving out one the program was started with ignored
// (a shell's background job ignores Ctrl-C, and so does this tool then).
sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : {SIGINT, SIGTERM}) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaddset(&set, sig);
    }
    return set;
}

// Only for a thread that has the signals unblocked after all (one started
// before interrupt_setup by a preloaded library): the flag, nothing else.
// The waiting thread notices it within its poll.
void on_signal(int sig) {
    int none = 0;
    g_signal.compare_exchange_strong(none, sig);
}

void take_signals() {
    const sigset_t set = g_taken;
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) continue;
        int none = 0;
        if (g_stoppable.load() && g_signal.compare_exchange_strong(none, sig)) {
            fprintf(stderr, "\nkavro: interrupted: stopping (interrupt again to stop at once)\n");
            std::lock_guard<std::mutex> g(g_mu);
            g_cv.notify_all();
            continue;
        }
        // The second one, or one during a command without a clean stop:
        // the default action, now.
        if (g_stoppable.load()) fprintf(stderr, "\nkavro: interrupted again: stopping at once\n");
        signal(sig, SIG_DFL);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, sig);
        pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        raise(sig);
        _exit(128 + sig);  // not reached: the default action ends the process
    }
}

}  // namespace

void interrupt_setup() {
    g_taken = stop_signals();
    pthread_sigmask(SIG_BLOCK, &g_taken, nullptr);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (const int sig : {SIGINT, SIGTERM})
        if (sigismember(&g_taken, sig) == 1) sigaction(sig, &sa, nullptr);
    std::thread(take_signals).detach();
}

void interrupt_enable_stop() { g_stoppable = true; }

int interrupt_signal() { return g_signal.load(); }

int interrupt_exit_code() {
    const int sig = g_signal.load();
    return sig ? 128 + sig : 0;
}

bool interrupt_wait(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock<std::mutex> g(g_mu);
    while (!interrupted()) {
        // Bounded steps: a flag set by on_signal comes without a notification.
        const auto step = std::min(until, std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
        g_cv.wait_until(g, step);
        if (std::chrono::steady_clock::now() >= until) break;
    }
    return interrupted();
}

void interrupt_test_hold() {
    static bool held = false;
    if (held || !std::getenv("KAVRO_CLI_HOLD_FOR_INTERRUPT")) return;
    held = true;
    interrupt_wait(60000);
}

}  // namespace kavro_cli
