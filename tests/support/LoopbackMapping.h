// A mapping server of the engine tests, set up on loopback: it listens on 127.0.0.1 and maps
// every client to 127.0.0.1:ATargetPort. Main thread, while the server is inactive.
//
//   MapOnLoopback(map, backend.Port());
//   map.SetActive(true);
//   const int port = map.Bindings().Items(0)->Port();   // the port the system chose
#pragma once

#include "engine/IdMappedPortTCP.h"

namespace testkit {

// AListenPort 0 lets the system choose; a restarted server passes the port it had.
inline void MapOnLoopback(TIdMappedPortTCP& AMap, int ATargetPort, int AListenPort = 0)
{
    AMap.Bindings().Clear();
    AMap.SetDefaultPort(AListenPort);
    AMap.Bindings().Add()->SetIP("127.0.0.1");
    AMap.SetMappedHost("127.0.0.1");
    AMap.SetMappedPort(ATargetPort);
}

}  // namespace testkit
