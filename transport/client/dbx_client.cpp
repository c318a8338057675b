#include "transport/client/dbx_client.h"

#include <algorithm>
#include <climits>

#include "transport/client/client_socket_channel.h"
#include "transport/dbx_error.h"
#include "transport/filter/filter_socket_channel.h"
#include "transport/stream/json_stream_reader.h"
#include "transport/stream/json_stream_writer.h"
#include "transport/stream/parameter_descriptor.h"
#include "transport/stream/row_buffer.h"
#include "transport/stream/row_continuation.h"

using namespace client_format;

namespace {

bool IsInput(const TDBXParameter& AParameter) {
  return AParameter.Direction == pdIn || AParameter.Direction == pdInOut;
}

bool IsOutput(const TDBXParameter& AParameter) {
  return AParameter.Direction == pdOut || AParameter.Direction == pdInOut ||
         AParameter.Direction == pdReturn;
}

bool IsText(const TDBXParameter& AParameter) {
  return AParameter.DataType == dtWideString || AParameter.DataType == dtAnsiString;
}

[[noreturn]] void UsageError(std::string_view AStem, TextView ADetail) {
  throw TDBXError(kUsageErrorCode, text::FromAscii(AStem) + Text(ADetail));
}

// A zero buffer size stands for the server's default; tiny ones would leave no room for a
// continuation answer.
int BufferSizeOf(const TDBXClientOptions& AOptions) {
  constexpr int kSmallest = 1024;
  if (AOptions.BufferSize <= 0) return 32768;
  return std::clamp(AOptions.BufferSize, kSmallest, kJSonMaxBufferSize);
}

}  // namespace

TDBXClient::TDBXClient(std::string AHost, std::uint16_t APort, TDBXClientOptions AOptions)
    : FHost(std::move(AHost)), FPort(APort), FOptions(AOptions) {}

TDBXClient::~TDBXClient() { Close(); }

void TDBXClient::Open() {
  Close();
  auto socket = std::make_unique<TDBXClientSocketChannel>(FHost, FPort, FOptions.ConnectTimeoutMs,
                                                          FOptions.ReadTimeoutMs);
  socket->Open();
  Open(std::move(socket));
}

void TDBXClient::Open(TDbxChannelPtr ADelegate) {
  Close();
  TTransportFilterCollection filters;
  if (FOptions.Compression) filters.AddFilter(Text(protocol_names::kCompressionFilter));
  auto channel = std::make_unique<TDBXFilterSocketChannel>(&filters);
  channel->SetChannel(std::move(ADelegate));
  // The initiating side negotiates on its first write; an empty one sends nothing more, so
  // a failed negotiation is reported here and not as the first request's write error.
  if (channel->Write({}, 0, 0) < 0) throw TDBXError(kConnectionErrorCode, kNegotiationFailed);
  const int size = BufferSizeOf(FOptions);
  auto reader = std::make_unique<TDBXJSonStreamReader>(*channel, size);
  auto writer = std::make_unique<TDBXJSonStreamWriter>(*channel, size);
  FRow = std::make_unique<TDBXRowBuffer>(*reader, *writer, writer->CalcRowBufferSize(), true);
  FReader = std::move(reader);
  FWriter = std::move(writer);
  FChannel = std::move(channel);
}

void TDBXClient::Close() {
  FMethods.clear();
  FRow.reset();
  FWriter.reset();
  FReader.reset();
  if (FChannel) FChannel->Close();
  FChannel.reset();
}

bool TDBXClient::IsOpen() const { return FChannel != nullptr; }

void TDBXClient::CheckOpen() const {
  if (!FChannel) throw TDBXError(kConnectionErrorCode, kNotOpen);
}

template <class TAction>
auto TDBXClient::Guarded(TAction&& AAction) -> decltype(AAction()) {
  CheckOpen();
  try {
    return AAction();
  } catch (const TDBXRemoteError&) {
    throw;  // the reply was read to its end: the conversation goes on
  } catch (...) {
    Close();
    throw;
  }
}

void TDBXClient::UnexpectedReply(std::string_view AWhat) {
  throw TDBXError(kProtocolErrorCode, std::string(kUnexpectedReply) + std::string(AWhat));
}

// ---------------------------------------------------------------------------------------------
// Requests

// {"method":"<name>","params":[
void TDBXClient::WriteRequestStart(TextView AMethod) {
  FWriter->WriteObjectStart();
  FWriter->WriteString(u"method");
  FWriter->WriteNameSeparator();
  FWriter->WriteString(AMethod);
  FWriter->WriteValueSeparator();
  FWriter->WriteParamsStart();
}

