#pragma once

// A scripted stand-in for the signing server, for tests of clients: it listens on 127.0.0.1
// (port chosen by the system), accepts one connection and runs a script on its own thread that
// plays the server's side byte for byte. Its end of the connection negotiates like the real
// server (with the "ZLibCompression" filter, or with no filter at all), so a script reads and
// writes the decoded message stream; the raw bytes of both directions are recorded.
//
// A step that meets other bytes than expected throws; the connection is then closed, so the
// client stops waiting, and Finish returns the step's message ("" when the script ran through).
// Every wait is bounded by the timeout given at construction.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

class TDBXFilterSocketChannel;

namespace test_support {

class TFakeDBXServer {
 public:
  enum class TFilters { None, Compression };
  using TScript = std::function<void(TFakeDBXServer&)>;

  explicit TFakeDBXServer(TFilters AFilters = TFilters::Compression, int ATimeoutMs = 10000);
  ~TFakeDBXServer();
  TFakeDBXServer(const TFakeDBXServer&) = delete;
  TFakeDBXServer& operator=(const TFakeDBXServer&) = delete;

  std::uint16_t Port() const { return FPort; }
  // Accepts the connection and runs AScript on the server's thread.
  void Start(TScript AScript);
  // Waits for the script; "" or the failure.
  std::string Finish();

  // Script steps (server's thread). Reads negotiate first when the client asked for it.
  void Expect(std::string_view AMessage);
  std::string Read(std::size_t ACount);
  // Decoded bytes up to and including AStop.
  std::string ReadThrough(char AStop);
  // One block through the filters (one write when unfiltered).
  void Send(std::string_view AMessage);
  // Straight from and to the socket, past the negotiation and the filters.
  std::string ReadRaw(std::size_t ACount);
  void SendRaw(std::string_view ABytes);
  void Close();
  // Waits until the client closes its end; fails if it sends anything more.
  void ExpectClosed();

  // After Finish: every byte the client sent, and every byte the server sent.
  const std::string& RawReceived() const { return FRawReceived; }
  const std::string& RawSent() const { return FRawSent; }

 private:
  void Run(const TScript& AScript);
  void Fill();

  TFilters FFilters;
  int FTimeoutMs;
  int FListener = -1;
  std::uint16_t FPort = 0;
  std::thread FThread;
  std::unique_ptr<TDBXFilterSocketChannel> FChannel;
  std::string FPending;  // decoded bytes not consumed by a step yet
  std::string FRawReceived;
  std::string FRawSent;
  std::string FFailure;
};

}  // namespace test_support
