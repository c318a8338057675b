#pragma once

// The "ZLibCompression" transport filter. Every body it encodes starts with a marker byte:
// kCompressedMarker and a complete zlib stream (header 78 01, made by body_codec.h) when the
// body is longer than the threshold "CompressMoreThan", kPlainMarker and the bytes unchanged
// otherwise. Each block is encoded by itself; nothing is kept between blocks. One instance per
// connection.
// Raises TDBXError: zlib's message for undecodable data, kEmptyBody for a body without a
// marker, kInflatedTooLong past kMaxInflatedLength, kInvalidInteger for a bad threshold.

#include <cstdint>

#include "transport/filter/filter_format.h"
#include "transport/filter/transport_filter.h"
#include "transport/protocol_names.h"

class TTransportCompressionFilter : public TTransportFilter {
 public:
  static constexpr TextView kId = protocol_names::kCompressionFilter;
  static constexpr TextView kFilterUnit = u"FilterUnit";
  static constexpr TextView kFilterUnitValue = u"DbxCompressionFilter";
  static constexpr TextView kCompressMoreThan = u"CompressMoreThan";

  Text Id() const override;
  Text GetParameterValue(const Text& AParamName) const override;
  bool SetParameterValue(const Text& AParamName, const Text& AParamValue) override;
  bool SetConfederateParameter(const Text& AParamName, const Text& AParamValue) override;
  TBytes ProcessInput(std::span<const std::uint8_t> AData) override;
  TBytes ProcessOutput(std::span<const std::uint8_t> AData) override;
  std::vector<Text> GetParameters() const override;
  std::vector<Text> GetUserParameters() const override;

  std::int32_t GetMinThreshold() const { return FMinThreshold; }

 private:
  std::int32_t FMinThreshold = filter_format::kDefaultCompressMoreThan;
};

// A signed 32-bit integer: decimal with an optional sign, or hexadecimal after "$" or "0x".
// Raises TDBXError "'%s' is not a valid integer value" for anything else or out of range.
std::int32_t StrToInt(TextView AText);
