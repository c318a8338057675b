// libFuzzer target for the client library: everything the server sends is input. After a
// negotiation that settles on plain bytes, the client connects, prepares SignDocument, executes
// it with a text long enough to continue (so the server may ask for its rest) and runs a text
// method; whatever the server's bytes, each step ends in a result or a TDBXError, never in a
// crash, a hang or an allocation the bytes announced but did not bring.
//
// Input layout: byte 0 the largest chunk a channel read delivers, then the server's bytes.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "tests/support/memory_channel.h"
#include "transport/client/dbx_client.h"
#include "transport/dbx_error.h"

namespace {

void Attempt(TDBXClient& AClient, const std::function<void()>& AStep) {
  if (!AClient.IsOpen()) return;
  try {
    AStep();
  } catch (const TDBXError&) {
    // A remote error keeps the connection; anything else closed it.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t chunk = static_cast<std::size_t>(data[0]) + 1;
  const std::string_view server(reinterpret_cast<const char*>(data + 1), size - 1);
  auto channel = std::make_unique<TMemoryChannel>();
  channel->PushInput(std::string_view("\x06\x00\x00\x00\x00", 5));  // no filters
  for (std::size_t at = 0; at < server.size(); at += chunk)
    channel->PushInput(server.substr(at, chunk));

  TDBXClient client("fuzz", 0);
  try {
    client.Open(std::move(channel));
  } catch (const TDBXError&) {
    return 0;
  }
  Attempt(client, [&] { client.Connect(); });
  TDBXCommand command;
  Attempt(client, [&] { command = client.Prepare(u"TSMSignService.SignDocument"); });
  Attempt(client, [&] {
    std::vector<TDBXValue> in;
    for (const TDBXParameter& parameter : command.Parameters)
      if (parameter.Direction == pdIn || parameter.Direction == pdInOut)
        in.emplace_back(Text(in.empty() ? 40000 : 6, u'x'));
    client.Execute(command, in);
  });
  Attempt(client, [&] { client.CallTextMethod(u"TSMSignService.getListCertificate", {}); });
  Attempt(client, [&] { client.CommandClose(command.Handle); });
  Attempt(client, [&] { client.Disconnect(); });
  return 0;
}
