#include "transport/filter/compression_filter.h"

#include <climits>
#include <cstring>

#include "transport/dbx_error.h"
#include "transport/filter/body_codec.h"
#include "transport/filter/filter_messages.h"
#include "transport/filter/zlib_stream.h"

namespace {

[[noreturn]] void ThrowInvalidInteger(TextView AText) {
  using namespace filter_messages;
  throw TDBXError(kErrorCode, FormatMessage(kInvalidInteger, {AText}));
}

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
  TBytes result{kCompressedMarker};
  body_codec::Deflate(AData, result);
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
  return body_codec::Inflate(body, MemoryAccount());
}
