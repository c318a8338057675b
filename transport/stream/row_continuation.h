#pragma once

// The rest of a text or byte value that did not fit in its parameter row. The client fetches it
// piece by piece with more_blob; each answer is one data block that the message writer fills
// straight from the stream (TDBXJSonStreamWriter::WriteDataObject(TDBXByteStream&)).
//
// The row buffer hands the streams of the row it wrote to the command (TakeContinuations);
// the command keeps them until it is executed again, re-prepared or closed. Used by the
// connection's thread only.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "transport/stream/byte_stream.h"
#include "transport/stream/memory_budget.h"

class TDBXBlobStream : public TDBXByteStream {
 public:
  // Serves ABytes[AStart, ASize); the bytes before AStart went into the row.
  // ACharge: the bytes' charge to the connection's memory budget, held as long as they are.
  TDBXBlobStream(std::unique_ptr<std::uint8_t[]> ABytes, std::size_t ASize, std::size_t AStart,
                 TMemoryReservation ACharge = {})
      : FBytes(std::move(ABytes)), FSize(ASize), FPosition(AStart), FCharge(std::move(ACharge)) {}

  int Read(std::span<std::uint8_t> Buffer, int Offset, int Count) override;
  bool Eos() const override { return FPosition >= FSize; }
  std::size_t Remaining() const { return FSize - FPosition; }

 private:
  std::unique_ptr<std::uint8_t[]> FBytes;
  std::size_t FSize;
  std::size_t FPosition;
  TMemoryReservation FCharge;
};

// The continuation streams of the values of one or more written rows, by row handle (0 for the
// parameter row of a server method, a table reader's handle otherwise) and ordinal. A later
// value at the same place replaces the earlier one: a table reader serves its current row.
class TDBXContinuations {
 public:
  void Add(int ARowHandle, int AOrdinal, std::unique_ptr<TDBXBlobStream> AStream);
  // The stream of the value at that place, or nullptr when the value fitted in its row.
  TDBXBlobStream* Find(int ARowHandle, int AOrdinal) const;
  bool Empty() const { return FItems.empty(); }
  void Clear() { FItems.clear(); }

 private:
  struct TItem {
    int RowHandle;
    int Ordinal;
    std::unique_ptr<TDBXBlobStream> Stream;
  };
  std::vector<TItem> FItems;  // few: one per long value of a reply
};
