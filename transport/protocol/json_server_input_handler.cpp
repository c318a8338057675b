#include "transport/protocol/json_server_input_handler.h"

#include <string>
#include <utility>

#include "transport/dbx_error.h"
#include "transport/protocol/invocation_metadata.h"
#include "transport/protocol/protocol_messages.h"
#include "transport/server/server_method_messages.h"
#include "transport/stream/memory_budget.h"
#include "transport/stream/parameter_descriptor.h"

namespace {

using namespace protocol_messages;
using server_method_messages::Fill;

Text Decimal(std::int64_t AValue) { return text::FromAscii(std::to_string(AValue)); }

}  // namespace

TDBXJSonServerInputConnectionHandler::TDBXJSonServerInputConnectionHandler(
    std::unique_ptr<TDBXJSonStreamReader> AReader, std::unique_ptr<TDBXJSonStreamWriter> AWriter,
    std::unique_ptr<TDBXRowBuffer> ARowBuffer, std::unique_ptr<TDSServerConnectionHandler> ANext,
    bool AReadsParameterDescriptors)
    : FReader(std::move(AReader)),
      FWriter(std::move(AWriter)),
      FRowBuffer(std::move(ARowBuffer)),
      FConnectionHandler(std::move(ANext)),
      FReadsParameterDescriptors(AReadsParameterDescriptors) {
  FReader->SetMetadataHandler([this](const Text& AJson) {
    if (auto metadata = invocation_metadata::AsMetadata(text::ToLatin1(AJson)))
      FMetadata = std::move(metadata);
  });
}

TDBXJSonServerInputConnectionHandler::~TDBXJSonServerInputConnectionHandler() {
  // The connection handler frees the channel; the reader and writer only borrowed it.
  FConnectionHandler.reset();
}

void TDBXJSonServerInputConnectionHandler::Close() {
  FReader->Close();
  FWriter->Close();
}

void TDBXJSonServerInputConnectionHandler::ReleaseIdleBuffers() {
  FReader->ReleaseIdleBuffer();
  FWriter->ReleaseIdleBuffer();
  FRowBuffer->ReleaseIdleBuffer();
}

bool TDBXJSonServerInputConnectionHandler::HandleDbxRequest(int ACode) {
  try {
    if (!FConnectionHandler->DbxBeforeRequest()) return false;
    if (ACode == scDisconnect) {
      FReader->SkipToEndOfObject();
      FConnectionHandler->DbxDisconnect();
      return false;
    }
    DispatchRequest(ACode);
    return true;
  } catch (const TMemoryBudgetExceeded&) {
    AnswerAndEnd(std::current_exception());
    return false;
  } catch (...) {
    return AnswerFailure(std::current_exception());
  }
}

void TDBXJSonServerInputConnectionHandler::AnswerAndEnd(std::exception_ptr AFailure) {
  AnswerFailure(std::move(AFailure));
  // Closing the channel shuts the socket down: the connection ends, freeing all it held.
  FConnectionHandler->Channel().Close();
}

bool TDBXJSonServerInputConnectionHandler::AnswerFailure(std::exception_ptr AFailure) {
  FErrorMessage.SetException(std::move(AFailure));
  try {
    FConnectionHandler->DbxErrorMessage(FErrorMessage);
  } catch (...) {
    return false;  // the client can no longer be answered
  }
  return true;
}

void TDBXJSonServerInputConnectionHandler::DispatchRequest(int ACode) {
  switch (ACode) {
    case scConnect:
      ReadConnect();
      break;
    case scPrepare:
      ReadPrepare();
      break;
    case scExecute:
      // What came before this request goes with it; what comes while it is read waits for the
      // next one.
      ReadExecute(std::exchange(FMetadata, std::nullopt));
      break;
    case scCommandClose:
      ReadCommandClose();
      break;
    case scReaderClose:
      ReadReaderClose();
      break;
    case scNext:
      ReadNext();
      break;
    case scTxBegin:
      ReadTxBegin();
      break;
    case scTxEnd:
      ReadTxEnd();
      break;
    case scMoreBlob:
      ReadMoreBlob();
      break;
    case scNextResult:
      ReadNextResult();
      break;
    case scVendorProperty:
      ReadVendorProperty();
      break;
    default:
      // Unknown methods, and the rest of an invocation-metadata message, get no reply.
      FReader->SkipToEndOfObject();
      break;
  }
}

