#include "engine/access/ConnectionGate.h"

#include <array>
#include <map>
#include <mutex>

#include "engine/access/AllowList.h"

struct TConnectionGate::TState {
    mutable std::mutex Lock;  // guards the four fields below
    TAllowList List;
    std::string ListProblem;
    std::int32_t Open = 0;
    // Keyed by the 16 bytes of the address (an IPv4 client in its IPv4-mapped form, so one
    // that came over IPv6 as ::ffff:a.b.c.d counts as the IPv4 client it is).
    std::map<TSource, std::int32_t> PerSource;

    void Release(const TSource& ASource)
    {
        std::lock_guard lock(Lock);
        --Open;
        const auto it = PerSource.find(ASource);
        if (it != PerSource.end() && --it->second <= 0)
            PerSource.erase(it);
    }
};

// One admitted connection's place in the counts; gives it back when destroyed.
class TConnectionGate::TTicket : public TIdObject {
public:
    TTicket(std::shared_ptr<TState> AState, const TSource& ASource)
        : FState(std::move(AState)), FSource(ASource)
    {}
    ~TTicket() override { FState->Release(FSource); }
    TTicket(const TTicket&) = delete;
    TTicket& operator=(const TTicket&) = delete;

private:
    std::shared_ptr<TState> FState;
    TSource FSource;
};

TConnectionGate::TConnectionGate() : FState(std::make_shared<TState>())
{}

TConnectionGate::~TConnectionGate() = default;

std::string TConnectionGate::SetAllowFrom(std::string_view AText)
{
    // Parsed outside the lock: the listener keeps deciding with the old list meanwhile.
    TAllowList list;
    std::string problem = list.Parse(AText);
    std::lock_guard lock(FState->Lock);
    FState->List = std::move(list);
    FState->ListProblem = problem;
    return problem;
}

std::string TConnectionGate::AllowFromProblem() const
{
    std::lock_guard lock(FState->Lock);
    return FState->ListProblem;
}

TAdmission TConnectionGate::Admit(std::string_view APeerIP, std::int32_t AMaxConnections,
                                  std::int32_t AMaxPerSource)
{
    // The peer is always an address as the socket layer writes it; should it ever not be,
    // only a channel open to everyone takes it.
    const auto address = TIdIPAddress::Parse(APeerIP);
    const TSource source = address ? address->V6Bytes() : TSource{};
    TAdmission result;
    std::lock_guard lock(FState->Lock);
    const TAllowList& list = FState->List;
    if (!list.AllowsEveryone() && !(address && list.Allows(*address))) {
        result.Reason = "not allowed";
        return result;
    }
    if (AMaxConnections > 0 && FState->Open >= AMaxConnections) {
        result.Reason = "channel limit " + std::to_string(AMaxConnections);
        return result;
    }
    std::int32_t& fromSource = FState->PerSource[source];
    if (AMaxPerSource > 0 && fromSource >= AMaxPerSource) {
        result.Reason = "source limit " + std::to_string(AMaxPerSource);
        return result;
    }
    ++fromSource;
    ++FState->Open;
    result.Ticket = std::make_unique<TTicket>(FState, source);
    return result;
}

std::int32_t TConnectionGate::OpenConnections() const
{
    std::lock_guard lock(FState->Lock);
    return FState->Open;
}
