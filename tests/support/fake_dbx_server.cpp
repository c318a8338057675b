#include "tests/support/fake_dbx_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

#include "tests/support/loopback_socket_channel.h"
#include "transport/filter/filter_socket_channel.h"
#include "transport/stream/json_stream_format.h"

namespace test_support {

namespace {

// Records the raw bytes of both directions on their way to and from the socket.
class TRecordingChannel : public TDbxChannel {
 public:
  TRecordingChannel(std::unique_ptr<TLoopbackSocketChannel> ASocket, std::string& AReceived,
                    std::string& ASent)
      : FSocket(std::move(ASocket)), FReceived(AReceived), FSent(ASent) {}

  void Open() override {}
  void Close() override { FSocket->Close(); }
  int Read(std::span<std::uint8_t> Buffer, int Offset, int Count) override {
    const int count = FSocket->Read(Buffer, Offset, Count);
    if (count > 0) FReceived.append(reinterpret_cast<const char*>(Buffer.data()) + Offset, count);
    return count;
  }
  int Write(std::span<const std::uint8_t> Buffer, int Offset, int Count) override {
    FSent.append(reinterpret_cast<const char*>(Buffer.data()) + Offset, Count);
    return FSocket->Write(Buffer, Offset, Count);
  }
  bool GetConnectionLost() const override { return FSocket->GetConnectionLost(); }
  TDBXChannelInfo* GetChannelInfo() override { return FSocket->GetChannelInfo(); }

 private:
  std::unique_ptr<TLoopbackSocketChannel> FSocket;
  std::string& FReceived;
  std::string& FSent;
};

[[noreturn]] void Fail(const std::string& AWhat) { throw std::runtime_error(AWhat); }

// Long messages are shown around their first difference.
std::string Shown(std::string_view ABytes, std::size_t AFrom) {
  const std::size_t start = AFrom > 40 ? AFrom - 40 : 0;
  std::string shown = DBXJSonPrintable(ABytes.substr(start, 200));
  if (start > 0) shown = "..." + shown;
  if (start + 200 < ABytes.size()) shown += "...";
  return shown;
}

}  // namespace

TFakeDBXServer::TFakeDBXServer(TFilters AFilters, int ATimeoutMs)
    : FFilters(AFilters), FTimeoutMs(ATimeoutMs) {
  FListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (FListener < 0 || ::bind(FListener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(FListener, 1) != 0 ||
      ::getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    Fail("fake server: cannot listen");
  FPort = ntohs(address.sin_port);
}

TFakeDBXServer::~TFakeDBXServer() {
  Finish();
  if (FListener >= 0) ::close(FListener);
}

void TFakeDBXServer::Start(TScript AScript) {
  FThread = std::thread([this, script = std::move(AScript)] { Run(script); });
}

std::string TFakeDBXServer::Finish() {
  if (FThread.joinable()) FThread.join();
  return FFailure;
}

void TFakeDBXServer::Run(const TScript& AScript) {
  try {
    pollfd entry{FListener, POLLIN, 0};
    if (::poll(&entry, 1, FTimeoutMs) != 1) Fail("fake server: no client connected");
    TSocketFd socket(::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC));
    if (socket.get() < 0) Fail("fake server: accept failed");
    timeval timeout{FTimeoutMs / 1000, (FTimeoutMs % 1000) * 1000};
    ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    // Block headers and bodies leave as separate writes, as from the real server.
    const int on = 1;
    ::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    auto recording = std::make_unique<TRecordingChannel>(
        std::make_unique<TLoopbackSocketChannel>(std::move(socket)), FRawReceived, FRawSent);
    if (FFilters == TFilters::Compression) {
      TTransportFilterCollection filters;
      filters.AddFilter(u"ZLibCompression");
      FChannel = std::make_unique<TDBXFilterSocketChannel>(&filters);
    } else {
      FChannel = std::make_unique<TDBXFilterSocketChannel>();
    }
    FChannel->SetChannel(std::move(recording));
    AScript(*this);
  } catch (const std::exception& e) {
    FFailure = e.what();
  }
  // The client sees the end of the connection rather than waiting for its timeout.
  if (FChannel) FChannel->Close();
  FChannel.reset();
}

void TFakeDBXServer::Fill() {
  std::vector<std::uint8_t> buffer(64 * 1024);
  const int count = FChannel->Read(buffer, 0, static_cast<int>(buffer.size()));
  if (count <= 0) Fail("fake server: negotiation or block header failed");
  FPending.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(count));
}

std::string TFakeDBXServer::Read(std::size_t ACount) {
  while (FPending.size() < ACount) Fill();
  std::string bytes = FPending.substr(0, ACount);
  FPending.erase(0, ACount);
  return bytes;
}

std::string TFakeDBXServer::ReadThrough(char AStop) {
  std::size_t at;
  while ((at = FPending.find(AStop)) == std::string::npos) Fill();
  return Read(at + 1);
}

void TFakeDBXServer::Expect(std::string_view AMessage) {
  std::string got;
  try {
    got = Read(AMessage.size());
  } catch (const std::exception& e) {
    Fail("expected " + Shown(AMessage, 0) + "\n but the client sent " + Shown(FPending, 0) +
         " and then: " + e.what());
  }
  if (got == AMessage) return;
  std::size_t at = 0;
  while (got[at] == AMessage[at]) ++at;
  Fail("expected " + Shown(AMessage, at) + "\n     got " + Shown(got, at) +
       "\n (first difference at " + std::to_string(at) + ")");
}

void TFakeDBXServer::Send(std::string_view AMessage) {
  const std::span bytes(reinterpret_cast<const std::uint8_t*>(AMessage.data()), AMessage.size());
  if (FChannel->Write(bytes, 0, static_cast<int>(bytes.size())) < 0)
    Fail("fake server: write failed");
}

std::string TFakeDBXServer::ReadRaw(std::size_t ACount) {
  std::string bytes(ACount, '\0');
  std::size_t got = 0;
  while (got < ACount)
    got += static_cast<std::size_t>(FChannel->GetDelegate()->Read(
        std::span(reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size()),
        static_cast<int>(got), static_cast<int>(ACount - got)));
  return bytes;
}

void TFakeDBXServer::SendRaw(std::string_view ABytes) {
  const std::span bytes(reinterpret_cast<const std::uint8_t*>(ABytes.data()), ABytes.size());
  FChannel->GetDelegate()->Write(bytes, 0, static_cast<int>(bytes.size()));
}

void TFakeDBXServer::Close() { FChannel->Close(); }

void TFakeDBXServer::ExpectClosed() {
  if (!FPending.empty()) Fail("the client sent more: " + Shown(FPending, 0));
  try {
    Fill();
  } catch (const std::exception&) {
    return;  // the client closed its end (or stayed silent for the whole timeout)
  }
  Fail("the client sent more: " + Shown(FPending, 0));
}

}  // namespace test_support
