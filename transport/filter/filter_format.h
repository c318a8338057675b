#pragma once

// Block layout: [kind:1][length:4, big-endian, signed][body:length]; body = [marker:1][payload].
// Negotiation opens with five kNegotiationRequest bytes; a server without filters answers
// kNoFilters followed by four zero bytes, and the connection continues unframed.

#include <cstddef>
#include <cstdint>

namespace filter_format {

inline constexpr int kHeaderSize = 5;

// Header kinds.
inline constexpr std::uint8_t kNegotiationRequest = 0x05;  // all five header bytes
inline constexpr std::uint8_t kNoFilters = 0x06;           // followed by four zero bytes
inline constexpr std::uint8_t kPublicKeyBlock = 0x07;      // public-key filter list
inline constexpr std::uint8_t kDataBlock = 0x0D;           // filter list, then data

// Longest block body a peer may announce. Our own blocks are one writer buffer (at most
// 1000 KiB plus the filter overhead); anything far beyond that is hostile and ends the
// connection before a byte of it is stored.
inline constexpr std::int32_t kMaxBlockLength = 16 * 1024 * 1024;

// Most filters one connection may hold. A peer's list could otherwise name the compression
// filter in thousands of letter-case variants, each a filter of its own that every block then
// passes through; real lists name one or two.
inline constexpr int kMaxFilters = 16;

// Compression filter body markers and its default threshold (bodies longer are compressed).
inline constexpr std::uint8_t kCompressedMarker = 1;
inline constexpr std::uint8_t kPlainMarker = 2;
inline constexpr std::int32_t kDefaultCompressMoreThan = 1024;

// Most bytes one compressed body may inflate to; a zlib bomb stops here with an error. Eight
// times the largest body a writer of the protocol makes (one 1000 KiB buffer): any more only
// lets a few small blocks make the server hold the clients' whole memory budget.
inline constexpr std::size_t kMaxInflatedLength = 8 * 1024 * 1024;

// zlib parameters of the compressed body: fastest level, zlib header and Adler-32 trailer.
inline constexpr int kZLibLevel = 1;
inline constexpr int kZLibWindowBits = 15;
inline constexpr int kZLibMemLevel = 8;

}  // namespace filter_format
