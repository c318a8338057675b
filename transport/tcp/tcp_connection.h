#pragma once

// The socket layer's accepted connection: the socket, the peer's address, the input buffer
// and the protocol handler of the connection (its Data, owned).
//
// The connection is served by one thread, which alone reads, writes and waits. Disconnect may be
// called from any thread (a closed session, the transport's stop): it shuts the socket down, which
// wakes the serving thread, and that thread then sees the connection gone. The socket itself is
// closed only when the last holder lets go of the connection, so a descriptor number is never
// reused under a thread that still uses it.

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/sys/unique_fd.h"
#include "transport/server/protocol_handler.h"

// The connection's context (its session) is the served connection itself.
class TDSTCPContext : public TDSConnectionContext {
 public:
  // AStopFd becomes readable when the server stops; it stays owned by the server.
  TDSTCPContext(UniqueFd ASocket, int AStopFd, std::string APeerIP, std::uint16_t APeerPort);
  TDSTCPContext(const TDSTCPContext&) = delete;
  TDSTCPContext& operator=(const TDSTCPContext&) = delete;

  const std::string& PeerIP() const { return FPeerIP; }
  std::uint16_t PeerPort() const { return FPeerPort; }
  int Handle() const { return FSocket.get(); }

  // True while the peer is there, or bytes it sent before leaving are still buffered.
  bool Connected() const;
  void Disconnect() noexcept;

  // A client speaks first: a connection that has sent nothing within AFirstByte of its accept
  // is ended, so silent connections cannot hold the slots. After that, between messages, a
  // connection may stay idle as long as it likes (clients keep one open all day). Once a
  // message has started (BeginMessage, by the serving thread when its first bytes are there)
  // each wait for more of it ends the connection when AMessage has passed since the message
  // started or since the server last wrote, whichever is later; EndMessage goes back to idle. A
  // send that makes no progress for ASendStall ends the connection too. Set before the
  // connection is served.
  void SetDeadlines(std::chrono::milliseconds AMessage, std::chrono::milliseconds ASendStall,
                    std::chrono::milliseconds AFirstByte = std::chrono::seconds(30)) {
    FMessageDeadline = AMessage;
    FSendStallDeadline = ASendStall;
    FFirstByteDeadline = AFirstByte;
  }
  // A reply the peer reads must drain at ABytesPerSecond at least, averaged over AWindow from
  // the moment the socket first had no room for it: a reader that takes a byte now and then
  // would otherwise hold the thread and the reply past every stall deadline. Set before the
  // connection is served.
  void SetMinimumDrain(std::size_t ABytesPerSecond, std::chrono::milliseconds AWindow) {
    FMinimumDrain = ABytesPerSecond;
    FDrainWindow = AWindow;
  }
  // Also ends the drain window of the previous reply.
  void BeginMessage();
  void EndMessage() { FMessageStart.reset(); }
  // True once a deadline ended the connection.
  bool TimedOut() const { return FTimedOut; }

  bool InputBufferIsEmpty() const { return FStart == FEnd; }
  std::size_t InputBufferSize() const { return FEnd - FStart; }
  // Blocks until bytes arrive, the peer leaves, the connection is shut down or the server
  // stops (which disconnects the connection), or, within a message, its deadline passes (which
  // disconnects it too), or, before the peer's first byte, its first-byte deadline passes.
  // Between messages it never times out: an idle connection costs nothing.
  void CheckForDataOnSource();
  // Takes up to ACount buffered bytes; returns how many it took.
  std::size_t ReadBytes(std::uint8_t* ADest, std::size_t ACount);
  // Sends all ACount bytes; throws when the socket fails or the send stalls past its deadline
  // (the connection is then disconnected).
  void Write(const std::uint8_t* ASource, std::size_t ACount);

  TDBXProtocolHandlerPtr Data;

 private:
  static constexpr std::size_t kInputBufferSize = 32 * 1024;

  UniqueFd FSocket;
  int FStopFd;
  std::string FPeerIP;
  std::uint16_t FPeerPort;
  bool FPeerGone = false;  // serving thread only
  std::chrono::milliseconds FMessageDeadline{std::chrono::seconds(30)};
  std::chrono::milliseconds FSendStallDeadline{std::chrono::seconds(60)};
  std::chrono::milliseconds FFirstByteDeadline{std::chrono::seconds(30)};
  const std::chrono::steady_clock::time_point FAccepted = std::chrono::steady_clock::now();
  bool FSpoken = false;  // serving thread only: the peer has sent a byte
  std::size_t FMinimumDrain = 1024;
  std::chrono::milliseconds FDrainWindow{std::chrono::seconds(30)};
  // Since the socket first had no room for the current reply, and what it took since; serving
  // thread only.
  std::optional<std::chrono::steady_clock::time_point> FDrainStart;
  std::size_t FDrained = 0;
  // When the message being received started (or the server last wrote); serving thread only.
  std::optional<std::chrono::steady_clock::time_point> FMessageStart;
  bool FTimedOut = false;  // serving thread only
  std::atomic<bool> FDisconnected{false};
  std::mutex FShutdownLock;  // serialises shutdowns from several threads
  // Filled only when empty, so it never holds more than one receive.
  std::unique_ptr<std::uint8_t[]> FInput;
  std::size_t FStart = 0;
  std::size_t FEnd = 0;
};

using TDSTCPContextPtr = std::shared_ptr<TDSTCPContext>;

// A peer's address as the session, the journal and people see it: IPv4 in dotted form, an IPv4
// client of an IPv6 socket (a v4-mapped address) included; any other IPv6 address in its
// short form ("::1"). Empty for another family.
std::string PeerAddressText(const sockaddr_storage& AAddress);
// The port of an IPv4 or IPv6 address; 0 for another family.
std::uint16_t PortOf(const sockaddr_storage& AAddress);
