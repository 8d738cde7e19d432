#include "IdTCPServerConnection.h"

#include "IdTCPServer.h"

TIdTCPServerConnection::TIdTCPServerConnection(TIdTCPServer* AServer)
    : TIdTCPConnection(AServer), FServer(AServer)
{
}
