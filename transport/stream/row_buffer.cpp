#include "transport/stream/row_buffer.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "transport/dbx_error.h"
#include "transport/stream/json_error_reply.h"

using namespace row_format;

namespace {

enum class TFieldForm { Null, Short, Callback, Long, Json, Blob, ZeroTerminated, Invalid };

// The order in which a reader tests the header bits; every reader classifies by it, so a field
// is never measured one way and read another.
TFieldForm Classify(std::uint8_t AHeader) {
  if (AHeader & kNullBit) return TFieldForm::Null;
  if (AHeader & kShortForm) return TFieldForm::Short;
  if (AHeader == kCallback) return TFieldForm::Callback;
  if (AHeader & kLongForm) return TFieldForm::Long;
  if (AHeader & kJsonBlock) return TFieldForm::Json;
  if (AHeader & kBlobBit) return TFieldForm::Blob;
  if (AHeader == kZeroTerminated) return TFieldForm::ZeroTerminated;
  return TFieldForm::Invalid;
}

std::string FieldText(int AOrdinal) { return std::to_string(AOrdinal); }

std::string HeaderText(std::uint8_t AHeader) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  return std::string("0x") + kHex[AHeader >> 4] + kHex[AHeader & 0x0F];
}

[[noreturn]] void RowError(std::string_view AStem, const std::string& ADetail = {}) {
  throw TDBXError(kRowErrorCode, std::string(AStem) + ADetail);
}

[[noreturn]] void UnexpectedHeader() { throw TDBXError(kRowErrorCode, kUnexpectedHeader); }

[[noreturn]] void ContinuationTooLong() {
  throw TDBXError(kRowErrorCode, std::string(kUnexpectedGrowth) + ": a continued value exceeds " +
                                     std::to_string(kMaxContinuedValueBytes) + " bytes");
}

// How a data type travels in the row. Decimal values and time stamps with offset travel as
// their text.
enum class TValueKind {
  Boolean,
  Integer,
  Float,
  Date,
  Time,
  TimeStamp,
  Text,
  Bytes,
  Json,
  Unsupported
};

TValueKind KindOf(int ADataType) {
  switch (ADataType) {
    case dtBoolean:
      return TValueKind::Boolean;
    case dtInt8:
    case dtUInt8:
    case dtInt16:
    case dtUInt16:
    case dtInt32:
    case dtUInt32:
    case dtInt64:
    case dtUInt64:
      return TValueKind::Integer;
    case dtDouble:
    case dtSingle:
      return TValueKind::Float;
    case dtDate:
      return TValueKind::Date;
    case dtTime:
      return TValueKind::Time;
    case dtTimeStamp:
    case dtDateTime:
      return TValueKind::TimeStamp;
    case dtWideString:
    case dtAnsiString:
    case dtBcd:
    case dtTimeStampOffset:
      return TValueKind::Text;
    case dtBinaryBlob:
      return TValueKind::Bytes;
    case dtJsonValue:
      return TValueKind::Json;
    default:
      return TValueKind::Unsupported;
  }
}

bool IsSingle(int ADataType, int ASubType) {
  return ADataType == dtSingle || (ADataType == dtDouble && ASubType == dtSingle);
}

// Integers of the narrower types travel as 32-bit values and come back in their own width.
std::int64_t ToWidth(std::int64_t AValue, int ADataType) {
  switch (ADataType) {
    case dtInt8:
      return static_cast<std::int8_t>(AValue);
    case dtUInt8:
      return static_cast<std::uint8_t>(AValue);
    case dtInt16:
      return static_cast<std::int16_t>(AValue);
    case dtUInt16:
      return static_cast<std::uint16_t>(AValue);
    case dtInt32:
      return static_cast<std::int32_t>(AValue);
    case dtUInt32:
      return static_cast<std::uint32_t>(AValue);
    default:
      return AValue;
  }
}

void PutBigEndian(std::uint8_t* ADest, std::uint64_t AValue, int ABytes) {
  for (int i = ABytes - 1; i >= 0; --i) {
    ADest[i] = static_cast<std::uint8_t>(AValue);
    AValue >>= 8;
  }
}

template <class T>
const T& ValueAs(const TDBXValue& AValue, int ADataType, int AOrdinal) {
  if (const T* value = std::get_if<T>(&AValue)) return *value;
  RowError(kValueTypeMismatch, std::to_string(ADataType) + " of field " + FieldText(AOrdinal));
}

}  // namespace

