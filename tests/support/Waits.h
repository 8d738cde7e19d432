// Bounded waits and process counts for the tests: every wait has a deadline, and a wait polls its
// condition instead of sleeping for a guessed time.
//
//   EXPECT_TRUE(testkit::PollUntil([&] { return server.Count() == 0; }, 10s));
//   EXPECT_LE(testkit::LiveThreads(), threadsBefore);
#pragma once

#include <chrono>
#include <functional>

namespace testkit {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The longest any single step of a test waits for loopback traffic or a thread.
constexpr auto kDeadline = std::chrono::seconds(60);

// Tests ADone about every millisecond until it holds or ALimit has passed; AMeanwhile (when set)
// runs between two tests, for instance to serve calls that other threads hand to this one. True
// when ADone held. Any thread.
bool PollUntil(const std::function<bool()>& ADone, std::chrono::milliseconds ALimit,
               const std::function<void()>& AMeanwhile = {});

// Descriptors open in this process, and its threads (kernel tasks: a thread that has ended but
// is not yet joined no longer counts).
int OpenFds();
int LiveThreads();

}  // namespace testkit
