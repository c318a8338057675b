#include "transport/server/name_pattern.h"

namespace {

bool IsAnyRun(char16_t c) { return c == u'%' || c == u'*'; }
bool IsAnyOne(char16_t c) { return c == u'_' || c == u'?'; }
char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

}  // namespace

bool MatchesNamePattern(TextView APattern, TextView AName) {
  if (APattern.empty()) return true;
  // Greedy matching that goes back only to the last run wildcard: a pattern a client sends
  // costs at most its length times the name's, never an exponential search.
  std::size_t p = 0, n = 0;
  std::size_t lastRun = TextView::npos, resumeAt = 0;
  while (n < AName.size()) {
    if (p < APattern.size() && IsAnyRun(APattern[p])) {
      lastRun = p++;
      resumeAt = n;
    } else if (p < APattern.size() &&
               (IsAnyOne(APattern[p]) || Upper(APattern[p]) == Upper(AName[n]))) {
      ++p;
      ++n;
    } else if (lastRun != TextView::npos) {
      p = lastRun + 1;
      n = ++resumeAt;
    } else {
      return false;
    }
  }
  while (p < APattern.size() && IsAnyRun(APattern[p])) ++p;
  return p == APattern.size();
}
