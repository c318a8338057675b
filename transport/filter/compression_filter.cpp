#include "transport/filter/compression_filter.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "transport/dbx_error.h"
#include "transport/filter/filter_messages.h"
#include "transport/filter/zlib_stream.h"
#include "transport/stream/memory_budget.h"

namespace {

[[noreturn]] void ThrowInvalidInteger(TextView AText) {
  using namespace filter_messages;
  throw TDBXError(kErrorCode, FormatMessage(kInvalidInteger, {AText}));
}

[[noreturn]] void ThrowInflatedTooLong() {
  using namespace filter_messages;
  throw TDBXError(
      kErrorCode,
      FormatMessage(kInflatedTooLong,
                    {text::FromAscii(std::to_string(filter_format::kMaxInflatedLength))}));
}

// First guess for the inflated size; grows by doubling from there.
constexpr std::size_t kInitialInflateSize = 16 * 1024;

}  // namespace

std::int32_t StrToInt(TextView AText) {
  std::size_t i = 0;
  bool negative = false;
  if (i < AText.size() && (AText[i] == u'+' || AText[i] == u'-')) negative = AText[i++] == u'-';
  int base = 10;
  if (i < AText.size() && AText[i] == u'$') {
    base = 16;
    ++i;
  } else if (i + 1 < AText.size() && AText[i] == u'0' &&
             (AText[i + 1] == u'x' || AText[i + 1] == u'X')) {
    base = 16;
    i += 2;
  }
  if (i == AText.size()) ThrowInvalidInteger(AText);
  std::int64_t value = 0;
  for (; i < AText.size(); ++i) {
    const char16_t c = AText[i];
    int digit;
    if (c >= u'0' && c <= u'9') {
      digit = c - u'0';
    } else if (base == 16 && c >= u'a' && c <= u'f') {
      digit = c - u'a' + 10;
    } else if (base == 16 && c >= u'A' && c <= u'F') {
      digit = c - u'A' + 10;
    } else {
      ThrowInvalidInteger(AText);
    }
    value = value * base + digit;
    if (value > std::int64_t{INT32_MAX} + 1) ThrowInvalidInteger(AText);
  }
  if (negative) value = -value;
  if (value > INT32_MAX) ThrowInvalidInteger(AText);
  return static_cast<std::int32_t>(value);
}

Text TTransportCompressionFilter::Id() const { return Text(kId); }

Text TTransportCompressionFilter::GetParameterValue(const Text& AParamName) const {
  if (text::SameTextAscii(AParamName, kFilterUnit)) return Text(kFilterUnitValue);
  if (text::SameTextAscii(AParamName, kCompressMoreThan))
    return text::FromAscii(std::to_string(FMinThreshold));
  return {};
}

bool TTransportCompressionFilter::SetParameterValue(const Text& AParamName,
                                                    const Text& AParamValue) {
  // The unit is fixed: a peer naming another one could not read our bodies.
  if (text::SameTextAscii(AParamName, kFilterUnit))
    return text::SameTextAscii(AParamValue, kFilterUnitValue);
  if (text::SameTextAscii(AParamName, kCompressMoreThan)) {
    FMinThreshold = StrToInt(AParamValue);
    return true;
  }
  return false;
}

bool TTransportCompressionFilter::SetConfederateParameter(const Text& AParamName,
                                                          const Text& AParamValue) {
  return SetParameterValue(AParamName, AParamValue);
}

std::vector<Text> TTransportCompressionFilter::GetParameters() const {
  return {Text(kFilterUnit), Text(kCompressMoreThan)};
}

std::vector<Text> TTransportCompressionFilter::GetUserParameters() const {
  return {Text(kCompressMoreThan)};
}