TDBXRowBuffer::TDBXRowBuffer(TDBXJSonStreamReader& AReader, TDBXJSonStreamWriter& AWriter,
                             int AMinBufSize, bool AClient)
    : FReader(AReader),
      FWriter(AWriter),
      FMinBufSize(std::max(AMinBufSize, 0)),
      FClient(AClient),
      FRowLength(static_cast<std::size_t>(FMinBufSize)) {}

// ---------------------------------------------------------------------------------------------
// Reading

void TDBXRowBuffer::LoadData(int ACount) {
  if (ACount < 0 || ACount > kMaxRowBytes) RowError(kRowSizeOutOfRange, std::to_string(ACount));
  FReadSize = 0;
  FReadOff = 0;
  FReadOrdinal = 0;
  FCurrentRow = 0;
  FFetchedOrdinals.clear();
  FWriteOff = 0;
  FWriteOrdinal = 0;
  FRowLength = static_cast<std::size_t>(FMinBufSize);
  // The buffer grows with the bytes that really arrive, not with the count announced.
  const auto total = static_cast<std::size_t>(ACount);
  if (FBuf.size() < std::min(total, FRowLength)) FBuf.resize(FRowLength);
  std::size_t loaded = 0;
  while (loaded < total) {
    const std::size_t piece =
        std::min(total - loaded, std::max(loaded, static_cast<std::size_t>(kReadPieceSize)));
    if (FBuf.size() < loaded + piece)
      FBuf.resize(std::max(loaded + piece, std::min(total, FBuf.size() * 2)));
    FReader.ReadDataBytes(FBuf, static_cast<int>(loaded), static_cast<int>(piece));
    loaded += piece;
  }
  FReadSize = total;
}

void TDBXRowBuffer::CheckWithinRow(std::size_t AOffset, std::size_t ALength, int AOrdinal) const {
  if (ALength > FReadSize - AOffset)
    RowError(kFieldPastEnd, "field " + FieldText(AOrdinal) + " needs " + std::to_string(ALength) +
                                " bytes at offset " + std::to_string(AOffset) + ", the row has " +
                                std::to_string(FReadSize));
}

std::uint32_t TDBXRowBuffer::ReadBigEndian(std::size_t AOffset, int ABytes) const {
  std::uint32_t value = 0;
  for (int i = 0; i < ABytes; ++i)
    value = (value << 8) | FBuf[AOffset + static_cast<std::size_t>(i)];
  return value;
}

std::size_t TDBXRowBuffer::FieldLength(std::size_t AOffset, int AOrdinal) const {
  const std::uint8_t header = FBuf[AOffset];
  std::size_t length = 0;
  switch (Classify(header)) {
    case TFieldForm::Null:
    case TFieldForm::Callback:
      length = 1;
      break;
    case TFieldForm::Short:
      length = 1u + (header & kShortLengthMask);
      break;
    case TFieldForm::Long:
      CheckWithinRow(AOffset, kLongHeaderSize, AOrdinal);
      length = kLongHeaderSize + ReadBigEndian(AOffset + 1, 2);
      break;
    case TFieldForm::Json:
      CheckWithinRow(AOffset, kJsonHeaderSize, AOrdinal);
      length = kJsonHeaderSize + static_cast<std::size_t>(ReadBigEndian(AOffset + 1, 4));
      break;
    case TFieldForm::Blob:
      if (header == kBlobExact) {
        length = kBlobHeaderSize;
      } else {
        CheckWithinRow(AOffset, kBlobInlineHeaderSize, AOrdinal);
        length = kBlobInlineHeaderSize + (FBuf[AOffset + 5] & kShortLengthMask);
      }
      break;
    case TFieldForm::ZeroTerminated: {
      // One zero byte ends 8-bit content; after the switch to two-byte units, a zero unit.
      std::size_t at = AOffset + 1;
      for (; at < FReadSize && FBuf[at] != 0 && FBuf[at] != kWideSwitch; ++at) {
      }
      if (at < FReadSize && FBuf[at] == 0) return at + 1 - AOffset;
      for (++at; at + 1 < FReadSize; at += 2)
        if (FBuf[at] == 0 && FBuf[at + 1] == 0) return at + 2 - AOffset;
      RowError(kFieldPastEnd, "field " + FieldText(AOrdinal) + " has no terminating zero");
    }
    case TFieldForm::Invalid:
      RowError(kNoSkipRule, FieldText(AOrdinal) + ": " + HeaderText(header));
  }
  CheckWithinRow(AOffset, length, AOrdinal);
  return length;
}

