#pragma once

// The server container: the remote-method server, its TCP transport with the compression
// filter, and the server class that offers TSMSignService. It holds no logic beyond wiring
// them; the controller sets the port and starts and stops the server.
//
// Created once by the program's start sequence and destroyed last; used by the thread that
// controls the server. The server is stopped at creation (it never starts by itself) and again
// at destruction, before its components go.

#include <memory>

#include "server/service/sign_failure_journal.h"
#include "server/utils/logger.h"
#include "transport/server/ds_server.h"
#include "transport/tcp/server_transport.h"

class TSC {
 public:
  // AServiceLog receives the journal records of the service instances (the executable's
  // journal when empty), the refused signatures of remote clients included.
  explicit TSC(TLogFunction AServiceLog = {});
  ~TSC();
  TSC(const TSC&) = delete;
  TSC& operator=(const TSC&) = delete;

  TDSServer dsSvr;
  TDSTCPServerTransport dsTCP;
  TDSServerClass DSServerClass1;

 private:
  // dsTCP's settings: attached to dsSvr, the compression filter, how connections talk.
  void SetUpTransport();
  void SetUpServerClass(TLogFunction AServiceLog);

  std::shared_ptr<TSignFailureJournal> FSignFailures;
};
