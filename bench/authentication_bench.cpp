// What a password costs, with the server in this process over loopback:
//   a. one check of a password against a hash of kDefaultIterations (what each connect pays)
//   b. a new connection, connect and DSAdmin.GetPlatformName, with the password asked (the first
//      one, whose password is hashed, and the later ones) vs without
//   c. a connect refused at once after the failures of its address vs a connection without one
// Usage: authentication_bench

#include <chrono>
#include <cstdio>
#include <string>

#include "app/container/server_container.h"
#include "bench/bench_timing.h"
#include "platform/password_hash.h"
#include "platform/xmldsig/library_scope.h"
#include "transport/client/dbx_client.h"
#include "transport/server/password_authentication.h"

namespace {

const TDBXClient::TProperties kRight = {{u"DSAuthenticationUser", u"caixa"},
                                        {u"DSAuthenticationPassword", u"s3nha!"}};
const TDBXClient::TProperties kWrong = {{u"DSAuthenticationUser", u"caixa"},
                                        {u"DSAuthenticationPassword", u"chute"}};

// One connection: open, connect with AProperties, one call when accepted, close.
void Session(std::uint16_t APort, const TDBXClient::TProperties& AProperties) {
  TDBXClient client("127.0.0.1", APort);
  client.Open();
  try {
    client.Connect(AProperties);
    client.CallTextMethod(u"DSAdmin.GetPlatformName", {});
  } catch (const TDBXRemoteError&) {
    // refused: what figure c times
  }
  client.Close();
}

}  // namespace

int main() {
  TXmlLibraryScope libraries;
  const password_hash::TPasswordHash hash = password_hash::TPasswordHash::Make("s3nha!");
  const auto [verify, verifyAgain] =
      PairedMedianSeconds([&] { hash.Verify("s3nha!"); }, [&] { hash.Verify("chute"); }, 2.0);
  std::printf("a. password check, %u iterations: %.1f ms (wrong password %.1f ms)\n",
              hash.Iterations(), verify * 1e3, verifyAgain * 1e3);

  TPasswordAuthenticationManager manager(u"caixa", hash);
  TSC asking([](TLogLevel, const Text&) {});
  asking.dsTCP.SetAuthenticationManager(&manager);
  asking.dsTCP.SetPort(0);
  asking.dsSvr.Start();
  TSC open([](TLogLevel, const Text&) {});
  open.dsTCP.SetPort(0);
  open.dsSvr.Start();
  const auto firstStart = std::chrono::steady_clock::now();
  Session(asking.dsTCP.BoundPort(), kRight);
  const double first =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - firstStart).count();
  const auto [withPassword, without] =
      PairedMedianSeconds([&] { Session(asking.dsTCP.BoundPort(), kRight); },
                          [&] { Session(open.dsTCP.BoundPort(), {}); }, 3.0);
  std::printf(
      "b. connection with a call: first with the password %.2f ms, later ones %.2f ms, without a "
      "password %.2f ms (x%.2f)\n",
      first * 1e3, withPassword * 1e3, without * 1e3, withPassword / without);

  // 127.0.0.1 has failed often enough: its connects are refused at once from here on.
  for (int i = 0; i < authentication_messages::kMaxFailures; ++i)
    Session(asking.dsTCP.BoundPort(), kWrong);
  const auto [refused, reference] =
      PairedMedianSeconds([&] { Session(asking.dsTCP.BoundPort(), kWrong); },
                          [&] { Session(open.dsTCP.BoundPort(), {}); }, 1.0);
  std::printf(
      "c. connect refused at once (address past its failures): %.2f ms; a connection without a "
      "password %.2f ms\n",
      refused * 1e3, reference * 1e3);
  asking.dsSvr.Stop();
  open.dsSvr.Stop();
  return 0;
}
