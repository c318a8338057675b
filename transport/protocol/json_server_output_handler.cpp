#include "transport/protocol/json_server_output_handler.h"

#include "transport/protocol/protocol_messages.h"
#include "transport/stream/parameter_descriptor.h"
#include "transport/stream/row_format.h"

void TDSCommandContinuations::Replace(std::int32_t ARowHandle, TDBXContinuations AItems) {
  std::erase_if(FRows, [ARowHandle](const auto& AEntry) { return AEntry.first == ARowHandle; });
  FRows.emplace_back(ARowHandle, std::move(AItems));
}

bool TDSCommandContinuations::HasRow(std::int32_t ARowHandle) const {
  for (const auto& entry : FRows)
    if (entry.first == ARowHandle) return true;
  return false;
}

TDBXBlobStream* TDSCommandContinuations::Find(std::int32_t ARowHandle,
                                              std::int32_t AOrdinal) const {
  for (const auto& entry : FRows)
    if (entry.first == ARowHandle) return entry.second.Find(ARowHandle, AOrdinal);
  return nullptr;
}

void TDBXJSonServerOutputConnectionHandler::WriteConnectReply(std::int32_t AConnectionHandle,
                                                              TextView AProductName) {
  FWriter.WriteResultObjectStart();
  FWriter.WriteInt(AConnectionHandle);
  FWriter.WriteValueSeparator();
  FWriter.WriteString(AProductName);
  FWriter.WriteValueSeparator();
  FWriter.WriteInt(kDBXProtocolVersion);
  FWriter.WriteArrayEnd();
  FWriter.WriteObjectEnd();
  FWriter.Flush();
}

void TDBXJSonServerOutputConnectionHandler::WriteParametersObject(
    const TDBXParameterList& AParameters) {
  FWriter.WriteParametersObjectStart(static_cast<std::int32_t>(AParameters.size()));
  for (const TDBXParameter& parameter : AParameters) {
    FWriter.WriteValueSeparator();
    ::WriteParameterDescriptor(FWriter, parameter);
  }
  FWriter.WriteArrayEnd();
  FWriter.WriteObjectEnd();
}

void TDBXJSonServerOutputConnectionHandler::WritePrepareReply(
    std::int32_t ACommandHandle, const TDBXParameterList& AParameters) {
  FWriter.WriteResultObjectStart();
  FWriter.WriteHandleObject(ACommandHandle);
  FWriter.WriteValueSeparator();
  FWriter.WriteFieldsObjectStart();
  FWriter.WriteInt(0);
  FWriter.WriteValueSeparator();
  FWriter.WriteBoolean(false);
  FWriter.WriteArrayEnd();
  FWriter.WriteObjectEnd();
  if (!AParameters.empty()) {
    FWriter.WriteValueSeparator();
    WriteParametersObject(AParameters);
  }
  FWriter.WriteArrayEnd();
  FWriter.WriteObjectEnd();
  FWriter.Flush();
}

void TDBXJSonServerOutputConnectionHandler::WriteResultStartWithRows(
    const TDBXExecuteMessage& AMessage, const std::optional<std::string>& AMetadata) {
  if (AMetadata) FWriter.WriteMetadata(*AMetadata);
  FWriter.WriteResultObjectStart();
  FWriter.WriteRowsObjectStart();
  if (AMessage.RowsAffected >= 0) FWriter.WriteLong(AMessage.RowsAffected);
  FWriter.WriteArrayEnd();
  FWriter.WriteObjectEnd();
}

