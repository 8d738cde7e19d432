#include "IdThreadMgr.h"

#include "IdException.h"

std::unique_ptr<TIdThread> TIdThreadMgr::NewThread()
{
    if (!ThreadClass)
        throw EIdThreadClassNotSpecified();
    return ThreadClass();
}
