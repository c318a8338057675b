#include "transport/stream/json_stream_writer.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "transport/dbx_error.h"

TDBXJSonStreamWriter::TDBXJSonStreamWriter(TDbxChannel& AChannel, int ABufferSize)
    : FChannel(AChannel), FWriteBufferSize(0) {
  SetWriteBufferSize(ABufferSize);
  Open();
}

void TDBXJSonStreamWriter::SetWriteBufferSize(int ASize) {
  if (ASize < 0 || ASize > kJSonMaxBufferSize)
    throw TDBXError(0, "Invalid write buffer size: " + std::to_string(ASize));
  FWriteBufferSize = ASize;
}

void TDBXJSonStreamWriter::Open() {
  FCapacity = FWriteBufferSize == 0 ? kJSonDefaultBufferSize : FWriteBufferSize;
  // The buffer is made by the first byte written (AllocateBuffer).
  TByteBuffer().swap(FWriteBuffer);
  FWriteBufferPosition = -1;
}

void TDBXJSonStreamWriter::AllocateBuffer() {
  FWriteBuffer.resize(static_cast<std::size_t>(FCapacity));
}

void TDBXJSonStreamWriter::ReleaseIdleBuffer() {
  if (FWriteBufferPosition >= 0) return;
  TByteBuffer().swap(FWriteBuffer);
}

// A Write that throws leaves the buffer untouched; one that reports failure must not pass for
// success, or the reply would be lost while the client waits for it.
void TDBXJSonStreamWriter::ChannelWrite(int ACount) {
  const int written = FChannel.Write(FWriteBuffer, 0, ACount);
  ++FChannelWrites;
  if (written < 0) throw TDBXError(kJSonWriteErrorCode, kJSonWriteError);
}

bool TDBXJSonStreamWriter::RollBack(const TMark& AMark) {
  if (AMark.ChannelWrites != FChannelWrites || AMark.Position > FWriteBufferPosition) return false;
  FWriteBufferPosition = AMark.Position;
  return true;
}

void TDBXJSonStreamWriter::FlushFullBuffer() {
  ChannelWrite(FCapacity);
  FWriteBufferPosition = -1;
}

void TDBXJSonStreamWriter::Flush() {
  ChannelWrite(FWriteBufferPosition + 1);
  FWriteBufferPosition = -1;
}

// A full buffer goes out only when the next byte needs room, exactly as byte-by-byte writing
// would do it: a reply of exactly the buffer size leaves in one Write at Flush.
void TDBXJSonStreamWriter::PutRaw(const std::uint8_t* ABytes, std::size_t ACount) {
  if (FWriteBuffer.empty()) AllocateBuffer();
  while (ACount > 0) {
    if (FWriteBufferPosition + 1 >= FCapacity) FlushFullBuffer();
    const auto room = static_cast<std::size_t>(FCapacity - FWriteBufferPosition - 1);
    const std::size_t count = std::min(room, ACount);
    std::memcpy(FWriteBuffer.data() + FWriteBufferPosition + 1, ABytes, count);
    FWriteBufferPosition += static_cast<int>(count);
    ABytes += count;
    ACount -= count;
  }
}

void TDBXJSonStreamWriter::PutBytes(std::string_view ABytes) {
  PutRaw(reinterpret_cast<const std::uint8_t*>(ABytes.data()), ABytes.size());
}

void TDBXJSonStreamWriter::PutUnicodeEscape(char16_t AUnit) {
  PutByte('\\');
  PutByte('u');
  for (int shift = 12; shift >= 0; shift -= 4)
    PutByte(static_cast<std::uint8_t>(json_bytes::HexDigits[(AUnit >> shift) & 0xF]));
}

void TDBXJSonStreamWriter::WriteString(TextView AChars) {
  PutByte('"');
  const char16_t* p = AChars.data();
  const char16_t* const end = p + AChars.size();
  while (p < end) {
    // Plain units go straight into the buffer as long as it has room.
    if (FWriteBufferPosition + 1 >= FCapacity) FlushFullBuffer();
    std::uint8_t* out = FWriteBuffer.data() + FWriteBufferPosition + 1;
    const char16_t* const runEnd =
        p + std::min<std::ptrdiff_t>(end - p, FCapacity - FWriteBufferPosition - 1);
    const char16_t* const runStart = p;
    while (p < runEnd && *p >= 0x20 && *p <= 0xFF && *p != u'"' && *p != u'\\')
      *out++ = static_cast<std::uint8_t>(*p++);
    FWriteBufferPosition += static_cast<int>(p - runStart);
    if (p == runEnd) continue;
    switch (const char16_t unit = *p++) {
      case 0x08:
        PutByte('\\');
        PutByte('b');
        break;
      case 0x09:
        PutByte('\\');
        PutByte('t');
        break;
      case 0x0A:
        PutByte('\\');
        PutByte('n');
        break;
      case 0x0C:
        PutByte('\\');
        PutByte('f');
        break;
      case 0x0D:
        PutByte('\\');
        PutByte('r');
        break;
      case u'"':
        PutByte('\\');
        PutByte('"');
        break;
      case u'\\':
        PutByte('\\');
        PutByte('\\');
        break;
      default:
        PutUnicodeEscape(unit);
        break;  // controls and everything above U+00FF, surrogates one by one
    }
  }
  PutByte('"');
}

