#include "transport/filter/deflate_code_check.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>

namespace {

constexpr unsigned kMaxCodeBits = 15;
// Symbols of up to this many bits are found with one look-up; longer ones bit by bit.
constexpr unsigned kTableBits = 10;
constexpr std::uint16_t kLongCode = 0xFFFF;

constexpr unsigned kEndOfBlock = 256;
constexpr unsigned kLastLengthSymbol = 285;
constexpr unsigned kLastDistanceSymbol = 29;
constexpr unsigned kMaxLengthSymbols = 286;
constexpr unsigned kMaxDistanceSymbols = 30;

constexpr std::array<std::uint8_t, 29> kLengthExtraBits = {
    0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<std::uint8_t, 30> kDistanceExtraBits = {0, 0, 0,  0,  1,  1,  2,  2,  3,  3,
                                                             4, 4, 5,  5,  6,  6,  7,  7,  8,  8,
                                                             9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// Order of the code-length code's lengths in a dynamic block header.
constexpr std::array<std::uint8_t, 19> kCodeLengthOrder = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                           11, 4,  12, 3, 13, 2, 14, 1, 15};

enum class TAlphabet { kCodeLengths, kLiterals, kDistances };

// Bits a symbol's extra field takes after its code; 0 for reserved symbols, refused apart.
unsigned ExtraBits(TAlphabet AAlphabet, unsigned ASymbol) {
  if (AAlphabet == TAlphabet::kLiterals && ASymbol > kEndOfBlock && ASymbol <= kLastLengthSymbol)
    return kLengthExtraBits[ASymbol - kEndOfBlock - 1];
  if (AAlphabet == TAlphabet::kDistances && ASymbol <= kLastDistanceSymbol)
    return kDistanceExtraBits[ASymbol];
  return 0;
}

// Least significant bit first, as deflate packs everything but Huffman codes.
class TBitReader {
 public:
  explicit TBitReader(std::span<const std::uint8_t> AData)
      : FNext(AData.data()), FEnd(AData.data() + AData.size()) {}

  // Brings at least 56 bits into the buffer while input lasts.
  void Refill() {
    if (FEnd - FNext >= 8 && std::endian::native == std::endian::little) {
      std::uint64_t word;
      std::memcpy(&word, FNext, sizeof word);
      // Bits past FCount are the stream's own next bits; the next refill writes them again.
      FBuffer |= word << FCount;
      FNext += (63 - FCount) >> 3;
      FCount |= 56;
      return;
    }
    while (FCount <= 56 && FNext < FEnd) {
      FBuffer |= std::uint64_t{*FNext++} << FCount;
      FCount += 8;
    }
  }
  unsigned Count() const { return FCount; }
  std::uint32_t Peek(unsigned ABits) const {
    return static_cast<std::uint32_t>(FBuffer & ((std::uint64_t{1} << ABits) - 1));
  }
  void Drop(unsigned ABits) {
    FBuffer >>= ABits;
    FCount -= ABits;
  }
  // False when the stream ends first.
  bool Take(unsigned ABits, std::uint32_t& AValue) {
    if (FCount < ABits) Refill();
    if (FCount < ABits) return false;
    AValue = Peek(ABits);
    Drop(ABits);
    return true;
  }
  // A stored block: its lengths start at the next byte boundary and its bytes follow them.
  bool SkipStoredBlock() {
    Drop(FCount % 8);
    const std::uint8_t* at = FNext - FCount / 8;
    FBuffer = 0;
    FCount = 0;
    if (FEnd - at < 4) return false;
    const unsigned length = at[0] | (at[1] << 8);
    const unsigned complement = at[2] | (at[3] << 8);
    if (length != (~complement & 0xFFFF)) return false;
    at += 4;
    if (static_cast<std::size_t>(FEnd - at) < length) return false;
    FNext = at + length;
    return true;
  }

 private:
  const std::uint8_t* FNext;
  const std::uint8_t* FEnd;
  std::uint64_t FBuffer = 0;
  unsigned FCount = 0;
};

// A canonical Huffman code: a table for codes of up to kTableBits bits, and the symbols in code
// order with the count of each length for the longer ones.
class THuffmanCode {
 public:
  struct TEntry {
    std::uint16_t Symbol;   // kLongCode: a longer code starts with these bits
    std::uint8_t CodeBits;  // the code's length
    std::uint8_t AllBits;   // with the symbol's extra bits
  };

  // False unless the lengths make a complete code (no bit pattern left unused).
  bool Build(const std::uint8_t* ALengths, unsigned ACount, TAlphabet AAlphabet) {
    FCounts.fill(0);
    for (unsigned s = 0; s < ACount; ++s) ++FCounts[ALengths[s]];
    int left = 1;
    for (unsigned bits = 1; bits <= kMaxCodeBits; ++bits) {
      left = 2 * left - FCounts[bits];
      if (left < 0) return false;
    }
    if (left != 0) return false;

    FCounts[0] = 0;  // unused symbols take no code
    std::array<std::uint16_t, kMaxCodeBits + 2> offsets{};
    std::array<std::uint32_t, kMaxCodeBits + 1> next{};
    std::uint32_t code = 0;
    for (unsigned bits = 1; bits <= kMaxCodeBits; ++bits) {
      offsets[bits + 1] = static_cast<std::uint16_t>(offsets[bits] + FCounts[bits]);
      code = (code + FCounts[bits - 1]) << 1;
      next[bits] = code;
    }
    for (unsigned s = 0; s < ACount; ++s) {
      const unsigned bits = ALengths[s];
      if (bits == 0) continue;
      FSymbols[offsets[bits]++] = static_cast<std::uint16_t>(s);
      const std::uint32_t reversed = Reverse(next[bits]++, bits);
      if (bits > kTableBits) {
        FTable[reversed & ((1u << kTableBits) - 1)] = {kLongCode, 0, 0};
        continue;
      }
      const TEntry entry{static_cast<std::uint16_t>(s), static_cast<std::uint8_t>(bits),
                         static_cast<std::uint8_t>(bits + ExtraBits(AAlphabet, s))};
      for (std::uint32_t i = reversed; i < FTable.size(); i += 1u << bits) FTable[i] = entry;
    }
    FAlphabet = AAlphabet;
    return true;
  }

  // The next symbol's entry; AllBits may exceed what the reader holds when the stream is cut.
  TEntry Decode(const TBitReader& AReader) const {
    const TEntry entry = FTable[AReader.Peek(kTableBits)];
    return entry.Symbol == kLongCode ? DecodeLong(AReader) : entry;
  }

 private:
  static std::uint32_t Reverse(std::uint32_t ACode, unsigned ABits) {
    std::uint32_t reversed = 0;
    for (unsigned i = 0; i < ABits; ++i, ACode >>= 1) reversed = (reversed << 1) | (ACode & 1);
    return reversed;
  }

  // One bit at a time, as the code grows from its first bit.
  TEntry DecodeLong(const TBitReader& AReader) const {
    const std::uint32_t bits = AReader.Peek(kMaxCodeBits);
    std::uint32_t code = 0, first = 0, index = 0;
    for (unsigned length = 1; length <= kMaxCodeBits; ++length) {
      code |= (bits >> (length - 1)) & 1;
      const std::uint32_t count = FCounts[length];
      if (code - first < count) {
        const unsigned symbol = FSymbols[index + code - first];
        return {static_cast<std::uint16_t>(symbol), static_cast<std::uint8_t>(length),
                static_cast<std::uint8_t>(length + ExtraBits(FAlphabet, symbol))};
      }
      index += count;
      first = (first + count) << 1;
      code <<= 1;
    }
    return {kLongCode, 0, 0xFF};  // unreachable for a complete code
  }

  std::array<TEntry, 1u << kTableBits> FTable;
  std::array<std::uint16_t, kMaxCodeBits + 1> FCounts;
  std::array<std::uint16_t, 288> FSymbols;
  TAlphabet FAlphabet = TAlphabet::kLiterals;
};

// Takes the next symbol's bits; false when the stream ends within them.
bool TakeSymbol(TBitReader& AReader, const THuffmanCode& ACode, unsigned& ASymbol) {
  if (AReader.Count() < 32) AReader.Refill();
  const THuffmanCode::TEntry entry = ACode.Decode(AReader);
  if (entry.AllBits > AReader.Count()) return false;
  AReader.Drop(entry.AllBits);
  ASymbol = entry.Symbol;
  return true;
}

struct TBlockCodes {
  THuffmanCode Literals;
  THuffmanCode Distances;
};

// The codes of a dynamic block, read as zlib reads them; false for any code zlib would refuse
// and for those it takes incomplete.
bool ReadDynamicCodes(TBitReader& AReader, TBlockCodes& ACodes) {
  std::uint32_t literals, distances, codeLengths;
  if (!AReader.Take(5, literals) || !AReader.Take(5, distances) || !AReader.Take(4, codeLengths))
    return false;
  literals += 257;
  distances += 1;
  codeLengths += 4;
  if (literals > kMaxLengthSymbols || distances > kMaxDistanceSymbols) return false;

  std::array<std::uint8_t, 19> codeLengthLengths{};
  for (unsigned i = 0; i < codeLengths; ++i) {
    std::uint32_t length;
    if (!AReader.Take(3, length)) return false;
    codeLengthLengths[kCodeLengthOrder[i]] = static_cast<std::uint8_t>(length);
  }
  THuffmanCode lengthCode;
  if (!lengthCode.Build(codeLengthLengths.data(), 19, TAlphabet::kCodeLengths)) return false;

  std::array<std::uint8_t, kMaxLengthSymbols + kMaxDistanceSymbols> lengths{};
  const unsigned total = literals + distances;
  for (unsigned have = 0; have < total;) {
    unsigned symbol;
    if (!TakeSymbol(AReader, lengthCode, symbol)) return false;
    if (symbol < 16) {
      lengths[have++] = static_cast<std::uint8_t>(symbol);
      continue;
    }
    std::uint8_t repeated = 0;
    std::uint32_t count;
    if (symbol == 16) {
      if (have == 0 || !AReader.Take(2, count)) return false;
      repeated = lengths[have - 1];
      count += 3;
    } else if (symbol == 17) {
      if (!AReader.Take(3, count)) return false;
      count += 3;
    } else {
      if (!AReader.Take(7, count)) return false;
      count += 11;
    }
    if (have + count > total) return false;
    for (; count > 0; --count) lengths[have++] = repeated;
  }
  if (lengths[kEndOfBlock] == 0) return false;
  return ACodes.Literals.Build(lengths.data(), literals, TAlphabet::kLiterals) &&
         ACodes.Distances.Build(lengths.data() + literals, distances, TAlphabet::kDistances);
}

const TBlockCodes& FixedCodes() {
  static const TBlockCodes codes = [] {
    TBlockCodes made;
    std::array<std::uint8_t, 288> literals{};
    std::fill(literals.begin(), literals.begin() + 144, 8);
    std::fill(literals.begin() + 144, literals.begin() + 256, 9);
    std::fill(literals.begin() + 256, literals.begin() + 280, 7);
    std::fill(literals.begin() + 280, literals.end(), 8);
    std::array<std::uint8_t, 32> distances{};
    distances.fill(5);
    made.Literals.Build(literals.data(), 288, TAlphabet::kLiterals);
    made.Distances.Build(distances.data(), 32, TAlphabet::kDistances);
    return made;
  }();
  return codes;
}

// Skips a block's symbols up to its end; false for a reserved symbol or a cut stream.
bool SkipSymbols(TBitReader& AReader, const TBlockCodes& ACodes) {
  for (;;) {
    unsigned symbol;
    if (!TakeSymbol(AReader, ACodes.Literals, symbol)) return false;
    if (symbol < kEndOfBlock) continue;
    if (symbol == kEndOfBlock) return true;
    if (symbol > kLastLengthSymbol) return false;
    if (!TakeSymbol(AReader, ACodes.Distances, symbol) || symbol > kLastDistanceSymbol)
      return false;
  }
}

}  // namespace

bool DeflateCodesAreComplete(std::span<const std::uint8_t> ADeflate) {
  TBitReader reader(ADeflate);
  // One block's codes at a time, on the heap: a connection thread's stack stays small.
  const auto dynamic = std::make_unique_for_overwrite<TBlockCodes>();
  for (;;) {
    std::uint32_t last, type;
    if (!reader.Take(1, last) || !reader.Take(2, type)) return false;
    bool ended;
    switch (type) {
      case 0:
        ended = reader.SkipStoredBlock();
        break;
      case 1:
        ended = SkipSymbols(reader, FixedCodes());
        break;
      case 2:
        ended = ReadDynamicCodes(reader, *dynamic) && SkipSymbols(reader, *dynamic);
        break;
      default:
        return false;
    }
    if (!ended) return false;
    if (last) return true;
  }
}
