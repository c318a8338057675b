#include "transport/stream/json_stream_reader.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>

#include "transport/dbx_error.h"

namespace {

// Text room kept between strings: a long text's is given back once it has been used.
constexpr std::size_t kKeptStringCapacity = 64 * 1024;

bool IsWhitespace(std::uint8_t b) { return b == 9 || b == 10 || b == 13 || b == 32; }

bool IsNumberByte(std::uint8_t b) {
  return (b >= '0' && b <= '9') || b == '+' || b == '-' || b == '.' || b == 'E' || b == 'e';
}

// Bytes other than 0-9, A-F, a-f are not rejected after \u; they count as 0.
unsigned HexValue(std::uint8_t b) {
  if (b >= '0' && b <= '9') return b - '0';
  if (b >= 'A' && b <= 'F') return b - 'A' + 10;
  if (b >= 'a' && b <= 'f') return b - 'a' + 10;
  return 0;
}

}  // namespace

TDBXJSonStreamReader::TDBXJSonStreamReader(TDbxChannel& AChannel, int ABufferSize)
    : FChannel(AChannel), FReadBufferSize(0) {
  SetReadBufferSize(ABufferSize);
  Open();
}

void TDBXJSonStreamReader::SetReadBufferSize(int ASize) {
  if (ASize < 0 || ASize > kJSonMaxBufferSize)
    throw TDBXError(0, "Invalid read buffer size: " + std::to_string(ASize));
  FReadBufferSize = ASize;
}

void TDBXJSonStreamReader::Open() {
  // The buffer is made when bytes arrive (RefillIfConsumed).
  TByteBuffer().swap(FReadBuffer);
  FReadPosition = -1;
  FReadLastPosition = -1;
}

void TDBXJSonStreamReader::ReleaseIdleBuffer() {
  if (HasMoreBytes()) return;
  TByteBuffer().swap(FReadBuffer);
  FReadPosition = -1;
  FReadLastPosition = -1;
}

// A refill replaces the buffer: earlier bytes are gone. On failure nothing changes, so a
// lost connection leaves the reader as it was.
void TDBXJSonStreamReader::RefillIfConsumed() {
  if (FReadPosition < FReadLastPosition) return;
  if (FReadBuffer.empty())
    FReadBuffer.resize(
        static_cast<std::size_t>(FReadBufferSize == 0 ? kJSonDefaultBufferSize : FReadBufferSize));
  const int size = static_cast<int>(FReadBuffer.size());
  const int count = FChannel.Read(FReadBuffer, 0, size);
  if (count <= 0 || count > size) throw TDBXError(kJSonReadErrorCode, kJSonReadError);
  FReadLastPosition = count - 1;
  FReadPosition = -1;
}

std::uint8_t TDBXJSonStreamReader::Advance() {
  RefillIfConsumed();
  return FReadBuffer[static_cast<std::size_t>(++FReadPosition)];
}

std::uint8_t TDBXJSonStreamReader::AdvanceSkippingWhitespace() {
  std::uint8_t b = Advance();
  while (IsWhitespace(b)) b = Advance();
  return b;
}

void TDBXJSonStreamReader::ExpectByte(std::uint8_t AExpected, std::string_view AExpectedText) {
  if (Advance() != AExpected) ExpectedText(AExpectedText);
}

void TDBXJSonStreamReader::SyntaxError(std::string AMessage) {
  AMessage += '\n';
  if (FReadLastPosition > 0)
    AMessage += DBXJSonPrintable(std::string_view(reinterpret_cast<const char*>(FReadBuffer.data()),
                                                  static_cast<std::size_t>(FReadLastPosition)));
  FReadPosition = FReadLastPosition;
  throw TDBXError(kJSonSyntaxErrorCode, text::FromLatin1(AMessage));
}

void TDBXJSonStreamReader::UnexpectedToken(int AExpected, int AFound) {
  SyntaxError(std::string(kJSonExpected) + std::string(DBXJSonTokenText(AExpected)) +
              std::string(kJSonFound) + std::string(DBXJSonTokenText(AFound)) +
              std::string(kJSonTokenAtPosition) + std::to_string(FReadPosition));
}

void TDBXJSonStreamReader::ExpectedText(std::string_view AExpectedText) {
  SyntaxError(std::string(kJSonExpected) + std::string(AExpectedText) +
              std::string(kJSonAtPosition) + std::to_string(FReadPosition));
}

void TDBXJSonStreamReader::UnexpectedByte() {
  SyntaxError(std::string(kJSonUnexpectedByte) + std::to_string(FReadPosition));
}

