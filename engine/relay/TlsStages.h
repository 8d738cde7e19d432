// The TLS stages of a connection's pipeline: one at the front, which decrypts what a TLS side
// sends before any other stage sees it, and one at the end, which encrypts what goes to a TLS
// side after every other stage. Both drive the connection's TTlsConnection; the handshake's
// own messages leave through TRelayPipeline::Emit towards the side they are for.
//
//   auto tls = std::make_shared<TTlsConnection>(contexts, dialled, mapHost);
//   AddTlsStages(pipe, tls, record);    // before and after the channel's other stages
//
// Threads: the carrier of the connection, as every stage.
#pragma once

#include <memory>

#include "engine/relay/RelayPipeline.h"

class TTlsConnection;
class TConnectionRecord;

// Puts the decrypting stage before all stages added so far and the encrypting one after them.
void AddTlsStages(TRelayPipeline& APipeline, const std::shared_ptr<TTlsConnection>& AConnection,
                  std::shared_ptr<TConnectionRecord> ARecord);