// One request, one flush: on a filtered channel one block.
void TDBXClient::WriteRequestEnd() {
  FWriter->WriteArrayEnd();
  FWriter->WriteObjectEnd();
  FWriter->Flush();
}

TDBXConnectReply TDBXClient::Connect(const TProperties& AProperties) {
  return Guarded([&] {
    WriteRequestStart(protocol_names::kConnect);
    FWriter->WriteObjectStart();
    for (std::size_t i = 0; i < AProperties.size(); ++i) {
      if (i > 0) FWriter->WriteValueSeparator();
      FWriter->WriteNamedString(AProperties[i].first, AProperties[i].second);
    }
    FWriter->WriteObjectEnd();
    WriteRequestEnd();

    ReadResultStart();
    TDBXConnectReply reply;
    reply.ConnectionHandle = FReader->ReadInt();
    FReader->Next(jtValueSeparator);
    FReader->Next(jtStringStart);
    reply.ProductName = FReader->ReadString();
    FReader->Next(jtValueSeparator);
    reply.ProtocolVersion = FReader->ReadInt();
    ReadResultEnd();
    return reply;
  });
}

void TDBXClient::Disconnect() {
  Guarded([&] {
    WriteRequestStart(protocol_names::kDisconnect);
    FWriter->WriteInt(0);
    WriteRequestEnd();
  });
  FMethods.clear();
}

TDBXCommand TDBXClient::Prepare(TextView ACommandText, TextView ACommandType,
                                std::int32_t AHandle) {
  return Guarded([&] {
    WriteRequestStart(protocol_names::kPrepare);
    FWriter->WriteInt(AHandle);
    FWriter->WriteValueSeparator();
    FWriter->WriteBoolean(false);
    FWriter->WriteValueSeparator();
    FWriter->WriteString(ACommandType);
    FWriter->WriteValueSeparator();
    FWriter->WriteString(ACommandText);
    WriteRequestEnd();

    // {"result":[{"handle":[h]},{"fields":[0,false]},{"parameters":[n,d1,...]}]}, the
    // parameters object only when the method has some.
    ReadResultStart();
    TDBXCommand command;
    bool haveHandle = false;
    for (;;) {
      const int key = ReadObjectKey();
      if (key == scHandle) {
        FReader->Next(jtArrayStart);
        command.Handle = FReader->ReadInt();
        FReader->Next(jtArrayEnd);
        haveHandle = true;
      } else if (key == scParameters) {
        FReader->Next(jtArrayStart);
        ReadParameters(command.Parameters);
      } else {
        const int token = FReader->Next();
        if (token == jtArrayStart) {
          FReader->SkipToEndOfArray();
        } else if (token == jtObjectStart) {
          FReader->SkipToEndOfObject();
        } else {
          UnexpectedReply("a prepare reply item that is not an array");
        }
      }
      FReader->Next(jtObjectEnd);
      const int token = FReader->Next();
      if (token == jtArrayEnd) break;
      if (token != jtValueSeparator) UnexpectedReply("a prepare reply item not followed by ','");
    }
    FReader->Next(jtObjectEnd);
    if (!haveHandle) UnexpectedReply("a prepare reply without a command handle");
    return command;
  });
}

// n, then n descriptors [dataType,subType,direction,precision,scale,"name",childPosition,size,
// flags] (and a literal when flags has 0x200); the reader stands after the count's bracket.
void TDBXClient::ReadParameters(TDBXParameterList& AParameters) {
  const std::int32_t count = FReader->ReadInt();
  if (count < 0 || count > kMaxParameters)
    throw TDBXError(kProtocolErrorCode, std::string(kTooManyParameters) + std::to_string(count));
  for (;;) {
    const int token = FReader->Next();
    if (token == jtArrayEnd) break;
    if (token != jtValueSeparator) UnexpectedReply("a parameter descriptor not preceded by ','");
    if (AParameters.size() == static_cast<std::size_t>(kMaxParameters))
      throw TDBXError(kProtocolErrorCode,
                      std::string(kTooManyParameters) + "more than " + std::to_string(count));
    FReader->Next(jtArrayStart);
    ReadParameterDescriptor(*FReader, AParameters.emplace_back());
  }
  if (AParameters.size() != static_cast<std::size_t>(count))
    throw TDBXError(kProtocolErrorCode, std::string(kParameterCountMismatch) +
                                            std::to_string(count) + " announced, " +
                                            std::to_string(AParameters.size()) + " described");
}

