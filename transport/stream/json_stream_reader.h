#pragma once

// Reads the JSON messages of a connection from its byte channel: refills one reusable buffer
// from the channel and turns its bytes into tokens, strings and numbers in place, never
// needing a whole message in memory. Bytes are 8-bit: each unescaped byte is the UTF-16 code
// unit of the same value.
//
// The reader borrows the channel (the connection owns it) and is used by the connection's
// thread only. Malformed input raises TDBXError with code 2 ("Expected:  '...",
// "Unexpected byte at position:  ...") and discards the rest of the buffer; a channel read of
// 0 or less raises "Read error" (code 1); the channel's own errors ("Connection lost") pass
// through unchanged. What a client announces is bounded: a string longer than
// kJSonMaxStringLength and a data count outside the caller's buffer (or above
// kJSonMaxDataBytes) raise TDBXError code 2; skipping nested structures uses no recursion.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/text.h"
#include "transport/channel.h"
#include "transport/stream/byte_buffer.h"
#include "transport/stream/json_stream_format.h"
#include "transport/stream/memory_budget.h"

class TDBXJSonStreamReader {
 public:
  // Receives the JSON text of an invocation-metadata message (in printable form).
  using TMetadataHandler = std::function<void(const Text& AJson)>;

  // ABufferSize: bytes per channel read; 0 means 8192. The reader is opened here already.
  explicit TDBXJSonStreamReader(TDbxChannel& AChannel, int ABufferSize = kJSonTransportBufferSize);

  int GetReadBufferSize() const { return FReadBufferSize; }
  // Takes effect at the next Open.
  void SetReadBufferSize(int ASize);

  void Open();
  void Close() {}

  int Next();
  int Next(int AExpectedToken);
  int NextValueSeparator() { return Next(jtValueSeparator); }

  // Reads a request up to and including its method name; the method's code, or scMetadata
  // after handing an invocation-metadata block to the metadata handler.
  int ReadMethod();
  // Finds the key params and returns the token after its colon (normally the array start).
  int ReadParams();

  const Text& ReadString();
  int ReadStringCode();
  // Numbers start right after the current byte; the arithmetic wraps around as 32/64 bits.
  std::int32_t ReadInt();
  std::int32_t ReadShort() { return ReadInt(); }
  std::int64_t ReadLong();
  bool ReadBoolean();
  // Copies the next AInCount raw bytes into ABuffer from AInReadOff.
  void ReadDataBytes(std::span<std::uint8_t> ABuffer, int AInReadOff, int AInCount);

  void SkipToEndOfObject() { SkipToEnd(jtObjectStart, jtObjectEnd); }
  void SkipToEndOfArray() { SkipToEnd(jtArrayStart, jtArrayEnd); }

  // True when received bytes wait unread.
  bool HasMoreBytes() const { return FReadPosition < FReadLastPosition; }
  // Frees the read buffer when every byte in it was read; the next read makes it again. An idle
  // connection holds no buffer.
  void ReleaseIdleBuffer();
  bool HoldsBuffer() const { return !FReadBuffer.empty(); }

  // Not supported in this encoding.
  int ReadByte() { return 0; }
  double ReadFloat() { return 0; }
  double ReadDouble() { return 0; }
  int GetByteLength() { return 0; }
  int GetBytes() { return 0; }

  int Token() const { return FToken; }
  int StringCode() const { return FStringCode; }
  const Text& StringValue() const { return FStringValue; }
  double DoubleValue() const { return FDoubleValue; }
  bool GetBooleanValue() const { return FBooleanValue; }
  bool ConnectionLost() const { return FChannel.GetConnectionLost(); }

  void SetMetadataHandler(TMetadataHandler AHandler) { FMetadataHandler = std::move(AHandler); }
  // The connection's share of the memory budget, which the text being read is charged to as it
  // grows (TMemoryBudgetExceeded when refused). None: nothing charged.
  void SetMemoryAccount(TMemoryAccountPtr AAccount) {
    FStringCharge = TMemoryReservation(std::move(AAccount));
  }

 private:
  std::uint8_t Advance();
  void Unread() { --FReadPosition; }
  void RefillIfConsumed();
  std::uint8_t AdvanceSkippingWhitespace();
  void ExpectByte(std::uint8_t AExpected, std::string_view AExpectedText);
  void ReadStringBody(bool AKeep);
  void SkipToNextQuote();
  template <class TValue>
  TValue ReadNumber();
  void SkipToEnd(int AOpen, int AClose);
  void ReadMetadata();

  // Makes room in FStringValue for AUnits more, charged before it is taken.
  void ReserveString(std::size_t AUnits);
  [[noreturn]] void SyntaxError(std::string AMessage);
  [[noreturn]] void UnexpectedToken(int AExpected, int AFound);
  [[noreturn]] void ExpectedText(std::string_view AExpectedText);
  [[noreturn]] void UnexpectedByte();

  TDbxChannel& FChannel;
  TMetadataHandler FMetadataHandler;
  int FToken = 0;
  int FStringCode = scUnknown;
  Text FStringValue;
  TMemoryReservation FStringCharge;  // FStringValue's capacity
  double FDoubleValue = 0;
  bool FBooleanValue = false;
  TByteBuffer FReadBuffer;
  int FReadPosition = -1;      // index of the last byte consumed
  int FReadLastPosition = -1;  // index of the last valid byte
  int FReadBufferSize;
};