void TDBXJSonServerInputConnectionHandler::SkipRestOfRequest(int AToken) {
  if (AToken == jtObjectStart) {
    FReader->SkipToEndOfObject();
  } else if (AToken == jtStringStart) {
    FReader->ReadString();
  }
  FReader->SkipToEndOfObject();
}

Text TDBXJSonServerInputConnectionHandler::ReadText() { return ReadStringMember(*FReader); }

TDBXParameter TDBXJSonServerInputConnectionHandler::ReadParameterDescriptor() {
  TDBXParameter parameter;
  FReader->Next(jtArrayStart);
  ::ReadParameterDescriptor(*FReader, parameter);
  parameter.Flags |= vtfReadByServer;
  if (parameter.Size == 0 &&
      (parameter.DataType == dtAnsiString || parameter.DataType == dtWideString) &&
      (parameter.Direction == pdOut || parameter.Direction == pdInOut ||
       parameter.Direction == pdReturn) &&
      parameter.Precision != 0)
    parameter.Size = static_cast<int>(parameter.Precision);
  return parameter;
}

// [n,d1,...,dn] after its opening bracket, up to and including the closing one. The count only
// bounds the loop: descriptors are stored as they are read.
void TDBXJSonServerInputConnectionHandler::ReadParameterDescriptors(
    TDBXParameterList& AParameters) {
  const std::int32_t count = FReader->ReadInt();
  if (count < 0 || count > kMaxParameterDescriptors)
    throw TDBXError(kSyntaxErrorCode, Fill(kInvalidParameterCount, {Decimal(count)}));
  for (std::int32_t i = 0; i < count; ++i) {
    FReader->NextValueSeparator();
    AParameters.push_back(ReadParameterDescriptor());
  }
  FReader->Next(jtArrayEnd);
}

void TDBXJSonServerInputConnectionHandler::ReadConnect() {
  TDBXJSonStreamReader& reader = *FReader;
  TDSConnectProperties properties;
  const int params = reader.ReadParams();
  if (params != jtArrayStart) {
    SkipRestOfRequest(params);
  } else {
    const int first = reader.Next();
    if (first == jtObjectStart) {
      for (;;) {
        int token = reader.Next();
        if (token == jtObjectEnd) break;
        if (token == jtValueSeparator) token = reader.Next();
        if (token != jtStringStart) ThrowUnexpectedToken(jtStringStart, token);
        Text name = reader.ReadString();
        reader.Next(jtNameSeparator);
        Text value = ReadText();
        if (properties.size() >= static_cast<std::size_t>(kMaxConnectProperties) &&
            !properties.contains(name)) {
          throw TDBXError(kRefusedCode, Fill(kTooManyProperties, {Decimal(kMaxConnectProperties)}));
        }
        properties[std::move(name)] = std::move(value);
      }
    } else if (first != jtArrayEnd) {
      ThrowUnexpectedToken(jtObjectStart, first);
    }
    if (first != jtArrayEnd) reader.SkipToEndOfArray();
    reader.SkipToEndOfObject();
  }
  FConnectMessage.ConnectProperties = std::move(properties);
  FConnectMessage.ProductName.clear();
  FConnectMessage.ConnectSuccessful = true;
  FConnectionHandler->DbxConnect(FConnectMessage);
}

