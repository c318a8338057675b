#pragma once

// The request messages of the command protocol. The input handler makes one object of each
// kind per connection, fills it from each request of that kind (after Reset) and hands it to
// the connection handler; the objects live as long as the connection.

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "platform/text.h"
#include "transport/server/session.h"
#include "transport/stream/dbx_value.h"

class TDSServerConnectionHandler;

struct TDBXConnectMessage {
  TDSConnectProperties ConnectProperties;  // replaced on every connect
  bool ConnectSuccessful = false;          // false until a connect succeeds
  Text ProductName;
  std::int32_t ConnectionHandle = 0;
};

struct TDBXPrepareMessage {
  std::int32_t CommandHandle = -1;
  bool Updatable = false;
  Text CommandType;
  Text Command;
  // Descriptors the client sent; the server-method path does not use them.
  TDBXParameterList ExplicitParameters;
  bool HasExplicitParameters = false;
  const TDBXParameterList* Parameters = nullptr;  // the command's, after preparation
  std::vector<std::int32_t> ParameterDataTypes;
  bool ServerSideCommand = false;

  void Reset() {
    CommandHandle = -1;
    Updatable = false;
    CommandType.clear();
    Command.clear();
    Parameters = nullptr;
    ExplicitParameters.clear();
    HasExplicitParameters = false;
    ParameterDataTypes.clear();
  }
};

struct TDBXExecuteMessage : TDBXPrepareMessage {
  std::vector<TDBXTablePtr> ReceivedTables;
  bool HasParameters = false;  // a data item came with the request
  // Never reset and never set on the server-method path: 0 for the life of the connection.
  std::int64_t RowsAffected = 0;
  bool HasOutOrReturn = false;
  bool HasTableReaderOutOrReturn = false;
  bool ParameterTypeChanged = false;
  bool TableItemRefused = false;  // a table item came; the request is refused once read
  TDSServerConnectionHandler* ConnectionHandler = nullptr;
  // The invocation metadata the client sent ahead of this call, to go back ahead of its reply.
  std::optional<std::string> InvocationMetadata;

  void Reset() {
    TDBXPrepareMessage::Reset();
    InvocationMetadata.reset();
    ReceivedTables.clear();
    HasParameters = false;
    HasOutOrReturn = false;
    HasTableReaderOutOrReturn = false;
    ParameterTypeChanged = false;
    TableItemRefused = false;
    ConnectionHandler = nullptr;
  }
};

struct TDBXCommandCloseMessage {
  std::int32_t CommandHandle = -1;
};

struct TDBXReaderCloseMessage {
  std::int32_t ReaderHandle = -1;
  std::int32_t CommandHandle = -1;
};

struct TDBXNextMessage {
  std::int32_t RowHandle = -1;
  std::int64_t Position = 0;
  std::int32_t CommandHandle = -1;
};

struct TDBXNextResultMessage {
  std::int32_t CommandHandle = -1;
};

struct TDBXMoreBlobMessage {
  std::int32_t CommandHandle = -1;
  std::int32_t BlobHandle = 0;
  std::int64_t Row = 0;
  std::int32_t Ordinal = 0;
  bool OutParameter = false;
  std::int32_t RowHandle = -1;
};

struct TDBXTxBeginMessage {
  std::int32_t IsolationLevel = 0;
  std::int32_t TransactionHandle = 0;
};

struct TDBXTxEndMessage {
  bool Commit = false;
  std::int32_t TransactionHandle = 0;
};

struct TDBXVendorPropertyMessage {
  Text PropertyName;
  Text PropertyValue;
};

// The error reply's content, filled from an exception: code 5 unless it is a TDBXError; the
// name of its class; its message followed by the messages of the exceptions nested in it.
struct TDBXErrorMessage {
  std::exception_ptr Error;
  Text ErrorClassName;
  std::int32_t ErrorCode = 0;
  Text ErrorText;

  void SetException(std::exception_ptr AError);
};
