#pragma once

// The bytes one compressed body inflates to, in a buffer that grows by doubling from a first
// guess. Each growth is charged to the connection's memory account before it is made, so a bomb
// stops where the budget says rather than once inflated; the buffer never grows past one byte
// over filter_format::kMaxInflatedLength, and filling that byte proves a bomb. Whatever was
// charged is given back when the object goes.
// Raises TDBXError kInflatedTooLong past the limit, TMemoryBudgetExceeded when the account
// refuses a growth.

#include <cstddef>
#include <cstdint>

#include "transport/filter/transport_filter.h"
#include "transport/stream/memory_budget.h"

class TInflateOutput {
 public:
  // ACompressedSize sets the first guess; AAccount may be null (nothing charged).
  TInflateOutput(std::size_t ACompressedSize, const std::shared_ptr<TMemoryAccount>& AAccount);

  // Grows the buffer when every byte of it holds output.
  void MakeRoom();
  std::uint8_t* Next() { return FBuffer.data() + FProduced; }
  std::size_t Room() const { return FBuffer.size() - FProduced; }
  void Produced(std::size_t ACount) { FProduced += ACount; }
  std::size_t Size() const { return FProduced; }
  // The output, once the stream has ended or was cut.
  TBytes Take();

 private:
  TMemoryReservation FCharged;
  TBytes FBuffer;
  std::size_t FProduced = 0;
};
