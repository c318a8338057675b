#pragma once

// The compression filter's compressed body: a complete zlib stream (2-byte header, deflate data,
// Adler-32) of a block's bytes, and the bytes back from one. Deployed peers inflate any such
// stream, so the deflate data may come from any deflater; the header stays 78 01 (level 1),
// which is what peers reading its level flag have always seen.
//
// Deflate and Inflate use ISA-L's igzip where the build found it (ASSINADOR_ISAL), zlib
// elsewhere; FastCodecName says which. Inflate gives exactly what ZLibInflate gives, result or
// error: a stream ISA-L cannot vouch for (see deflate_code_check.h), and any stream under 64 KiB,
// is inflated by zlib.
// Inflation stops past filter_format::kMaxInflatedLength and charges AAccount (may be null)
// before each growth of its buffer, as TInflateOutput says. A stream cut short yields the bytes
// inflated so far.
// Raises TDBXError: zlib's message for undecodable data ("data error", "need dictionary"),
// kInflatedTooLong past the limit; TMemoryBudgetExceeded when the account refuses a growth.
// Free functions without state: any thread may call them.

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "transport/filter/transport_filter.h"

namespace body_codec {

// Appends the zlib stream of AData to AOut.
void Deflate(std::span<const std::uint8_t> AData, TBytes& AOut);
TBytes Inflate(std::span<const std::uint8_t> AStream,
               const std::shared_ptr<TMemoryAccount>& AAccount);
std::string_view FastCodecName();

// zlib itself, level 1: what Deflate and Inflate are held to, and Inflate's fallback.
void ZLibDeflate(std::span<const std::uint8_t> AData, TBytes& AOut);
TBytes ZLibInflate(std::span<const std::uint8_t> AStream,
                   const std::shared_ptr<TMemoryAccount>& AAccount);

}  // namespace body_codec
