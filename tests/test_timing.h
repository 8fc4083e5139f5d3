// How long the tests wait, in one place. A test must never fail because the machine is busy (a
// sanitizer build on two loaded cores runs many times slower than an idle release build): a wait
// for something sure to come is bounded only to catch a hang, and a deadline the code under test
// keeps is either far beyond any real answer or, where the test wants it to pass, still long
// enough for the answers the test needs before it.
#ifndef OSTRASYNC_TESTS_TEST_TIMING_H_
#define OSTRASYNC_TESTS_TEST_TIMING_H_

#include <chrono>
#include <cstdint>

namespace ostrasync {

// The longest a test waits for an event, a state or a thread it expects: reached only by a hang,
// which then fails that one test well within CTest's limit for it.
inline constexpr std::chrono::seconds kTestPatience{60};

// How long the emulated OS waits for the provider's answer to a callback. A test in which every
// request is answered uses kOsWaitsMs, beyond any real answer. A test in which the OS must give
// up on a request uses kOsGivesUpMs, which still leaves a busy machine room for the answers the
// test does need from the same connection; one that needs no answer in time may use less.
inline constexpr uint32_t kOsWaitsMs = 60000;
inline constexpr uint32_t kOsGivesUpMs = 2000;

}  // namespace ostrasync

#endif  // OSTRASYNC_TESTS_TEST_TIMING_H_
