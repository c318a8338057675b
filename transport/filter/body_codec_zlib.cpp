// The compressed body made and read by zlib itself (see body_codec.h).

#include <algorithm>
#include <climits>

#include "transport/filter/body_codec.h"
#include "transport/filter/filter_format.h"
#include "transport/filter/inflate_output.h"
#include "transport/filter/zlib_stream.h"

namespace body_codec {

void ZLibDeflate(std::span<const std::uint8_t> AData, TBytes& AOut) {
  using namespace filter_format;
  if (AData.size() > UINT_MAX) ThrowZLib(Z_BUF_ERROR);  // a block never comes near this

  TZDeflateStream deflater(kZLibLevel, kZLibWindowBits, kZLibMemLevel, Z_DEFAULT_STRATEGY);
  z_stream* stream = deflater.get();
  const uLong bound = deflateBound(stream, static_cast<uLong>(AData.size()));
  const std::size_t start = AOut.size();
  AOut.resize(start + bound);
  // zlib does not write through next_in; the cast only meets its C signature.
  stream->next_in = const_cast<Bytef*>(AData.data());
  stream->avail_in = static_cast<uInt>(AData.size());
  stream->next_out = AOut.data() + start;
  stream->avail_out = static_cast<uInt>(bound);
  // deflateBound guarantees room for the whole stream, so one call finishes it.
  const int status = deflate(stream, Z_FINISH);
  if (status != Z_STREAM_END) ThrowZLib(status == Z_OK ? Z_BUF_ERROR : status);
  AOut.resize(start + stream->total_out);
}

TBytes ZLibInflate(std::span<const std::uint8_t> AStream,
                   const std::shared_ptr<TMemoryAccount>& AAccount) {
  TZInflateStream inflater(filter_format::kZLibWindowBits);
  z_stream* stream = inflater.get();
  std::size_t consumed = 0;
  TInflateOutput output(AStream.size(), AAccount);
  for (;;) {
    output.MakeRoom();
    if (stream->avail_in == 0 && consumed < AStream.size()) {
      const std::size_t chunk = std::min<std::size_t>(AStream.size() - consumed, UINT_MAX);
      stream->next_in = const_cast<Bytef*>(AStream.data() + consumed);
      stream->avail_in = static_cast<uInt>(chunk);
      consumed += chunk;
    }
    std::uint8_t* const next = output.Next();
    stream->next_out = next;
    stream->avail_out = static_cast<uInt>(std::min<std::size_t>(output.Room(), UINT_MAX));
    const int status = inflate(stream, Z_NO_FLUSH);
    output.Produced(static_cast<std::size_t>(stream->next_out - next));
    if (status == Z_STREAM_END) break;
    if (status != Z_OK && status != Z_BUF_ERROR) ThrowZLib(status);
    if (stream->avail_out == 0) continue;
    // Input used up before the stream's end: a cut stream yields what it inflated so far.
    if (stream->avail_in == 0 && consumed == AStream.size()) break;
    if (status == Z_BUF_ERROR) ThrowZLib(status);
  }
  return output.Take();
}

}  // namespace body_codec