TDBXRowBuffer::TField TDBXRowBuffer::SeekField(int AOrdinal) {
  if (AOrdinal < 0) RowError(kNoSuchField, FieldText(AOrdinal));
  if (AOrdinal < FReadOrdinal) {
    FReadOff = 0;
    FReadOrdinal = 0;
  }
  while (FReadOrdinal < AOrdinal && FReadOff < FReadSize) {
    FReadOff += FieldLength(FReadOff, FReadOrdinal);
    ++FReadOrdinal;
  }
  if (FReadOff >= FReadSize)
    RowError(kNoSuchField,
             FieldText(AOrdinal) + ": it ends after " + std::to_string(FReadOrdinal) + " fields");
  return {FReadOff, 0, FBuf[FReadOff]};
}

TDBXValue TDBXRowBuffer::ReadValue(int AOrdinal, int ADataType, int ASubType) {
  const TValueKind kind = KindOf(ADataType);
  TField field = SeekField(AOrdinal);
  const TFieldForm form = Classify(field.Header);
  // A null field is the null value of any type, also of one the row cannot carry otherwise.
  if (form != TFieldForm::Null && kind == TValueKind::Unsupported)
    RowError(kUnsupportedDataType, std::to_string(ADataType));

  // Which headers the kind accepts, before the field is measured.
  if (form != TFieldForm::Null) {
    switch (kind) {
      case TValueKind::Json:
        if (field.Header != kJsonBlock) throw TDBXError(kRowErrorCode, kInvalidJsonHeader);
        break;
      case TValueKind::Text:
      case TValueKind::Bytes:
        if (form != TFieldForm::Short && form != TFieldForm::Long && form != TFieldForm::Blob &&
            !(form == TFieldForm::ZeroTerminated && kind == TValueKind::Text))
          UnexpectedHeader();
        break;
      default:
        if (form != TFieldForm::Short) UnexpectedHeader();
        break;
    }
  }
  field.Length = FieldLength(field.Offset, AOrdinal);

  TDBXValue value;
  if (form != TFieldForm::Null) {
    switch (kind) {
      case TValueKind::Boolean:
        value = (field.Header & kPositiveBit) != 0;
        break;
      case TValueKind::Integer:
        value = ToWidth(ReadInteger(field, AOrdinal), ADataType);
        break;
      case TValueKind::Float:
        value = ReadFloat(field, IsSingle(ADataType, ASubType), AOrdinal);
        break;
      case TValueKind::Date:
        value = TDBXDate{ReadInteger(field, AOrdinal)};
        break;
      case TValueKind::Time:
        value = TDBXTime{ReadInteger(field, AOrdinal)};
        break;
      case TValueKind::TimeStamp:
        value = ReadTimeStamp(field, AOrdinal);
        break;
      case TValueKind::Text:
        value = ReadText(field, AOrdinal);
        break;
      case TValueKind::Bytes:
        value = ReadBytes(field, AOrdinal);
        break;
      case TValueKind::Json:
        value = ReadJson(field);
        break;
      case TValueKind::Unsupported:
        break;
    }
  }
  FReadOff = field.Offset + field.Length;
  FReadOrdinal = AOrdinal + 1;
  return value;
}

TDBXRowBuffer::TMagnitude TDBXRowBuffer::ReadMagnitude(const TField& AField, int AOrdinal) const {
  const int count = AField.Header & kShortLengthMask;
  if (count > 8) RowError(kBadFieldLength, FieldText(AOrdinal) + ": " + std::to_string(count));
  std::uint64_t magnitude = 0;
  for (int i = 0; i < count; ++i)
    magnitude = (magnitude << 8) | FBuf[AField.Offset + 1 + static_cast<std::size_t>(i)];
  return {(AField.Header & kPositiveBit) == 0 && magnitude != 0, magnitude};
}

// A negative magnitude of 2^63 and more wraps around in 64 bits, as an unsigned 64-bit value
// written as negative does.
std::int64_t TDBXRowBuffer::ReadInteger(const TField& AField, int AOrdinal) const {
  const TMagnitude number = ReadMagnitude(AField, AOrdinal);
  return static_cast<std::int64_t>(number.Negative ? 0 - number.Value : number.Value);
}

