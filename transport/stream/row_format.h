#pragma once

// Parameter row layout: fields back to back in ordinal order, no separators, no row header.
// Field = [header:1][...]: 0x80 set null; 0x02 callback marker; 0x20+n short form (n bytes);
// 0x10 long form [length:2 BE][bytes], 0x50 when more follows through more_blob; 0x40 JSON
// block [size:4 BE][bytes]; 0x08-0x0F blob with a known size; 0x00 zero-terminated content.
// Texts: one byte per UTF-16 unit below 255; from the first other unit on, 0xFF and then every
// unit as two bytes, high byte first.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace row_format {

// Header bits and values.
inline constexpr std::uint8_t kNullBit = 0x80;
inline constexpr std::uint8_t kNull = 0xC0;  // as written
inline constexpr std::uint8_t kCallback = 0x02;
inline constexpr std::uint8_t kShortForm = 0x20;
inline constexpr std::uint8_t kShortLengthMask = 0x1F;
inline constexpr std::uint8_t kLongForm = 0x10;
// On a number: not negative; on a Boolean: true; on a long form: more content follows.
inline constexpr std::uint8_t kPositiveBit = 0x40;
inline constexpr std::uint8_t kMoreFollowsBit = 0x40;
inline constexpr std::uint8_t kContinuedLongForm = kLongForm | kMoreFollowsBit;
inline constexpr std::uint8_t kJsonBlock = 0x40;
inline constexpr std::uint8_t kBlobBit = 0x08;
inline constexpr std::uint8_t kBlobExact = 0x08;  // header and size only, no inline part
inline constexpr std::uint8_t kZeroTerminated = 0x00;

inline constexpr int kMaxShortLength = 31;
inline constexpr int kLongHeaderSize = 3;
inline constexpr int kJsonHeaderSize = 5;
inline constexpr int kBlobHeaderSize = 5;        // header and 32-bit size
inline constexpr int kBlobInlineHeaderSize = 6;  // plus the count of inline bytes
inline constexpr std::uint32_t kMaxLongLength = 65535;

// Text encoding: the byte that switches the rest of a text to UTF-16 big-endian, which is also
// the first code unit that does not fit one byte.
inline constexpr std::uint8_t kWideSwitch = 0xFF;
inline constexpr char16_t kFirstWideUnit = 0xFF;

// Inline budget of a text or byte value while the row is short of its minimum size; the row
// grows by the budget plus the largest header and some slack before each such value.
inline constexpr int kMaxInline = 1024;
inline constexpr int kValueGrowth = kMaxInline + 14;
// With this much left before the minimum size, a value may take what the buffer has left.
inline constexpr int kRoomForBudget = kMaxInline + 3;

// A time stamp carries whole seconds (in milliseconds) and, when not zero, the milliseconds
// part times this factor in four bytes.
inline constexpr std::int64_t kFractionFactor = 1000000;

// The parameter row of a server method has row handle 0 and is row 0 of its buffer.
inline constexpr int kParameterRowHandle = 0;
// The server's own continuation requests name no command.
inline constexpr int kServerCommandHandle = -1;

// Largest parameter row a client may send in one data block. Rows are allocated as their bytes
// arrive, so a huge count announced by a few bytes costs nothing before it is refused.
inline constexpr int kMaxRowBytes = 64 * 1024 * 1024;
// Pieces in which a row and the parts of a continued value are taken from the stream.
inline constexpr int kReadPieceSize = 64 * 1024;
// Largest value, in encoded bytes, assembled from continuation parts: the same order as the
// inflate cap, far above any document this service signs.
inline constexpr std::int64_t kMaxContinuedValueBytes = 64 * 1024 * 1024;

// Errors of a malformed row or a failed continuation: an error of the request, the connection
// goes on.
inline constexpr int kRowErrorCode = 0;
inline constexpr std::string_view kUnexpectedHeader = "Unexpected header";
inline constexpr std::string_view kInvalidJsonHeader = "Invalid JSON header byte encountered";
inline constexpr std::string_view kUnexpectedGrowth = "Unexpected growth";
inline constexpr std::string_view kIncompleteWideChar =
    "Incomplete UTF-16 character at the end of a text";
// Message stems; the details (field, byte, count) follow.
inline constexpr std::string_view kRowSizeOutOfRange = "Parameter row size out of range: ";
inline constexpr std::string_view kNoSuchField = "Parameter row has no field ";
inline constexpr std::string_view kFieldPastEnd =
    "Parameter row field runs past the end of the row: ";
inline constexpr std::string_view kNoSkipRule = "Unexpected header in parameter row field ";
inline constexpr std::string_view kBadFieldLength = "Invalid length in parameter row field ";
inline constexpr std::string_view kValueOutOfRange = "Value out of range in parameter row field ";
inline constexpr std::string_view kUnsupportedDataType =
    "Data type not supported in a parameter row: ";
inline constexpr std::string_view kValueTypeMismatch = "Value does not match the data type ";
inline constexpr std::string_view kAlreadyFetched =
    "Continued value already fetched for parameter row field ";
inline constexpr std::string_view kNoDataBlockAnswer =
    "Expected a data block in answer to more_blob";

}  // namespace row_format
