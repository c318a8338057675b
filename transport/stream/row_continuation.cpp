#include "transport/stream/row_continuation.h"

#include <algorithm>
#include <cstring>

#include "transport/dbx_error.h"

int TDBXBlobStream::Read(std::span<std::uint8_t> Buffer, int Offset, int Count) {
  if (Eos()) return -1;
  if (Offset < 0 || Count < 0 ||
      static_cast<std::size_t>(Offset) + static_cast<std::size_t>(Count) > Buffer.size())
    throw TDBXError(0, "Continuation read outside its buffer");
  const std::size_t n = std::min(static_cast<std::size_t>(Count), Remaining());
  std::memcpy(Buffer.data() + Offset, FBytes.get() + FPosition, n);
  FPosition += n;
  return static_cast<int>(n);
}

void TDBXContinuations::Add(int ARowHandle, int AOrdinal, std::unique_ptr<TDBXBlobStream> AStream) {
  for (auto& item : FItems) {
    if (item.RowHandle == ARowHandle && item.Ordinal == AOrdinal) {
      item.Stream = std::move(AStream);
      return;
    }
  }
  FItems.push_back({ARowHandle, AOrdinal, std::move(AStream)});
}

TDBXBlobStream* TDBXContinuations::Find(int ARowHandle, int AOrdinal) const {
  for (const auto& item : FItems)
    if (item.RowHandle == ARowHandle && item.Ordinal == AOrdinal) return item.Stream.get();
  return nullptr;
}
