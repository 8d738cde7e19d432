#include "net/IdThreadMgr.h"

#include "net/IdException.h"

std::unique_ptr<TIdThread> TIdThreadMgr::NewThread()
{
    if (!ThreadClass)
        throw EIdThreadClassNotSpecified();
    return ThreadClass();
}
