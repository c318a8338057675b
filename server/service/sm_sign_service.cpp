#include "server/service/sm_sign_service.h"

#include <algorithm>
#include <utility>

#include "platform/exception.h"
#include "server/classes/digital_certificate.h"
#include "server/classes/signer_remote_adapter.h"
#include "server/service/service_messages.h"

namespace {

bool NeedsQuotes(const Text& AEntry) {
  return std::any_of(AEntry.begin(), AEntry.end(),
                     [](char16_t c) { return c == u'"' || c == u';' || (c >= 1 && c <= 32); });
}

}  // namespace

Text JoinCertificateList(const std::vector<Text>& AList) {
  Text joined;
  for (std::size_t i = 0; i < AList.size(); ++i) {
    if (i > 0) joined += u';';
    const Text& entry = AList[i];
    if (!NeedsQuotes(entry)) {
      joined += entry;
      continue;
    }
    joined += u'"';
    for (const char16_t c : entry) {
      if (c == u'"') joined += u'"';
      joined += c;
    }
    joined += u'"';
  }
  return joined;
}

TSignOutcome SignOutcomeOf(const Text& AResult) {
  if (AResult.empty()) return TSignOutcome::Logged;
  return AResult.front() == u'[' ? TSignOutcome::ErrorText : TSignOutcome::Signed;
}

TSMSignService::TSMSignService(TLogFunction ALog, TSignFailureRecorder AFailures)
    : FLog(ALog ? std::move(ALog) : TLogFunction([](TLogLevel ALevel, const Text& AMessage) {
        TLogger::log(ALevel, AMessage);
      })),
      FFailures(std::move(AFailures)) {}

Text TSMSignService::getListCertificate() {
  try {
    TDigitalCertificate certificates;
    return JoinCertificateList(certificates.getListSerialNumber());
  } catch (const std::exception& e) {
    FLog(TLogLevel::llError, service_messages::kListFailed + Text(1, CR) + MessageOf(e));
    return {};
  }
}

Text TSMSignService::SignDocument(const Text& AXMLNF, const Text& ASerialNumber) {
  return Sign(AXMLNF, ASerialNumber, nullptr);
}

Text TSMSignService::SignDocument(Text&& AXMLNF, const Text& ASerialNumber) {
  return Sign(AXMLNF, ASerialNumber, &AXMLNF);
}

Text TSMSignService::Sign(const Text& AXMLNF, const Text& ASerialNumber, Text* AReleasable) {
  try {
    TSignerNFSEDocumentRemoteAdapter adapter;
    Text result = adapter.doSign(AXMLNF, ASerialNumber, AReleasable);
    if (FFailures && SignOutcomeOf(result) == TSignOutcome::ErrorText)
      FFailures(ASerialNumber, result);
    return result;
  } catch (const std::exception& e) {
    FLog(TLogLevel::llError, service_messages::kSignFailed + Text(1, CR) + MessageOf(e));
    return {};
  }
}