double TDBXRowBuffer::ReadFloat(const TField& AField, bool ASingle, int AOrdinal) const {
  const int width = ASingle ? 4 : 8;
  const int count = AField.Header & kShortLengthMask;
  if (count > width) RowError(kBadFieldLength, FieldText(AOrdinal) + ": " + std::to_string(count));
  // Trailing zero bytes of the bit pattern were not written.
  std::uint64_t bits = 0;
  for (int i = 0; i < width; ++i) {
    const std::uint8_t b = i < count ? FBuf[AField.Offset + 1 + static_cast<std::size_t>(i)] : 0;
    bits = (bits << 8) | b;
  }
  const std::uint64_t signBit = std::uint64_t{1} << (8 * width - 1);
  // A negative header over a pattern without its sign bit is the order-preserving form.
  if ((AField.Header & kPositiveBit) == 0 && (bits & signBit) == 0)
    bits = ~bits & (ASingle ? 0xFFFFFFFFu : ~std::uint64_t{0});
  if (ASingle) return std::bit_cast<float>(static_cast<std::uint32_t>(bits));
  return std::bit_cast<double>(bits);
}

TDBXTimeStamp TDBXRowBuffer::ReadTimeStamp(const TField& AField, int AOrdinal) const {
  const std::size_t content = AField.Header & kShortLengthMask;
  const auto badLength = [&] { RowError(kBadFieldLength, FieldText(AOrdinal)); };
  if (content == 0) badLength();
  // The content is a number field (whole seconds in milliseconds) and maybe the fraction.
  const TField seconds{AField.Offset + 1, 0, FBuf[AField.Offset + 1]};
  if (Classify(seconds.Header) != TFieldForm::Short) UnexpectedHeader();
  const std::size_t secondsLength = 1u + (seconds.Header & kShortLengthMask);
  if (secondsLength > content || (content - secondsLength != 0 && content - secondsLength != 4))
    badLength();
  // The whole seconds of the earliest time stamps lie below the 64-bit range; only the sum
  // with the fraction has to fit.
  const TMagnitude number = ReadMagnitude(seconds, AOrdinal);
  __int128 total = number.Negative ? -static_cast<__int128>(number.Value) : number.Value;
  if (content > secondsLength)
    total += ReadBigEndian(seconds.Offset + secondsLength, 4) / kFractionFactor;
  if (total < INT64_MIN || total > INT64_MAX) RowError(kValueOutOfRange, FieldText(AOrdinal));
  return {static_cast<std::int64_t>(total)};
}

std::span<const std::uint8_t> TDBXRowBuffer::InlinePart(const TField& AField) const {
  if (Classify(AField.Header) == TFieldForm::Long)
    return {FBuf.data() + AField.Offset + kLongHeaderSize, AField.Length - kLongHeaderSize};
  // A blob announces its total size; nothing is reserved for it, but a size beyond the cap
  // is refused at once.
  if (ReadBigEndian(AField.Offset + 1, 4) > kMaxContinuedValueBytes) ContinuationTooLong();
  if (AField.Header == kBlobExact) return {FBuf.data() + AField.Offset + kBlobHeaderSize, 0};
  return {FBuf.data() + AField.Offset + kBlobInlineHeaderSize,
          AField.Length - kBlobInlineHeaderSize};
}

TDBXValue TDBXRowBuffer::ReadText(const TField& AField, int AOrdinal) {
  const std::uint8_t* start = FBuf.data() + AField.Offset;
  switch (Classify(AField.Header)) {
    case TFieldForm::Short:
      return TDBXCharDecoder::Decode({start + 1, AField.Length - 1});
    case TFieldForm::ZeroTerminated: {
      const std::span<const std::uint8_t> content{start + 1, AField.Length - 1};
      const bool wide = std::find(content.begin(), content.end(), kWideSwitch) != content.end();
      return TDBXCharDecoder::Decode(content.first(content.size() - (wide ? 2 : 1)));
    }
    case TFieldForm::Long:
      if ((AField.Header & kMoreFollowsBit) == 0)
        return TDBXCharDecoder::Decode({start + kLongHeaderSize, AField.Length - kLongHeaderSize});
      break;
    default:
      break;
  }
  return TDBXCharDecoder::Decode(FetchContinuation(AField, AOrdinal));
}

TDBXValue TDBXRowBuffer::ReadBytes(const TField& AField, int AOrdinal) {
  const std::uint8_t* start = FBuf.data() + AField.Offset;
  const TFieldForm form = Classify(AField.Header);
  if (form == TFieldForm::Short) return TDBXBytes(start + 1, start + AField.Length);
  if (form == TFieldForm::Long && (AField.Header & kMoreFollowsBit) == 0)
    return TDBXBytes(start + kLongHeaderSize, start + AField.Length);
  return FetchContinuation(AField, AOrdinal);
}

