#include "transport/protocol/json_server_protocol_handler.h"

#include "transport/dbx_error.h"
#include "transport/protocol/protocol_messages.h"
#include "transport/server/ds_server_transport.h"
#include "transport/stream/memory_budget.h"

TDBXJSonServerProtocolHandler::TDBXJSonServerProtocolHandler(
    std::unique_ptr<TDBXJSonServerInputConnectionHandler> AInput,
    TDSSessionManager& ASessionManager)
    : FInput(std::move(AInput)),
      FSessionManager(ASessionManager),
      FState(std::make_shared<TSessionState>()) {}

TDBXJSonServerProtocolHandler::~TDBXJSonServerProtocolHandler() {
  if (FListener) FSessionManager.RemoveSessionEvent(FListener);
  FInput.reset();
  TDSSessionPtr session;
  {
    std::lock_guard lock(FState->Lock);
    session = std::move(FState->Session);
  }
  if (session) FSessionManager.CloseSession(session->SessionName());
}

TDSSessionPtr TDBXJSonServerProtocolHandler::Session() const {
  std::lock_guard lock(FState->Lock);
  return FState->Session;
}

bool TDBXJSonServerProtocolHandler::NeedsSession() const { return !Session(); }

void TDBXJSonServerProtocolHandler::SetDSSession(TDSSessionPtr ASession) {
  {
    std::lock_guard lock(FState->Lock);
    FState->Session = std::move(ASession);
  }
  RegisterListener();
}

// The listener holds the shared state, not the handler: it may run on another thread while
// the handler goes away.
void TDBXJSonServerProtocolHandler::RegisterListener() {
  if (FListener) return;
  std::weak_ptr<TSessionState> state = FState;
  auto listener = std::make_shared<TDSSessionEvent>();
  std::weak_ptr<const TDSSessionEvent> self = listener;
  *listener = [state, self](TDSSessionManager& ASender, TDSSessionEventType AEventType,
                            const TDSSessionPtr& ASession) {
    if (AEventType != TDSSessionEventType::SessionClose) return;
    const std::shared_ptr<TSessionState> held = state.lock();
    if (!held) return;
    {
      std::lock_guard lock(held->Lock);
      if (held->Session != ASession) return;
      held->Session.reset();
    }
    if (const auto me = self.lock()) ASender.RemoveSessionEvent(me);
  };
  FListener = std::move(listener);
  FSessionManager.AddSessionEvent(FListener);
}

void TDBXJSonServerProtocolHandler::SetUp(TDSAuthenticationManager* Data) {
  TDSSessionPtr session = Session();
  if (!session) {
    session = FSessionManager.CreateSessionOf<TDSTCPSession>(Text{}, Data);
    std::lock_guard lock(FState->Lock);
    FState->Session = session;
  }
  RegisterListener();
  FInput->ConnectionHandler().Context().SetSession(std::move(session));
}

// A request that came in the same block as the previous one is already here: waiting for the
// socket would leave it unanswered until the client sent more.
bool TDBXJSonServerProtocolHandler::BytesWaiting() const {
  if (FInput->Reader().HasMoreBytes()) return true;
  return FInput->ConnectionHandler().Channel().HasLeftover();
}

bool TDBXJSonServerProtocolHandler::HandleNonBlockingProtocol() {
  const TDSConnectionBinding bound(FInput->ConnectionHandler().Context());
  try {
    do {
      const int code = FInput->Reader().ReadMethod();
      if (!FInput->HandleDbxRequest(code)) FHandleRequests = false;
    } while (FHandleRequests && BytesWaiting());
    // The connection waits for its next request holding no buffer.
    if (FHandleRequests) FInput->ReleaseIdleBuffers();
  } catch (const TMemoryBudgetExceeded&) {
    // Refused before the request's method was known: answered all the same, then the
    // connection ends, since its stream cannot be read on past the dropped bytes.
    FInput->AnswerAndEnd(std::current_exception());
    FHandleRequests = false;
  } catch (const std::exception& e) {
    if (FHandleRequests) throw TDBXError(protocol_messages::kInvalidOperationCode, MessageOf(e));
  } catch (...) {
    if (FHandleRequests)
      throw TDBXError(protocol_messages::kInvalidOperationCode, "Unknown failure");
  }
  if (!FHandleRequests) FInput->Close();
  return FHandleRequests;
}

void TDBXJSonServerProtocolHandler::HandleProtocol() {
  const TDSConnectionBinding bound(FInput->ConnectionHandler().Context());
  try {
    while (FHandleRequests) {
      const int code = FInput->Reader().ReadMethod();
      if (!FInput->HandleDbxRequest(code)) FHandleRequests = false;
    }
  } catch (const std::exception& e) {
    if (FHandleRequests) {
      FInput->Close();
      throw TDBXError(protocol_messages::kInvalidOperationCode, MessageOf(e));
    }
  }
  FInput->Close();
}

std::unique_ptr<TDBXJSonServerProtocolHandler> CreateJSonProtocolHandler(
    TDbxChannelPtr AChannel, const TDSProtocolHandlerSettings& ASettings) {
  // If anything fails before the chain owns the channel, the unique pointers close nothing
  // twice: the reader and writer only borrow it, and the channel goes with AChannel.
  auto reader = std::make_unique<TDBXJSonStreamReader>(*AChannel, ASettings.BufferSize);
  auto writer = std::make_unique<TDBXJSonStreamWriter>(*AChannel, ASettings.BufferSize);
  auto row = std::make_unique<TDBXRowBuffer>(*reader, *writer, writer->CalcRowBufferSize());
  if (const TMemoryAccountPtr account = AChannel->MemoryAccount()) {
    row->SetMemoryAccount(account);
    reader->SetMemoryAccount(account);
  }
  auto output = std::make_unique<TDBXJSonServerOutputConnectionHandler>(*row, *writer, *reader);
  auto connection = std::make_unique<TDSServerConnectionHandler>(
      std::move(AChannel), std::move(output), ASettings.Server, ASettings.Transport,
      ASettings.Connection);
  auto input = std::make_unique<TDBXJSonServerInputConnectionHandler>(
      std::move(reader), std::move(writer), std::move(row), std::move(connection));
  return std::make_unique<TDBXJSonServerProtocolHandler>(
      std::move(input),
      ASettings.SessionManager ? *ASettings.SessionManager : TDSSessionManager::Instance());
}

TDBXProtocolHandlerPtr TDSJSONProtocolHandlerFactory::CreateProtocolHandler(
    TDbxChannelPtr Channel, TDSConnectionContext& AConnection) {
  TDSProtocolHandlerSettings settings;
  settings.BufferSize = FTransport.BufferKBSize() * 1024;
  settings.Server = FTransport.Server();
  settings.Transport = &FTransport;
  settings.SessionManager = &FTransport.SessionManager();
  settings.Connection = &AConnection;
  return CreateJSonProtocolHandler(std::move(Channel), settings);
}