void TDBXJSonServerInputConnectionHandler::ReadPrepare() {
  TDBXJSonStreamReader& reader = *FReader;
  TDBXPrepareMessage& message = FPrepareMessage;
  message.Reset();
  const int params = reader.ReadParams();
  if (params != jtArrayStart) {
    SkipRestOfRequest(params);
  } else {
    // Objects of the request still open at the point an argument fails to parse.
    int openObjects = 1;
    try {
      message.CommandHandle = reader.ReadInt();
      reader.NextValueSeparator();
      message.Updatable = reader.ReadBoolean();
      reader.NextValueSeparator();
      message.CommandType = ReadText();
      reader.NextValueSeparator();
      message.Command = ReadText();
      for (;;) {
        const int token = reader.Next();
        if (token == jtArrayEnd) break;
        if (token != jtValueSeparator) ThrowUnexpectedToken(jtArrayEnd, token);
        reader.Next(jtObjectStart);
        ++openObjects;
        reader.Next(jtStringStart);
        const int key = reader.ReadStringCode();
        reader.Next(jtNameSeparator);
        if (key == scParameters && FReadsParameterDescriptors && !message.HasExplicitParameters) {
          reader.Next(jtArrayStart);
          message.HasExplicitParameters = true;
          ReadParameterDescriptors(message.ExplicitParameters);
          reader.Next(jtObjectEnd);
        } else {
          reader.SkipToEndOfObject();
        }
        --openObjects;
      }
      reader.SkipToEndOfObject();
      openObjects = 0;
    } catch (...) {
      // The rest of the request is skipped only while it is open and its bytes are at hand: a
      // syntax error discards the reader's buffer, and skipping then would consume (and wait
      // for) the client's next request instead of answering this one.
      if (openObjects > 0 && reader.HasMoreBytes()) {
        try {
          for (; openObjects > 0; --openObjects) reader.SkipToEndOfObject();
        } catch (...) {
          // the first failure is the one reported
        }
      }
      throw;
    }
  }
  FConnectionHandler->DbxPrepare(message);
}

void TDBXJSonServerInputConnectionHandler::ReadExecuteItem(int AKey) {
  TDBXJSonStreamReader& reader = *FReader;
  TDBXExecuteMessage& message = FExecuteMessage;
  switch (AKey) {
    case scHandle:
      reader.Next(jtArrayStart);
      message.CommandHandle = reader.ReadInt();
      reader.SkipToEndOfArray();
      break;
    case scFields:
      reader.Next(jtArrayStart);
      message.CommandHandle = reader.ReadInt();
      reader.NextValueSeparator();
      message.Updatable = reader.ReadBoolean();
      reader.NextValueSeparator();
      message.CommandType = ReadText();
      reader.NextValueSeparator();
      message.Command = ReadText();
      reader.SkipToEndOfArray();
      break;
    case scParameters:
      reader.Next(jtArrayStart);
      if (FReadsParameterDescriptors && !message.HasExplicitParameters) {
        message.HasExplicitParameters = true;
        ReadParameterDescriptors(message.ExplicitParameters);
      } else {
        reader.SkipToEndOfArray();
      }
      break;
    case scData: {
      reader.Next(jtArrayStart);
      const std::int32_t count = reader.ReadInt();
      const int token = reader.Next();
      if (token == jtValueSeparator) {
        FRowBuffer->LoadData(count);
        reader.Next(jtArrayEnd);
      } else if (token == jtArrayEnd && count == 0) {
        FRowBuffer->LoadData(0);
      } else {
        ThrowUnexpectedToken(jtValueSeparator, token);
      }
      message.HasParameters = true;
      break;
    }
    case scTable:
      // Refused once the whole request is read, so that the connection stays in step.
      message.TableItemRefused = true;
      reader.SkipToEndOfObject();
      return;
    default:
      throw TDBXError(kSyntaxErrorCode, Fill(kUnexpectedExecuteItem, {reader.StringValue()}));
  }
  reader.Next(jtObjectEnd);
}

void TDBXJSonServerInputConnectionHandler::ReadExecute(std::optional<std::string> AMetadata) {
  TDBXJSonStreamReader& reader = *FReader;
  TDBXExecuteMessage& message = FExecuteMessage;
  message.Reset();  // also lets go of the tables the previous request received
  message.InvocationMetadata = std::move(AMetadata);
  const int params = reader.ReadParams();
  if (params != jtArrayStart) {
    SkipRestOfRequest(params);
  } else {
    for (;;) {
      int token = reader.Next();
      if (token == jtArrayEnd) break;
      if (token == jtValueSeparator) token = reader.Next();
      if (token != jtObjectStart) ThrowUnexpectedToken(jtObjectStart, token);
      reader.Next(jtStringStart);
      const int key = reader.ReadStringCode();
      reader.Next(jtNameSeparator);
      ReadExecuteItem(key);
    }
    reader.SkipToEndOfObject();
  }
  if (message.TableItemRefused) throw TDBXError(kRefusedCode, kTablesNotAccepted);
  FConnectionHandler->DbxExecute(message);
}

