#pragma once

// The command level of one client connection: TDSServerConnectionHandler runs the connect
// sequence, keeps the connection's table of commands, turns command types into server-method
// commands and reports errors; TDSServerMethodCommandHandler, one per command, prepares,
// executes and closes a server-method command through the method registry. Replies leave
// through the output handler.
//
// Ownership: the connection handler owns the output handler, the connection's channel, its
// commands and (through TDSServerConnection) its instances of lifecycle "Session". It is
// registered in the transport's connection table from construction to destruction (or to a
// disconnect request). Used by the connection's thread only.
//
// Errors are raised (TDBXError with the codes of protocol_messages.h, or the exceptions of the
// called method) for the input handler to answer with an error reply; the connection and its
// other commands are unaffected.

#include <cstdint>
#include <memory>
#include <vector>

#include "transport/channel.h"
#include "transport/protocol/dbx_messages.h"
#include "transport/protocol/json_server_output_handler.h"
#include "transport/server/server_connection.h"
#include "transport/server/server_method.h"

class TDSServerTransport;
class TDSServerConnectionHandler;

// The database side of a connection that has no database: nothing to open, no transactions.
class TDSDefaultDatabaseConnectionHandler {
 public:
  Text GetProductName() const { return Text(u"DataSnap"); }
  void Open() {}
  void Disconnect() {}
  void TxBegin(TDBXTxBeginMessage& /*AMessage*/) {}
  void TxEnd(TDBXTxEndMessage& /*AMessage*/) {}
  // No database: every property is empty.
  void VendorProperty(TDBXVendorPropertyMessage& AMessage) { AMessage.PropertyValue.clear(); }
};

class TDSServerMethodCommandHandler {
 public:
  TDSServerMethodCommandHandler(TDSServerConnectionHandler& AConnection,
                                TDBXJSonServerOutputConnectionHandler& AOutput);
  // Releases the server method (an instance of lifecycle "Invocation" first).
  ~TDSServerMethodCommandHandler();
  TDSServerMethodCommandHandler(const TDSServerMethodCommandHandler&) = delete;
  TDSServerMethodCommandHandler& operator=(const TDSServerMethodCommandHandler&) = delete;

  std::int32_t CommandHandle() const { return FCommandHandle; }
  void SetCommandHandle(std::int32_t AHandle) { FCommandHandle = AHandle; }
  // Null before the first preparation and after a failed one.
  TDSServerMethod* ServerMethod() const { return FServerMethod.get(); }
  bool HasExecuted() const { return FHasExecuted; }

  void DbxPrepare(TDBXPrepareMessage& AMessage);
  void DbxExecute(TDBXExecuteMessage& AMessage);
  void DbxNext(const TDBXNextMessage& AMessage);
  void DbxNextResult(const TDBXNextResultMessage& AMessage);
  void DbxMoreBlob(const TDBXMoreBlobMessage& AMessage);
  void DbxReaderClose(const TDBXReaderCloseMessage& AMessage);
  void DbxCommandClose(const TDBXCommandCloseMessage& AMessage);

 private:
  void Prepare(TextView ACommand);
  void ReleaseServerMethod() noexcept;
  void Authorize() const;
  void ReadInParameters();
  // Makes a table reader for every non-null table-valued out, in/out or return parameter.
  std::vector<TDSTableReader*> OpenTableReaders();
  bool ReadersAtEnd() const;
  TDSTableReader* FindReader(std::int32_t ARowHandle);
  // Lifecycle "Invocation": the instance goes once every reader of the command is done.
  void DestroyInvocationInstanceWhenDone() noexcept;

  TDSServerConnectionHandler& FConnection;
  TDBXJSonServerOutputConnectionHandler& FOutput;
  std::int32_t FCommandHandle = -1;
  std::unique_ptr<TDSServerMethod> FServerMethod;
  bool FHasExecuted = false;
  bool FHasInvocationLifeCycle = false;
  std::vector<TDSTableReader> FReaders;  // the table results of the last execution
  TDSCommandContinuations FContinuations;
};

