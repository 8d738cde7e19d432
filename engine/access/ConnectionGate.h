// Who may connect to a channel: the allow list, the cap on the connections the channel holds
// at once and the cap per client address. The mapping server asks it on its accepting thread
// for every accepted client, before a peer thread or an outbound connection exists.
//
//   TConnectionGate gate;
//   std::string problem = gate.SetAllowFrom("127.0.0.0/8, 10.1.2.3");   // empty: it parsed
//   TAdmission a = gate.Admit("127.0.0.1", maxConnections, maxPerSource);
//   if (a.Ticket) keep a.Ticket with the connection; else refuse it, saying a.Reason
//
// An admitted connection counts until its ticket is destroyed, with the connection, on
// whichever thread frees it. Connections are counted also while no cap is set, so that a cap
// set on a running channel sees the connections already open. A cap of 0 or less is no cap.
//
// Threads: thread safe. One lock guards the list and the counts and is held only for the
// decision itself (a search of the list and a lookup of the count). Tickets may outlive the gate.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "net/IdThread.h"

struct TAdmission {
    std::unique_ptr<TIdObject> Ticket;  // set when admitted
    std::string Reason;  // else why: "not allowed", "channel limit 100", ...
};

class TConnectionGate {
public:
    TConnectionGate();
    ~TConnectionGate();
    TConnectionGate(const TConnectionGate&) = delete;
    TConnectionGate& operator=(const TConnectionGate&) = delete;

    // Takes a new AllowFrom text for the connections admitted from now on. Returns empty when
    // it parsed, else what is wrong with it; the gate then admits no one.
    std::string SetAllowFrom(std::string_view AText);
    // What the last SetAllowFrom found wrong, or empty.
    std::string AllowFromProblem() const;
    // APeerIP: the client's address as the socket layer writes it (a dotted quad, or IPv6
    // text; an IPv4-mapped client comes as its IPv4 address).
    TAdmission Admit(std::string_view APeerIP, std::int32_t AMaxConnections,
                     std::int32_t AMaxPerSource);
    // Admitted connections whose tickets still live.
    std::int32_t OpenConnections() const;

private:
    using TSource = std::array<std::uint8_t, 16>;
    struct TState;
    class TTicket;
    std::shared_ptr<TState> FState;
};
