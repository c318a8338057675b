#include "transport/filter/filter_socket_channel.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "transport/dbx_error.h"
#include "transport/filter/filter_messages.h"

namespace {

using namespace filter_format;

// Body buffers start this small and double as bytes arrive, so a header that claims a large
// length costs memory only for what the peer really sends.
constexpr std::size_t kFirstBodyChunk = 64 * 1024;
// A consumed leftover buffer bigger than this is given back instead of kept for the next block.
constexpr std::size_t kKeptLeftoverCapacity = 1024 * 1024;

constexpr std::array<std::uint8_t, kHeaderSize> kRequestHeader{
    kNegotiationRequest, kNegotiationRequest, kNegotiationRequest, kNegotiationRequest,
    kNegotiationRequest};
constexpr std::array<std::uint8_t, kHeaderSize> kNoFiltersHeader{kNoFilters, 0, 0, 0, 0};

bool ValidRange(std::size_t ASize, int AOffset, int ACount) {
  return AOffset >= 0 && ACount >= 0 &&
         static_cast<std::size_t>(AOffset) + static_cast<std::size_t>(ACount) <= ASize;
}

}  // namespace

TDBXFilterSocketChannel::TDBXFilterSocketChannel()
    : FFilterList(std::make_unique<TTransportFilterCollection>()) {}

TDBXFilterSocketChannel::TDBXFilterSocketChannel(TTransportFilterCollection* AFilterList) {
  SetFilterList(AFilterList);
}

TDBXFilterSocketChannel::~TDBXFilterSocketChannel() = default;

void TDBXFilterSocketChannel::Open() {
  if (FDelegate) FDelegate->Open();
}

void TDBXFilterSocketChannel::Close() {
  if (FDelegate) FDelegate->Close();
}

bool TDBXFilterSocketChannel::GetConnectionLost() const {
  return FDelegate && FDelegate->GetConnectionLost();
}

TDBXChannelInfo* TDBXFilterSocketChannel::GetChannelInfo() {
  return FDelegate ? FDelegate->GetChannelInfo() : nullptr;
}

bool TDBXFilterSocketChannel::HasLeftover() const { return FLeftoverPos < FLeftover.size(); }

bool TDBXFilterSocketChannel::HasFilters() const { return FFilterList && FFilterList->Count() > 0; }

int TDBXFilterSocketChannel::GetFlag() const { return FFilterFlag; }

void TDBXFilterSocketChannel::SetChannel(TDbxChannelPtr ADelegate) {
  FDelegate = std::move(ADelegate);
}

void TDBXFilterSocketChannel::SetFilterList(TTransportFilterCollection* AValue) {
  auto list = std::make_unique<TTransportFilterCollection>();
  if (AValue) {
    for (int i = 0; i < AValue->Count(); ++i) {
      const TTransportFilter* source = AValue->GetFilter(i);
      if (!source) continue;
      TTransportFilterPtr filter = TTransportFilterFactory::CreateFilter(source->Id());
      if (!filter) continue;
      for (const Text& name : source->GetUserParameters())
        filter->SetParameterValue(name, source->GetParameterValue(name));
      filter->SetMemoryAccount(FMemory);
      list->AddFilter(std::move(filter));
    }
  }
  FFilterList = std::move(list);
}

int TDBXFilterSocketChannel::Read(std::span<std::uint8_t> Buffer, int Offset, int Count) {
  if (!FDelegate || !ValidRange(Buffer.size(), Offset, Count)) return -1;
  switch (FFilterFlag) {
    case 0:
      return ServerNegotiate(Buffer, Offset, Count);
    case 1:
      return FilteredRead(Buffer, Offset, Count);
    default:
      return PlainRead(Buffer, Offset, Count);
  }
}

int TDBXFilterSocketChannel::Write(std::span<const std::uint8_t> Buffer, int Offset, int Count) {
  if (!FDelegate || !ValidRange(Buffer.size(), Offset, Count)) return -1;
  switch (FFilterFlag) {
    case 0:
      return ClientNegotiate(Buffer, Offset, Count);
    case 1:
      return FilteredWrite(Buffer, Offset, Count);
    default:
      return FDelegate->Write(Buffer, Offset, Count);
  }
}

int TDBXFilterSocketChannel::ServerNegotiate(std::span<std::uint8_t> Buffer, int Offset,
                                             int Count) {
  if (!ReadExactly(FHeaderData.data(), kHeaderSize)) return -1;
  if (FHeaderData == kRequestHeader) {
    if (HasFilters()) {
      FFilterFlag = 1;
      FFilterList->StartHandshake();
      if (HasPublicKeyFilters()) {
        if (!SendFilterList(true) || !ReadHeader() || !ReceiveFilterList(true)) return -1;
        FPublicKeyPhaseDone = true;
      }
      if (!SendFilterList(false) || !ReadHeader() || !ReceiveFilterList(false)) return -1;
      if (!FFilterList->HandshakeComplete()) return -1;
      return FilteredRead(Buffer, Offset, Count);
    }
    FFilterFlag = -1;
    FHeaderData = kNoFiltersHeader;
    if (FDelegate->Write(FHeaderData, 0, kHeaderSize) < 0) return -1;
    return PlainRead(Buffer, Offset, Count);
  }
  // A filtered server talks to negotiating peers only.
  if (HasFilters()) return -1;
  // No negotiation asked for: the five bytes were the start of the data. They are handed out
  // as a leftover, so a caller's buffer shorter than five bytes loses none of them.
  FFilterFlag = -1;
  FLeftover.assign(FHeaderData.begin(), FHeaderData.end());
  FLeftoverPos = 0;
  int count = HandOutLeftover(Buffer, Offset, Count);
  if (count < Count) {
    const int more = FDelegate->Read(Buffer, Offset + count, Count - count);
    if (more < 0) return -1;
    count += more;
  }
  return count;
}

