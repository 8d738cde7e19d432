// The connection of a client accepted by a TIdTCPServer. Its peer thread owns and frees it.
#pragma once

#include "IdTCPConnection.h"

class TIdTCPServer;

class TIdTCPServerConnection : public TIdTCPConnection {
public:
    explicit TIdTCPServerConnection(TIdTCPServer* AServer);
    TIdTCPServer* Server() const { return FServer; }

private:
    TIdTCPServer* FServer;
};