void TDBXJSonStreamWriter::WriteNamedString(TextView AName, TextView AValue) {
  WriteString(AName);
  WriteNameSeparator();
  WriteString(AValue);
}

namespace {

// Decimal text of a value whose magnitude is given unsigned, so the most negative value of
// each width needs no special case.
template <class TUnsigned>
std::string_view Decimal(char (&ABuffer)[20], bool ANegative, TUnsigned AMagnitude) {
  char* end = ABuffer + sizeof(ABuffer);
  char* p = end;
  do {
    *--p = static_cast<char>('0' + AMagnitude % 10);
    AMagnitude /= 10;
  } while (AMagnitude != 0);
  if (ANegative) *--p = '-';
  return {p, static_cast<std::size_t>(end - p)};
}

}  // namespace

void TDBXJSonStreamWriter::WriteInt(std::int32_t AInData) {
  char decimal[20];
  const auto bits = static_cast<std::uint32_t>(AInData);
  PutBytes(Decimal(decimal, AInData < 0, AInData < 0 ? 0u - bits : bits));
}

void TDBXJSonStreamWriter::WriteLong(std::int64_t AInData) {
  char decimal[20];
  const auto bits = static_cast<std::uint64_t>(AInData);
  PutBytes(Decimal(decimal, AInData < 0, AInData < 0 ? std::uint64_t{0} - bits : bits));
}

void TDBXJSonStreamWriter::WriteDataBytes(std::span<const std::uint8_t> ASourceBytes,
                                          int AInSourceOffset, int AInCount) {
  if (AInSourceOffset < 0 || AInCount < 0 ||
      static_cast<std::size_t>(AInSourceOffset) + static_cast<std::size_t>(AInCount) >
          ASourceBytes.size())
    throw TDBXError(0, "Invalid data range: " + std::to_string(AInSourceOffset) + "+" +
                           std::to_string(AInCount));
  PutRaw(ASourceBytes.data() + AInSourceOffset, static_cast<std::size_t>(AInCount));
}

void TDBXJSonStreamWriter::Skip(int ACount) {
  if (ACount < 0 || FWriteBufferPosition + ACount >= FCapacity)
    throw TDBXError(0, "Invalid skip: " + std::to_string(ACount));
  if (FWriteBuffer.empty()) AllocateBuffer();
  FWriteBufferPosition += ACount;
}

int TDBXJSonStreamWriter::CalcRowBufferSize() const {
  return FCapacity >= 2048 ? FCapacity - 2048 : FCapacity;
}

void TDBXJSonStreamWriter::WriteResultVoidObject() {
  WriteResultObjectStart();
  WriteArrayEnd();
  WriteObjectEnd();
  Flush();
}

void TDBXJSonStreamWriter::WriteResultObject(std::int64_t AValue) {
  WriteResultObjectStart();
  WriteLong(AValue);
  WriteArrayEnd();
  WriteObjectEnd();
  Flush();
}

void TDBXJSonStreamWriter::WriteRpcError(TextView AName, std::int32_t AErrorCode,
                                         const TNameValuePairs& ANameValuePairs,
                                         TextView AMessage) {
  PutBytes(json_bytes::ErrorObjectStart);
  WriteString(AName);
  WriteValueSeparator();
  PutBytes(json_bytes::CodeKey);
  WriteInt(AErrorCode);
  WriteValueSeparator();
  PutBytes(json_bytes::MessageKey);
  WriteString(AMessage);
  if (!ANameValuePairs.empty()) {
    WriteValueSeparator();
    WriteString(u"error");
    WriteNameSeparator();
    WriteObjectStart();
    WriteObjectEnd();
  }
  WriteObjectEnd();
}