int TDBXFilterSocketChannel::ClientNegotiate(std::span<const std::uint8_t> Buffer, int Offset,
                                             int Count) {
  using namespace filter_messages;
  FHeaderData = kRequestHeader;
  if (FDelegate->Write(FHeaderData, 0, kHeaderSize) < 0) return -1;
  if (!ReadHeader()) return -1;
  if (FHeaderData[0] != kPublicKeyBlock) {
    if (const TTransportFilter* filter = FirstPublicKeyFilter())
      throw TDBXError(kErrorCode, FormatMessage(kNoMatchingFilter, {filter->Id()}));
  }
  if (FHeaderData == kNoFiltersHeader) {
    FFilterFlag = -1;
    return FDelegate->Write(Buffer, Offset, Count);
  }
  FFilterFlag = 1;
  if (FHeaderData[0] == kPublicKeyBlock) {
    if (!ReceiveFilterList(true)) return -1;
    FPublicKeyPhaseDone = true;
    if (!SendFilterList(true) || !ReadHeader()) return -1;
  }
  if (!ReceiveFilterList(false) || !SendFilterList(false)) return -1;
  if (!FFilterList->HandshakeComplete()) return -1;
  return FilteredWrite(Buffer, Offset, Count);
}

int TDBXFilterSocketChannel::FilteredRead(std::span<std::uint8_t> Buffer, int Offset, int Count) {
  // A block's bytes are used up before the next header is read: one block may feed several
  // reads, but a read never mixes two blocks.
  if (HasLeftover()) return HandOutLeftover(Buffer, Offset, Count);
  std::int32_t length = 0;
  TBytes body;
  TMemoryReservation bodyCharge(FMemory);
  if (!ReadHeader() || !HeaderLength(length) || !ReadBody(length, body, bodyCharge)) return -1;
  TBytes decoded;
  const bool filtered = RunFilters(false, false, body, decoded);
  if (filtered) {
    TBytes().swap(body);
    bodyCharge.Release();
  }
  FLeftover = filtered ? std::move(decoded) : std::move(body);
  FLeftoverPos = 0;
  try {
    FLeftoverCharge.Resize(FLeftover.capacity());
  } catch (...) {
    // A block the budget cannot hold is given back before the refusal travels on.
    TBytes().swap(FLeftover);
    FLeftoverCharge.Release();
    throw;
  }
  return HandOutLeftover(Buffer, Offset, Count);
}

int TDBXFilterSocketChannel::FilteredWrite(std::span<const std::uint8_t> Buffer, int Offset,
                                           int Count) {
  // An empty block would reach the peer as a body without a marker.
  if (Count == 0) return 0;
  const auto data =
      Buffer.subspan(static_cast<std::size_t>(Offset), static_cast<std::size_t>(Count));
  TBytes encoded;
  const std::span<const std::uint8_t> body =
      RunFilters(false, true, data, encoded) ? encoded : data;
  int result = -1;
  if (!WriteBlock(kDataBlock, body, result)) return -1;
  return result;  // the encoded length, as deployed peers' channels report it
}

int TDBXFilterSocketChannel::PlainRead(std::span<std::uint8_t> Buffer, int Offset, int Count) {
  if (HasLeftover()) return HandOutLeftover(Buffer, Offset, Count);
  return FDelegate->Read(Buffer, Offset, Count);
}

bool TDBXFilterSocketChannel::ReadExactly(std::uint8_t* ADestination, int ACount) {
  const std::span<std::uint8_t> destination(ADestination, static_cast<std::size_t>(ACount));
  int got = 0;
  while (got < ACount) {
    const int count = FDelegate->Read(destination, got, ACount - got);
    if (count <= 0) return false;
    got += count;
  }
  return true;
}

bool TDBXFilterSocketChannel::ReadHeader() { return ReadExactly(FHeaderData.data(), kHeaderSize); }

bool TDBXFilterSocketChannel::HeaderLength(std::int32_t& ALength) const {
  if (FHeaderData[0] != kPublicKeyBlock && FHeaderData[0] != kDataBlock) return false;
  const std::uint32_t length = (std::uint32_t{FHeaderData[1]} << 24) |
                               (std::uint32_t{FHeaderData[2]} << 16) |
                               (std::uint32_t{FHeaderData[3]} << 8) | std::uint32_t{FHeaderData[4]};
  // Negative lengths (top bit set) and lengths past the limit are bad headers alike.
  if (length > static_cast<std::uint32_t>(kMaxBlockLength)) return false;
  ALength = static_cast<std::int32_t>(length);
  return true;
}

