#include "transport/protocol/server_connection_handler.h"

#include <openssl/crypto.h>

#include <string>

#include "platform/diagnostics.h"
#include "transport/dbx_error.h"
#include "transport/protocol/command_text.h"
#include "transport/protocol/protocol_messages.h"
#include "transport/server/ds_server_transport.h"
#include "transport/server/method_provider.h"
#include "transport/server/server_method_messages.h"
#include "transport/server/session_manager.h"
#include "transport/stream/row_format.h"

namespace {

using namespace protocol_messages;
using server_method_messages::Fill;

Text Decimal(std::int64_t AValue) { return text::FromAscii(std::to_string(AValue)); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// TDSServerMethodCommandHandler

TDSServerMethodCommandHandler::TDSServerMethodCommandHandler(
    TDSServerConnectionHandler& AConnection, TDBXJSonServerOutputConnectionHandler& AOutput)
    : FConnection(AConnection), FOutput(AOutput) {}

TDSServerMethodCommandHandler::~TDSServerMethodCommandHandler() { ReleaseServerMethod(); }

void TDSServerMethodCommandHandler::ReleaseServerMethod() noexcept {
  FReaders.clear();
  FContinuations.Clear();
  // The method's destructor frees an instance of lifecycle "Invocation" it still holds.
  FServerMethod.reset();
}

void TDSServerMethodCommandHandler::Prepare(TextView ACommand) {
  FServerMethod = FConnection.MethodProvider().PrepareMethod(FConnection, ACommand);
  FHasInvocationLifeCycle = FServerMethod->LifeCycle() == kInvocationLifeCycle;
}

void TDSServerMethodCommandHandler::DbxPrepare(TDBXPrepareMessage& AMessage) {
  ReleaseServerMethod();
  Prepare(AMessage.Command);
  FHasExecuted = false;
  AMessage.Parameters = &FServerMethod->Parameters();
  FOutput.WritePrepareReply(FCommandHandle, FServerMethod->Parameters());
}

void TDSServerMethodCommandHandler::Authorize() const {
  const TDSSessionPtr session = FConnection.Session();
  if (!session) return;
  const Text& alias = FServerMethod->MethodInfo().MethodAlias;
  if (!session->RequiresAuthorization(&alias)) return;
  TDSAuthorizeEventObject event;
  event.MethodAlias = alias;
  event.UserName = session->UserName();
  event.UserRoles = session->UserRoles();
  session->GetAuthRoles(alias, event.AuthorizedRoles, event.DeniedRoles);
  if (!session->Authorize(event))
    throw TDBXError(kNotAuthorizedCode, Fill(kNotAuthorized, {event.UserName}));
}

// Literal arguments given with the command text keep their values: the row does not carry
// them.
void TDSServerMethodCommandHandler::ReadInParameters() {
  TDBXRowBuffer& row = FOutput.RowBuffer();
  TDBXParameterList& parameters = FServerMethod->Parameters();
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    TDBXParameter& parameter = parameters[i];
    if (parameter.Direction != pdIn && parameter.Direction != pdInOut) continue;
    if (parameter.Flags & vtfLiteral) continue;
    parameter.Value = row.ReadValue(static_cast<int>(i), parameter.DataType, parameter.SubType);
  }
}

std::vector<TDSTableReader*> TDSServerMethodCommandHandler::OpenTableReaders() {
  FReaders.clear();
  for (const TDBXParameter& parameter : FServerMethod->Parameters()) {
    if (parameter.DataType != dtTable || parameter.Direction == pdIn) continue;
    const auto* table = std::get_if<TDBXTablePtr>(&parameter.Value);
    if (!table || !*table) continue;
    // Row handle 0 is the parameter row; tables take the next ones.
    FReaders.push_back({static_cast<std::int32_t>(FReaders.size() + 1), *table, 0});
  }
  std::vector<TDSTableReader*> readers;
  for (TDSTableReader& reader : FReaders) readers.push_back(&reader);
  return readers;
}

bool TDSServerMethodCommandHandler::ReadersAtEnd() const {
  for (const TDSTableReader& reader : FReaders)
    if (!reader.AtEnd()) return false;
  return true;
}

TDSTableReader* TDSServerMethodCommandHandler::FindReader(std::int32_t ARowHandle) {
  for (TDSTableReader& reader : FReaders)
    if (reader.RowHandle == ARowHandle) return &reader;
  return nullptr;
}

void TDSServerMethodCommandHandler::DestroyInvocationInstanceWhenDone() noexcept {
  if (FHasInvocationLifeCycle && FServerMethod && ReadersAtEnd()) FServerMethod->DestroyInstance();
}

void TDSServerMethodCommandHandler::DbxExecute(TDBXExecuteMessage& AMessage) {
  FReaders.clear();
  FContinuations.Clear();
  if (FServerMethod) {
    if (FHasInvocationLifeCycle && FHasExecuted) FServerMethod->RenewInstance();
  } else {
    Prepare(AMessage.Command);
  }
  FHasExecuted = true;

  // Whatever happens from here on, an "Invocation" instance whose readers are done goes, and
  // the call's invocation metadata is not kept for the next call.
  struct TAfterCall {
    TDSServerMethodCommandHandler& Self;
    TDBXExecuteMessage& Message;
    ~TAfterCall() {
      Self.DestroyInvocationInstanceWhenDone();
      Message.InvocationMetadata.reset();
    }
  } afterCall{*this, AMessage};

  Authorize();
  TDSServerMethod& method = *FServerMethod;
  if (AMessage.HasParameters) ReadInParameters();
  method.Invoke(AMessage.ReceivedTables);
  const std::optional<std::string> metadata = std::move(AMessage.InvocationMetadata);

  AMessage.Parameters = &method.Parameters();
  AMessage.HasOutOrReturn = method.HasOutOrReturn();
  AMessage.HasTableReaderOutOrReturn = method.HasTableResult();
  AMessage.ParameterTypeChanged = method.ParameterTypeChanged();
  if (AMessage.HasTableReaderOutOrReturn) {
    FOutput.WriteTableExecuteReply(AMessage, FCommandHandle, OpenTableReaders(), metadata,
                                   FContinuations);
  } else {
    FOutput.WriteExecuteReply(AMessage, method.Parameters(), metadata, FContinuations);
  }
  // The values the client sent are not kept for the next execution.
  for (TDBXParameter& parameter : method.Parameters())
    if (parameter.Direction == pdIn && !(parameter.Flags & vtfLiteral)) parameter.Value = {};
}

void TDSServerMethodCommandHandler::DbxNext(const TDBXNextMessage& AMessage) {
  TDSTableReader* reader = FindReader(AMessage.RowHandle);
  if (!reader) {
    throw TDBXError(kRefusedCode,
                    Fill(kNoSuchRow, {Decimal(AMessage.RowHandle), Decimal(FCommandHandle)}));
  }
  FOutput.WriteNextReply(*reader, FContinuations);
  DestroyInvocationInstanceWhenDone();
}

void TDSServerMethodCommandHandler::DbxNextResult(const TDBXNextResultMessage& /*AMessage*/) {
  FOutput.WriteNextResultReply();
}

void TDSServerMethodCommandHandler::DbxMoreBlob(const TDBXMoreBlobMessage& AMessage) {
  const bool parameterRow =
      AMessage.RowHandle == row_format::kParameterRowHandle && FServerMethod != nullptr;
  if (!parameterRow && !FindReader(AMessage.RowHandle)) {
    throw TDBXError(kRefusedCode,
                    Fill(kNoSuchRow, {Decimal(AMessage.RowHandle), Decimal(FCommandHandle)}));
  }
  if (AMessage.Row < 0)
    throw TDBXError(kRefusedCode, Fill(kInvalidRowNumber, {Decimal(AMessage.Row)}));
  TDBXBlobStream* stream = FContinuations.Find(AMessage.RowHandle, AMessage.Ordinal);
  if (!stream) {
    throw TDBXError(kRefusedCode,
                    Fill(kNoContinuation, {Decimal(AMessage.Ordinal), Decimal(AMessage.RowHandle),
                                           Decimal(FCommandHandle)}));
  }
  FOutput.WriteMoreBlobReply(*stream);
  DestroyInvocationInstanceWhenDone();
}

void TDSServerMethodCommandHandler::DbxReaderClose(const TDBXReaderCloseMessage& /*AMessage*/) {
  // A server method's readers need no closing; the client's reader simply ends.
}

void TDSServerMethodCommandHandler::DbxCommandClose(const TDBXCommandCloseMessage& /*AMessage*/) {
  // No reply; the connection handler frees the command.
}

// ---------------------------------------------------------------------------------------------
// TDSServerConnectionHandler

TDSServerConnectionHandler::TDSServerConnectionHandler(
    TDbxChannelPtr AChannel, std::unique_ptr<TDBXJSonServerOutputConnectionHandler> AOutput,
    TDSCustomServer* AServer, TDSServerTransport* ATransport, TDSConnectionContext* AContext)
    : TDSServerConnection(AServer, AContext),
      FChannel(std::move(AChannel)),
      FOutput(std::move(AOutput)),
      FTransport(ATransport),
      FCommandHandlers(kInitialCommandSlots) {
  if (FTransport) FConnectionHandle = FTransport->AddConnection(this);
}

TDSServerConnectionHandler::~TDSServerConnectionHandler() {
  if (FTransport) FTransport->RemoveConnection(this);
  FDatabaseConnectionHandler.reset();
  FreeInstanceProvider();
  FCommandHandlers.clear();
  FOutput.reset();
  FChannel.reset();
}

TDSServerMethodProvider& TDSServerConnectionHandler::MethodProvider() const {
  TDSServerMethodProvider* provider = Server() ? Server()->ServerMethodProvider() : nullptr;
  // A connection outlives its server's start only while the server stops.
  if (!provider) throw TDBXError(kInvalidOperationCode, "The server is not started");
  return *provider;
}

Text TDSServerConnectionHandler::GetProductName() const {
  return FDatabaseConnectionHandler ? FDatabaseConnectionHandler->GetProductName()
                                    : Text(kDefaultProductName);
}

void TDSServerConnectionHandler::DbxConnect(TDBXConnectMessage& AMessage) {
  try {
    FConnectProperties = AMessage.ConnectProperties;
    if (const TDSSessionPtr session = Session()) {
      TDSAuthenticateEventObject event;
      event.Protocol = kTcpProtocol;
      const auto property = [this](TextView AName) {
        const auto found = FConnectProperties.find(Text(AName));
        return found == FConnectProperties.end() ? Text() : found->second;
      };
      event.UserName = property(kAuthenticationUserProperty);
      event.Password = property(kAuthenticationPasswordProperty);
      event.RemoteAddress = session->GetData(u"RemoteIP");
      // The clear-text password is needed for this check only: every copy is wiped after it,
      // whatever its outcome.
      struct TWipePassword {
        TDSAuthenticateEventObject& Event;
        TDSConnectProperties& Properties;
        TDSConnectProperties& Message;
        ~TWipePassword() {
          Wipe(Event.Password);
          for (TDSConnectProperties* properties : {&Properties, &Message}) {
            if (const auto found = properties->find(Text(kAuthenticationPasswordProperty));
                found != properties->end()) {
              Wipe(found->second);
              properties->erase(found);
            }
          }
        }
        static void Wipe(Text& AText) {
          OPENSSL_cleanse(AText.data(), AText.size() * sizeof(char16_t));
          AText.clear();
        }
      } wipe{event, FConnectProperties, AMessage.ConnectProperties};
      if (!session->Authenticate(event, FConnectProperties))
        throw TDBXError(kAuthenticationRejectedCode, kAuthenticationRejected);
    }
    if (auto* server = dynamic_cast<TDSServer*>(Server()); server && server->OnConnect) {
      TDSConnectEventObject event{this, &FConnectProperties};
      server->OnConnect(event);
    }
    // No "ServerConnection" binds a database in this program: the default handler serves.
    FDatabaseConnectionHandler = std::make_unique<TDSDefaultDatabaseConnectionHandler>();
    FDatabaseConnectionHandler->Open();
    AMessage.ProductName = GetProductName();
    AMessage.ConnectionHandle = FConHandle;
    FConnectSuccessful = true;
  } catch (...) {
    AMessage.ConnectSuccessful = false;
    FConnectSuccessful = false;
    FErrorMessage.SetException(std::current_exception());
    DbxErrorMessage(FErrorMessage);
    return;
  }
  FOutput->WriteConnectReply(AMessage.ConnectionHandle, AMessage.ProductName);
}

void TDSServerConnectionHandler::RunDisconnectHandling() {
  if (auto* server = dynamic_cast<TDSServer*>(Server()); server && server->OnDisconnect) {
    TDSConnectEventObject event{this, &FConnectProperties};
    server->OnDisconnect(event);
  }
  if (FDatabaseConnectionHandler) FDatabaseConnectionHandler->Disconnect();
  if (FTransport) FTransport->RemoveConnection(this);
}

void TDSServerConnectionHandler::DbxDisconnect() { RunDisconnectHandling(); }

void TDSServerConnectionHandler::CheckConnected(std::string_view ARequest) {
  if (FConnectSuccessful) return;
  RunDisconnectHandling();
  // Also after a refused connect: a client the authentication refused must not run methods.
  throw TDBXError(kRefusedCode, Fill(kNotConnected, {text::FromAscii(ARequest)}));
}

void TDSServerConnectionHandler::CheckDatabase(std::string_view ARequest) const {
  if (!FConnectSuccessful || !FDatabaseConnectionHandler)
    throw TDBXError(kRefusedCode, Fill(kNotConnected, {text::FromAscii(ARequest)}));
}

TDSServerMethodCommandHandler& TDSServerConnectionHandler::CommandHandler(
    std::int32_t AHandle) const {
  if (AHandle < 0) throw TDBXError(kCommandClosedCode, kCommandClosed);
  if (static_cast<std::size_t>(AHandle) >= FCommandHandlers.size() || !FCommandHandlers[AHandle])
    throw TDBXError(kInvalidCommandHandleCode, Fill(kInvalidCommandHandle, {Decimal(AHandle)}));
  return *FCommandHandlers[static_cast<std::size_t>(AHandle)];
}

std::int32_t TDSServerConnectionHandler::StoreCommandHandler(
    std::unique_ptr<TDSServerMethodCommandHandler> AHandler) {
  const auto size = [this] { return static_cast<std::int32_t>(FCommandHandlers.size()); };
  while (FLastCommandHandler < size() && FCommandHandlers[FLastCommandHandler])
    ++FLastCommandHandler;
  if (FLastCommandHandler >= size()) {
    if (size() >= kMaxOpenCommands) {
      throw TDBXError(kRefusedCode, Fill(kTooManyCommands, {Decimal(kMaxOpenCommands)}));
    }
    FCommandHandlers.resize(FCommandHandlers.size() + kCommandSlotGrowth);
  }
  AHandler->SetCommandHandle(FLastCommandHandler);
  FCommandHandlers[static_cast<std::size_t>(FLastCommandHandler)] = std::move(AHandler);
  return FLastCommandHandler;
}

TDSServerMethodCommandHandler& TDSServerConnectionHandler::AcquireCommandHandler(
    TDBXPrepareMessage& AMessage) {
  const auto isServerMethod = [this](TextView AName) {
    TDSServerMethodProvider* provider = Server() ? Server()->ServerMethodProvider() : nullptr;
    return provider && provider->HasServerMethod(AName);
  };
  command_text::TCommand command = command_text::ResolveCommand(
      {std::move(AMessage.CommandType), std::move(AMessage.Command)}, isServerMethod);
  AMessage.CommandType = std::move(command.CommandType);
  AMessage.Command = std::move(command.Command);
  const std::int32_t handle =
      StoreCommandHandler(std::make_unique<TDSServerMethodCommandHandler>(*this, *FOutput));
  AMessage.CommandHandle = handle;
  return *FCommandHandlers[static_cast<std::size_t>(handle)];
}

void TDSServerConnectionHandler::DbxPrepare(TDBXPrepareMessage& AMessage) {
  CheckConnected("prepare");
  TDSServerMethodCommandHandler& command = AMessage.CommandHandle < 0
                                               ? AcquireCommandHandler(AMessage)
                                               : CommandHandler(AMessage.CommandHandle);
  command.DbxPrepare(AMessage);
}

void TDSServerConnectionHandler::DbxExecute(TDBXExecuteMessage& AMessage) {
  CheckConnected("execute");
  AMessage.ConnectionHandler = this;
  TDSServerMethodCommandHandler& command = AMessage.CommandHandle < 0
                                               ? AcquireCommandHandler(AMessage)
                                               : CommandHandler(AMessage.CommandHandle);
  command.DbxExecute(AMessage);
}

void TDSServerConnectionHandler::DbxCommandClose(const TDBXCommandCloseMessage& AMessage) {
  CommandHandler(AMessage.CommandHandle).DbxCommandClose(AMessage);
  const std::int32_t handle = AMessage.CommandHandle;
  // Taken out of the slot before it is freed: its destructor may run a destroy hook.
  std::unique_ptr<TDSServerMethodCommandHandler> closed =
      std::move(FCommandHandlers[static_cast<std::size_t>(handle)]);
  if (handle < FLastCommandHandler) FLastCommandHandler = handle;
}

void TDSServerConnectionHandler::DbxReaderClose(const TDBXReaderCloseMessage& AMessage) {
  CommandHandler(AMessage.CommandHandle).DbxReaderClose(AMessage);
}

void TDSServerConnectionHandler::DbxNext(const TDBXNextMessage& AMessage) {
  CommandHandler(AMessage.CommandHandle).DbxNext(AMessage);
}

void TDSServerConnectionHandler::DbxNextResult(const TDBXNextResultMessage& AMessage) {
  CommandHandler(AMessage.CommandHandle).DbxNextResult(AMessage);
}

void TDSServerConnectionHandler::DbxMoreBlob(const TDBXMoreBlobMessage& AMessage) {
  CommandHandler(AMessage.CommandHandle).DbxMoreBlob(AMessage);
}

void TDSServerConnectionHandler::DbxTxBegin(TDBXTxBeginMessage& AMessage) {
  CheckDatabase("txbegin");
  FDatabaseConnectionHandler->TxBegin(AMessage);
  FOutput->WriteTxBeginReply();
}

void TDSServerConnectionHandler::DbxTxEnd(TDBXTxEndMessage& AMessage) {
  CheckDatabase("txend");
  FDatabaseConnectionHandler->TxEnd(AMessage);
  FOutput->WriteTxEndReply();
}

void TDSServerConnectionHandler::DbxVendorProperty(TDBXVendorPropertyMessage& AMessage) {
  CheckDatabase("vendor_property");
  FDatabaseConnectionHandler->VendorProperty(AMessage);
  FOutput->WriteVendorPropertyReply(AMessage.PropertyValue);
}

void TDSServerConnectionHandler::DbxErrorMessage(TDBXErrorMessage& AMessage) {
  if (auto* server = dynamic_cast<TDSServer*>(Server()); server && server->OnError) {
    try {
      TDSErrorEventObject event{this, AMessage.Error};
      server->OnError(event);
    } catch (...) {
      // the application's handler may not keep the client from its error reply
      diagnostics::ReportCurrentException(u"DSServer OnError");
    }
  }
  FOutput->WriteErrorReply(AMessage);
}
