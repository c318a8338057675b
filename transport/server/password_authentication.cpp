#include "transport/server/password_authentication.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include "platform/diagnostics.h"
#include "platform/openssl_handles.h"

namespace {

namespace msg = authentication_messages;

std::string Sha256(std::string_view ABytes) {
  std::string digest(EVP_MAX_MD_SIZE, '\0');
  unsigned int length = 0;
  if (EVP_Digest(ABytes.data(), ABytes.size(), reinterpret_cast<unsigned char*>(digest.data()),
                 &length, EVP_sha256(), nullptr) != 1)
    openssl::ThrowError("EVP_Digest");
  digest.resize(length);
  return digest;
}

// A text that holds a password: wiped before its memory goes.
struct TWipedUtf8 {
  std::string Bytes;
  ~TWipedUtf8() { OPENSSL_cleanse(Bytes.data(), Bytes.size()); }
};

}  // namespace

TPasswordAuthenticationManager::TPasswordAuthenticationManager(Text AUser,
                                                               password_hash::TPasswordHash AHash,
                                                               TClock AClock)
    : FUserDigest(Sha256(text::ToUtf8(AUser))),
      FDigestKey(32, '\0'),
      FHash(std::move(AHash)),
      FClock(AClock ? std::move(AClock) : TClock([] { return std::chrono::steady_clock::now(); })) {
  if (RAND_bytes(reinterpret_cast<unsigned char*>(FDigestKey.data()),
                 static_cast<int>(FDigestKey.size())) != 1)
    openssl::ThrowError("RAND_bytes");
}

std::string TPasswordAuthenticationManager::KeyedDigest(std::string_view APassword) const {
  std::string digest(EVP_MAX_MD_SIZE, '\0');
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), FDigestKey.data(), static_cast<int>(FDigestKey.size()),
           reinterpret_cast<const unsigned char*>(APassword.data()), APassword.size(),
           reinterpret_cast<unsigned char*>(digest.data()), &length) == nullptr)
    openssl::ThrowError("HMAC");
  digest.resize(length);
  return digest;
}

bool TPasswordAuthenticationManager::Matches(const TDSAuthenticateEventObject& AEvent) {
  // Both are computed whatever the user name, so the time taken does not tell a right name.
  const std::string userName = text::ToUtf8(AEvent.UserName);
  const bool user =
      CRYPTO_memcmp(Sha256(userName).data(), FUserDigest.data(), FUserDigest.size()) == 0;
  const TWipedUtf8 password{text::ToUtf8(AEvent.Password)};
  // The cache holds the user with the password: a wrong user with the right password pays the
  // full hash, as any wrong password does, and learns nothing from the time it took.
  std::string keyed = KeyedDigest(password.Bytes);
  keyed = KeyedDigest(userName + '\0' + keyed);
  {
    std::lock_guard lock(FLock);
    if (FVerified.size() == keyed.size() &&
        CRYPTO_memcmp(FVerified.data(), keyed.data(), keyed.size()) == 0)
      return true;
  }
  if (!FHash.Verify(password.Bytes) || !user) return false;
  std::lock_guard lock(FLock);
  FVerified = keyed;
  return true;
}

bool TPasswordAuthenticationManager::Authenticate(const TDSAuthenticateEventObject& AEvent,
                                                  const TDSConnectProperties&, std::vector<Text>&) {
  const std::string address = text::ToUtf8(AEvent.RemoteAddress);
  {
    std::lock_guard lock(FLock);
    const auto now = FClock();
    if (FAddresses.size() >= msg::kMaxAddresses && !FAddresses.contains(address)) Forget(now);
    TAddress& state = FAddresses[address];
    if (!Admit(state, now)) {
      if (ShouldReport(state.RefusalReported, now))
        diagnostics::Report(
            msg::kDiagnosticsSource,
            Text(msg::kRefusedBefore) + AEvent.RemoteAddress + Text(msg::kTooManyFailures),
            diagnostics::TReportKind::Notice);
      return false;
    }
  }
  bool accepted = false;
  try {
    accepted = Matches(AEvent);
  } catch (...) {
    std::lock_guard lock(FLock);
    --FAddresses[address].Checking;
    throw;
  }
  std::lock_guard lock(FLock);
  const auto now = FClock();
  TAddress& state = FAddresses[address];
  --state.Checking;
  if (accepted) {
    state.Failures.clear();
    if (state.Checking == 0) FAddresses.erase(address);
    return true;
  }
  state.Failures.push_back(now);
  if (ShouldReport(state.FailureReported, now))
    diagnostics::Report(
        msg::kDiagnosticsSource,
        Text(msg::kRefusedBefore) + AEvent.RemoteAddress + Text(msg::kWrongCredentials),
        diagnostics::TReportKind::Notice);
  return false;
}

bool TPasswordAuthenticationManager::Admit(TAddress& AAddress,
                                           std::chrono::steady_clock::time_point ANow) {
  while (!AAddress.Failures.empty() && ANow - AAddress.Failures.front() >= msg::kFailureWindow)
    AAddress.Failures.pop_front();
  // Connects being checked count as failures to come: a burst of parallel guesses gets no more
  // hash computations than a sequence would.
  if (static_cast<int>(AAddress.Failures.size()) + AAddress.Checking >= msg::kMaxFailures)
    return false;
  ++AAddress.Checking;
  return true;
}

bool TPasswordAuthenticationManager::ShouldReport(
    std::optional<std::chrono::steady_clock::time_point>& ALast,
    std::chrono::steady_clock::time_point ANow) {
  if (ALast && ANow - *ALast < msg::kFailureWindow) return false;
  ALast = ANow;
  return true;
}

void TPasswordAuthenticationManager::Forget(std::chrono::steady_clock::time_point ANow) {
  std::erase_if(FAddresses, [&](const auto& AEntry) {
    const TAddress& state = AEntry.second;
    return state.Checking == 0 &&
           (state.Failures.empty() || ANow - state.Failures.back() >= msg::kFailureWindow);
  });
  // Still full of addresses that are failing right now: a sweep; start afresh rather than grow.
  if (FAddresses.size() >= msg::kMaxAddresses)
    std::erase_if(FAddresses, [](const auto& AEntry) { return AEntry.second.Checking == 0; });
}

void TPasswordAuthenticationManager::GetAuthRoles(const Text&, std::vector<Text>&,
                                                  std::vector<Text>&) {}

bool TPasswordAuthenticationManager::Authorize(const TDSAuthorizeEventObject&) { return true; }
