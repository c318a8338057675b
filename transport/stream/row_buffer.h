#pragma once

// The connection's parameter row: one reusable byte array that holds, in turn, the parameters a
// client sent with execute (loaded from a data block and read by ordinal) and the parameters
// written back in the reply (and the rows of table results). Values are encoded and decoded in
// place; the layout is in row_format.h.
//
// One row buffer per connection, used by the connection's thread only. It borrows the
// connection's reader and writer: while an incoming value continues outside its row, reading it
// writes the server's own {"more_blob":[...]} requests and reads the client's data blocks; in
// the client role it sends more_blob requests for the command (SetCommandHandle) and reads the
// server's replies, raising TDBXRemoteError for an error reply.
// Everything in a row is client data: a malformed row, a continuation that breaks off or grows
// past kMaxContinuedValueBytes, or a value that does not fit its data type raises TDBXError
// (kRowErrorCode) for the request; nothing is read past the loaded bytes. The stream's own errors
// pass through.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "platform/text.h"
#include "transport/stream/byte_buffer.h"
#include "transport/stream/dbx_value.h"
#include "transport/stream/json_stream_reader.h"
#include "transport/stream/json_stream_writer.h"
#include "transport/stream/row_continuation.h"
#include "transport/stream/row_format.h"
#include "transport/stream/string_codec.h"

class TDBXRowBuffer {
 public:
  // AMinBufSize: the server passes the writer's CalcRowBufferSize(), so one row stays within a
  // writer buffer. AClient: the client role, which fetches continued values with more_blob
  // requests of its own.
  TDBXRowBuffer(TDBXJSonStreamReader& AReader, TDBXJSonStreamWriter& AWriter, int AMinBufSize,
                bool AClient = false);

  int MinBufSize() const { return FMinBufSize; }
  bool IsClient() const { return FClient; }
  // Client role: the command whose reply row is loaded, named in the more_blob requests.
  void SetCommandHandle(int ACommandHandle) { FCommandHandle = ACommandHandle; }
  // The connection's share of the memory budget: continued values being fetched and the rest
  // of written values waiting to be fetched are charged to it (TMemoryBudgetExceeded when it
  // refuses). None: nothing charged.
  void SetMemoryAccount(TMemoryAccountPtr AAccount) { FMemoryAccount = std::move(AAccount); }

  // Reading a received row.

  // Loads the raw bytes of a {"data":[N,...]} block: the caller has read the count N; the
  // reader stands before the comma that follows it. Afterwards the reader stands on the last
  // raw byte. A count outside 0..kMaxRowBytes is refused before anything is read or allocated.
  void LoadData(int ACount);
  int ReadSize() const { return FReadSize; }
  // The value of field AOrdinal read as ADataType (a code of TDBXDataTypes). A null field is
  // the null value (also for texts: the method layer turns it into an empty text). A value that
  // continues outside the row is fetched from the client here; the client serves it once, so a
  // second read of that field raises TDBXError instead of returning a truncated value.
  TDBXValue ReadValue(int AOrdinal, int ADataType, int ASubType);

  // Writing a row.

  // Starts a new row at position 0; the loaded row is gone, and continuations not taken yet are
  // dropped. ARowHandle is where the client will ask for continuations of this row's values.
  void Clear(int ARowHandle = row_format::kParameterRowHandle);
  // Starts the next row of a table behind the current one (ordinals count from 0 again).
  void BeginRow() { FWriteOrdinal = 0; }
  void WriteNull();
  // An empty text is the single byte 0x20; a text longer than the inline budget keeps its rest
  // as a continuation.
  void WriteString(TextView AText);
  // Writes AValue as ADataType; the null value is a null field of any type.
  void WriteValue(const TDBXValue& AValue, int ADataType, int ASubType);

  int WritePosition() const { return static_cast<int>(FWriteOff); }
  std::span<const std::uint8_t> WrittenBytes() const { return {FBuf.data(), FWriteOff}; }
  // Writes {"data":[n,<n bytes>]} with the bytes written so far (n negative for the last
  // block of a table) and returns the write position to 0.
  void WriteData(bool ALastBlock = false);

