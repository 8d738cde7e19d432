// The two directions of a relayed connection, named by their source: client to server ("C->S":
// read from the accepted connection, written to the target) and server to client ("S->C").
#pragma once

#include <array>
#include <cstddef>

enum class TRelayDirection { ClientToServer, ServerToClient };

// One value per relay direction, indexed by DirectionIndex.
template <class T>
using TPerDirection = std::array<T, 2>;

constexpr std::size_t DirectionIndex(TRelayDirection ADirection)
{
    return ADirection == TRelayDirection::ClientToServer ? 0 : 1;
}

constexpr TRelayDirection kBothDirections[] = {TRelayDirection::ClientToServer,
                                               TRelayDirection::ServerToClient};