void TDBXJSonServerOutputConnectionHandler::WriteExecuteReply(
    const TDBXExecuteMessage& AMessage, const TDBXParameterList& AParameters,
    const std::optional<std::string>& AMetadata, TDSCommandContinuations& AContinuations) {
  // The row is encoded before a byte of the reply is written: a value that cannot be encoded
  // leaves nothing behind for the error reply to follow.
  if (AMessage.HasOutOrReturn) {
    FRowBuffer.Clear(row_format::kParameterRowHandle);
    for (const TDBXParameter& parameter : AParameters) {
      if (parameter.Direction == pdIn)
        FRowBuffer.WriteNull();
      else
        FRowBuffer.WriteValue(parameter.Value, parameter.DataType, parameter.SubType);
    }
    AContinuations.Replace(row_format::kParameterRowHandle, FRowBuffer.TakeContinuations());
  }
  WriteResultStartWithRows(AMessage, AMetadata);
  if (AMessage.ParameterTypeChanged) {
    FWriter.WriteValueSeparator();
    WriteParametersObject(AParameters);
  }
  if (AMessage.HasOutOrReturn) {
    FWriter.WriteValueSeparator();
    FRowBuffer.WriteData();
  }
  FWriter.WriteArrayEnd();
  FWriter.WriteObjectEnd();
  FWriter.Flush();
}

void TDBXJSonServerOutputConnectionHandler::WriteTableHeader(std::int32_t ACommandHandle,
                                                             const TDSTableReader& AReader) {
  FWriter.WriteTableObjectStart();
  FWriter.WriteFieldsObjectStart();
  FWriter.WriteInt(ACommandHandle);
  FWriter.WriteValueSeparator();
  FWriter.WriteBoolean(false);  // updatable
  FWriter.WriteValueSeparator();
  FWriter.WriteInt(AReader.RowHandle);
  FWriter.WriteValueSeparator();
  FWriter.WriteInt(0);  // BCD format
  FWriter.WriteValueSeparator();
  FWriter.WriteBoolean(true);
  FWriter.WriteArrayEnd();
  FWriter.WriteObjectEnd();
  FWriter.WriteValueSeparator();
  FWriter.WriteColumnsObjectStart();
  FWriter.WriteInt(static_cast<std::int32_t>(AReader.Table->Columns.size()));
  for (const TDBXColumn& column : AReader.Table->Columns) {
    FWriter.WriteValueSeparator();
    FWriter.WriteArrayStart();
    FWriter.WriteString(column.Name);
    FWriter.WriteValueSeparator();
    FWriter.WriteInt(column.DataType);
    FWriter.WriteValueSeparator();
    FWriter.WriteInt(column.SubType);
    FWriter.WriteValueSeparator();
    FWriter.WriteLong(column.Precision);
    FWriter.WriteValueSeparator();
    FWriter.WriteInt(column.Scale);
    FWriter.WriteValueSeparator();
    FWriter.WriteInt(column.Size);
    FWriter.WriteValueSeparator();
    FWriter.WriteInt(column.Flags);
    FWriter.WriteValueSeparator();
    FWriter.WriteInt(column.Direction);
    FWriter.WriteArrayEnd();
  }
  FWriter.WriteArrayEnd();
  FWriter.WriteObjectEnd();
  FWriter.WriteArrayEnd();
  FWriter.WriteObjectEnd();
}

// Consecutive rows until the row reaches its minimum size, so that one block stays within a
// writer buffer; the count is negative when the table ends with the block.
void TDBXJSonServerOutputConnectionHandler::WriteTableBlock(
    TDSTableReader& AReader, TDSCommandContinuations& AContinuations) {
  if (FWriter.FreeBytes() < kTableFlushReserve) FWriter.Flush();
  if (AReader.AtEnd()) {
    FWriter.WriteDataObjectStart();
    FWriter.WriteInt(0);
    FWriter.WriteArrayEnd();
    FWriter.WriteObjectEnd();
    return;
  }
  FRowBuffer.Clear(AReader.RowHandle);
  const std::vector<TDBXColumn>& columns = AReader.Table->Columns;
  while (!AReader.AtEnd()) {
    const std::vector<TDBXValue>& row = AReader.Table->Rows[AReader.NextRow++];
    FRowBuffer.BeginRow();
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (i < row.size())
        FRowBuffer.WriteValue(row[i], columns[i].DataType, columns[i].SubType);
      else
        FRowBuffer.WriteNull();
    }
    if (FRowBuffer.WritePosition() >= FRowBuffer.MinBufSize()) break;
  }
  AContinuations.Replace(AReader.RowHandle, FRowBuffer.TakeContinuations());
  FRowBuffer.WriteData(AReader.AtEnd());
}