TDBXValue TDBXRowBuffer::ReadJson(const TField& AField) {
  const char* start = reinterpret_cast<const char*>(FBuf.data()) + AField.Offset;
  return TDBXJsonText{std::string(start + kJsonHeaderSize, AField.Length - kJsonHeaderSize)};
}

// Server role: {"more_blob":[<command>,<blob>,<row>,<ordinal>,<row handle>]}. Client role:
// {"method":"more_blob","params":[<command>,<blob>,<row>,<ordinal>,true,<row handle>]}, the
// value being an out or return parameter of the row.
void TDBXRowBuffer::WriteMoreBlobRequest(int AOrdinal, int ABlobHandle) {
  if (!FClient) {
    FWriter.WriteServerMoreBlobObject(FCommandHandle, kParameterRowHandle, AOrdinal, FCurrentRow,
                                      ABlobHandle);
    return;
  }
  FWriter.WriteObjectStart();
  FWriter.WriteString(u"method");
  FWriter.WriteNameSeparator();
  FWriter.WriteString(u"more_blob");
  FWriter.WriteValueSeparator();
  FWriter.WriteParamsStart();
  FWriter.WriteInt(FCommandHandle);
  FWriter.WriteValueSeparator();
  FWriter.WriteInt(ABlobHandle);
  FWriter.WriteValueSeparator();
  FWriter.WriteLong(FCurrentRow);
  FWriter.WriteValueSeparator();
  FWriter.WriteInt(AOrdinal);
  FWriter.WriteValueSeparator();
  FWriter.WriteBoolean(true);
  FWriter.WriteValueSeparator();
  FWriter.WriteInt(kParameterRowHandle);
  FWriter.WriteArrayEnd();
  FWriter.WriteObjectEnd();
  FWriter.Flush();
}

// The answer is {"data":[n,<|n| bytes>]}, n <= 0 for the last part; a client that wraps it
// like the server's own more_blob reply ({"result":[{"data":...}]}) is understood as well. In
// the client role the server may answer with its error reply instead.
std::int64_t TDBXRowBuffer::ReadContinuationCount(bool& AWrapped) {
  FReader.Next(jtObjectStart);
  int key = FReader.ReadStringCode();
  if (FClient && key == scError) {
    FReader.Next(jtNameSeparator);
    throw ReadErrorReply(FReader);
  }
  AWrapped = key == scResult;
  if (AWrapped) {
    FReader.Next(jtNameSeparator);
    FReader.Next(jtArrayStart);
    FReader.Next(jtObjectStart);
    key = FReader.ReadStringCode();
  }
  if (key != scData) throw TDBXError(kRowErrorCode, kNoDataBlockAnswer);
  FReader.Next(jtNameSeparator);
  FReader.Next(jtArrayStart);
  return FReader.ReadInt();
}

std::vector<std::uint8_t> TDBXRowBuffer::FetchContinuation(const TField& AField, int AOrdinal) {
  const std::span<const std::uint8_t> first = InlinePart(AField);
  if (std::find(FFetchedOrdinals.begin(), FFetchedOrdinals.end(), AOrdinal) !=
      FFetchedOrdinals.end())
    RowError(kAlreadyFetched, FieldText(AOrdinal));
  FFetchedOrdinals.push_back(AOrdinal);

  // The parts are joined outside the row buffer, which keeps its size (and with it the layout
  // of later replies); the joined bytes go with the decoded value. The buffer grows as the
  // bytes arrive, never by what a count announces.
  std::vector<std::uint8_t> joined(first.begin(), first.end());
  std::size_t end = joined.size();
  // Charged as it grows: a client holding many long texts open is refused by the budget.
  TMemoryReservation charge;
  if (FMemoryAccount) charge = TMemoryReservation(FMemoryAccount);

  const int blobHandle = ++FBlobId;
  for (;;) {
    WriteMoreBlobRequest(AOrdinal, blobHandle);
    bool wrapped = false;
    const std::int64_t count = ReadContinuationCount(wrapped);
    const int token = FReader.Next();
    if (token == jtValueSeparator) {
      std::int64_t remaining = count < 0 ? -count : count;
      // Refused before a byte of it is read or stored.
      if (remaining > kMaxContinuedValueBytes - static_cast<std::int64_t>(end))
        ContinuationTooLong();
      while (remaining > 0) {
        const auto piece = static_cast<std::size_t>(
            std::min<std::int64_t>(remaining, std::max<std::size_t>(kReadPieceSize, end)));
        if (joined.size() < end + piece) {
          // While growing, the old buffer and the new one are held at once.
          charge.Resize(joined.capacity() + end + piece);
          joined.resize(end + piece);
          charge.Resize(joined.capacity());
        }
        FReader.ReadDataBytes(joined, static_cast<int>(end), static_cast<int>(piece));
        end += piece;
        remaining -= static_cast<std::int64_t>(piece);
      }
      FReader.Next(jtArrayEnd);
    } else if (token != jtArrayEnd || count != 0) {
      throw TDBXError(kRowErrorCode, kNoDataBlockAnswer);
    }
    FReader.Next(jtObjectEnd);
    if (wrapped) {
      FReader.Next(jtArrayEnd);
      FReader.Next(jtObjectEnd);
    }
    if (count <= 0) return joined;
  }
}

