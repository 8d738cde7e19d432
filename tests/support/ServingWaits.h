// The bounded wait of the tests that drive the network layer or the engine from their main
// thread: peer threads hand calls (log lines, the listener's end) to the main thread and block
// until it has run them, so a main thread that waits must serve them meanwhile.
#pragma once

#include "net/IdSync.h"
#include "support/Waits.h"

namespace testkit {

// PollUntil, serving the calls handed to the main thread between two tests of ADone.
inline bool WaitUntil(const std::function<bool()>& ADone,
                      std::chrono::milliseconds ALimit = kDeadline)
{
    return PollUntil(ADone, ALimit, [] { ServePending(); });
}

}  // namespace testkit