void TDBXJSonServerOutputConnectionHandler::WriteTableExecuteReply(
    const TDBXExecuteMessage& AMessage, std::int32_t ACommandHandle,
    const std::vector<TDSTableReader*>& AReaders, const std::optional<std::string>& AMetadata,
    TDSCommandContinuations& AContinuations) {
  // Rows are encoded block by block between the writes, so a row that cannot be encoded takes
  // back what the reply has written so far (as long as none of it has left).
  const TDBXJSonStreamWriter::TMark start = FWriter.Mark();
  try {
    WriteResultStartWithRows(AMessage, AMetadata);
    for (const TDSTableReader* reader : AReaders) {
      FWriter.WriteValueSeparator();
      WriteTableHeader(ACommandHandle, *reader);
    }
    FWriter.WriteArrayEnd();
    FWriter.WriteObjectEnd();
    for (std::size_t i = 0; i < AReaders.size(); ++i) {
      if (i > 0) FWriter.WriteValueSeparator();
      WriteTableBlock(*AReaders[i], AContinuations);
    }
  } catch (...) {
    FWriter.RollBack(start);
    throw;
  }
  FWriter.Flush();
}

void TDBXJSonServerOutputConnectionHandler::WriteNextReply(
    TDSTableReader& AReader, TDSCommandContinuations& AContinuations) {
  const TDBXJSonStreamWriter::TMark start = FWriter.Mark();
  try {
    WriteTableBlock(AReader, AContinuations);
  } catch (...) {
    FWriter.RollBack(start);
    throw;
  }
  FWriter.Flush();
}

void TDBXJSonServerOutputConnectionHandler::WriteMoreBlobReply(TDBXByteStream& AStream) {
  FWriter.WriteResultObjectStart();
  FWriter.WriteDataObject(AStream);
  FWriter.WriteArrayEnd();
  FWriter.WriteObjectEnd();
  FWriter.Flush();
}

void TDBXJSonServerOutputConnectionHandler::WriteNextResultReply() {
  FWriter.WriteResultObjectStart();
  FWriter.WriteBoolean(false);
  FWriter.WriteValueSeparator();
  FWriter.WriteInt(0);
  FWriter.WriteValueSeparator();
  FWriter.WriteBoolean(false);
  FWriter.WriteValueSeparator();
  FWriter.WriteInt(-1);
  FWriter.WriteArrayEnd();
  FWriter.WriteObjectEnd();
  FWriter.Flush();
}

void TDBXJSonServerOutputConnectionHandler::WriteTxBeginReply() { FWriter.WriteResultObject(0); }

void TDBXJSonServerOutputConnectionHandler::WriteTxEndReply() { FWriter.WriteResultVoidObject(); }

void TDBXJSonServerOutputConnectionHandler::WriteVendorPropertyReply(TextView AValue) {
  FWriter.WriteResultObjectStart();
  FWriter.WriteString(AValue);
  FWriter.WriteArrayEnd();
  FWriter.WriteObjectEnd();
  FWriter.Flush();
}

void TDBXJSonServerOutputConnectionHandler::WriteErrorReply(const TDBXErrorMessage& AMessage) {
  const Text message = text::FromAscii(protocol_messages::kRemoteError) + AMessage.ErrorText;
  FWriter.WriteRpcError(AMessage.ErrorClassName, AMessage.ErrorCode, {}, message);
  FWriter.Flush();
}
