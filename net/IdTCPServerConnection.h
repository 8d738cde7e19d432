// The connection of a client accepted by a TIdTCPServer. Its peer thread owns and frees it.
#pragma once

#include <memory>

#include "net/IdTCPConnection.h"
#include "net/IdThread.h"

class TIdTCPServer;

class TIdTCPServerConnection : public TIdTCPConnection {
public:
    explicit TIdTCPServerConnection(TIdTCPServer* AServer);
    TIdTCPServer* Server() const { return FServer; }

    // What the server's DoAdmit attached to this connection (its place in the server's count
    // of open connections, say); freed with the connection, on whichever thread frees it.
    std::unique_ptr<TIdObject> Admission;

private:
    TIdTCPServer* FServer;
};