bool TDBXFilterSocketChannel::ReadBody(std::int32_t ALength, TBytes& ABody,
                                       TMemoryReservation& ACharge) {
  const auto total = static_cast<std::size_t>(ALength);
  ABody.clear();
  std::size_t got = 0;
  while (got < total) {
    if (got == ABody.size()) {
      const std::size_t grown = std::min(total, std::max(kFirstBodyChunk, 2 * got));
      // While growing, the old buffer and the new one are held at once.
      ACharge.Resize(ABody.capacity() + grown);
      ABody.resize(grown);
      ACharge.Resize(ABody.capacity());
    }
    const int count =
        FDelegate->Read(ABody, static_cast<int>(got), static_cast<int>(ABody.size() - got));
    if (count <= 0) return false;
    got += static_cast<std::size_t>(count);
  }
  return true;
}

bool TDBXFilterSocketChannel::WriteBlock(std::uint8_t AKind, std::span<const std::uint8_t> ABody,
                                         int& AResult) {
  if (ABody.size() > static_cast<std::size_t>(INT32_MAX)) return false;
  const auto length = static_cast<std::uint32_t>(ABody.size());
  FHeaderData = {AKind, static_cast<std::uint8_t>(length >> 24),
                 static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 8),
                 static_cast<std::uint8_t>(length)};
  // Header and body leave as two writes, as deployed peers send them.
  if (FDelegate->Write(FHeaderData, 0, kHeaderSize) < 0) return false;
  AResult = FDelegate->Write(ABody, 0, static_cast<int>(ABody.size()));
  return AResult >= 0;
}

bool TDBXFilterSocketChannel::SendFilterList(bool APublicKeyPhase) {
  try {
    const std::string list = FFilterList->ToJSON(APublicKeyPhase);
    const std::span<const std::uint8_t> text(reinterpret_cast<const std::uint8_t*>(list.data()),
                                             list.size());
    int result = -1;
    if (APublicKeyPhase) return WriteBlock(kPublicKeyBlock, text, result);
    TBytes encoded;
    return WriteBlock(kDataBlock, RunFilters(true, true, text, encoded) ? encoded : text, result);
  } catch (const TDBXError&) {
    return false;
  }
}

bool TDBXFilterSocketChannel::ReceiveFilterList(bool APublicKeyPhase) {
  std::int32_t length = 0;
  TBytes body;
  TMemoryReservation bodyCharge(FMemory);
  if (!HeaderLength(length) || !ReadBody(length, body, bodyCharge)) return false;
  TBytes decoded;
  const bool decodedByKeys =
      !APublicKeyPhase && FPublicKeyPhaseDone && RunFilters(true, false, body, decoded);
  const TBytes& list = decodedByKeys ? decoded : body;
  return FFilterList->FromJSON(
      std::string_view(reinterpret_cast<const char*>(list.data()), list.size()));
}

bool TDBXFilterSocketChannel::HasPublicKeyFilters() const {
  return FirstPublicKeyFilter() != nullptr;
}

TTransportFilter* TDBXFilterSocketChannel::FirstPublicKeyFilter() const {
  for (int i = 0; i < FFilterList->Count(); ++i) {
    TTransportFilter* filter = FFilterList->GetFilter(i);
    if (filter && filter->GetPublicKeyCryptograph()) return filter;
  }
  return nullptr;
}

bool TDBXFilterSocketChannel::RunFilters(bool APublicKey, bool AEncode,
                                         std::span<const std::uint8_t> AData, TBytes& AResult) {
  // List order in both directions: deployed peers do not reverse it on reading.
  bool ran = false;
  for (int i = 0; i < FFilterList->Count(); ++i) {
    TTransportFilter* filter = FFilterList->GetFilter(i);
    if (!filter || filter->GetPublicKeyCryptograph() != APublicKey) continue;
    const std::span<const std::uint8_t> input =
        ran ? std::span<const std::uint8_t>(AResult) : AData;
    TBytes output = AEncode ? filter->ProcessInput(input) : filter->ProcessOutput(input);
    AResult = std::move(output);
    ran = true;
  }
  return ran;
}

int TDBXFilterSocketChannel::HandOutLeftover(std::span<std::uint8_t> Buffer, int Offset,
                                             int Count) {
  const std::size_t count =
      std::min(static_cast<std::size_t>(Count), FLeftover.size() - FLeftoverPos);
  if (count > 0) std::memcpy(Buffer.data() + Offset, FLeftover.data() + FLeftoverPos, count);
  FLeftoverPos += count;
  if (FLeftoverPos == FLeftover.size()) {
    if (FLeftover.capacity() > kKeptLeftoverCapacity) {
      TBytes().swap(FLeftover);
      FLeftoverCharge.Release();
    } else {
      FLeftover.clear();
    }
    FLeftoverPos = 0;
  }
  return static_cast<int>(count);
}
