#pragma once

// A client of the signing server's remote-method protocol: one TCP connection, small and
// synchronous. Open connects and negotiates the transport filters; then the requests go one at
// a time, each waiting for its reply:
//
//   TDBXClient client("127.0.0.1", 211);
//   client.Open();
//   client.Connect();
//   const Text signedXml = client.CallTextMethod(u"TSMSignService.SignDocument", {xml, serial});
//
// Texts of any length travel both ways: a parameter longer than the row's inline budget goes
// out with its first part and the client serves the server's more_blob requests for the rest;
// a returned text that continues is fetched with the client's own more_blob requests.
//
// One object per connection, used by one thread (N parallel connections are N objects).
// Errors: an error reply of the server raises TDBXRemoteError (its code, class name and text)
// and the connection stays usable. Anything else -- the connection failed, broke or timed out,
// or the server's bytes made no sense -- raises TDBXError (client_format codes, or the reader's)
// and closes the connection, since the conversation can no longer be trusted; later requests
// raise kNotOpen until Open is called again. Arguments refused before sending raise
// kUsageErrorCode and leave the connection as it was.

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/text.h"
#include "transport/channel.h"
#include "transport/client/client_format.h"
#include "transport/protocol_names.h"
#include "transport/stream/dbx_value.h"
#include "transport/stream/json_error_reply.h"

class TDBXFilterSocketChannel;
class TDBXJSonStreamReader;
class TDBXJSonStreamWriter;
class TDBXRowBuffer;
class TDBXContinuations;

struct TDBXClientOptions {
  // Milliseconds; 0 or less waits without limit.
  int ConnectTimeoutMs = client_format::kDefaultConnectTimeoutMs;
  int ReadTimeoutMs = client_format::kDefaultReadTimeoutMs;
  // Ask for the "ZLibCompression" filter. Without it the client brings no filter of its own; a
  // server that has one still applies it, because both ends apply the union of their lists.
  bool Compression = true;
  // Reader and writer buffer size, as the server's BufferKBSize x 1024.
  int BufferSize = 32768;
};

// Reply of connect.
struct TDBXConnectReply {
  std::int32_t ConnectionHandle = 0;
  Text ProductName;
  std::int32_t ProtocolVersion = 0;
};

// A prepared command: its handle on the server and its parameters (no values).
struct TDBXCommand {
  std::int32_t Handle = -1;
  TDBXParameterList Parameters;
};

struct TDBXExecuteResult {
  std::int64_t RowsAffected = -1;
  // One value per parameter in ordinal order: out, in/out and return values as the server
  // sent them, in-parameters null.
  std::vector<TDBXValue> Values;
};

class TDBXClient {
 public:
  using TProperties = std::vector<std::pair<Text, Text>>;

  TDBXClient(std::string AHost, std::uint16_t APort, TDBXClientOptions AOptions = {});
  ~TDBXClient();
  TDBXClient(const TDBXClient&) = delete;
  TDBXClient& operator=(const TDBXClient&) = delete;

  // Connects over TCP and negotiates the filters (05 05 05 05 05, the server's list, ours).
  void Open();
  // Negotiates and talks over a byte channel that is already connected to a server (a tunnel,
  // an in-memory peer); the client owns it from here on.
  void Open(TDbxChannelPtr ADelegate);
  // Closes the socket; the server then ends the connection and its commands.
  void Close();
  bool IsOpen() const;

  // {"method":"connect","params":[{<properties>}]}.
  TDBXConnectReply Connect(const TProperties& AProperties = {});
  // {"method":"disconnect","params":[0]}; no reply. The socket stays open: Connect may follow.
  void Disconnect();
  // {"method":"prepare","params":[AHandle,false,"<type>","<text>"]}; AHandle -1 for a new
  // command, or a command's handle to prepare it again.
  TDBXCommand Prepare(TextView ACommandText,
                      TextView ACommandType = protocol_names::kServerMethodCommandType,
                      std::int32_t AHandle = -1);
  // {"method":"execute","params":[{"handle":[h]},{"data":[N,<row>]}]}; AInValues holds one
  // value per in and in/out parameter, in ordinal order.
  TDBXExecuteResult Execute(const TDBXCommand& ACommand, std::span<const TDBXValue> AInValues);
  // {"method":"command_close","params":[h]}; no reply.
  void CommandClose(std::int32_t AHandle);

  // Prepares the server method AName (once per connection; the command stays prepared for the
  // next calls), executes it with text arguments and returns its text result (the return
  // value, else the first out value; empty for null).
  Text CallTextMethod(TextView AName, std::initializer_list<TextView> AArgs);
  Text CallTextMethod(TextView AName, std::span<const Text> AArgs);

  const std::string& Host() const { return FHost; }
  std::uint16_t Port() const { return FPort; }

 private:
  void CheckOpen() const;
  // Runs one exchange; errors other than the server's error reply close the connection.
  template <class TAction>
  auto Guarded(TAction&& AAction) -> decltype(AAction());

  void WriteRequestStart(TextView AMethod);
  void WriteRequestEnd();
  // Reads up to and including the opening bracket of {"result":[. Invocation metadata ahead of
  // the reply is passed over; with AContinuations the server's more_blob requests are served
  // from them; an error reply is raised as TDBXRemoteError.
  void ReadResultStart(TDBXContinuations* AContinuations = nullptr);
  // Reads `{"key":` and returns the key's code.
  int ReadObjectKey();
  void ReadResultEnd();
  void SkipMetadata();
  void ServeContinuation(TDBXContinuations& AContinuations);
  void ReadParameters(TDBXParameterList& AParameters);
  [[noreturn]] void UnexpectedReply(std::string_view AWhat);

  std::string FHost;
  std::uint16_t FPort;
  TDBXClientOptions FOptions;
  // Destroyed in reverse order: the row and the stream borrow the channel.
  std::unique_ptr<TDBXFilterSocketChannel> FChannel;
  std::unique_ptr<TDBXJSonStreamReader> FReader;
  std::unique_ptr<TDBXJSonStreamWriter> FWriter;
  std::unique_ptr<TDBXRowBuffer> FRow;
  std::map<Text, TDBXCommand, std::less<>> FMethods;  // prepared by CallTextMethod
};
