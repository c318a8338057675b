#pragma once

// Reads a {"data":[N,<N raw bytes>]} block into a parameter row, as the command level does
// with the data item of execute. Shared by the row's tests, its fuzz driver and its benchmark.

#include "transport/stream/json_stream_reader.h"
#include "transport/stream/row_buffer.h"

namespace test_support {

inline void ReadRowDataBlock(TDBXJSonStreamReader& AReader, TDBXRowBuffer& ARow) {
  AReader.Next(jtObjectStart);
  AReader.ReadStringCode();
  AReader.Next(jtNameSeparator);
  AReader.Next(jtArrayStart);
  const int count = AReader.ReadInt();
  AReader.NextValueSeparator();
  ARow.LoadData(count);
  AReader.Next(jtArrayEnd);
  AReader.Next(jtObjectEnd);
}

}  // namespace test_support