void TDBXJSonStreamWriter::WriteDataObject(std::span<const std::uint8_t> AData, int ACount) {
  WriteDataObjectStart();
  WriteInt(ACount);
  WriteValueSeparator();
  WriteDataBytes(AData, 0, ACount);
  WriteArrayEnd();
  WriteObjectEnd();
}

bool TDBXJSonStreamWriter::WriteDataObject(TDBXByteStream& AReader) {
  constexpr int kStartLength = static_cast<int>(json_bytes::DataObjectStart.size());
  // With the block start in the buffer there must be room for the padded count, one data
  // byte and "]}"; otherwise the count would land past the buffer. Flushing what is pending
  // first only splits the reply between two writes; it never changes its bytes.
  const int freeBytes = FCapacity - FWriteBufferPosition - 1;
  if (FWriteBufferPosition >= 0 && freeBytes >= kStartLength &&
      freeBytes - kStartLength < kJSonDataObjectReserve)
    Flush();
  const int before = FWriteBufferPosition;
  WriteDataObjectStart();
  const int start = FWriteBufferPosition;  // index of '['
  // Without a full-buffer write in between, a failed piece can be taken back entirely, so an
  // error reply written next does not follow a dangling block start.
  const auto takeBack = [&] {
    if (start == before + kStartLength) FWriteBufferPosition = before;
  };
  const int asked = FCapacity - start - kJSonDataObjectReserve;
  if (asked < 1) {
    takeBack();
    throw TDBXError(0, "Write buffer too small for a data block: " + std::to_string(FCapacity));
  }

  const int dataStart = start + kJSonPaddedCountWidth + 2;
  int read;
  try {
    read = AReader.Read(FWriteBuffer, dataStart, asked);
  } catch (...) {
    takeBack();
    throw;
  }
  if (read > asked) {
    takeBack();
    throw TDBXError(0, "Byte stream returned more than asked: " + std::to_string(read));
  }
  const bool last = read < asked || AReader.Eos();
  if (read < 0) read = 0;

  char decimal[20];
  const std::string_view count =
      Decimal(decimal, last && read > 0, static_cast<std::uint32_t>(read));
  std::uint8_t* field = FWriteBuffer.data() + start + 1;
  std::memcpy(field, count.data(), count.size());
  std::memset(field + count.size(), ' ', kJSonPaddedCountWidth - count.size());
  field[kJSonPaddedCountWidth] = ',';

  FWriteBufferPosition = dataStart + read - 1;
  WriteArrayEnd();
  WriteObjectEnd();
  Flush();
  return last;
}

void TDBXJSonStreamWriter::WriteServerMoreBlobObject(std::int32_t ACommandHandle,
                                                     std::int32_t ARowHandle, std::int32_t AOrdinal,
                                                     std::int64_t ARow, std::int32_t ABlobHandle) {
  WriteObjectStart();
  PutBytes(json_bytes::MoreBlobKey);
  WriteInt(ACommandHandle);
  WriteValueSeparator();
  WriteInt(ABlobHandle);
  WriteValueSeparator();
  WriteLong(ARow);
  WriteValueSeparator();
  WriteInt(AOrdinal);
  WriteValueSeparator();
  WriteInt(ARowHandle);
  WriteArrayEnd();
  WriteObjectEnd();
  Flush();
}

void TDBXJSonStreamWriter::WriteServerNextObject(std::int32_t ARowHandle,
                                                 std::int32_t ACommandHandle,
                                                 std::int64_t APosition) {
  WriteObjectStart();
  PutBytes(json_bytes::NextKey);
  WriteInt(ARowHandle);
  WriteValueSeparator();
  WriteLong(APosition);
  WriteValueSeparator();
  WriteInt(ACommandHandle);
  WriteArrayEnd();
  WriteObjectEnd();
}

void TDBXJSonStreamWriter::WriteParametersObjectStart(std::int32_t ACount) {
  PutBytes(json_bytes::ParametersObjectStart);
  WriteInt(ACount);
}

void TDBXJSonStreamWriter::WriteKeyedBlock(std::string_view AKey, std::string_view AData) {
  WriteObjectStart();
  PutBytes(AKey);
  WriteInt(static_cast<std::int32_t>(AData.size()));
  WriteValueSeparator();
  PutBytes(AData);
  WriteArrayEnd();
  WriteObjectEnd();
}

void TDBXJSonStreamWriter::WriteHandleObject(std::int32_t AHandle) {
  PutBytes(json_bytes::HandleObjectStart);
  WriteInt(AHandle);
  WriteArrayEnd();
  WriteObjectEnd();
}