TDBXExecuteResult TDBXClient::Execute(const TDBXCommand& ACommand,
                                      std::span<const TDBXValue> AInValues) {
  CheckOpen();
  const TDBXParameterList& parameters = ACommand.Parameters;
  std::size_t inputs = 0;
  std::size_t rowFields = 0;  // up to the last in-parameter; out-parameters before it as null
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    if (IsInput(parameters[i])) {
      ++inputs;
      rowFields = i + 1;
    }
  }
  if (AInValues.size() != inputs)
    UsageError(kArgumentCount, text::FromAscii("command " + std::to_string(ACommand.Handle) + ": " +
                                               std::to_string(inputs) + " expected, " +
                                               std::to_string(AInValues.size()) + " given"));
  // The row is built before anything is sent: a value that does not fit its type leaves the
  // connection as it was.
  FRow->Clear();
  for (std::size_t i = 0, next = 0; i < rowFields; ++i) {
    if (IsInput(parameters[i])) {
      FRow->WriteValue(AInValues[next++], parameters[i].DataType, parameters[i].SubType);
    } else {
      FRow->WriteNull();
    }
  }
  TDBXContinuations continuations = FRow->TakeContinuations();

  return Guarded([&] {
    WriteRequestStart(protocol_names::kExecute);
    FWriter->WriteHandleObject(ACommand.Handle);
    if (rowFields > 0) {
      FWriter->WriteValueSeparator();
      FRow->WriteData();
    }
    WriteRequestEnd();

    // {"result":[{"rows":[0]},{"data":[N,<row>]}]}, the data only for methods with out or
    // return parameters. The server's more_blob requests for our long values come first.
    ReadResultStart(&continuations);
    TDBXExecuteResult result;
    result.Values.resize(parameters.size());
    bool haveRow = false;
    for (;;) {
      const int key = ReadObjectKey();
      FReader->Next(jtArrayStart);
      if (key == scRows) {
        result.RowsAffected = FReader->ReadLong();
        FReader->Next(jtArrayEnd);
      } else if (key == scData) {
        const std::int32_t count = FReader->ReadInt();
        const int token = FReader->Next();
        if (token == jtValueSeparator) {
          FRow->LoadData(count);
          FReader->Next(jtArrayEnd);
        } else if (count != 0 || token != jtArrayEnd) {
          UnexpectedReply("a data block without its bytes");
        } else {
          FRow->LoadData(0);
        }
        haveRow = true;
      } else if (key == scTable) {
        throw TDBXError(kProtocolErrorCode, kTableResultUnsupported);
      } else {
        UnexpectedReply("an execute reply item other than rows and data");
      }
      FReader->Next(jtObjectEnd);
      const int token = FReader->Next();
      if (token == jtArrayEnd) break;
      if (token != jtValueSeparator) UnexpectedReply("an execute reply item not followed by ','");
    }
    FReader->Next(jtObjectEnd);

    // Values that continue outside the row are fetched here, before the next request.
    if (haveRow) {
      FRow->SetCommandHandle(ACommand.Handle);
      for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (IsOutput(parameters[i]))
          result.Values[i] =
              FRow->ReadValue(static_cast<int>(i), parameters[i].DataType, parameters[i].SubType);
      }
    }
    return result;
  });
}

void TDBXClient::CommandClose(std::int32_t AHandle) {
  Guarded([&] {
    WriteRequestStart(protocol_names::kCommandClose);
    FWriter->WriteInt(AHandle);
    WriteRequestEnd();
  });
  std::erase_if(FMethods, [AHandle](const auto& AItem) { return AItem.second.Handle == AHandle; });
}

Text TDBXClient::CallTextMethod(TextView AName, std::initializer_list<TextView> AArgs) {
  std::vector<Text> args(AArgs.begin(), AArgs.end());
  return CallTextMethod(AName, std::span<const Text>(args));
}

Text TDBXClient::CallTextMethod(TextView AName, std::span<const Text> AArgs) {
  CheckOpen();
  auto method = FMethods.find(AName);
  if (method == FMethods.end()) method = FMethods.emplace(Text(AName), Prepare(AName)).first;
  const TDBXCommand& command = method->second;

  std::vector<TDBXValue> values;
  std::size_t inputs = 0;
  std::size_t result = SIZE_MAX;
  for (std::size_t i = 0; i < command.Parameters.size(); ++i) {
    const TDBXParameter& parameter = command.Parameters[i];
    if (IsInput(parameter)) {
      if (!IsText(parameter)) UsageError(kNotTextParameter, Text(AName) + u"." + parameter.Name);
      if (inputs < AArgs.size()) values.emplace_back(AArgs[inputs]);
      ++inputs;
    }
    // The return value wins over out-parameters.
    if (IsOutput(parameter) && IsText(parameter) &&
        (result == SIZE_MAX || parameter.Direction == pdReturn))
      result = i;
  }
  if (inputs != AArgs.size())
    UsageError(kArgumentCount, Text(AName) + u": " + text::FromAscii(std::to_string(inputs)) +
                                   u" expected, " + text::FromAscii(std::to_string(AArgs.size())) +
                                   u" given");
  if (result == SIZE_MAX) UsageError(kNoTextResult, AName);

  TDBXExecuteResult reply;
  try {
    reply = Execute(command, values);
  } catch (const TDBXRemoteError& e) {
    // The server no longer knows the command: prepare it again on the next call.
    if (e.ErrorCode() == 4 || e.ErrorCode() == 29) FMethods.erase(method);
    throw;
  }
  if (const Text* value = std::get_if<Text>(&reply.Values[result])) return *value;
  return {};  // null
}

