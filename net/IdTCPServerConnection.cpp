#include "net/IdTCPServerConnection.h"

#include "net/IdTCPServer.h"

TIdTCPServerConnection::TIdTCPServerConnection(TIdTCPServer* AServer)
    : TIdTCPConnection(AServer), FServer(AServer)
{}
