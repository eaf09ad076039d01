/*
 * sigchain_posix.h - handing a terminating signal on after our own handler.
 *
 * The console (terminal restore) and the serial back-end (low latency put
 * back) each put a handler in front of the terminating signals.  When one has
 * done its part, the signal goes on to whoever handled it before (the other
 * of the two, the headless run's report, a sanitizer), or to the default
 * action.  Async-signal-safe.
 */
#ifndef TARVIK_SIGCHAIN_POSIX_H
#define TARVIK_SIGCHAIN_POSIX_H

#include <csignal>

// Puts sig's default action back: the first step of a handler that acts
// once.  (Done by the handler rather than by SA_RESETHAND, which resets the
// action as the signal arrives: a runtime that takes signals in to run the
// handler later, ThreadSanitizer's, may then fail to run it, and the next
// signal would find the default instead of the handler.)
void SigDefault(int sig);

// Passes sig on to the handler saved in prev (from sigaction), or, when
// there was none, ends the process with it as its default action would.
void SigPassOn(int sig, siginfo_t *info, void *context, const struct sigaction *prev);

#endif