class TDSServerConnectionHandler : public TDSServerConnection {
 public:
  static constexpr int kInitialCommandSlots = 16;
  static constexpr int kCommandSlotGrowth = 8;

  // Registers itself in ATransport's connection table (ATransport may be null: no table).
  // AContext is the connection's context (null: the handler has its own).
  TDSServerConnectionHandler(TDbxChannelPtr AChannel,
                             std::unique_ptr<TDBXJSonServerOutputConnectionHandler> AOutput,
                             TDSCustomServer* AServer, TDSServerTransport* ATransport,
                             TDSConnectionContext* AContext = nullptr);
  // Leaves the connection table, frees the database side, the connection's instances (newest
  // first), the commands, and then the output handler and the channel.
  ~TDSServerConnectionHandler() override;

  TDSServerTransport* Transport() const { return FTransport; }
  TDbxChannel& Channel() const { return *FChannel; }
  TDBXJSonServerOutputConnectionHandler& Output() const { return *FOutput; }
  // The handle of the connection in the transport's connection table (0 without a transport).
  int ConnectionHandle() const { return FConnectionHandle; }
  const TDSConnectProperties& ConnectionProperties() const { return FConnectProperties; }
  bool ConnectSuccessful() const { return FConnectSuccessful; }
  std::size_t CommandSlotCount() const { return FCommandHandlers.size(); }
  // The command of a handle (command lookup: TDBXError 4 or 29).
  TDSServerMethodCommandHandler& CommandHandler(std::int32_t AHandle) const;

  bool DbxBeforeRequest() { return true; }
  void DbxConnect(TDBXConnectMessage& AMessage);
  void DbxDisconnect();
  void DbxPrepare(TDBXPrepareMessage& AMessage);
  void DbxExecute(TDBXExecuteMessage& AMessage);
  void DbxCommandClose(const TDBXCommandCloseMessage& AMessage);
  void DbxReaderClose(const TDBXReaderCloseMessage& AMessage);
  void DbxNext(const TDBXNextMessage& AMessage);
  void DbxNextResult(const TDBXNextResultMessage& AMessage);
  void DbxMoreBlob(const TDBXMoreBlobMessage& AMessage);
  void DbxTxBegin(TDBXTxBeginMessage& AMessage);
  void DbxTxEnd(TDBXTxEndMessage& AMessage);
  void DbxVendorProperty(TDBXVendorPropertyMessage& AMessage);
  // Offers the error to the server's OnError (whose own failure is swallowed), then writes the
  // error reply.
  void DbxErrorMessage(TDBXErrorMessage& AMessage);
  Text GetProductName() const;

  // A new server-method command for the message's command type and text (after the CALL,
  // stored-procedure and metadata rules) in the lowest free slot; the message gets its handle.
  TDSServerMethodCommandHandler& AcquireCommandHandler(TDBXPrepareMessage& AMessage);

  TDSServerMethodProvider& MethodProvider() const;

 private:
  // Without a successful connect a prepare or execute first runs the disconnect handling and is
  // then refused (ARequest names it), as are the requests of the database side.
  void CheckConnected(std::string_view ARequest);
  void CheckDatabase(std::string_view ARequest) const;
  void RunDisconnectHandling();
  std::int32_t StoreCommandHandler(std::unique_ptr<TDSServerMethodCommandHandler> AHandler);

  TDbxChannelPtr FChannel;
  std::unique_ptr<TDBXJSonServerOutputConnectionHandler> FOutput;
  TDSServerTransport* FTransport;  // not owned
  int FConnectionHandle = 0;
  TDSConnectProperties FConnectProperties;
  bool FConnectSuccessful = false;
  std::unique_ptr<TDSDefaultDatabaseConnectionHandler> FDatabaseConnectionHandler;
  std::vector<std::unique_ptr<TDSServerMethodCommandHandler>> FCommandHandlers;
  std::int32_t FLastCommandHandler = 0;  // the lowest index that may be empty
  TDBXErrorMessage FErrorMessage;        // errors of the connect sequence
  const std::int32_t FConHandle = 0;
};
