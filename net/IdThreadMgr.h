// Hands out the peer threads of a server. Owned by the server (or set by its user).
#pragma once

#include "net/IdComponent.h"
#include "net/IdGlobal.h"
#include "net/IdThread.h"

class TIdThreadMgr : public TIdBaseComponent {
public:
    explicit TIdThreadMgr(TIdBaseComponent* AOwner = nullptr) : TIdBaseComponent(AOwner) {}

    // A new stopped thread of ThreadClass; EIdThreadClassNotSpecified when none is set.
    virtual std::unique_ptr<TIdThread> NewThread();
    // Called on the listener thread.
    virtual TIdThread* ObtainThread() = 0;
    // Called on the released thread itself (marks it to free itself) or on another thread
    // (terminates, waits for and frees it).
    virtual void ReleaseThread(TIdThread* AThread) = 0;

    TIdThreadClass ThreadClass;  // set on the main thread before use
    TThreadList<TIdThread*> ActiveThreads;  // thread safe
};