int TDBXJSonStreamReader::Next() {
  int token;
  switch (AdvanceSkippingWhitespace()) {
    case '{':
      token = jtObjectStart;
      break;
    case '}':
      token = jtObjectEnd;
      break;
    case '[':
      token = jtArrayStart;
      break;
    case ']':
      token = jtArrayEnd;
      break;
    case ':':
      token = jtNameSeparator;
      break;
    case ',':
      token = jtValueSeparator;
      break;
    case '"':
      token = jtStringStart;
      break;
    case 't':
      ExpectByte('r', "true");
      ExpectByte('u', "true");
      ExpectByte('e', "true");
      FBooleanValue = true;
      token = jtTrue;
      break;
    case 'f':
      ExpectByte('a', "false");
      ExpectByte('l', "false");
      ExpectByte('s', "false");
      ExpectByte('e', "false");
      FBooleanValue = false;
      token = jtFalse;
      break;
    case 'n':
      ExpectByte('u', "null");
      ExpectByte('l', "null");
      ExpectByte('l', "null");
      token = jtNull;
      break;
    default:
      token = jtNumber;
      break;
  }
  FToken = token;
  return token;
}

int TDBXJSonStreamReader::Next(int AExpectedToken) {
  const int token = Next();
  if (token != AExpectedToken) UnexpectedToken(AExpectedToken, token);
  return token;
}

int TDBXJSonStreamReader::ReadMethod() {
  FStringCode = scUnknown;
  Next();  // a client sends '{'; whatever comes is passed over
  if (AdvanceSkippingWhitespace() != '"') ExpectedText(kJSonMethodKey);
  ExpectByte('m', kJSonMethodKey);
  ExpectByte('e', kJSonMethodKey);
  ExpectByte('t', kJSonMethodKey);
  switch (Advance()) {
    case 'h':
      ExpectByte('o', kJSonMethodKey);
      ExpectByte('d', kJSonMethodKey);
      ExpectByte('"', kJSonMethodKey);
      if (AdvanceSkippingWhitespace() != ':') ExpectedText(":");
      if (AdvanceSkippingWhitespace() != '"') ExpectedText("\"");
      ReadStringBody(true);
      FToken = jtString;
      FStringCode = DBXJSonStringCode(FStringValue);
      return FStringCode;
    case 'a':
      for (const char c : std::string_view("data\""))
        ExpectByte(static_cast<std::uint8_t>(c), kJSonMetadataKey);
      if (AdvanceSkippingWhitespace() != ':') ExpectedText(":");
      ReadMetadata();
      return FStringCode;
    default:
      ExpectedText(kJSonMethodKey);
  }
}

// The block must fit in the read buffer from the current position, which bounds what a
// client can make us hold. Its bytes are read as they arrive rather than taken from whatever
// the buffer held beyond the received bytes.
void TDBXJSonStreamReader::ReadMetadata() {
  FStringCode = scMetadata;
  if (Advance() != '[') ExpectedText("[");
  const std::int32_t count = ReadInt();
  if (count <= 0) return;
  if (Advance() != ',') ExpectedText(",");
  const std::int64_t room = static_cast<std::int64_t>(FReadBuffer.size()) - FReadPosition - 1;
  if (count > room) ExpectedText(kJSonMetadataKey);
  std::string bytes(static_cast<std::size_t>(count), '\0');
  ReadDataBytes({reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size()}, 0, count);
  if (FMetadataHandler) FMetadataHandler(text::FromLatin1(DBXJSonPrintable(bytes)));
}

int TDBXJSonStreamReader::ReadParams() {
  for (;;) {
    const std::uint8_t b = Advance();
    if (IsWhitespace(b) || b == ',') continue;
    if (b != '"') return Next();
    for (const char c : std::string_view("params\"")) {
      if (Advance() != static_cast<std::uint8_t>(c)) {
        // Another key: consumed as a string whose text is not kept.
        ReadStringBody(false);
        FToken = jtString;
        return FToken;
      }
    }
    const int token = Next();
    if (token != jtNameSeparator) return token;
    return Next();
  }
}

void TDBXJSonStreamReader::SkipToNextQuote() {
  for (;;) {
    RefillIfConsumed();
    const auto* begin = FReadBuffer.data() + FReadPosition + 1;
    const auto* end = FReadBuffer.data() + FReadLastPosition + 1;
    const auto* quote = std::find(begin, end, std::uint8_t{'"'});
    FReadPosition += static_cast<int>(quote - begin);
    if (quote != end) {
      ++FReadPosition;
      return;
    }
  }
}

// The opening quote is the current byte. Runs of plain bytes are taken straight from the
// buffer; escapes go byte by byte.
void TDBXJSonStreamReader::ReserveString(std::size_t AUnits) {
  const std::size_t needed = FStringValue.size() + AUnits;
  if (needed <= FStringValue.capacity()) return;
  const std::size_t grown = std::max(needed, 2 * FStringValue.capacity());
  // While growing, the old room and the new one are held at once.
  FStringCharge.Resize((FStringValue.capacity() + grown) * sizeof(char16_t));
  FStringValue.reserve(grown);
  FStringCharge.Resize(FStringValue.capacity() * sizeof(char16_t));
}

