// Client workloads of the load generator. Each prints one or more lines of the form
//   <workload> key=value key=value ...
// on standard output, and every loop in here is bounded both in count and in time.
#pragma once

#include "Socket.h"

#include <cstdint>
#include <string>
#include <vector>

namespace load {

// Bulk transfer through N connections. "up" writes to a sink, "down" reads from a source.
// The volume is shared evenly among the connections; the run ends when all of it has
// arrived or maxSeconds have passed, and the rate counts what arrived (MB = 10^6 bytes).
struct TputOptions {
    Target target;
    bool up = true;
    int conns = 1;
    uint64_t bytes = 0;
    double maxSeconds = 10;
};
int runTput(const TputOptions& options);

// Round trips of one byte on one connection to an echo backend, p50 and p99.
struct LatencyOptions {
    Target target;
    int count = 20000;
    double maxSeconds = 30;
};
// idleHeld is only printed: the caller says how many idle connections it holds meanwhile.
int runLatency(const LatencyOptions& options, int idleHeld);

// Workers that connect, send one byte, wait for its echo and close, for a fixed time. Also
// reports the longest connect (a dropped SYN costs a second).
struct CpsOptions {
    Target target;
    int workers = 8;
    double seconds = 5;
};
int runCps(const CpsOptions& options);

// Bursts of simultaneous connects: every client of a burst starts its connect before any is
// waited for, sends one byte and waits for its echo; the connect+echo times of all rounds
// give p50, p99 and the maximum. A burst ends after maxSeconds at the latest.
struct BurstOptions {
    Target target;
    int conns = 200;
    int rounds = 5;
    double maxSeconds = 10;
};
int runBurst(const BurstOptions& options);

// Holds growing numbers of connections to an echo backend and checks at every level that
// each one still echoes; optionally reads the relay's memory and measures latency at a level.
struct HoldOptions {
    Target target;
    std::vector<int> levels{1000, 4000, 8000};
    std::vector<int> pids;  // relay processes whose memory is read
    int window = 16;  // connects in flight at once
    double openSeconds = 20;  // bound for opening the connections of one level
    double echoSeconds = 10;  // bound for the echo check of one level
    int latencyAt = 0;  // level at which the latency is measured, 0 for none
    int latencyCount = 20000;
    double latencySeconds = 10;
};
int runHold(const HoldOptions& options);

// Request/response on many connections: each of conns connections sends pipeline requests of
// size bytes at once to the echo backend and waits for all their answers before sending the
// next ones. After warmupSeconds, counts the requests answered in seconds and the CPU seconds
// that the relay's processes and the backend's spent meanwhile (read from /proc, with all
// their descendants; no relay pids: the relay figures are not measured).
struct RrOptions {
    Target target;
    int conns = 50;
    int pipeline = 1;
    int size = 40;
    double seconds = 5;
    double warmupSeconds = 1;
    std::vector<int> relayPids;
    std::vector<int> backendPids;
};
int runRequestResponse(const RrOptions& options);

// The TLS forms of cps, tput (downloads) and rr (Tls.cpp): every connection a full TLS 1.3 handshake with the
// relay, which must answer with the backend's echo; rr's connections are opened (handshakes
// included) before the warm-up ends.
int runTlsCps(const CpsOptions& options);
// Downloads from the source backend through TLS connections (o.up is ignored).
int runTlsDownload(const TputOptions& options);
int runTlsRequestResponse(const RrOptions& options);

// Shaping accuracy: downloads from sources behind rate-limited channels and compares the
// measured rate of every connection, and of every row as a whole, with the row's limit.
struct ShapeRow {
    Target target;
    int conns = 1;
    long limit = 0;
};
struct ShapeOptions {
    std::vector<ShapeRow> rows;
    double seconds = 10;
};
int runShape(const ShapeOptions& options);

}  // namespace load
