#pragma once

// The text form of the parameter row: each UTF-16 unit below 255 is one byte; at the first unit
// of 255 or more the byte 0xFF is written, and from then on every unit is two bytes, high byte
// first. Pure ISO 8859-1 text (but for U+00FF) thus costs one byte per character.
//
// Both are stateless; any thread may call them.

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/text.h"

class TDBXStringEncoder {
 public:
  // Length of the encoding of AText. AFirstWide receives the index of the first unit that
  // needs two bytes (AText.size() when none does); Encode takes it back.
  static std::size_t EncodedLength(TextView AText, std::size_t& AFirstWide);
  // Writes exactly EncodedLength(AText) bytes to ADest.
  static void Encode(TextView AText, std::size_t AFirstWide, std::uint8_t* ADest);

  // The same in two steps, for a writer that encodes before it knows the length: the units
  // before the first wide one, one byte each (returns their count, the first wide unit's
  // index); then, from that index, 0xFF and two bytes per unit (nothing when there is none).
  static std::size_t EncodeNarrowPrefix(TextView AText, std::uint8_t* ADest);
  static void EncodeWideRest(TextView AText, std::size_t AFirstWide, std::uint8_t* ADest);
};

class TDBXCharDecoder {
 public:
  // One whole text (a text that arrived in parts is decoded once they are joined). Raises
  // TDBXError when the two-byte units end with a stray byte.
  static Text Decode(std::span<const std::uint8_t> ABytes);
};

// A text with wide units is decoded through a buffer of this many units.
inline constexpr std::size_t kDecodeChunkUnits = 1024;
