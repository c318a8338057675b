// Feeds a peer's bytes to the server side of a filtered channel: negotiation, then framed
// reads, each read written back so that encoding runs with the negotiated parameters.
// Input: [split][mode][peer bytes...]. The low nibble of split is the size of the pieces the
// bytes arrive in (0: all at once), its high nibble the read buffer's size (1 << n bytes);
// bit 0 of mode gives a server without filters.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "tests/support/memory_channel.h"
#include "transport/dbx_error.h"
#include "transport/filter/filter_socket_channel.h"

namespace {

TTransportFilterCollection& ConfiguredFilters() {
  static TTransportFilterCollection filters;
  static const bool configured = [] {
    filters.AddFilter(u"ZLibCompression");
    filters.GetItem(0)->SetFilterPropertiesText(u"CompressMoreThan=1024");
    return true;
  }();
  (void)configured;
  return filters;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  if (ASize < 2) return 0;
  const std::size_t piece = AData[0] & 0x0F;
  const int bufferSize = 1 << (AData[0] >> 4);
  TTransportFilterCollection none;
  TDBXFilterSocketChannel channel((AData[1] & 1) ? &none : &ConfiguredFilters());

  auto wire = std::make_unique<TMemoryChannel>();
  const std::string_view bytes(reinterpret_cast<const char*>(AData + 2), ASize - 2);
  for (std::size_t at = 0; at < bytes.size(); at += piece ? piece : bytes.size())
    wire->PushInput(bytes.substr(at, piece ? piece : bytes.size()));
  channel.SetChannel(std::move(wire));

  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(bufferSize));
  try {
    for (int i = 0; i < 1024; ++i) {
      const int count = channel.Read(buffer, 0, bufferSize);
      if (count < 0) break;
      if (count > bufferSize) __builtin_trap();
      channel.Write(buffer, 0, count);
    }
  } catch (const TDBXError&) {
    // Every way a peer can end its connection.
  }
  return 0;
}
