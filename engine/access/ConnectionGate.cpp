#include "engine/access/ConnectionGate.h"

#include <mutex>
#include <unordered_map>

#include "engine/access/AllowList.h"

struct TConnectionGate::TState {
    mutable std::mutex Lock;  // guards the four fields below
    TAllowList List;
    std::string ListProblem;
    std::int32_t Open = 0;
    std::unordered_map<std::uint32_t, std::int32_t> PerSource;

    void Release(std::uint32_t ASource)
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
    TTicket(std::shared_ptr<TState> AState, std::uint32_t ASource)
        : FState(std::move(AState)), FSource(ASource)
    {}
    ~TTicket() override { FState->Release(FSource); }
    TTicket(const TTicket&) = delete;
    TTicket& operator=(const TTicket&) = delete;

private:
    std::shared_ptr<TState> FState;
    std::uint32_t FSource;
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
    // The peer is always a dotted quad (IPv4 only); should it ever not be, only a channel
    // open to everyone takes it.
    const auto address = TAllowList::ParseAddress(APeerIP);
    const std::uint32_t source = address.value_or(0);
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
