#include "tools/assinador-nfse-cli/certificate_table.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::size_t kColumns = 5;
using TCells = std::array<Text, kColumns>;

// Characters on the screen: a surrogate pair is one.
std::size_t Width(TextView ACell) {
  return static_cast<std::size_t>(std::count_if(
      ACell.begin(), ACell.end(), [](char16_t c) { return c < 0xDC00 || c > 0xDFFF; }));
}

}  // namespace

TextView ValidityState(TValidity AValidity) {
  switch (AValidity) {
    case TValidity::Expired:
      return u"VENCIDO";
    case TValidity::NotYetValid:
      return u"ainda não válido";
    case TValidity::Valid:
      break;
  }
  return u"";
}

Text CertificateTable(const std::vector<TCertificateRow>& ARows) {
  if (ARows.empty()) return {};
  std::vector<TCells> lines;
  lines.push_back({u"Titular", u"Série", u"Válido até", u"Emissor", u"Situação"});
  bool anyState = false;
  for (const TCertificateRow& row : ARows) {
    const TListedCertificate& c = row.Listed;
    lines.push_back({c.Name, c.Serial, c.ValidTo, c.Issuer, Text(ValidityState(row.Validity))});
    anyState = anyState || row.Validity != TValidity::Valid;
  }
  const std::size_t shown = anyState ? kColumns : kColumns - 1;
  std::array<std::size_t, kColumns> widths{};
  for (const TCells& line : lines)
    for (std::size_t i = 0; i < shown; ++i) widths[i] = std::max(widths[i], Width(line[i]));
  Text table;
  for (const TCells& line : lines) {
    Text out;
    for (std::size_t i = 0; i < shown; ++i) {
      if (i > 0) out += u"  ";
      out += line[i];
      if (i + 1 < shown) out.append(widths[i] - Width(line[i]), u' ');
    }
    while (!out.empty() && out.back() == u' ') out.pop_back();
    table += out + u"\n";
  }
  return table;
}
