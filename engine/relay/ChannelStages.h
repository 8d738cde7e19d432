// The stages every connection of a mapping channel relays through, in this order:
//
//   read -> [TLS decrypt] -> [a test's first stage] -> count -> dump text -> capture
//        -> conditions (hold, reset, stall) -> [TLS encrypt] -> shaping -> write
//
// Each is a no-op while its feature is off, so an unwatched connection passes every piece on
// as it was read. TChannelPipelines makes the pipeline of each new connection; the channel
// (the mapping server) answers the stages' questions through TRelayChannel.
//
// Threads: TRelayChannel's operations are called by the carrying threads (peer threads and
// relay pool threads) and must be thread safe. A stage belongs to one connection's pipeline.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/common/EngineClock.h"
#include "engine/relay/RelayPipeline.h"

class TConnectionRecord;
class TConnectionConditions;
class TNetConditions;
class TCaptureTap;
class TTlsConnection;

// What the stages ask of their channel: its live settings, counters and texts.
class TRelayChannel {
public:
    virtual std::int32_t DataMode() const = 0;
    virtual bool LogsTexts() const = 0;  // Logging: lines can be delivered at all
    virtual bool LogsConnections() const = 0;  // LogConnInfo
    virtual bool LogsDelays() const = 0;  // LogDelayInfo
    virtual bool DelaysPerStep() const = 0;  // DelayPerThread
    virtual std::int32_t MaxSpeed(TRelayDirection ADirection) const = 0;
    virtual std::int32_t TransmittingSteps() const = 0;
    // Adds to the channel's read counter (BytesCS, BytesSC) and busy counter (BusyBytes...).
    virtual void CountRead(TRelayDirection ADirection, std::int64_t ABytes) = 0;
    virtual void CountWritten(TRelayDirection ADirection, std::int64_t ABytes) = 0;
    // Adds to the channel's count of every byte read, whether or not the direction is counted
    // by the described counters (the metrics read it). A channel that keeps none ignores it.
    virtual void CountRelayed(TRelayDirection, std::int64_t) {}
    // The busy-period text of a data record.
    virtual std::string ConnectionInfo() = 0;
    // Time stamp, channel name and the calling thread's tag: the start of a connection's line.
    virtual std::string LinePrefix() const = 0;
    virtual TEngineClock& Clock() = 0;
    virtual TNetConditions& Conditions() = 0;
    virtual TCaptureTap& Tap() = 0;
    // A capture file failure not reported yet, or empty.
    virtual std::string TakeCaptureError() = 0;

protected:
    ~TRelayChannel() = default;
};

// Makes the pipelines of a channel's connections. Thread safe once set up; SetFirstStages on
// the main thread while the channel is inactive.
class TChannelPipelines {
public:
    using TStageMaker = std::function<std::unique_ptr<TRelayStage>()>;

    explicit TChannelPipelines(TRelayChannel& AChannel) : FChannel(AChannel) {}

    // The pipeline of a new connection with its record, its draw of the network conditions
    // (nullopt: the conditions leave it untouched) and its TLS legs (nullptr: none).
    std::unique_ptr<TRelayPipeline> Make(std::shared_ptr<TConnectionRecord> ARecord,
                                         std::optional<std::uint64_t> AConditionsSeed,
                                         std::shared_ptr<TTlsConnection> ATls = nullptr);
    // A stage put before all others in every new connection's pipeline (a test's).
    void SetFirstStage(TStageMaker AMaker) { FFirstStage = std::move(AMaker); }

private:
    TRelayChannel& FChannel;
    TStageMaker FFirstStage;
};
