// The three backends a relay under test forwards to, all served by one thread.
//
//   echo    sends back every byte it receives.
//   sink    reads an 8-byte volume V, then counts V bytes and answers with its running count
//           (8 bytes) after every MiB and at the end, so the client learns how much arrived.
//   source  reads an 8-byte volume V, then sends V bytes and waits for the client to close.
//
// The framing goes through any byte relay unchanged and needs no half-close, which a relay
// may not pass on. Only one measurement runs at a time, so one thread is enough and keeps
// the backend's own cost the same for every relay.
#pragma once

#include <cstdint>

namespace load {

struct BackendPorts {
    uint16_t echo = 0;
    uint16_t sink = 0;
    uint16_t source = 0;
};

// Bytes between two answers of the sink.
constexpr uint64_t kSinkAckStep = 1 << 20;

// Listens on three loopback ports, reports them through ready(), and serves until SIGTERM
// or SIGINT arrives or maxSeconds have passed. Returns the process exit code.
int runBackends(double maxSeconds, void (*ready)(const BackendPorts&));

}  // namespace load