void TDBXJSonStreamReader::ReadStringBody(bool AKeep) {
  if (AKeep) {
    // The room a long text took is not kept for the connection's later, short ones.
    if (FStringValue.capacity() > kKeptStringCapacity) {
      Text().swap(FStringValue);
      FStringCharge.Resize(0);
    }
    FStringValue.clear();
  }
  for (;;) {
    RefillIfConsumed();
    const auto* begin = FReadBuffer.data() + FReadPosition + 1;
    const auto* end = FReadBuffer.data() + FReadLastPosition + 1;
    const auto* stop =
        std::find_if(begin, end, [](std::uint8_t b) { return b == '"' || b == '\\'; });
    const auto run = static_cast<std::size_t>(stop - begin);
    if (AKeep) {
      if (FStringValue.size() + run > kJSonMaxStringLength) {
        FReadPosition += static_cast<int>(run);
        SyntaxError(std::string(kJSonStringTooLong) + std::to_string(FReadPosition));
      }
      ReserveString(run);
      FStringValue.append(begin, stop);
    }
    FReadPosition += static_cast<int>(run);
    if (stop == end) continue;
    if (Advance() == '"') return;
    char16_t unit;
    switch (const std::uint8_t escaped = Advance()) {
      case 'b':
        unit = 0x08;
        break;
      case 'f':
        unit = 0x0C;
        break;
      case 'n':
        unit = 0x0A;
        break;
      case 'r':
        unit = 0x0D;
        break;
      case 't':
        unit = 0x09;
        break;
      case 'u': {
        unsigned value = 0;
        for (int i = 0; i < 4; ++i) value = value * 16 + HexValue(Advance());
        unit = static_cast<char16_t>(value);
        break;
      }
      default:
        unit = escaped;
        break;  // '"', '\\', '/' and any other byte stand for themselves
    }
    if (AKeep) {
      if (FStringValue.size() + 1 > kJSonMaxStringLength)
        SyntaxError(std::string(kJSonStringTooLong) + std::to_string(FReadPosition));
      ReserveString(1);
      FStringValue.push_back(unit);
    }
  }
}

const Text& TDBXJSonStreamReader::ReadString() {
  if (FToken != jtStringStart) SkipToNextQuote();
  ReadStringBody(true);
  FToken = jtString;
  return FStringValue;
}

int TDBXJSonStreamReader::ReadStringCode() {
  ReadString();
  FStringCode = DBXJSonStringCode(FStringValue);
  return FStringCode;
}

template <class TValue>
TValue TDBXJSonStreamReader::ReadNumber() {
  using TUnsigned = std::make_unsigned_t<TValue>;
  std::uint8_t b = Advance();
  if (!IsNumberByte(b)) {
    if (b != ']') UnexpectedByte();
    Unread();
    return 0;
  }
  const bool negative = b == '-';
  // Any byte of the run counts as a digit (b - 48), in wrapping arithmetic, as clients expect.
  TUnsigned value = (b == '-' || b == '+') ? 0 : static_cast<TUnsigned>(static_cast<int>(b) - 48);
  for (;;) {
    b = Advance();
    if (!IsNumberByte(b)) break;
    value = static_cast<TUnsigned>(value * 10u + static_cast<TUnsigned>(static_cast<int>(b) - 48));
  }
  Unread();
  if (negative) value = static_cast<TUnsigned>(TUnsigned{0} - value);
  return static_cast<TValue>(value);
}

std::int32_t TDBXJSonStreamReader::ReadInt() { return ReadNumber<std::int32_t>(); }

std::int64_t TDBXJSonStreamReader::ReadLong() { return ReadNumber<std::int64_t>(); }

bool TDBXJSonStreamReader::ReadBoolean() {
  const int token = Next();
  if (token == jtTrue) return true;
  if (token == jtFalse) return false;
  UnexpectedToken(jtTrue, token);
}

void TDBXJSonStreamReader::ReadDataBytes(std::span<std::uint8_t> ABuffer, int AInReadOff,
                                         int AInCount) {
  if (AInCount < 0 || AInCount > kJSonMaxDataBytes || AInReadOff < 0 ||
      static_cast<std::size_t>(AInReadOff) + static_cast<std::size_t>(AInCount) > ABuffer.size())
    throw TDBXError(kJSonSyntaxErrorCode,
                    std::string(kJSonBadDataCount) + std::to_string(AInCount));
  int offset = AInReadOff;
  int remaining = AInCount;
  while (remaining > 0) {
    RefillIfConsumed();
    const int count = std::min(FReadLastPosition - FReadPosition, remaining);
    std::memcpy(ABuffer.data() + offset, FReadBuffer.data() + FReadPosition + 1,
                static_cast<std::size_t>(count));
    FReadPosition += count;
    offset += count;
    remaining -= count;
  }
}

// Iterative on purpose: the depth is a counter, so deep nesting costs no stack.
void TDBXJSonStreamReader::SkipToEnd(int AOpen, int AClose) {
  std::int64_t depth = 1;
  while (depth > 0) {
    const int token = Next();
    if (token == AOpen) {
      ++depth;
    } else if (token == AClose) {
      --depth;
    } else if (token == jtStringStart) {
      ReadStringBody(false);
      FToken = jtString;
    }
  }
}
