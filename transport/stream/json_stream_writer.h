#pragma once

// Writes the JSON messages of a connection: assembles the bytes in one reusable buffer and
// hands them to the byte channel, one channel Write per Flush plus one per filled buffer (on a
// filtered channel each Write becomes one block). Texts go out as ISO 8859-1 with escapes.
//
// The writer borrows the channel (the connection owns it) and is used by the connection's
// thread only. The channel's errors pass through unchanged and leave the buffer as it was; a
// channel Write that reports failure (-1) raises TDBXError "Write error" (code 1).

#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/text.h"
#include "transport/channel.h"
#include "transport/stream/byte_buffer.h"
#include "transport/stream/byte_stream.h"
#include "transport/stream/json_stream_format.h"

class TDBXJSonStreamWriter {
 public:
  using TNameValuePairs = std::vector<std::pair<Text, Text>>;

  // ABufferSize: bytes per full-buffer write; 0 means 8192. The writer is opened here already,
  // so it never writes into an unallocated buffer.
  explicit TDBXJSonStreamWriter(TDbxChannel& AChannel, int ABufferSize = kJSonTransportBufferSize);

  int GetWriteBufferSize() const { return FWriteBufferSize; }
  // Takes effect at the next Open.
  void SetWriteBufferSize(int ASize);

  void Open();
  void Close() {}
  bool GetClosed() const { return false; }

  // Primitives.
  void WriteObjectStart() { PutByte('{'); }
  void WriteObjectEnd() { PutByte('}'); }
  void WriteArrayStart() { PutByte('['); }
  void WriteArrayEnd() { PutByte(']'); }
  void WriteValueSeparator() { PutByte(','); }
  void WriteNameSeparator() { PutByte(':'); }
  void WriteSpace() { PutByte(' '); }
  void WriteParamsStart() { PutBytes(json_bytes::ParamsStart); }
  void WriteString(TextView AChars);
  void WriteNamedString(TextView AName, TextView AValue);
  void WriteInt(std::int32_t AInData);
  void WriteShort(std::int32_t AInData) { WriteInt(AInData); }
  void WriteByte(std::int32_t AInData) { WriteInt(AInData); }
  void WriteLong(std::int64_t AInData);
  void WriteBoolean(bool AData) { PutBytes(AData ? json_bytes::True : json_bytes::False); }
  void WriteNull() { PutBytes(json_bytes::Null); }
  void WriteDataBytes(std::span<const std::uint8_t> ASourceBytes, int AInSourceOffset,
                      int AInCount);
  void WriteSignature() {}
  void WriteFloat(float) {}
  void WriteDouble(double) {}
  // Advances the position over bytes already placed in the buffer.
  void Skip(int ACount);
  // Minimum size of the connection's row buffer.
  int CalcRowBufferSize() const;
  // Bytes that fit in the buffer before it has to be handed to the channel.
  int FreeBytes() const { return FCapacity - FWriteBufferPosition - 1; }
  // Frees the buffer when nothing waits in it; the next byte written makes it again. An idle
  // connection holds no buffer.
  void ReleaseIdleBuffer();
  bool HoldsBuffer() const { return !FWriteBuffer.empty(); }
  void Flush();

  // A point in the output, so that a reply failing half-way can be taken back before an error
  // reply is written in its place.
  struct TMark {
    int Position;
    std::uint64_t ChannelWrites;
  };
  TMark Mark() const { return {FWriteBufferPosition, FChannelWrites}; }
  // Drops what was written since AMark; false (and nothing dropped) when some of it has already
  // gone to the channel.
  bool RollBack(const TMark& AMark);

  // Composite operations.
  void WriteResultObjectStart() { PutBytes(json_bytes::ResultObjectStart); }
  void WriteResultVoidObject();
  void WriteResultObject(std::int64_t AValue);
  void WriteResultEnd() { WriteObjectEnd(); }
  // Closes only the inner object: clients read the error reply up to that brace.
  void WriteRpcError(TextView AName, std::int32_t AErrorCode,
                     const TNameValuePairs& ANameValuePairs, TextView AMessage);
  void WriteDataObject(std::span<const std::uint8_t> AData, int ACount);
  // Fills one data block from AReader straight into the buffer and flushes it; true when this
  // was the last piece (its count is written negative).
  bool WriteDataObject(TDBXByteStream& AReader);
  void WriteServerMoreBlobObject(std::int32_t ACommandHandle, std::int32_t ARowHandle,
                                 std::int32_t AOrdinal, std::int64_t ARow,
                                 std::int32_t ABlobHandle);
  void WriteServerNextObject(std::int32_t ARowHandle, std::int32_t ACommandHandle,
                             std::int64_t APosition);
  void WriteParametersObjectStart(std::int32_t ACount);
  // AData is the JSON text, already 8-bit.
  void WriteMetadata(std::string_view AData) { WriteKeyedBlock(json_bytes::MetadataKey, AData); }
  void WriteCallback(std::string_view AData) { WriteKeyedBlock(json_bytes::CallbackKey, AData); }
  void WriteTableObjectStart() { PutBytes(json_bytes::TableObjectStart); }
  void WriteColumnsObjectStart() { PutBytes(json_bytes::ColumnsObjectStart); }
  void WriteFieldsObjectStart() { PutBytes(json_bytes::FieldsObjectStart); }
  void WriteRowsObjectStart() { PutBytes(json_bytes::RowsObjectStart); }
  void WriteSessionObjectStart() { PutBytes(json_bytes::SessionObjectStart); }
  void WriteDataObjectStart() { PutBytes(json_bytes::DataObjectStart); }
  void WriteHandleObject(std::int32_t AHandle);

 private:
  void PutByte(std::uint8_t AByte) {
    if (FWriteBuffer.empty()) [[unlikely]]
      AllocateBuffer();
    if (FWriteBufferPosition + 1 >= FCapacity) FlushFullBuffer();
    FWriteBuffer[static_cast<std::size_t>(++FWriteBufferPosition)] = AByte;
  }
  void PutBytes(std::string_view ABytes);
  void PutRaw(const std::uint8_t* ABytes, std::size_t ACount);
  void PutUnicodeEscape(char16_t AUnit);
  void FlushFullBuffer();
  void AllocateBuffer();
  void ChannelWrite(int ACount);
  void WriteKeyedBlock(std::string_view AKey, std::string_view AData);

  TDbxChannel& FChannel;
  int FWriteBufferSize;
  TByteBuffer FWriteBuffer;
  int FCapacity = 0;              // size of FWriteBuffer whenever it is allocated
  int FWriteBufferPosition = -1;  // index of the last byte written
  std::uint64_t FChannelWrites = 0;
};
