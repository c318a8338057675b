#pragma once

// The text form of the parameter row: each UTF-16 unit below 255 is one byte; at the first unit
// of 255 or more the byte 0xFF is written, and from then on every unit is two bytes, high byte
// first. Pure ISO 8859-1 text (but for U+00FF) thus costs one byte per character.
//
// Stateless encoder; the decoder keeps the state of a text that arrives in parts. Both are
// plain objects of the connection's row buffer, used by its thread only.

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
};

class TDBXCharDecoder {
 public:
  // One whole text. Raises TDBXError when two-byte units end with a stray byte.
  static Text Decode(std::span<const std::uint8_t> ABytes);

  // A text in parts: the switch to two-byte units and a unit split between two parts carry
  // over from one Append to the next. Finish raises TDBXError when a stray byte is left.
  void Reset() {
    FWide = false;
    FPendingHigh = -1;
  }
  void Append(std::span<const std::uint8_t> APart, Text& AOut);
  void Finish() const;

 private:
  bool FWide = false;
  int FPendingHigh = -1;  // first byte of a unit whose second byte is still to come
};
