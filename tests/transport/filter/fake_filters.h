#pragma once

// Filters for tests: byte-flipping filters whose effect on the wire is easy to predict, an
// identity filter under two names, and a scoped registration with the process-wide factory.

#include <string>

#include "transport/filter/transport_filter.h"

namespace fake_filters {

template <std::uint8_t Mask, bool PublicKey>
class TXorFilter : public TTransportFilter {
 public:
  explicit TXorFilter(Text AId) : FId(std::move(AId)) {}
  Text Id() const override { return FId; }
  TBytes ProcessInput(std::span<const std::uint8_t> AData) override { return Flip(AData); }
  TBytes ProcessOutput(std::span<const std::uint8_t> AData) override { return Flip(AData); }
  bool GetPublicKeyCryptograph() const override { return PublicKey; }
  std::vector<Text> GetParameters() const override { return {u"Key"}; }
  std::vector<Text> GetUserParameters() const override { return {u"Key"}; }
  Text GetParameterValue(const Text& AName) const override {
    return AName == u"Key" ? FKey : Text();
  }
  bool SetParameterValue(const Text& AName, const Text& AValue) override {
    if (AName != u"Key") return false;
    FKey = AValue;
    return true;
  }
  bool SetConfederateParameter(const Text& AName, const Text& AValue) override {
    return SetParameterValue(AName, AValue);
  }

 private:
  static TBytes Flip(std::span<const std::uint8_t> AData) {
    TBytes out(AData.begin(), AData.end());
    for (auto& b : out) b ^= Mask;
    return out;
  }
  Text FId;
  Text FKey;
};

// An ordinary filter "TestXor" and a public-key filter "TestKey".
inline TTransportFilterPtr CreateXor() {
  return std::make_unique<TXorFilter<0x5A, false>>(u"TestXor");
}
inline TTransportFilterPtr CreateKey() {
  return std::make_unique<TXorFilter<0x33, true>>(u"TestKey");
}
inline TTransportFilterPtr CreateA() { return std::make_unique<TXorFilter<0, false>>(u"TestA"); }
inline TTransportFilterPtr CreateB() { return std::make_unique<TXorFilter<0, false>>(u"TestB"); }

class TScopedRegistration {
 public:
  explicit TScopedRegistration(TTransportFilterFactory::TFilterClass AClass) : FId(AClass()->Id()) {
    TTransportFilterFactory::RegisterFilter(AClass);
  }
  ~TScopedRegistration() { TTransportFilterFactory::UnregisterFilter(FId); }
  TScopedRegistration(const TScopedRegistration&) = delete;
  TScopedRegistration& operator=(const TScopedRegistration&) = delete;

 private:
  Text FId;
};

}  // namespace fake_filters
