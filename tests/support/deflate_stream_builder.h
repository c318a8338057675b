#pragma once

// Hand-made zlib streams for the codec tests: one final deflate block with the codes and the
// symbols a test chooses, valid or not, so that a test reaches the corners no deflater makes
// (incomplete codes, reserved symbols, distances before the start).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace test_support {

// A literal/length symbol, and the distance symbol that follows it when it is a length. Extra
// bits, where a symbol has them, are written as zeros.
struct TDeflateSymbol {
  unsigned Symbol;
  std::optional<unsigned> Distance = std::nullopt;
};

struct TDynamicBlock {
  // Lengths of the code-length code, in symbol order (0 to 18): 0 to 15 get four-bit codes.
  std::vector<std::uint8_t> CodeLengthLengths = {4, 4, 4, 4, 4, 4, 4, 4, 4, 4,
                                                 4, 4, 4, 4, 4, 4, 0, 0, 0};
  std::vector<std::uint8_t> Literals;   // one length per literal/length symbol (HLIT of them)
  std::vector<std::uint8_t> Distances;  // one length per distance symbol (HDIST of them)
  std::vector<TDeflateSymbol> Symbols;  // the block's data, end of block included
};

// 78 01, AStoredBefore bytes 'p' in stored blocks, the block (dynamic, or with the fixed codes),
// and the Adler-32 of those bytes and AContent: what a decoder should make of the block when it
// is valid. The stored bytes make a stream as long as a test needs.
std::vector<std::uint8_t> ZLibStreamOf(const TDynamicBlock& ABlock, std::string_view AContent,
                                       std::size_t AStoredBefore = 0);
std::vector<std::uint8_t> ZLibStreamOfFixedBlock(const std::vector<TDeflateSymbol>& ASymbols,
                                                 std::string_view AContent,
                                                 std::size_t AStoredBefore = 0);

}  // namespace test_support