// ---------------------------------------------------------------------------------------------
// Writing

void TDBXRowBuffer::ReleaseIdleBuffer() {
  if (FWriteOff != 0) return;
  decltype(FBuf)().swap(FBuf);
  FReadSize = 0;
  FReadOff = 0;
  FReadOrdinal = 0;
}

void TDBXRowBuffer::Clear(int ARowHandle) {
  FWriteOff = 0;
  FWriteOrdinal = 0;
  FRowLength = static_cast<std::size_t>(FMinBufSize);
  // A buffer that a large row made grow is not kept for the connection's life.
  if (FBuf.size() > 2 * FRowLength + kValueGrowth) {
    decltype(FBuf)().swap(FBuf);
    FBuf.resize(FRowLength);
  }
  FWriteRowHandle = ARowHandle;
  FContinuations.Clear();
  // The bytes are overwritten from here on.
  FReadSize = 0;
  FReadOff = 0;
  FReadOrdinal = 0;
}

std::uint8_t* TDBXRowBuffer::Room(std::size_t ABytes) {
  if (FRowLength - FWriteOff < ABytes)
    FRowLength = std::max(FWriteOff + ABytes, FRowLength + FRowLength / 2);
  if (FBuf.size() < FRowLength) FBuf.resize(FRowLength);
  return FBuf.data() + FWriteOff;
}

// While the row is short of its minimum size a value may use what the row's length leaves;
// after that it gets the fixed budget, so the row ends close to one writer buffer. The length
// is the row's own, not the buffer's: what earlier rows made the buffer grow to must not change
// how this row is laid out.
std::size_t TDBXRowBuffer::InlineBudget() {
  if (FRowLength < FWriteOff + kValueGrowth) FRowLength += kValueGrowth;
  if (FBuf.size() < FRowLength) FBuf.resize(FRowLength);
  std::size_t budget = kMaxInline;
  if (static_cast<std::size_t>(FMinBufSize) >= FWriteOff + kRoomForBudget)
    budget = FRowLength - FWriteOff - kLongHeaderSize;
  return std::min<std::size_t>(budget, kMaxLongLength);
}

void TDBXRowBuffer::WriteNull() {
  *Room(1) = kNull;
  ++FWriteOff;
  ++FWriteOrdinal;
}

void TDBXRowBuffer::WriteNumber(bool ANegative, std::uint64_t AMagnitude) {
  const int count = (std::bit_width(AMagnitude) + 7) / 8;
  std::uint8_t* at = Room(1u + static_cast<std::size_t>(count));
  at[0] = static_cast<std::uint8_t>((ANegative ? kShortForm : kShortForm | kPositiveBit) + count);
  PutBigEndian(at + 1, AMagnitude, count);
  FWriteOff += 1u + static_cast<std::size_t>(count);
  ++FWriteOrdinal;
}

void TDBXRowBuffer::WriteInteger(std::int64_t AValue) {
  const bool negative = AValue < 0;
  const auto bits = static_cast<std::uint64_t>(AValue);
  WriteNumber(negative, negative ? 0 - bits : bits);
}

void TDBXRowBuffer::WriteBoolean(bool AValue) {
  *Room(1) = AValue ? (kShortForm | kPositiveBit) : kShortForm;
  ++FWriteOff;
  ++FWriteOrdinal;
}

void TDBXRowBuffer::WriteFloat(double AValue, bool ASingle) {
  const int width = ASingle ? 4 : 8;
  const std::uint64_t bits = ASingle ? std::bit_cast<std::uint32_t>(static_cast<float>(AValue))
                                     : std::bit_cast<std::uint64_t>(AValue);
  const bool negative = (bits >> (8 * width - 1)) != 0;
  // Big-endian from the top, without the trailing zero bytes.
  const int count = bits == 0 ? 0 : width - std::countr_zero(bits) / 8;
  std::uint8_t* at = Room(1u + static_cast<std::size_t>(count));
  at[0] = static_cast<std::uint8_t>((negative ? kShortForm : kShortForm | kPositiveBit) + count);
  if (count > 0) PutBigEndian(at + 1, bits >> (8 * (width - count)), count);
  FWriteOff += 1u + static_cast<std::size_t>(count);
  ++FWriteOrdinal;
}

