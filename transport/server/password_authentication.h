#pragma once

// The authentication manager of a server that asks for one user name and password: a connect is
// accepted only when its properties DSAuthenticationUser and DSAuthenticationPassword are that
// user and a password that gives the configured hash. Calls are not restricted further: an
// authenticated connection may call every method, as every connection may without a manager.
//
// A guesser is slowed per address: after kMaxFailures failed connects within kFailureWindow from
// one address, its further connects are refused at once, without computing the hash, until the
// oldest of those failures is older than the window. Failed connects and connects refused at once
// are each told to the diagnostics (source kDiagnosticsSource) at most once per window and
// address.
//
// The hash is computed once per right password: a keyed digest of the password it verified (key
// drawn at construction, never stored) lets later connects with it through at once, so a
// client that connects often pays the hash's cost once per server start. Any other password is
// checked against the hash.
//
// Any connection thread may call it at once; its state has its own lock. The transport borrows
// it: its owner keeps it until the transport has stopped.

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/password_hash.h"
#include "platform/text.h"
#include "transport/server/session.h"

namespace authentication_messages {

inline constexpr int kMaxFailures = 5;
inline constexpr auto kFailureWindow = std::chrono::minutes(1);
// Addresses remembered at most; a sweep of many addresses forgets the quiet ones first.
inline constexpr std::size_t kMaxAddresses = 4096;

inline constexpr TextView kDiagnosticsSource = u"Autenticação";
// kRefusedBefore <address> kWrongCredentials | kTooManyFailures.
inline constexpr TextView kRefusedBefore = u"Conexão recusada de ";
inline constexpr TextView kWrongCredentials =
    u": usuário ou senha errados (chaves USUARIO e SENHA_HASH do arquivo de configuração)";
inline constexpr TextView kTooManyFailures =
    u": tentativas demais com usuário ou senha errados; o endereço é recusado sem conferência "
    u"por até um minuto";

}  // namespace authentication_messages

class TPasswordAuthenticationManager : public TDSAuthenticationManager {
 public:
  using TClock = std::function<std::chrono::steady_clock::time_point()>;

  // AUser compared as given; AClock tells the time of the rate limit (the steady clock when
  // empty).
  TPasswordAuthenticationManager(Text AUser, password_hash::TPasswordHash AHash,
                                 TClock AClock = {});

  bool Authenticate(const TDSAuthenticateEventObject& AEvent,
                    const TDSConnectProperties& AConnectionProps,
                    std::vector<Text>& AUserRoles) override;
  void GetAuthRoles(const Text& AMethodAlias, std::vector<Text>& AAuthorizedRoles,
                    std::vector<Text>& ADeniedRoles) override;
  bool Authorize(const TDSAuthorizeEventObject& AEvent) override;

 private:
  struct TAddress {
    std::deque<std::chrono::steady_clock::time_point> Failures;  // within the window, oldest first
    int Checking = 0;  // connects of the address whose hash is being computed
    std::optional<std::chrono::steady_clock::time_point> FailureReported;
    std::optional<std::chrono::steady_clock::time_point> RefusalReported;
  };

  bool Matches(const TDSAuthenticateEventObject& AEvent);
  // Under FLock: takes a slot for a check, or false when the address is refused at once.
  bool Admit(TAddress& AAddress, std::chrono::steady_clock::time_point ANow);
  void Forget(std::chrono::steady_clock::time_point ANow);
  // Under FLock: whether what ALast last told is told again now (once per window).
  static bool ShouldReport(std::optional<std::chrono::steady_clock::time_point>& ALast,
                           std::chrono::steady_clock::time_point ANow);

  // The keyed digest of APassword, for the comparison with FVerified.
  std::string KeyedDigest(std::string_view APassword) const;

  const std::string FUserDigest;  // SHA-256 of the user name's UTF-8
  std::string FDigestKey;         // random; set at construction
  const password_hash::TPasswordHash FHash;
  const TClock FClock;

  std::mutex FLock;
  std::map<std::string, TAddress> FAddresses;  // guarded by FLock
  std::string FVerified;  // guarded by FLock: keyed digest of the right user and password once
                          // seen
};
