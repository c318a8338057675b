#pragma once

// Whether every Huffman code of a raw deflate stream is complete: walks its blocks from the
// first to the final one, reading each dynamic block's codes and skipping its symbols without
// making a byte of output.
//
// Why: zlib refuses a code that leaves bit patterns unused ("invalid literal/lengths set"),
// while ISA-L's inflater takes any code that is not over-subscribed. A stream whose codes are
// all complete is decoded symbol for symbol alike by both, so only then may ISA-L's result stand
// for zlib's. Deliberately stricter than zlib: also false for the incomplete codes zlib takes (a
// single one-bit code, an empty distance code), for a reserved symbol and for a stream that ends
// before its final block; the caller leaves those streams to zlib.
//
// Reads only within ADeflate and never throws; the time it takes grows with ADeflate's length,
// not with what the stream inflates to.

#include <cstdint>
#include <span>

bool DeflateCodesAreComplete(std::span<const std::uint8_t> ADeflate);
