#pragma once

#include <functional>

namespace quarnel::testsupport {

// Runs body in a forked child process of the current test and waits for it, so that whatever
// body changes about its process (namespaces, limits, credentials) stays there.
//
// Inside body, gtest assertions work as usual and their messages print from the child. When
// body is done the child ends: passed when it recorded no failure, skipped when it called
// GTEST_SKIP(). Back in the test, a failed child records one failure that points at the
// messages above (or at the signal that killed it) and a skipped child skips the test, its
// reason printed above too. Since a skip only ends the helper that records it, call this as the
// last statement of a test.
//
// The child dies with the test process, and leaves it through _exit: no atexit handlers, no
// static destructors and no leak check run there.
void RunInChildProcess(const std::function<void()>& body);

}  // namespace quarnel::testsupport
