#include "server/utils/certificate_validity.h"

#include <gtest/gtest.h>

#include "platform/sys/date_time_text.h"
#include "server/utils/validity_messages.h"

namespace {

constexpr std::time_t kNow = 1767225600;  // 2026-01-01 00:00:00 UTC
constexpr std::time_t kDay = 24 * 60 * 60;

Text Date(std::time_t AMoment) {
  std::tm local{};
  localtime_r(&AMoment, &local);
  return sys::FormatDateTime(local, 0);
}

TEST(CertificateValidity, EndsAndBeginningsAreValidMoments) {
  EXPECT_EQ(ValidityAt(kNow, kNow, kNow), TValidity::Valid);
  EXPECT_EQ(ValidityAt(kNow + 1, kNow + 10, kNow), TValidity::NotYetValid);
  EXPECT_EQ(ValidityAt(kNow - 10, kNow - 1, kNow), TValidity::Expired);
}

TEST(ExpiryWatch, TellsOfExpiredAndSoonExpiringCertificatesOncePerRun) {
  struct Case {
    const char* name;
    TCertificateDates certificate;
    Text record;  // empty: nothing to tell
    Text hint;
  };
  const TCertificateDates expired{u"0A", u"EMPRESA VENCIDA", kNow - 400 * kDay, kNow - 5 * kDay};
  const TCertificateDates tenDays{u"0B", u"EMPRESA DEZ DIAS", kNow - 300 * kDay, kNow + 10 * kDay};
  const TCertificateDates lastDay{u"0C", u"EMPRESA ÚLTIMO DIA", kNow - 300 * kDay, kNow + 3600};
  const Case kCases[] = {
      {"expired", expired,
       u"[Certificado] O certificado 0A (EMPRESA VENCIDA) venceu em " + Date(expired.To) +
           u"; a prefeitura pode recusar as notas assinadas com ele. Providencie a renovação.",
       u"Certificado vencido: EMPRESA VENCIDA"},
      {"10 days left", tenDays,
       u"[Certificado] O certificado 0B (EMPRESA DEZ DIAS) vence em " + Date(tenDays.To) +
           u" (faltam 10 dias); providencie a renovação.",
       u"Certificado vence em 10 dias: EMPRESA DEZ DIAS"},
      {"an hour left", lastDay,
       u"[Certificado] O certificado 0C (EMPRESA ÚLTIMO DIA) vence em " + Date(lastDay.To) +
           u" (falta 1 dia); providencie a renovação.",
       u"Certificado vence em 1 dia: EMPRESA ÚLTIMO DIA"},
      {"40 days left", {u"0D", u"EMPRESA FOLGADA", kNow - kDay, kNow + 40 * kDay}, u"", u""},
      {"not yet valid", {u"0E", u"EMPRESA FUTURA", kNow + kDay, kNow + 20 * kDay}, u"", u""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TExpiryWatch watch;
    const std::vector<Text> first = watch.Check({c.certificate}, kNow);
    EXPECT_EQ(first, c.record.empty() ? std::vector<Text>{} : std::vector<Text>{c.record});
    EXPECT_EQ(watch.HintLine(), c.hint);
    // Checked again later in the same run: nothing new to tell, the hint stays.
    EXPECT_TRUE(watch.Check({c.certificate}, kNow + 60).empty());
    EXPECT_EQ(watch.HintLine(), c.hint);
  }
}

TEST(ExpiryWatch, ACertificateToldOfAsNearItsEndIsNotToldOfAgainOnceExpired) {
  const TCertificateDates certificate{u"0B", u"EMPRESA", kNow - 300 * kDay, kNow + 10 * kDay};
  TExpiryWatch watch;
  EXPECT_EQ(watch.Check({certificate}, kNow).size(), 1u);
  EXPECT_TRUE(watch.Check({certificate}, kNow + 11 * kDay).empty());
  EXPECT_EQ(watch.HintLine(), u"Certificado vencido: EMPRESA");

  // A renewed certificate of the same serial is another one; with none near its end the line
  // goes.
  TCertificateDates renewed = certificate;
  renewed.To += 20 * kDay;
  EXPECT_EQ(watch.Check({certificate, renewed}, kNow + 11 * kDay).size(), 1u);
  EXPECT_EQ(watch.HintLine(), u"2 certificados vencidos ou a vencer");
  EXPECT_TRUE(watch.Check({}, kNow + 11 * kDay).empty());
  EXPECT_EQ(watch.HintLine(), u"");
}

TEST(ExpiryWatch, HintLineTakesThePlaceOfTheCopyrightLine) {
  const Text hint = u"Copyright\rProduto (1.0) \rMonitoramento: INICIADO";
  EXPECT_EQ(WithHintLine(hint, u""), hint);
  EXPECT_EQ(WithHintLine(hint, u"Certificado vencido: X"),
            u"Certificado vencido: X\rProduto (1.0) \rMonitoramento: INICIADO");
}

}  // namespace
