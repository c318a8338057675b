#pragma once

// The byte channel of a client connection: one TCP connection to the server, over IPv4 or IPv6.
// Open resolves the host name and tries each of its addresses in the resolver's order until one
// accepts, waiting at most the connect timeout per address;
// Read waits at most the read timeout for the first byte and returns what arrived; Write sends
// everything, waiting at most the read timeout whenever the server takes nothing. So a server
// that is gone or stuck stops the client with an error instead of holding it forever.
//
// Owned by one client connection and used by its thread only. Failures raise
// TDBXConnectionError (a TDBXError with client_format::kConnectionErrorCode); a server that
// closed the connection raises kServerClosed, and GetConnectionLost is true from then on.

#include <cstdint>
#include <string>

#include "platform/sys/unique_fd.h"
#include "transport/channel.h"
#include "transport/dbx_error.h"

// A failure of the connection itself. Besides the client library's text it tells what a
// program needs to word it for people: the system's error number (ETIMEDOUT for a wait that
// ran out; 0 when the server closed the connection or its name was not found).
class TDBXConnectionError : public TDBXError {
 public:
  TDBXConnectionError(std::string_view AMessageUtf8, int ASystemError, bool ANameNotFound = false);

  int SystemError() const noexcept { return FSystemError; }
  bool NameNotFound() const noexcept { return FNameNotFound; }

 private:
  int FSystemError;
  bool FNameNotFound;
};

class TDBXClientSocketChannel : public TDbxChannel {
 public:
  // Timeouts in milliseconds; 0 or less waits without limit.
  TDBXClientSocketChannel(std::string AHost, std::uint16_t APort, int AConnectTimeoutMs,
                          int AReadTimeoutMs);

  void Open() override;
  void Close() override;
  int Read(std::span<std::uint8_t> Buffer, int Offset, int Count) override;
  int Write(std::span<const std::uint8_t> Buffer, int Offset, int Count) override;
  bool GetConnectionLost() const override { return FConnectionLost; }
  TDBXChannelInfo* GetChannelInfo() override { return &FChannelInfo; }

  // "host:port" as given, for messages.
  const std::string& Address() const { return FAddress; }

 private:
  void ConnectTo(int AFamily, const void* ASockAddr, unsigned ALength, int& AError);
  // Waits until the socket is ready for AEvents; false when the wait timed out.
  bool WaitFor(short AEvents, int ATimeoutMs);
  [[noreturn]] void Lost(std::string_view AStem, int AError, const std::string& ADetail = {});

  std::string FHost;
  std::uint16_t FPort;
  std::string FAddress;
  int FConnectTimeoutMs;
  int FReadTimeoutMs;
  UniqueFd FSocket;
  bool FConnectionLost = false;
  TDBXSocketChannelInfo FChannelInfo;
};
