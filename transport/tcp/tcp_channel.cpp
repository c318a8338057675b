#include "transport/tcp/tcp_channel.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstring>

#include "transport/dbx_error.h"
#include "transport/tcp/tcp_messages.h"

namespace {

int WholeSeconds(int AMilliseconds) {
  return AMilliseconds <= 1000 ? 1 : (AMilliseconds + 999) / 1000;
}

bool SetIntOption(int AFd, int ALevel, int AName, int AValue) {
  return ::setsockopt(AFd, ALevel, AName, &AValue, sizeof AValue) == 0;
}

void CheckRange(std::size_t ASize, int AOffset, int ACount) {
  if (AOffset < 0 || ACount < 0 ||
      static_cast<std::size_t>(AOffset) + static_cast<std::size_t>(ACount) > ASize) {
    throw TDBXError(0, tcp_messages::kBufferOutOfBounds);
  }
}

}  // namespace

TDSTCPChannel::TDSTCPChannel(TDSTCPContextPtr AContext, TDSSessionNameSource ASessionName)
    : FState(std::make_shared<TState>()), FSessionName(std::move(ASessionName)) {
  FState->Context = std::move(AContext);
}

TDSTCPChannel::~TDSTCPChannel() {
  // Not virtual dispatch: a derived channel has already closed itself in its own destructor.
  TDSTCPChannel::Close();
}

void TDSTCPChannel::Open() {
  FChannelInfo.reset();
  const TDSTCPContext* context = FState->Context.get();
  if (context == nullptr) return;
  const Text ip = text::FromAscii(context->PeerIP());
  FChannelInfo = std::make_unique<TDBXSocketChannelInfo>(context, ip);
  FChannelInfo->ClientInfo = {
      ip, text::FromAscii(std::to_string(context->PeerPort())), u"tcp/ip", {}};
}

void TDSTCPChannel::Close() {
  if (FState->Context) FState->Context->Disconnect();
  FChannelInfo.reset();
}

int TDSTCPChannel::Read(std::span<std::uint8_t> Buffer, int Offset, int Count) {
  CheckRange(Buffer.size(), Offset, Count);
  TDSTCPContext* context = FState->Context.get();
  if (FSessionName) {
    std::lock_guard lock(FState->Lock);
    if (FState->SessionId.empty()) FState->SessionId = FSessionName();
  }
  while (context == nullptr || context->InputBufferIsEmpty()) {
    if (context == nullptr || !context->Connected()) {
      std::lock_guard lock(FState->Lock);
      FState->ConnectionLost = true;
      throw TDBXError(0, tcp_messages::kConnectionLost);
    }
    try {
      context->CheckForDataOnSource();
    } catch (...) {
      std::lock_guard lock(FState->Lock);
      FState->ConnectionLost = true;
      throw TDBXError(0, tcp_messages::kConnectionLost);
    }
  }
  // Straight from the input buffer into the caller's: no scratch copy is needed.
  return static_cast<int>(
      context->ReadBytes(Buffer.data() + Offset, static_cast<std::size_t>(Count)));
}

int TDSTCPChannel::Write(std::span<const std::uint8_t> Buffer, int Offset, int Count) {
  CheckRange(Buffer.size(), Offset, Count);
  if (!FState->Context) throw TDBXError(0, tcp_messages::kConnectionLost);
  FState->Context->Write(Buffer.data() + Offset, static_cast<std::size_t>(Count));
  return Count;
}

bool TDSTCPChannel::GetConnectionLost() const {
  std::lock_guard lock(FState->Lock);
  return FState->ConnectionLost;
}

Text TDSTCPChannel::SessionId() const {
  std::lock_guard lock(FState->Lock);
  return FState->SessionId;
}

bool TDSTCPChannel::EnableKeepAlive(int KeepAliveTime, int KeepAliveInterval) {
  const TDSTCPContext* context = FState->Context.get();
  if (context == nullptr || context->Handle() < 0) return false;
  const int fd = context->Handle();
  return SetIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1) &&
         SetIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, WholeSeconds(KeepAliveTime)) &&
         SetIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, WholeSeconds(KeepAliveInterval));
}

void TDSTCPChannel::DisableKeepAlive() {
  const TDSTCPContext* context = FState->Context.get();
  if (context == nullptr || context->Handle() < 0) return;
  SetIntOption(context->Handle(), SOL_SOCKET, SO_KEEPALIVE, 0);
}
