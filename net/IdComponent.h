// Base classes of the network objects.
//
// TIdBaseComponent has an owner and nothing else. TIdComponent (servers, connections, clients)
// also counts the live network objects of the process: the first one starts the socket stack
// up, the last one tears it down. Objects are created and destroyed on any thread.
#pragma once

#include <functional>
#include <string>

class TIdBaseComponent {
public:
    explicit TIdBaseComponent(TIdBaseComponent* AOwner = nullptr) : FOwner(AOwner) {}
    virtual ~TIdBaseComponent() = default;
    TIdBaseComponent(const TIdBaseComponent&) = delete;
    TIdBaseComponent& operator=(const TIdBaseComponent&) = delete;

    TIdBaseComponent* Owner() const { return FOwner; }

private:
    TIdBaseComponent* FOwner;
};

enum class TIdStatus {
    hsResolving,
    hsConnecting,
    hsConnected,
    hsDisconnecting,
    hsDisconnected,
    hsText
};

class TIdComponent : public TIdBaseComponent {
public:
    explicit TIdComponent(TIdBaseComponent* AOwner = nullptr);
    ~TIdComponent() override;

    // Never fired by this layer; kept for handlers that want to listen.
    std::function<void(TIdComponent* ASender, TIdStatus AStatus, const std::string& AText)>
        OnStatus;

    // Number of live network objects in the process (the stack's use count). Thread safe.
    static int InstanceCount();
};
