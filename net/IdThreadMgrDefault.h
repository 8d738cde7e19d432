// The thread manager a server creates for itself: a new thread per connection, no pooling.
#pragma once

#include "net/IdThreadMgr.h"

class TIdThreadMgrDefault : public TIdThreadMgr {
public:
    using TIdThreadMgr::TIdThreadMgr;
    TIdThread* ObtainThread() override;
    void ReleaseThread(TIdThread* AThread) override;
};
