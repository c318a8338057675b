#pragma once

// Drives the parameter row the way the command level does with execute: load a data block,
// then read every ordinal as each data type, answering the server's continuation requests from
// the rest of the input. Malformed rows and answers must end in TDBXError only. Every value read
// is also written back by a second row and read again, which must give the same value.
// Shared by the libFuzzer target and the test that replays its corpus.
//
// Input layout: bytes 0-1 the row length (little-endian, cut to what follows), byte 2 the
// largest chunk a channel read delivers, then the row, then the client's continuation answers.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <variant>

#include "tests/support/memory_channel.h"
#include "tests/support/row_data_block.h"
#include "transport/dbx_error.h"
#include "transport/stream/json_stream_reader.h"
#include "transport/stream/json_stream_writer.h"
#include "transport/stream/row_buffer.h"

namespace row_buffer_fuzz {

constexpr int kMaxOrdinals = 12;
// Small enough to make inline values continue; read values up to this size are checked by a
// round trip.
constexpr int kWriterSize = 4096;
constexpr std::size_t kMaxRoundTripElements = 2048;

constexpr std::pair<int, int> kTypes[] = {
    {dtWideString, 0}, {dtAnsiString, 0}, {dtBinaryBlob, 0},    {dtJsonValue, 0},
    {dtInt32, 0},      {dtUInt8, 0},      {dtInt64, 0},         {dtBoolean, 0},
    {dtDouble, 0},     {dtSingle, 0},     {dtDouble, dtSingle}, {dtDate, 0},
    {dtTime, 0},       {dtTimeStamp, 0},  {dtBcd, 0},           {dtTable, 0},
};

inline std::size_t Elements(const TDBXValue& AValue) {
  if (const auto* text = std::get_if<Text>(&AValue)) return text->size();
  if (const auto* bytes = std::get_if<TDBXBytes>(&AValue)) return bytes->size();
  if (const auto* json = std::get_if<TDBXJsonText>(&AValue)) return json->Bytes.size();
  return 0;
}

inline void CheckRoundTrip(const TDBXValue& AValue, int AType, int ASubType) {
  if (Elements(AValue) > kMaxRoundTripElements) return;
  if (const auto* number = std::get_if<double>(&AValue); number != nullptr && std::isnan(*number))
    return;
  TMemoryChannel out;
  TDBXJSonStreamReader outReader(out);
  TDBXJSonStreamWriter outWriter(out);
  TDBXRowBuffer writer(outReader, outWriter, outWriter.CalcRowBufferSize());
  writer.Clear();
  writer.WriteValue(AValue, AType, ASubType);
  writer.WriteData();
  outWriter.Flush();

  TMemoryChannel in;
  in.PushInput(out.Written());
  TDBXJSonStreamReader reader(in);
  TDBXJSonStreamWriter inWriter(in);
  TDBXRowBuffer row(reader, inWriter, inWriter.CalcRowBufferSize());
  test_support::ReadRowDataBlock(reader, row);
  if (row.ReadValue(0, AType, ASubType) != AValue) std::abort();
}

}  // namespace row_buffer_fuzz

inline void DriveRowBuffer(const std::uint8_t* data, std::size_t size) {
  using namespace row_buffer_fuzz;
  if (size < 3) return;
  const std::size_t rowLength =
      std::min<std::size_t>(static_cast<std::size_t>(data[0] | (data[1] << 8)), size - 3);
  const std::size_t chunk = static_cast<std::size_t>(data[2]) + 1;
  const std::string_view row(reinterpret_cast<const char*>(data + 3), rowLength);
  const std::string_view answers(reinterpret_cast<const char*>(data + 3 + rowLength),
                                 size - 3 - rowLength);

  TMemoryChannel channel;
  channel.PushInput("{\"data\":[" + std::to_string(rowLength) + ",");
  for (std::size_t at = 0; at < row.size(); at += chunk) channel.PushInput(row.substr(at, chunk));
  channel.PushInput("]}");
  for (std::size_t at = 0; at < answers.size(); at += chunk)
    channel.PushInput(answers.substr(at, chunk));
  TDBXJSonStreamReader reader(channel, kWriterSize);
  TDBXJSonStreamWriter writer(channel, kWriterSize);
  TDBXRowBuffer rowBuffer(reader, writer, writer.CalcRowBufferSize());

  test_support::ReadRowDataBlock(reader, rowBuffer);

  for (int ordinal = 0; ordinal < kMaxOrdinals && !channel.GetConnectionLost(); ++ordinal) {
    for (const auto& [type, subType] : kTypes) {
      try {
        const TDBXValue value = rowBuffer.ReadValue(ordinal, type, subType);
        if (!IsNull(value)) CheckRoundTrip(value, type, subType);
      } catch (const TDBXError&) {
        // An error of the request; the command level answers it and goes on.
      }
    }
  }
}