TBytes TTransportCompressionFilter::ProcessInput(std::span<const std::uint8_t> AData) {
  using namespace filter_format;
  // Strictly longer: a body of exactly the threshold goes out plain, as deployed peers expect.
  if (static_cast<std::int64_t>(AData.size()) <= FMinThreshold) {
    TBytes result(AData.size() + 1);
    result[0] = kPlainMarker;
    if (!AData.empty()) std::memcpy(result.data() + 1, AData.data(), AData.size());
    return result;
  }
  if (AData.size() > UINT_MAX) ThrowZLib(Z_BUF_ERROR);  // a block never comes near this

  TZDeflateStream deflater(kZLibLevel, kZLibWindowBits, kZLibMemLevel, Z_DEFAULT_STRATEGY);
  z_stream* stream = deflater.get();
  const uLong bound = deflateBound(stream, static_cast<uLong>(AData.size()));
  TBytes result(1 + bound);
  result[0] = kCompressedMarker;
  // zlib does not write through next_in; the cast only meets its C signature.
  stream->next_in = const_cast<Bytef*>(AData.data());
  stream->avail_in = static_cast<uInt>(AData.size());
  stream->next_out = result.data() + 1;
  stream->avail_out = static_cast<uInt>(bound);
  // deflateBound guarantees room for the whole stream, so one call finishes it.
  const int status = deflate(stream, Z_FINISH);
  if (status != Z_STREAM_END) ThrowZLib(status == Z_OK ? Z_BUF_ERROR : status);
  result.resize(1 + stream->total_out);
  return result;
}

TBytes TTransportCompressionFilter::ProcessOutput(std::span<const std::uint8_t> AData) {
  using namespace filter_format;
  using namespace filter_messages;
  // Our peers always send a marker; an empty body is damage or an attack, never data.
  if (AData.empty()) throw TDBXError(kErrorCode, Text(kEmptyBody));
  const std::span<const std::uint8_t> body = AData.subspan(1);
  // Any marker but 1 means plain bytes.
  if (AData[0] != kCompressedMarker) return TBytes(body.begin(), body.end());

  TZInflateStream inflater(kZLibWindowBits);
  z_stream* stream = inflater.get();
  std::size_t consumed = 0;
  // Charged before each growth, so a bomb stops where the budget says, not once inflated; the
  // channel charges the finished block again while it holds it.
  TMemoryReservation charged;
  if (MemoryAccount()) charged = TMemoryReservation(MemoryAccount());
  const std::size_t first =
      std::min(kMaxInflatedLength + 1, std::max(kInitialInflateSize, body.size() * 8));
  charged.Resize(first);
  TBytes result(first);
  std::size_t produced = 0;
  for (;;) {
    if (produced == result.size()) {
      // The buffer never grows past one byte over the limit: filling it proves a bomb.
      if (result.size() > kMaxInflatedLength) ThrowInflatedTooLong();
      const std::size_t grown = std::min(kMaxInflatedLength + 1, result.size() * 2);
      // While growing, the old buffer and the new one are held at once.
      charged.Resize(result.capacity() + grown);
      result.resize(grown);
      charged.Resize(result.capacity());
    }
    if (stream->avail_in == 0 && consumed < body.size()) {
      const std::size_t chunk = std::min<std::size_t>(body.size() - consumed, UINT_MAX);
      stream->next_in = const_cast<Bytef*>(body.data() + consumed);
      stream->avail_in = static_cast<uInt>(chunk);
      consumed += chunk;
    }
    stream->next_out = result.data() + produced;
    stream->avail_out =
        static_cast<uInt>(std::min<std::size_t>(result.size() - produced, UINT_MAX));
    const int status = inflate(stream, Z_NO_FLUSH);
    produced = static_cast<std::size_t>(stream->next_out - result.data());
    if (status == Z_STREAM_END) break;
    if (status != Z_OK && status != Z_BUF_ERROR) ThrowZLib(status);
    if (stream->avail_out == 0) continue;
    // Input used up before the stream's end: a cut stream yields what it inflated so far.
    if (stream->avail_in == 0 && consumed == body.size()) break;
    if (status == Z_BUF_ERROR) ThrowZLib(status);
  }
  if (produced > kMaxInflatedLength) ThrowInflatedTooLong();
  result.resize(produced);
  return result;
}