void TDBXRowBuffer::WriteTimeStamp(const TDBXTimeStamp& AValue) {
  std::int64_t seconds = AValue.Milliseconds / 1000;
  std::int64_t fraction = AValue.Milliseconds % 1000;
  if (fraction < 0) {
    --seconds;
    fraction += 1000;
  }
  const bool negative = seconds < 0;
  const auto secondBits = static_cast<std::uint64_t>(seconds);
  const std::uint64_t magnitude = (negative ? 0 - secondBits : secondBits) * 1000;
  const int count = (std::bit_width(magnitude) + 7) / 8;
  const int content = 1 + count + (fraction != 0 ? 4 : 0);
  std::uint8_t* at = Room(1u + static_cast<std::size_t>(content));
  at[0] = static_cast<std::uint8_t>(kShortForm + content);
  at[1] = static_cast<std::uint8_t>((negative ? kShortForm : kShortForm | kPositiveBit) + count);
  PutBigEndian(at + 2, magnitude, count);
  if (fraction != 0)
    PutBigEndian(at + 2 + count, static_cast<std::uint64_t>(fraction * kFractionFactor), 4);
  FWriteOff += 1u + static_cast<std::size_t>(content);
  ++FWriteOrdinal;
}

void TDBXRowBuffer::WriteInline(std::uint8_t AHeader, std::span<const std::uint8_t> AContent) {
  std::uint8_t* at = Room(kLongHeaderSize + AContent.size());
  at[0] = AHeader;
  PutBigEndian(at + 1, AContent.size(), 2);
  if (!AContent.empty()) std::memcpy(at + kLongHeaderSize, AContent.data(), AContent.size());
  FWriteOff += kLongHeaderSize + AContent.size();
}

void TDBXRowBuffer::WriteContinued(std::unique_ptr<std::uint8_t[]> ABytes, std::size_t ASize,
                                   std::size_t ABudget) {
  // Held until the client fetches it or closes the command: the budget's to allow.
  TMemoryReservation charge;
  if (FMemoryAccount) {
    charge = TMemoryReservation(FMemoryAccount);
    charge.Resize(ASize);
  }
  WriteInline(kContinuedLongForm, {ABytes.get(), ABudget});
  FContinuations.Add(
      FWriteRowHandle, FWriteOrdinal,
      std::make_unique<TDBXBlobStream>(std::move(ABytes), ASize, ABudget, std::move(charge)));
  ++FWriteOrdinal;
}

// The text is encoded in one pass wherever it goes: a wide unit, found on the way, makes the
// encoding longer than the text, and perhaps longer than the budget.
void TDBXRowBuffer::WriteString(TextView AText) {
  const std::size_t budget = InlineBudget();
  const std::size_t units = AText.size();
  const auto lengthWith = [units](std::size_t AFirstWide) {
    return AFirstWide == units ? units : AFirstWide + 1 + 2 * (units - AFirstWide);
  };
  if (units > budget) {
    auto encoded = std::make_unique_for_overwrite<std::uint8_t[]>(units);
    const std::size_t firstWide = TDBXStringEncoder::EncodeNarrowPrefix(AText, encoded.get());
    const std::size_t length = lengthWith(firstWide);
    if (length != units) {
      auto wider = std::make_unique_for_overwrite<std::uint8_t[]>(length);
      std::memcpy(wider.get(), encoded.get(), firstWide);
      TDBXStringEncoder::EncodeWideRest(AText, firstWide, wider.get() + firstWide);
      encoded = std::move(wider);
    }
    WriteContinued(std::move(encoded), length, budget);
    return;
  }

  // The budget leaves room for the text and the longest header in the buffer.
  std::uint8_t* at = FBuf.data() + FWriteOff;
  std::size_t header = units <= static_cast<std::size_t>(kMaxShortLength) ? 1 : kLongHeaderSize;
  const std::size_t firstWide = TDBXStringEncoder::EncodeNarrowPrefix(AText, at + header);
  const std::size_t length = lengthWith(firstWide);
  if (length > budget) {
    auto encoded = std::make_unique_for_overwrite<std::uint8_t[]>(length);
    std::memcpy(encoded.get(), at + header, firstWide);
    TDBXStringEncoder::EncodeWideRest(AText, firstWide, encoded.get() + firstWide);
    WriteContinued(std::move(encoded), length, budget);
    return;
  }
  if (header == 1 && length > static_cast<std::size_t>(kMaxShortLength)) {
    std::memmove(at + kLongHeaderSize, at + 1, firstWide);
    header = kLongHeaderSize;
  }
  TDBXStringEncoder::EncodeWideRest(AText, firstWide, at + header + firstWide);
  if (header == 1) {
    at[0] = static_cast<std::uint8_t>(kShortForm + length);
  } else {
    at[0] = kLongForm;
    PutBigEndian(at + 1, length, 2);
  }
  FWriteOff += header + length;
  ++FWriteOrdinal;
}

