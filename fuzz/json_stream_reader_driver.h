#pragma once

// Drives the message reader the way the command loop does: classify a request, read its
// arguments by method, skip the rest; malformed input must end in TDBXError only. Every string
// read is also written back by the writer and read again, which must give the same text.
// Shared by the libFuzzer target and the test that replays its corpus.
//
// Input layout: byte 0 picks the read buffer size, byte 1 the largest chunk a channel read
// delivers, the rest is the byte stream of the connection.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/memory_channel.h"
#include "transport/dbx_error.h"
#include "transport/stream/json_stream_reader.h"
#include "transport/stream/json_stream_writer.h"

namespace json_stream_fuzz {

constexpr int kBufferSizes[] = {1, 2, 3, 5, 8, 16, 31, 64, 255, 4096, 32768};
constexpr int kMaxRequests = 256;

inline void CheckRoundTrip(const Text& value) {
  if (value.size() > 4096) return;
  TMemoryChannel out;
  TDBXJSonStreamWriter writer(out, 64);
  writer.WriteString(value);
  writer.Flush();
  TMemoryChannel in;
  in.PushInput(out.Written());
  TDBXJSonStreamReader reader(in, 64);
  if (reader.ReadString() != value) std::abort();
}

inline const Text& ReadString(TDBXJSonStreamReader& reader) {
  const Text& value = reader.ReadString();
  CheckRoundTrip(value);
  return value;
}

inline void ReadDataBlock(TDBXJSonStreamReader& reader, std::size_t inputSize) {
  const int count = reader.ReadInt();
  if (count <= 0) return;
  reader.NextValueSeparator();
  // A count beyond the input can only end in an error; give it a small buffer to reject.
  std::vector<std::uint8_t> data(
      static_cast<std::size_t>(count) <= inputSize ? static_cast<std::size_t>(count) : 1);
  reader.ReadDataBytes(data, 0, count);
}

inline void ReadConnect(TDBXJSonStreamReader& reader) {
  if (reader.ReadParams() != jtArrayStart) return;
  if (reader.Next() != jtObjectStart) return;
  for (int i = 0; i < 64; ++i) {
    if (reader.Next() != jtStringStart) return;
    ReadString(reader);
    reader.Next(jtNameSeparator);
    ReadString(reader);
    if (reader.Next() != jtValueSeparator) return;
  }
}

inline void ReadPrepare(TDBXJSonStreamReader& reader) {
  reader.ReadParams();
  reader.ReadInt();
  reader.NextValueSeparator();
  reader.ReadBoolean();
  reader.NextValueSeparator();
  ReadString(reader);
  reader.NextValueSeparator();
  ReadString(reader);
  if (reader.Next() != jtValueSeparator) return;
  reader.Next(jtObjectStart);
  if (reader.ReadStringCode() != scParameters) return;
  reader.Next(jtNameSeparator);
  reader.Next(jtArrayStart);
  const int count = reader.ReadInt();
  for (int i = 0; i < count && i < 16; ++i) {
    reader.NextValueSeparator();
    reader.Next(jtArrayStart);
    reader.ReadInt();
    reader.NextValueSeparator();
    reader.ReadInt();
    reader.NextValueSeparator();
    reader.ReadInt();
    reader.NextValueSeparator();
    reader.ReadLong();
    reader.NextValueSeparator();
    reader.ReadInt();
    reader.NextValueSeparator();
    ReadString(reader);
    reader.SkipToEndOfArray();
  }
}

inline void ReadExecute(TDBXJSonStreamReader& reader, std::size_t inputSize) {
  if (reader.ReadParams() != jtArrayStart) return;
  for (int i = 0; i < 16; ++i) {
    reader.Next(jtObjectStart);
    const int key = reader.ReadStringCode();
    reader.Next(jtNameSeparator);
    reader.Next(jtArrayStart);
    switch (key) {
      case scHandle:
        reader.ReadInt();
        reader.Next(jtArrayEnd);
        break;
      case scData:
        ReadDataBlock(reader, inputSize);
        reader.Next(jtArrayEnd);
        break;
      case scTable:
      case scParameters:
      case scFields:
        reader.SkipToEndOfArray();
        break;
      default:
        return;  // breaks the request, as the command level does
    }
    reader.Next(jtObjectEnd);
    if (reader.Next() != jtValueSeparator) return;
  }
}

inline void ReadNumbers(TDBXJSonStreamReader& reader, int count) {
  reader.ReadParams();
  for (int i = 0; i < count; ++i) {
    if (i > 0 && reader.Next() != jtValueSeparator) return;
    if (i == 2)
      reader.ReadLong();
    else
      reader.ReadInt();
  }
}

inline void HandleRequest(TDBXJSonStreamReader& reader, std::size_t inputSize) {
  switch (reader.ReadMethod()) {
    case scConnect:
      ReadConnect(reader);
      break;
    case scPrepare:
      ReadPrepare(reader);
      break;
    case scExecute:
      ReadExecute(reader, inputSize);
      break;
    case scCommandClose:
      ReadNumbers(reader, 1);
      break;
    case scReaderClose:
      ReadNumbers(reader, 2);
      break;
    case scNext:
      ReadNumbers(reader, 3);
      break;
    case scMoreBlob:
      ReadNumbers(reader, 4);
      if (reader.Next() == jtValueSeparator) reader.ReadBoolean();
      break;
    case scTxBegin:
      ReadNumbers(reader, 1);
      break;
    case scTxEnd:
      reader.ReadParams();
      reader.ReadBoolean();
      break;
    case scVendorProperty:
      reader.ReadParams();
      ReadString(reader);
      break;
    default:
      break;
  }
  reader.SkipToEndOfObject();
}

}  // namespace json_stream_fuzz

inline void DriveJsonStreamReader(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return;
  const int bufferSize =
      json_stream_fuzz::kBufferSizes[data[0] % std::size(json_stream_fuzz::kBufferSizes)];
  const std::size_t chunk = static_cast<std::size_t>(data[1]) + 1;
  const std::string_view input(reinterpret_cast<const char*>(data + 2), size - 2);

  TMemoryChannel channel;
  for (std::size_t at = 0; at < input.size(); at += chunk)
    channel.PushInput(input.substr(at, chunk));
  TDBXJSonStreamReader reader(channel, bufferSize);
  reader.SetMetadataHandler([](const Text& json) {
    if (json.empty()) std::abort();  // only non-empty blocks are handed over
  });

  for (int i = 0; i < json_stream_fuzz::kMaxRequests && !channel.GetConnectionLost(); ++i) {
    try {
      json_stream_fuzz::HandleRequest(reader, input.size());
    } catch (const TDBXError&) {
      // The command level answers with an error reply and goes on with the next request.
    }
  }
}
