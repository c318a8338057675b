#pragma once

// Whether a certificate can be used at a moment, and the watch that the programs running all
// day keep over the store: prefeituras refuse notes signed with an expired certificate, and a
// renewal takes days, so a certificate that has expired or expires within kExpiryNoticeDays is
// told of once per run, in the journal and in the tray's hint.
//
// The watch belongs to one thread; the rest is pure.

#include <ctime>
#include <set>
#include <utility>
#include <vector>

#include "platform/text.h"

enum class TValidity { Valid, NotYetValid, Expired };

// AFrom and ATo are the certificate's notBefore and notAfter, both still valid moments.
TValidity ValidityAt(std::time_t AFrom, std::time_t ATo, std::time_t ANow);

// What the watch needs of a certificate.
struct TCertificateDates {
  Text Serial;
  Text Subject;
  std::time_t From = 0;
  std::time_t To = 0;
};

// The certificates of the personal store now; throws as the store does.
std::vector<TCertificateDates> StoreCertificateDates();

inline constexpr int kExpiryNoticeDays = 30;

class TExpiryWatch {
 public:
  // The journal records for the certificates of ACertificates that at ANow have expired or
  // expire within kExpiryNoticeDays and that this watch has not told of yet (a certificate
  // told of as near its end is not told of again once expired). Certificates not yet valid
  // are left to the warning of whoever signs with them.
  std::vector<Text> Check(const std::vector<TCertificateDates>& ACertificates, std::time_t ANow);
  // The tray's line for the certificates near their end at the last Check, told or not; empty
  // when there are none.
  const Text& HintLine() const { return FHintLine; }

 private:
  std::set<std::pair<Text, std::time_t>> FTold;  // serial and notAfter
  Text FHintLine;
};

// AHint (the server controller's) with its first line, the copyright, given to ALine; AHint
// itself when ALine is empty.
Text WithHintLine(const Text& AHint, const Text& ALine);
