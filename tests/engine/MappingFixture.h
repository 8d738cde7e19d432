// A channel under test: a TqvMappedPortTCP on 127.0.0.1 port 0 in front of a TBackend, a log
// sink that records every text OnLog receives, and waits that serve the synchronized calls of
// the peer threads from the test's main thread.
#pragma once

#include "support/Backend.h"
#include "FakeEngineClock.h"
#include "support/Loopback.h"
#include "support/ServingWaits.h"
#include "engine/qv_IdMappedPortTCP.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace enginetest {

using namespace testkit;

// Records what OnLog receives. Big data records are summarised to their first line and
// their Length so that relaying megabytes in dump mode stays cheap.
class TLogSink {
public:
    void Add(const std::string& AText);
    std::vector<std::string> Lines();
    // Lines with the time of day replaced by "T" and the thread id by "N"; fails the test
    // when the lines carry different thread ids.
    std::vector<std::string> Normalised();
    std::size_t Count();
    bool AllOnMainThread();
    std::int64_t LengthSum(const std::string& ADirectionHeader);
    void Clear();

private:
    std::mutex FLock;
    std::vector<std::string> FLines;
    std::vector<bool> FOnMain;
};

std::string NormaliseLine(const std::string& ALine);

class MappingTest : public ::testing::Test {
protected:
    // Lets the peer threads of the closed test connections finish with their last lines,
    // so that the server's destruction does not wait for a line nobody serves.
    void TearDown() override;
    // Runs AWork on a second thread while the main thread serves synchronized calls.
    void RunServing(const std::function<void()>& AWork);

    // The fake clock for the server's time, and connection lines in the log.
    void UseFakeClockAndConnectionLines();
    void StartMapping(int ATargetPort);
    int ListenPort() { return FListenPort; }
    // Waits for `ACount` ended connections, then for every peer thread to be gone.
    bool WaitForDisconnects(int ACount);

    TLogSink Log;
    TFakeEngineClock FakeClock;
    TqvMappedPortTCP Map;  // declared last: destroyed first, while sink and clock still live

private:
    int FListenPort = 0;
};

}  // namespace enginetest
