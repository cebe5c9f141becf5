// ThreadSanitizer suppressions for a process that runs the USB bed
// (sim_usb_bed.cpp): the test binaries that link it, and the kavro tool,
// which loads it as a module for --sim. Each program returns them from its
// own __tsan_default_suppressions() (the runtime asks the program, not a
// library loaded later).
//
// ThreadSanitizer cannot see the hand-offs inside glib and umockdev (they
// are not instrumented), so it reports their internal queues as races;
// only races in instrumented code are of interest. (The bed's own hand-off
// of bulk IN bytes to the host is annotated where it happens:
// usb_bed::cam::deliver.)
#pragma once

// Set in a ThreadSanitizer build (GCC names it one way, Clang another).
#if defined(__SANITIZE_THREAD__)
#define KAVRO_SIM_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KAVRO_SIM_TSAN 1
#endif
#endif

#define KAVRO_SIM_TSAN_SUPPRESSIONS \
    "race:libglib-2.0.so\n"         \
    "race:libgio-2.0.so\n"          \
    "race:libgobject-2.0.so\n"      \
    "race:libumockdev.so\n"