template <class TMessage, class TReadArguments>
void TDBXJSonServerInputConnectionHandler::ReadArguments(TMessage& AMessage,
                                                         TReadArguments AReadArguments) {
  AMessage = {};
  const int params = FReader->ReadParams();
  if (params == jtArrayStart) {
    AReadArguments(*FReader);
    FReader->SkipToEndOfObject();
  } else {
    SkipRestOfRequest(params);
  }
}

void TDBXJSonServerInputConnectionHandler::ReadCommandClose() {
  ReadArguments(FCommandCloseMessage, [this](TDBXJSonStreamReader& reader) {
    FCommandCloseMessage.CommandHandle = reader.ReadInt();
  });
  FConnectionHandler->DbxCommandClose(FCommandCloseMessage);
}

void TDBXJSonServerInputConnectionHandler::ReadReaderClose() {
  TDBXReaderCloseMessage& message = FReaderCloseMessage;
  ReadArguments(message, [&message](TDBXJSonStreamReader& reader) {
    message.ReaderHandle = reader.ReadInt();
    message.CommandHandle = message.ReaderHandle;
    if (reader.Next() == jtValueSeparator) message.CommandHandle = reader.ReadInt();
  });
  FConnectionHandler->DbxReaderClose(message);
}

void TDBXJSonServerInputConnectionHandler::ReadNext() {
  TDBXNextMessage& message = FNextMessage;
  ReadArguments(message, [&message](TDBXJSonStreamReader& reader) {
    message.RowHandle = reader.ReadInt();
    reader.NextValueSeparator();
    message.Position = reader.ReadLong();
    message.CommandHandle = message.RowHandle;
    if (reader.Next() == jtValueSeparator) message.CommandHandle = reader.ReadInt();
  });
  FConnectionHandler->DbxNext(message);
}

void TDBXJSonServerInputConnectionHandler::ReadNextResult() {
  ReadArguments(FNextResultMessage, [this](TDBXJSonStreamReader& reader) {
    FNextResultMessage.CommandHandle = reader.ReadInt();
  });
  FConnectionHandler->DbxNextResult(FNextResultMessage);
}

void TDBXJSonServerInputConnectionHandler::ReadMoreBlob() {
  TDBXMoreBlobMessage& message = FMoreBlobMessage;
  ReadArguments(message, [&message](TDBXJSonStreamReader& reader) {
    message.CommandHandle = reader.ReadInt();
    reader.NextValueSeparator();
    message.BlobHandle = reader.ReadInt();
    reader.NextValueSeparator();
    message.Row = reader.ReadLong();
    reader.NextValueSeparator();
    message.Ordinal = reader.ReadInt();
    if (reader.Next() == jtValueSeparator) {
      message.OutParameter = reader.ReadBoolean();
      if (reader.Next() == jtValueSeparator) message.RowHandle = reader.ReadInt();
    }
  });
  FConnectionHandler->DbxMoreBlob(message);
}

void TDBXJSonServerInputConnectionHandler::ReadTxBegin() {
  ReadArguments(FTxBeginMessage, [this](TDBXJSonStreamReader& reader) {
    FTxBeginMessage.IsolationLevel = reader.ReadInt();
  });
  FConnectionHandler->DbxTxBegin(FTxBeginMessage);
}

void TDBXJSonServerInputConnectionHandler::ReadTxEnd() {
  TDBXTxEndMessage& message = FTxEndMessage;
  ReadArguments(message, [&message](TDBXJSonStreamReader& reader) {
    message.Commit = reader.ReadBoolean();
    if (reader.Next() == jtValueSeparator) message.TransactionHandle = reader.ReadInt();
  });
  FConnectionHandler->DbxTxEnd(message);
}

void TDBXJSonServerInputConnectionHandler::ReadVendorProperty() {
  ReadArguments(FVendorPropertyMessage, [this](TDBXJSonStreamReader&) {
    FVendorPropertyMessage.PropertyName = ReadText();
  });
  FConnectionHandler->DbxVendorProperty(FVendorPropertyMessage);
}
