#pragma once

// A source of bytes that the message writer lets write straight into its output buffer (the
// continuation of a long value sent piece by piece). Owned by the caller; used by the
// connection's thread only.

#include <cstdint>
#include <span>

class TDBXByteStream {
 public:
  virtual ~TDBXByteStream() = default;

  // Copies at most Count bytes into Buffer at Offset; the number copied, or -1 at the end.
  virtual int Read(std::span<std::uint8_t> Buffer, int Offset, int Count) = 0;
  // True when no byte is left.
  virtual bool Eos() const = 0;
};
