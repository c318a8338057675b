#pragma once

// Writes the server's replies of the command protocol through the connection's message writer:
// one Flush per reply (two for more_blob), so on a filtered channel a reply is one block unless
// it outgrows the writer's buffer. Parameter rows and table rows are encoded by the
// connection's row buffer.
//
// Owned by the connection handler; used by the connection's thread only. The writer's errors
// (a channel that fails) pass through.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "transport/protocol/dbx_messages.h"
#include "transport/stream/json_stream_reader.h"
#include "transport/stream/json_stream_writer.h"
#include "transport/stream/row_buffer.h"

// A table result handed out block by block (first block with the execute reply, the others
// with next).
struct TDSTableReader {
  std::int32_t RowHandle = 0;
  TDBXTablePtr Table;
  std::size_t NextRow = 0;

  bool AtEnd() const { return !Table || NextRow >= Table->Rows.size(); }
};

// The continuations of the rows a command wrote, by row handle: the parameter row (0) and each
// table reader's current block. A new block of a row handle replaces the earlier one.
class TDSCommandContinuations {
 public:
  void Replace(std::int32_t ARowHandle, TDBXContinuations AItems);
  bool HasRow(std::int32_t ARowHandle) const;
  TDBXBlobStream* Find(std::int32_t ARowHandle, std::int32_t AOrdinal) const;
  void Clear() { FRows.clear(); }

 private:
  std::vector<std::pair<std::int32_t, TDBXContinuations>> FRows;
};

class TDBXJSonServerOutputConnectionHandler {
 public:
  // The writer flushes ahead of a table block when fewer bytes than this are free.
  static constexpr int kTableFlushReserve = 128;

  TDBXJSonServerOutputConnectionHandler(TDBXRowBuffer& ARowBuffer, TDBXJSonStreamWriter& AWriter,
                                        TDBXJSonStreamReader& AReader)
      : FRowBuffer(ARowBuffer), FWriter(AWriter), FReader(AReader) {}

  TDBXRowBuffer& RowBuffer() const { return FRowBuffer; }
  TDBXJSonStreamWriter& Writer() const { return FWriter; }
  TDBXJSonStreamReader& Reader() const { return FReader; }

  // {"result":[handle,"product",2]}
  void WriteConnectReply(std::int32_t AConnectionHandle, TextView AProductName);
  // {"result":[{"handle":[h]},{"fields":[0,false]},{"parameters":[n,d1,...]}]}; the parameters
  // object only when there is a parameter.
  void WritePrepareReply(std::int32_t ACommandHandle, const TDBXParameterList& AParameters);
  // {"result":[{"rows":[0]},{"data":[N,<row>]}]} with the parameter row after the call (in
  // parameters as null), the data object only when the method has an out, in/out or return
  // parameter; the descriptors too when literal arguments changed them. AMetadata (invocation
  // metadata) goes ahead of the reply.
  void WriteExecuteReply(const TDBXExecuteMessage& AMessage, const TDBXParameterList& AParameters,
                         const std::optional<std::string>& AMetadata,
                         TDSCommandContinuations& AContinuations);
  // The execute reply of table results: the table headers inside the result, then each
  // table's first block outside it.
  void WriteTableExecuteReply(const TDBXExecuteMessage& AMessage, std::int32_t ACommandHandle,
                              const std::vector<TDSTableReader*>& AReaders,
                              const std::optional<std::string>& AMetadata,
                              TDSCommandContinuations& AContinuations);
  // {"data":[±n,<rows>]}: the reader's next block, or {"data":[0]} when nothing is left.
  void WriteNextReply(TDSTableReader& AReader, TDSCommandContinuations& AContinuations);
  // {"result":[{"data":[<count padded to 9>,<bytes>]}]}, flushed after the data object and
  // again at the end.
  void WriteMoreBlobReply(TDBXByteStream& AStream);
  void WriteNextResultReply();
  void WriteTxBeginReply();
  void WriteTxEndReply();
  void WriteVendorPropertyReply(TextView AValue);
  // {"error":{"name":...,"code":...,"message":"Remote error: ..."} with one closing brace.
  void WriteErrorReply(const TDBXErrorMessage& AMessage);

 private:
  void WriteParametersObject(const TDBXParameterList& AParameters);
  void WriteResultStartWithRows(const TDBXExecuteMessage& AMessage,
                                const std::optional<std::string>& AMetadata);
  void WriteTableHeader(std::int32_t ACommandHandle, const TDSTableReader& AReader);
  void WriteTableBlock(TDSTableReader& AReader, TDSCommandContinuations& AContinuations);

  TDBXRowBuffer& FRowBuffer;
  TDBXJSonStreamWriter& FWriter;
  TDBXJSonStreamReader& FReader;
};