void TDBXRowBuffer::WriteBytes(std::span<const std::uint8_t> ABytes) {
  const std::size_t budget = InlineBudget();
  if (ABytes.empty()) {
    *Room(1) = kShortForm;
    ++FWriteOff;
  } else if (ABytes.size() <= budget) {
    WriteInline(kLongForm, ABytes);
  } else {
    auto copy = std::make_unique_for_overwrite<std::uint8_t[]>(ABytes.size());
    std::memcpy(copy.get(), ABytes.data(), ABytes.size());
    WriteContinued(std::move(copy), ABytes.size(), budget);
    return;
  }
  ++FWriteOrdinal;
}

void TDBXRowBuffer::WriteJson(std::string_view AJson) {
  if (AJson.size() > static_cast<std::size_t>(kMaxRowBytes))
    RowError(kValueOutOfRange, FieldText(FWriteOrdinal));
  std::uint8_t* at = Room(kJsonHeaderSize + AJson.size());
  at[0] = kJsonBlock;
  PutBigEndian(at + 1, AJson.size(), 4);
  if (!AJson.empty()) std::memcpy(at + kJsonHeaderSize, AJson.data(), AJson.size());
  FWriteOff += kJsonHeaderSize + AJson.size();
  ++FWriteOrdinal;
}

void TDBXRowBuffer::WriteValue(const TDBXValue& AValue, int ADataType, int ASubType) {
  // The null value is a null field of any type, also of one the row cannot carry otherwise.
  if (IsNull(AValue)) {
    WriteNull();
    return;
  }
  const TValueKind kind = KindOf(ADataType);
  if (kind == TValueKind::Unsupported) RowError(kUnsupportedDataType, std::to_string(ADataType));
  const int ordinal = FWriteOrdinal;
  switch (kind) {
    case TValueKind::Boolean:
      WriteBoolean(ValueAs<bool>(AValue, ADataType, ordinal));
      break;
    case TValueKind::Integer: {
      const std::int64_t value = ValueAs<std::int64_t>(AValue, ADataType, ordinal);
      // The narrower types travel as 32-bit values.
      const bool wide = ADataType == dtInt64 || ADataType == dtUInt64;
      WriteInteger(wide ? value : static_cast<std::int32_t>(value));
      break;
    }
    case TValueKind::Float:
      WriteFloat(ValueAs<double>(AValue, ADataType, ordinal), IsSingle(ADataType, ASubType));
      break;
    case TValueKind::Date:
      WriteInteger(ValueAs<TDBXDate>(AValue, ADataType, ordinal).Value);
      break;
    case TValueKind::Time:
      WriteInteger(ValueAs<TDBXTime>(AValue, ADataType, ordinal).Milliseconds);
      break;
    case TValueKind::TimeStamp:
      WriteTimeStamp(ValueAs<TDBXTimeStamp>(AValue, ADataType, ordinal));
      break;
    case TValueKind::Text:
      WriteString(ValueAs<Text>(AValue, ADataType, ordinal));
      break;
    case TValueKind::Bytes:
      WriteBytes(ValueAs<TDBXBytes>(AValue, ADataType, ordinal));
      break;
    case TValueKind::Json:
      WriteJson(ValueAs<TDBXJsonText>(AValue, ADataType, ordinal).Bytes);
      break;
    case TValueKind::Unsupported:
      break;
  }
}

void TDBXRowBuffer::WriteData(bool ALastBlock) {
  const auto count = static_cast<std::int32_t>(FWriteOff);
  FWriter.WriteDataObjectStart();
  FWriter.WriteInt(ALastBlock ? -count : count);
  FWriter.WriteValueSeparator();
  FWriter.WriteDataBytes(FBuf, 0, count);
  FWriter.WriteArrayEnd();
  FWriter.WriteObjectEnd();
  FWriteOff = 0;
  FWriteOrdinal = 0;
}
