// Ctrl-C (SIGINT) and SIGTERM: a clean stop instead of the default death.
//
// The signals are blocked in the main thread before any other thread exists,
// so every thread (the library's event loop, the simulated camera's threads)
// inherits the block and no library call is cut short by EINTR. One thread of
// our own takes them with sigwait(): in the commands that stop cleanly
// (capture, record, convert, transfers) the first sets a flag their loops
// check between frames and packets (the library is never called from signal
// context); a second one, or any in the other commands, ends the program at
// once with the signal's default action.
#pragma once

namespace kavro_cli {

/// Call first in main, before any thread is started.
void interrupt_setup();
/// The running command checks for a stop and ends cleanly. Until this is
/// called (commands that only take a moment), the first signal already ends
/// the program with its default action, as without any handling.
void interrupt_enable_stop();
/// The signal that asked for a stop, 0 when none did.
int interrupt_signal();
inline bool interrupted() { return interrupt_signal() != 0; }
/// Exit code of a command stopped by a signal: 128 + the signal's number
/// (130 for Ctrl-C, 143 for SIGTERM), the shell's convention.
int interrupt_exit_code();
/// Waits until a stop is asked for or `ms` milliseconds passed; true when
/// asked for.
bool interrupt_wait(int ms);

/// For the tests of the stop: with KAVRO_CLI_HOLD_FOR_INTERRUPT in the
/// environment, the tool waits (at most a minute) for a stop after the first
/// frame it took or the first packet it moved, so a test can interrupt it
/// in the middle of the work however fast the work would be.
void interrupt_test_hold();

}  // namespace kavro_cli
