#include "tests/support/deflate_stream_builder.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <string>

namespace test_support {
namespace {

class TBitWriter {
 public:
  // Values least significant bit first, as deflate packs its fields.
  void Bits(std::uint32_t AValue, unsigned ACount) {
    for (unsigned i = 0; i < ACount; ++i) Bit((AValue >> i) & 1);
  }
  // Huffman codes most significant bit first.
  void Code(std::uint32_t ACode, unsigned ALength) {
    for (unsigned i = ALength; i-- > 0;) Bit((ACode >> i) & 1);
  }
  void AlignToByte() { FUsed = (FUsed + 7) / 8 * 8; }
  std::vector<std::uint8_t> Take() { return std::move(FBytes); }

 private:
  void Bit(unsigned ABit) {
    if (FUsed % 8 == 0) FBytes.push_back(0);
    FBytes.back() = static_cast<std::uint8_t>(FBytes.back() | (ABit << (FUsed % 8)));
    ++FUsed;
  }
  std::vector<std::uint8_t> FBytes;
  unsigned FUsed = 0;
};

// Canonical codes of the lengths, whether or not they make a valid code.
std::vector<std::uint32_t> CanonicalCodes(const std::vector<std::uint8_t>& ALengths) {
  std::array<std::uint32_t, 17> count{}, next{};
  for (const std::uint8_t length : ALengths) ++count[length];
  count[0] = 0;
  std::uint32_t code = 0;
  for (unsigned bits = 1; bits <= 16; ++bits) {
    code = (code + count[bits - 1]) << 1;
    next[bits] = code;
  }
  std::vector<std::uint32_t> codes(ALengths.size());
  for (std::size_t s = 0; s < ALengths.size(); ++s)
    if (ALengths[s] != 0) codes[s] = next[ALengths[s]]++;
  return codes;
}

constexpr unsigned kLengthExtra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                     2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr unsigned kDistanceExtra[] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                       6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

void WriteSymbols(TBitWriter& AOut, const std::vector<TDeflateSymbol>& ASymbols,
                  const std::vector<std::uint8_t>& ALiterals,
                  const std::vector<std::uint8_t>& ADistances) {
  const auto literalCodes = CanonicalCodes(ALiterals);
  const auto distanceCodes = CanonicalCodes(ADistances);
  for (const TDeflateSymbol& s : ASymbols) {
    AOut.Code(literalCodes[s.Symbol], ALiterals[s.Symbol]);
    if (s.Symbol > 256 && s.Symbol < 286) AOut.Bits(0, kLengthExtra[s.Symbol - 257]);
    if (!s.Distance) continue;
    AOut.Code(distanceCodes[*s.Distance], ADistances[*s.Distance]);
    if (*s.Distance < 30) AOut.Bits(0, kDistanceExtra[*s.Distance]);
  }
}

// Stored blocks of 'p', none of them final; they end on a byte boundary.
void WriteStored(TBitWriter& AOut, std::size_t ACount) {
  while (ACount > 0) {
    const std::size_t length = std::min<std::size_t>(ACount, 65535);
    AOut.Bits(0, 3);  // not final, stored
    AOut.AlignToByte();
    AOut.Bits(static_cast<std::uint32_t>(length), 16);
    AOut.Bits(static_cast<std::uint32_t>(~length & 0xFFFF), 16);
    for (std::size_t i = 0; i < length; ++i) AOut.Bits('p', 8);
    ACount -= length;
  }
}

std::vector<std::uint8_t> Wrapped(TBitWriter& AOut, std::string_view AContent,
                                  std::size_t AStoredBefore) {
  std::vector<std::uint8_t> stream = {0x78, 0x01};
  const std::vector<std::uint8_t> block = AOut.Take();
  stream.insert(stream.end(), block.begin(), block.end());
  const std::string content = std::string(AStoredBefore, 'p') + std::string(AContent);
  const uLong adler =
      adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(content.data()),
              static_cast<uInt>(content.size()));
  for (int shift = 24; shift >= 0; shift -= 8)
    stream.push_back(static_cast<std::uint8_t>(adler >> shift));
  return stream;
}

}  // namespace

std::vector<std::uint8_t> ZLibStreamOf(const TDynamicBlock& ABlock, std::string_view AContent,
                                       std::size_t AStoredBefore) {
  static constexpr unsigned kOrder[] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                        11, 4,  12, 3, 13, 2, 14, 1, 15};
  TBitWriter out;
  WriteStored(out, AStoredBefore);
  out.Bits(1, 1);  // final
  out.Bits(2, 2);  // dynamic
  out.Bits(static_cast<std::uint32_t>(ABlock.Literals.size() - 257), 5);
  out.Bits(static_cast<std::uint32_t>(ABlock.Distances.size() - 1), 5);
  out.Bits(19 - 4, 4);
  for (const unsigned symbol : kOrder) out.Bits(ABlock.CodeLengthLengths[symbol], 3);
  const auto lengthCodes = CanonicalCodes(ABlock.CodeLengthLengths);
  for (const auto* lengths : {&ABlock.Literals, &ABlock.Distances})
    for (const std::uint8_t length : *lengths)
      out.Code(lengthCodes[length], ABlock.CodeLengthLengths[length]);
  WriteSymbols(out, ABlock.Symbols, ABlock.Literals, ABlock.Distances);
  return Wrapped(out, AContent, AStoredBefore);
}

std::vector<std::uint8_t> ZLibStreamOfFixedBlock(const std::vector<TDeflateSymbol>& ASymbols,
                                                 std::string_view AContent,
                                                 std::size_t AStoredBefore) {
  std::vector<std::uint8_t> literals(288, 8), distances(32, 5);
  std::fill(literals.begin() + 144, literals.begin() + 256, 9);
  std::fill(literals.begin() + 256, literals.begin() + 280, 7);
  TBitWriter out;
  WriteStored(out, AStoredBefore);
  out.Bits(1, 1);  // final
  out.Bits(1, 2);  // fixed codes
  WriteSymbols(out, ASymbols, literals, distances);
  return Wrapped(out, AContent, AStoredBefore);
}

}  // namespace test_support