  // The continuation streams of the values written since Clear, for the command to keep.
  TDBXContinuations TakeContinuations() { return std::exchange(FContinuations, {}); }
  void DropContinuations() { FContinuations.Clear(); }

  // Between requests: frees the row's buffer (the loaded row is gone; the next row makes it
  // again), unless a row is being written. An idle connection holds no buffer.
  void ReleaseIdleBuffer();
  std::size_t BufferCapacity() const { return FBuf.capacity(); }

 private:
  struct TField {
    std::size_t Offset;  // of the header byte
    std::size_t Length;  // header included
    std::uint8_t Header;
  };

  // Reading.
  TField SeekField(int AOrdinal);
  std::size_t FieldLength(std::size_t AOffset, int AOrdinal) const;
  void CheckWithinRow(std::size_t AOffset, std::size_t ALength, int AOrdinal) const;
  std::uint32_t ReadBigEndian(std::size_t AOffset, int ABytes) const;
  struct TMagnitude {
    bool Negative;
    std::uint64_t Value;
  };
  TMagnitude ReadMagnitude(const TField& AField, int AOrdinal) const;
  std::int64_t ReadInteger(const TField& AField, int AOrdinal) const;
  double ReadFloat(const TField& AField, bool ASingle, int AOrdinal) const;
  TDBXTimeStamp ReadTimeStamp(const TField& AField, int AOrdinal) const;
  TDBXValue ReadText(const TField& AField, int AOrdinal);
  TDBXValue ReadBytes(const TField& AField, int AOrdinal);
  TDBXValue ReadJson(const TField& AField);
  // The part of a continued (0x50) or blob field that stands in the row.
  std::span<const std::uint8_t> InlinePart(const TField& AField) const;
  // The row's part of a continued field joined with the parts the client sends.
  std::vector<std::uint8_t> FetchContinuation(const TField& AField, int AOrdinal);
  void WriteMoreBlobRequest(int AOrdinal, int ABlobHandle);
  std::int64_t ReadContinuationCount(bool& AWrapped);

  // Writing.
  std::uint8_t* Room(std::size_t ABytes);
  std::size_t InlineBudget();
  void WriteNumber(bool ANegative, std::uint64_t AMagnitude);
  void WriteInteger(std::int64_t AValue);
  void WriteBoolean(bool AValue);
  void WriteFloat(double AValue, bool ASingle);
  void WriteTimeStamp(const TDBXTimeStamp& AValue);
  void WriteBytes(std::span<const std::uint8_t> ABytes);
  void WriteJson(std::string_view AJson);
  void WriteInline(std::uint8_t AHeader, std::span<const std::uint8_t> AContent);
  void WriteContinued(std::unique_ptr<std::uint8_t[]> ABytes, std::size_t ASize,
                      std::size_t ABudget);

  TDBXJSonStreamReader& FReader;
  TDBXJSonStreamWriter& FWriter;
  const int FMinBufSize;
  const bool FClient;
  int FCommandHandle = row_format::kServerCommandHandle;

  // The loaded row, or the row being written.
  TByteBuffer FBuf;

  std::size_t FReadSize = 0;  // bytes of the loaded row
  std::size_t FReadOff = 0;   // header of field FReadOrdinal
  int FReadOrdinal = 0;
  std::int64_t FCurrentRow = 0;       // row counter named in continuation requests
  int FBlobId = 0;                    // continuation readers handed out; the first is 1
  std::vector<int> FFetchedOrdinals;  // fields of the loaded row read through continuation

  std::size_t FWriteOff = 0;
  // Length the row being written would have in a buffer of the minimum size (it grows as the
  // buffer would); the inline budgets follow it.
  std::size_t FRowLength = 0;
  int FWriteOrdinal = 0;
  int FWriteRowHandle = row_format::kParameterRowHandle;
  TDBXContinuations FContinuations;
  TMemoryAccountPtr FMemoryAccount;
};
