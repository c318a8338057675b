// The compressed body made and read by ISA-L's igzip where the build has it (ASSINADOR_ISAL),
// by zlib elsewhere (see body_codec.h).

#include <climits>
#include <memory>

#include "transport/filter/body_codec.h"

#if ASSINADOR_ISAL
#include <isa-l/igzip_lib.h>

#include <optional>

#include "transport/filter/deflate_code_check.h"
#include "transport/filter/filter_format.h"
#include "transport/filter/inflate_output.h"
#endif

namespace body_codec {

#if ASSINADOR_ISAL

namespace {

// Streams shorter than this are inflated by zlib alone: for them ISA-L's set-up and the walk of
// the codes cost more than they save (compression_bench: 0.6 of zlib's rate at 8 KiB, 1.2 times
// it at 2 MiB).
constexpr std::size_t kIsalInflateFrom = 64 * 1024;

// CMF 78: deflate with a 32 KiB window; FLG 01: fastest level, check bits, no dictionary.
constexpr std::uint8_t kZLibHeader[] = {0x78, 0x01};

// Whether zlib's inflate takes this header (inflateInit2 with 15 window bits): the check bits,
// deflate, a window of at most 32 KiB and no preset dictionary. Any other goes to zlib, whose
// message for it stays.
bool ZLibTakesHeader(std::span<const std::uint8_t> AStream) {
  if (AStream.size() < 2) return false;
  const unsigned cmf = AStream[0], flg = AStream[1];
  return ((cmf << 8) | flg) % 31 == 0 && (cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && (flg & 0x20) == 0;
}

// The bytes of a whole stream, or nothing when ISA-L stops short of its end for any reason (an
// error, a cut stream, a wrong Adler-32): zlib then says what it says of that stream.
std::optional<TBytes> IsalInflate(std::span<const std::uint8_t> ADeflate,
                                  const std::shared_ptr<TMemoryAccount>& AAccount) {
  if (ADeflate.size() > UINT32_MAX) return std::nullopt;
  // Nearly 90 KiB of state: on the heap, and left for isal_inflate_init to set up.
  const auto state = std::make_unique_for_overwrite<inflate_state>();
  isal_inflate_init(state.get());
  // The header is read above; ISA-L checks the Adler-32 trailer after the deflate data.
  state->crc_flag = ISAL_ZLIB_NO_HDR_VER;
  // ISA-L does not write through next_in; the cast only meets its C signature.
  state->next_in = const_cast<std::uint8_t*>(ADeflate.data());
  state->avail_in = static_cast<std::uint32_t>(ADeflate.size());
  TInflateOutput output(ADeflate.size() + 2, AAccount);
  for (;;) {
    output.MakeRoom();
    std::uint8_t* const next = output.Next();
    state->next_out = next;
    state->avail_out = static_cast<std::uint32_t>(std::min<std::size_t>(output.Room(), UINT32_MAX));
    const int status = isal_inflate(state.get());
    output.Produced(static_cast<std::size_t>(state->next_out - next));
    if (status != ISAL_DECOMP_OK) return std::nullopt;
    if (state->block_state == ISAL_BLOCK_FINISH) return output.Take();
    if (state->avail_out != 0) return std::nullopt;  // input used up first: a cut stream
  }
}

}  // namespace

void Deflate(std::span<const std::uint8_t> AData, TBytes& AOut) {
  if (AData.size() > UINT32_MAX) return ZLibDeflate(AData, AOut);
  const std::size_t start = AOut.size();
  // Incompressible input goes out in stored blocks of at most 64 KiB, five bytes of overhead
  // each; the rest of the margin covers the wrapper and the final block.
  const std::size_t bound = AData.size() + 5 * (AData.size() / 16384 + 1) + 64;
  AOut.resize(start + sizeof kZLibHeader + bound);
  AOut[start] = kZLibHeader[0];
  AOut[start + 1] = kZLibHeader[1];
  // Over 80 KiB of state: on the heap, and left for isal_deflate_stateless_init to set up.
  const auto stream = std::make_unique_for_overwrite<isal_zstream>();
  isal_deflate_stateless_init(stream.get());
  // Level 1 one-shot needs no level buffer; the Adler-32 trailer follows the deflate data.
  stream->level = 1;
  stream->level_buf = nullptr;
  stream->level_buf_size = 0;
  stream->gzip_flag = IGZIP_ZLIB_NO_HDR;
  stream->end_of_stream = 1;
  stream->flush = NO_FLUSH;
  stream->next_in = const_cast<std::uint8_t*>(AData.data());
  stream->avail_in = static_cast<std::uint32_t>(AData.size());
  stream->next_out = AOut.data() + start + sizeof kZLibHeader;
  stream->avail_out = static_cast<std::uint32_t>(bound);
  if (isal_deflate_stateless(stream.get()) != COMP_OK) {
    // Not expected with that margin; zlib's stream is as good a body.
    AOut.resize(start);
    return ZLibDeflate(AData, AOut);
  }
  AOut.resize(start + sizeof kZLibHeader + stream->total_out);
}

TBytes Inflate(std::span<const std::uint8_t> AStream,
               const std::shared_ptr<TMemoryAccount>& AAccount) {
  // Damaged, cut or unusual streams are rare: zlib reads them, from the start, with its texts.
  if (AStream.size() >= kIsalInflateFrom && ZLibTakesHeader(AStream) &&
      DeflateCodesAreComplete(AStream.subspan(2))) {
    if (std::optional<TBytes> inflated = IsalInflate(AStream.subspan(2), AAccount))
      return std::move(*inflated);
  }
  return ZLibInflate(AStream, AAccount);
}

std::string_view FastCodecName() { return "ISA-L igzip"; }

#else

void Deflate(std::span<const std::uint8_t> AData, TBytes& AOut) { ZLibDeflate(AData, AOut); }

TBytes Inflate(std::span<const std::uint8_t> AStream,
               const std::shared_ptr<TMemoryAccount>& AAccount) {
  return ZLibInflate(AStream, AAccount);
}

std::string_view FastCodecName() { return "zlib"; }

#endif

}  // namespace body_codec