// ---------------------------------------------------------------------------------------------
// Replies

int TDBXClient::ReadObjectKey() {
  FReader->Next(jtObjectStart);
  if (FReader->Next() != jtStringStart) UnexpectedReply("an object without a key");
  const int key = FReader->ReadStringCode();
  FReader->Next(jtNameSeparator);
  return key;
}

void TDBXClient::ReadResultStart(TDBXContinuations* AContinuations) {
  for (;;) {
    const int key = ReadObjectKey();
    switch (key) {
      case scResult:
        FReader->Next(jtArrayStart);
        return;
      case scError:
        throw ReadErrorReply(*FReader);
      case scMetadata:
        SkipMetadata();
        break;
      case scMoreBlob:
        if (AContinuations == nullptr) UnexpectedReply("a more_blob request outside execute");
        ServeContinuation(*AContinuations);
        break;
      default:
        UnexpectedReply("a message with the key \"" + text::ToUtf8(FReader->StringValue()) + "\"");
    }
  }
}

// `]}` after the last item we read; items a later server may add are passed over.
void TDBXClient::ReadResultEnd() {
  const int token = FReader->Next();
  if (token == jtValueSeparator) {
    FReader->SkipToEndOfArray();
  } else if (token != jtArrayEnd) {
    UnexpectedReply("a result not closed by ']'");
  }
  FReader->Next(jtObjectEnd);
}

// {"metadata":[n,<n bytes of JSON>]} ahead of a reply: this client has no use for it.
void TDBXClient::SkipMetadata() {
  FReader->Next(jtArrayStart);
  std::int32_t count = FReader->ReadInt();
  if (count > 0) {
    FReader->NextValueSeparator();
    std::vector<std::uint8_t> scratch(static_cast<std::size_t>(std::min(count, kSkipPieceSize)));
    while (count > 0) {
      const int piece = std::min(count, kSkipPieceSize);
      FReader->ReadDataBytes(scratch, 0, piece);
      count -= piece;
    }
  }
  FReader->Next(jtArrayEnd);
  FReader->Next(jtObjectEnd);
}

// The server asks for the next part of one of our long values:
// {"more_blob":[<command>,<blob>,<row>,<ordinal>,<row handle>]}. The answer is
// {"data":[n,<|n| bytes>]}, n <= 0 for the last part, one flush each.
void TDBXClient::ServeContinuation(TDBXContinuations& AContinuations) {
  FReader->Next(jtArrayStart);
  std::int64_t arguments[kMaxMoreBlobArguments] = {};
  int count = 0;
  for (;;) {
    if (count == kMaxMoreBlobArguments) UnexpectedReply("a more_blob request with too many values");
    arguments[count++] = FReader->ReadLong();
    const int token = FReader->Next();
    if (token == jtArrayEnd) break;
    if (token != jtValueSeparator) UnexpectedReply("a malformed more_blob request");
  }
  FReader->Next(jtObjectEnd);
  if (count < 4) UnexpectedReply("a more_blob request without an ordinal");

  // The server names the value by its ordinal; the row handle is whatever its bookkeeping holds.
  const std::int64_t ordinal = arguments[3];
  TDBXBlobStream* stream =
      ordinal >= 0 && ordinal <= INT_MAX
          ? AContinuations.Find(row_format::kParameterRowHandle, static_cast<int>(ordinal))
          : nullptr;
  if (stream == nullptr || stream->Eos())
    throw TDBXError(kProtocolErrorCode, std::string(kNoContinuation) + std::to_string(ordinal));

  const std::size_t room =
      static_cast<std::size_t>(FWriter->GetWriteBufferSize() - kDataAnswerOverhead);
  std::vector<std::uint8_t> part(std::min(room, stream->Remaining()));
  const int length = stream->Read(part, 0, static_cast<int>(part.size()));
  FWriter->WriteDataObjectStart();
  FWriter->WriteInt(stream->Eos() ? -length : length);
  FWriter->WriteValueSeparator();
  FWriter->WriteDataBytes(part, 0, length);
  FWriter->WriteArrayEnd();
  FWriter->WriteObjectEnd();
  FWriter->Flush();
}
