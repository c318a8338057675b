#pragma once

// Certificates on tokens and smart cards (A3), reached through their PKCS#11 modules.
//
// The modules are those registered with p11-kit (a driver package installs a module file; a
// user adds one under ~/.config/pkcs11/modules/), trust-policy modules left out, plus the
// paths of ASSINADOR_NFSE_PKCS11 (colon-separated); a module met twice is used once. They are
// loaded on the first listing of the personal store and kept for the life of the process;
// with no module configured nothing is loaded.
//
// Every listing asks each module which tokens are present, so a token plugged in or pulled
// out is seen at the next listing; a token's certificates are read once per insertion. Each
// certificate stands for the key of the same object identifier on its token: the key stays
// there, and the signer's EVP_PKEY asks the token to sign. Logging in asks the process's PIN
// source (pin_source.h) unless the token has its own PIN pad, and the token stays logged in
// until it is pulled out or the program ends; the PIN itself is wiped right after the login.
// A token serves one signature at a time: the others wait their turn, for a bounded time.
//
// Any thread.

#include <p11-kit/pkcs11.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/certstore/certificate.h"

namespace certstore {

struct TToken;

class TTokenStore {
 public:
  // How long a signature waits for its token's turn.
  static constexpr std::chrono::seconds kDefaultTurnWait{120};

  // AModules are initialised and outlive the store; AOrigins name them (file paths) for
  // messages.
  TTokenStore(std::vector<CK_FUNCTION_LIST*> AModules,
              std::chrono::milliseconds ATurnWait = kDefaultTurnWait);
  ~TTokenStore();
  TTokenStore(const TTokenStore&) = delete;
  TTokenStore& operator=(const TTokenStore&) = delete;

  // The certificates of every present token: modules in order, slots in each module's order,
  // objects in the token's order.
  std::vector<ICertificate2Ptr> Certificates();

 private:
  std::vector<CK_FUNCTION_LIST*> FModules;
  std::chrono::milliseconds FTurnWait;
  std::mutex FLock;
  // Tokens seen at the last listing, by module index and slot.
  std::map<std::pair<std::size_t, CK_SLOT_ID>, std::shared_ptr<TToken>> FTokens;
};

// The process's tokens, from the modules configured as above; no certificate when none is.
std::vector<ICertificate2Ptr> TokenCertificates();

}  // namespace certstore
