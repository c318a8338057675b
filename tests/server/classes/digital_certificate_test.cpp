#include "server/classes/digital_certificate.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>

#include "platform/certstore/store_messages.h"
#include "platform/exception.h"
#include "server/classes/certificados_conf.h"
#include "server/classes/certificate_messages.h"
#include "tests/support/error_of.h"
#include "tests/support/test_certificates.h"

namespace {

using namespace certificate_messages;
using test_certificates::TCertificateRequest;
using test_certificates::TTestStore;

constexpr std::time_t kEndOf2030 = 1924991999;    // 2030-12-31 23:59:59 UTC
constexpr std::time_t kStartOf2031 = 1924992000;  // 2031-01-01 00:00:00 UTC
const Text kIssuer = u"|issuer=AC TESTE ASSINADOR";

// Dates are local time in the locale's formats: pin both (the test main pins C.UTF-8).
class DigitalCertificateTest : public testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) FOldTz = tz;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (FOldTz) {
      setenv("TZ", FOldTz->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

  Text LookupError(const Text& serial) {
    return ErrorOf([&] { TDigitalCertificate().getCertificateBySerial(serial); }).Message;
  }

  TTestStore store;

 private:
  std::optional<std::string> FOldTz;
};

TEST_F(DigitalCertificateTest, EmptyStoreGivesAnEmptyList) {
  EXPECT_TRUE(TDigitalCertificate().getListSerialNumber().empty());
}

TEST_F(DigitalCertificateTest, EntryHoldsSerialDateAndIssuer) {
  store.Add(TCertificateRequest("1.pem")
                .CommonName("EMPRESA A LTDA")
                .Serial("0A1B")
                .NotAfter(kEndOf2030));
  store.Add(TCertificateRequest("2.pem").CommonName("JOAO").Serial("0C").NotAfter(kStartOf2031));
  EXPECT_EQ(TDigitalCertificate().getListSerialNumber(),
            (std::vector<Text>{u"EMPRESA A LTDA=serial=0A1B|validate=31/12/2030 23:59:59" + kIssuer,
                               u"JOAO=serial=0C|validate=01/01/2031" + kIssuer}));
}

TEST_F(DigitalCertificateTest, ListRulesForNames) {
  struct Cert {
    const char* file;
    const char* name;
    const char* serial;
  };
  struct Case {
    const char* title;
    std::vector<Cert> certificates;
    std::vector<Text> names;  // name=serial part of each entry, in order
  };
  const Case cases[] = {
      {"same name ignoring case: first position, last name and data",
       {{"1.pem", "Empresa A", "01"}, {"2.pem", "OUTRA", "02"}, {"3.pem", "EMPRESA A", "03"}},
       {u"EMPRESA A=serial=03", u"OUTRA=serial=02"}},
      {"accented letters compare without case",
       {{"1.pem", "JOSÉ", "01"}, {"2.pem", "josé", "02"}},
       {u"josé=serial=02"}},
      {"empty names replace each other",
       {{"1.pem", "", "01"}, {"2.pem", "", "02"}},
       {u"=serial=02"}},
      {"a name with '=' is known by its part before it",
       {{"1.pem", "A=B", "01"}, {"2.pem", "A=B", "02"}, {"3.pem", "a", "03"}},
       {u"a=serial=03", u"A=B=serial=02"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    TTestStore local;
    for (const auto& cert : c.certificates) {
      local.Add(TCertificateRequest(cert.file).CommonName(cert.name).Serial(cert.serial));
    }
    const auto list = TDigitalCertificate().getListSerialNumber();
    std::vector<Text> names;
    for (const auto& entry : list) names.push_back(entry.substr(0, entry.find(u'|')));
    EXPECT_EQ(names, c.names);
  }
}

TEST_F(DigitalCertificateTest, ExpiredAndKeylessCertificatesAreListedAndExpiredFound) {
  store.Add(TCertificateRequest("1.pem").CommonName("VENCIDO").Serial("11").Expired());
  store.Add(TCertificateRequest("2.pem").CommonName("SEM CHAVE").Serial("12").WithoutKey());
  EXPECT_EQ(TDigitalCertificate().getListSerialNumber().size(), 2u);
  EXPECT_EQ(TDigitalCertificate().getCertificateBySerial(u"11")->SerialNumber(), u"11");
}

TEST_F(DigitalCertificateTest, SerialNumberIsNormalisedBeforeTheLookup) {
  store.Add(TCertificateRequest("1.pem").Serial("0A1B2C"));
  for (const Text serial : {u"0A1B2C", u"0a 1b 2c", u" 0A1B2C ", u"\t0a1b2c\t", u"0A 1B\t2C"}) {
    SCOPED_TRACE(text::ToUtf8(serial));
    if (serial == u"0A 1B\t2C") {
      // A tab inside the number is not removed.
      EXPECT_EQ(LookupError(serial), Text{kGetFailed} + CR + Text{kNotFound});
    } else {
      EXPECT_EQ(TDigitalCertificate().getCertificateBySerial(serial)->SerialNumber(), u"0A1B2C");
    }
  }
}

TEST_F(DigitalCertificateTest, LookupFailuresCarryTheirMessages) {
  store.Add(TCertificateRequest("1.pem").Serial("0A1B2C"));
  struct Case {
    Text serial;
    Text message;
  };
  const Case cases[] = {
      {u"", Text{kGetFailed} + CR + Text{kSerialMissing}},
      {u"   ", Text{kGetFailed} + CR + Text{kSerialMissing}},
      {u" \t\r\n", Text{kGetFailed} + CR + Text{kSerialMissing}},
      {u"FFFF", Text{kGetFailed} + CR + Text{kNotFound}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(text::ToUtf8(c.serial));
    EXPECT_EQ(LookupError(c.serial), c.message);
  }
  EXPECT_EQ(kSerialMissing, u"Número de Série do Certificado Digital não especificado !");
  EXPECT_EQ(kNotFound, u"Certificado Digital não encontrado!");
}

// Serials are unique per issuer only: an entry without a usable key gives way to a later
// complete one with the same serial, and only when none has a usable key does the lookup fail,
// with the first match's reason.
TEST_F(DigitalCertificateTest, FirstMatchWithAUsableKeyIsChosen) {
  store.Add(TCertificateRequest("1.pem").Serial("77").WithoutKey());
  store.Add(TCertificateRequest("2.pem").Serial("77").MismatchedKey());
  EXPECT_EQ(LookupError(u"77"), Text{kGetFailed} + CR + Text{store_messages::kNoPrivateKey});
  store.Add(TCertificateRequest("3.pem").Serial("77").CommonName("COMPLETO"));
  store.Add(TCertificateRequest("4.pem").Serial("77").CommonName("DEPOIS"));
  const ICertificate2Ptr found = TDigitalCertificate().getCertificateBySerial(u"77");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->GetInfo(CAPICOM_CERT_INFO_SUBJECT_SIMPLE_NAME), u"COMPLETO");
  EXPECT_NO_THROW(found->PrivateKey());
}

TEST_F(DigitalCertificateTest, StorePathThatIsAFileIsAnEmptyStore) {
  const auto file = store.Directory() / "arquivo";
  std::ofstream(file) << "x";
  setenv("ASSINADOR_NFSE_STORE", file.c_str(), 1);  // restored by the store fixture
  EXPECT_TRUE(TDigitalCertificate().getListSerialNumber().empty());
}

TEST(CertificadosConf, NormalisesTheSerialNumberOnAssignment) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {{"0a 1b 2c", "0A1B2C"},
                        {" 0A1B2C ", "0A1B2C"},
                        {"\t0a1b\t", "0A1B"},
                        {"a\tb", "A\tB"},
                        {"   ", ""},
                        {"\x01"
                         "ab\x1f",
                         "AB"},
                        {"ção", "\xC3\xA7\xC3\xA3O"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    TCertificadosConf configuration;
    configuration.setNumeroSerie(c.in);
    EXPECT_EQ(configuration.NumeroSerie(), c.out);
  }
}

}  // namespace
