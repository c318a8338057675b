#include "platform/certstore/store.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <thread>

#include "platform/certstore/store_messages.h"
#include "platform/component_error.h"
#include "platform/exception.h"
#include "platform/openssl_handles.h"
#include "tests/support/error_of.h"
#include "tests/support/report_capture.h"
#include "tests/support/test_certificates.h"

namespace fs = std::filesystem;

namespace {

using test_certificates::TCertificateRequest;
using test_certificates::TTestStore;

std::vector<ICertificate2Ptr> OpenPersonal() {
  IStore3 store;
  store.Open(CAPICOM_CURRENT_USER_STORE, u"My", CAPICOM_STORE_OPEN_MAXIMUM_ALLOWED);
  const ICertificates2 certificates = store.Certificates();
  std::vector<ICertificate2Ptr> out;
  for (int i = 1; i <= certificates.Count(); ++i) out.push_back(certificates.Item(i));
  return out;
}

std::vector<Text> Serials() {
  std::vector<Text> out;
  for (const auto& c : OpenPersonal()) out.push_back(c->SerialNumber());
  return out;
}

// Sets or clears one environment variable for the life of the object.
class TScopedEnv {
 public:
  TScopedEnv(const char* name, const char* value) : FName(name) {
    if (const char* old = std::getenv(name)) FOld = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~TScopedEnv() {
    if (FOld) {
      setenv(FName, FOld->c_str(), 1);
    } else {
      unsetenv(FName);
    }
  }

 private:
  const char* FName;
  std::optional<std::string> FOld;
};

TEST(PersonalStoreDirectory, FollowsTheEnvironment) {
  {
    TScopedEnv store("ASSINADOR_NFSE_STORE", "/srv/certificados");
    EXPECT_EQ(certstore::PersonalStoreDirectory(), fs::path("/srv/certificados"));
  }
  TScopedEnv store("ASSINADOR_NFSE_STORE", nullptr);
  {
    TScopedEnv data("XDG_DATA_HOME", "/dados");
    EXPECT_EQ(certstore::PersonalStoreDirectory(), fs::path("/dados/assinador-nfse/My"));
  }
  TScopedEnv data("XDG_DATA_HOME", nullptr);
  TScopedEnv home("HOME", "/home/operador");
  EXPECT_EQ(certstore::PersonalStoreDirectory(),
            fs::path("/home/operador/.local/share/assinador-nfse/My"));
}

TEST(CertificateStore, MissingDirectoryIsAnEmptyStore) {
  TScopedEnv store("ASSINADOR_NFSE_STORE", "/nonexistent/assinador/My");
  EXPECT_TRUE(OpenPersonal().empty());
}

TEST(CertificateStore, OrderIsFileNamesInByteOrderAndUnusableFilesAreSkipped) {
  TTestStore store;
  store.Add(TCertificateRequest("b.pem").Serial("02"));
  store.Add(TCertificateRequest("B.crt").Serial("01"));
  store.Add(TCertificateRequest("a.p12").Serial("03"));
  store.Add(TCertificateRequest("_.PEM").Serial("04"));
  std::ofstream(store.Directory() / "0-lixo.pem") << "-----BEGIN CERTIFICATE-----\nxx\n";
  std::ofstream(store.Directory() / "0-vazio.pfx") << "";
  std::ofstream(store.Directory() / "0-outro.txt") << "texto";
  fs::create_directory(store.Directory() / "0-pasta.pem");
  EXPECT_EQ(Serials(), (std::vector<Text>{u"01", u"04", u"03", u"02"}));
}

TEST(CertificateStore, EachSkippedFileIsReportedOnceWithItsReason) {
  TTestStore store;
  store.Add(TCertificateRequest("1.pem").Serial("01"));
  const fs::path garbage = store.Directory() / "lixo.pem";
  std::ofstream(garbage) << "-----BEGIN CERTIFICATE-----\nxx\n";
  const TReportCapture capture;
  EXPECT_EQ(Serials(), (std::vector<Text>{u"01"}));
  EXPECT_EQ(Serials(), (std::vector<Text>{u"01"}));  // unchanged: not parsed, not reported again
  auto reports = capture.Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].Source, store_messages::kDiagnosticsSource);
  EXPECT_EQ(reports[0].Message, Text(store_messages::kSkippedFile) +
                                    text::FromUtf8(garbage.string()) + u": " +
                                    Text(store_messages::kNoUsableCertificate));

  std::ofstream(garbage, std::ios::app) << "yy\n";  // changed: parsed and reported anew
  EXPECT_EQ(Serials(), (std::vector<Text>{u"01"}));
  EXPECT_EQ(capture.Reports().size(), 2u);

  Text whyNot;
  EXPECT_EQ(certstore::LoadCertificateFile(store.Directory() / "falta.pem", &whyNot), nullptr);
  EXPECT_EQ(whyNot, store_messages::kUnreadableFile);
}

// A PKCS#12 copy of a store entry, protected by APassword.
void WriteProtectedPfx(const fs::path& ASource, const fs::path& ATarget, const char* APassword) {
  const ICertificate2Ptr entry = certstore::LoadCertificateFile(ASource);
  ASSERT_NE(entry, nullptr);
  const IPrivateKey key = entry->PrivateKey();
  Pkcs12Ptr p12{
      PKCS12_create(APassword, "protegido", key.Handle(), entry->Handle(), nullptr, 0, 0, 0, 0, 0)};
  ASSERT_NE(p12, nullptr);
  BioPtr out{BIO_new_file(ATarget.c_str(), "wb")};
  ASSERT_TRUE(out && i2d_PKCS12_bio(out.get(), p12.get()) == 1);
}

// Files the store cannot use are left out with a reason that says what to do, once per
// version of the file: a password-protected PKCS#12 is not derived again on every listing,
// and a file too large for a certificate is never read.
TEST(CertificateStore, ProtectedAndOversizedFilesAreLeftOutAndReportedOnce) {
  TTestStore store;
  const fs::path plain = store.Add(TCertificateRequest("1.pem").Serial("01"));
  WriteProtectedPfx(plain, store.Directory() / "2-protegido.pfx", "senha");
  const fs::path big = store.Directory() / "3-grande.pem";
  std::ofstream(big).close();
  fs::resize_file(big, 3ull << 30);  // sparse: nothing on disk
  const fs::path justOver = store.Directory() / "4-limite.pem";
  std::ofstream(justOver) << std::string(kMaxStoreFileSize + 1, 'x');

  const TReportCapture capture;
  EXPECT_EQ(Serials(), (std::vector<Text>{u"01"}));
  EXPECT_EQ(Serials(), (std::vector<Text>{u"01"}));
  auto reports = capture.Reports();
  ASSERT_EQ(reports.size(), 3u);
  const auto report = [](const fs::path& file, TextView reason) {
    return Text(store_messages::kSkippedFile) + text::FromUtf8(file.string()) + u": " +
           Text(reason);
  };
  EXPECT_EQ(reports[0].Message,
            report(store.Directory() / "2-protegido.pfx", store_messages::kPasswordProtected));
  EXPECT_EQ(reports[1].Message, report(big, store_messages::kFileTooLarge));
  EXPECT_EQ(reports[2].Message, report(justOver, store_messages::kFileTooLarge));
  EXPECT_NE(reports[0].Message.find(u"assinador-nfse-cli importar"), Text::npos);

  // Exactly at the limit the file is read (and here found unusable for another reason).
  fs::resize_file(justOver, kMaxStoreFileSize);
  EXPECT_EQ(Serials(), (std::vector<Text>{u"01"}));
  reports = capture.Reports();
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_EQ(reports[3].Message, report(justOver, store_messages::kNoUsableCertificate));
}

TEST(CertificateStore, SerialNumberIsUpperCaseHexTwoDigitsAByte) {
  TTestStore store;
  struct Case {
    std::string given;
    Text expected;
  };
  const Case cases[] = {{"0A1B2C", u"0A1B2C"}, {"1", u"01"},  {"abc", u"0ABC"},
                        {"80", u"0080"},       {"7F", u"7F"}, {"00ff00", u"00FF00"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.given);
    const auto path = store.Add(TCertificateRequest("x.pem").Serial(c.given));
    EXPECT_EQ(certstore::LoadCertificateFile(path)->SerialNumber(), c.expected);
  }
}

TEST(CertificateStore, SimpleNamesTakeCnThenOuThenOThenEmail) {
  TTestStore store;
  struct Case {
    const char* name;
    TCertificateRequest wanted;
    Text expected;
  };
  const Case cases[] = {
      {"CN", TCertificateRequest().CommonName("JOSÉ DA SILVA:12345678909").OrganizationalUnit("U"),
       u"JOSÉ DA SILVA:12345678909"},
      {"OU", TCertificateRequest().CommonName("").OrganizationalUnit("Unidade").Organization("O"),
       u"Unidade"},
      {"O", TCertificateRequest().CommonName("").Organization("Organização"), u"Organização"},
      {"e-mail", TCertificateRequest().CommonName("").Email("nfse@example.com"),
       u"nfse@example.com"},
      {"nothing", TCertificateRequest().CommonName(""), u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto cert = certstore::LoadCertificateFile(store.Add(c.wanted));
    EXPECT_EQ(cert->GetInfo(CAPICOM_CERT_INFO_SUBJECT_SIMPLE_NAME), c.expected);
    EXPECT_EQ(cert->GetInfo(CAPICOM_CERT_INFO_ISSUER_SIMPLE_NAME),
              text::FromUtf8(test_certificates::kCaCommonName));
  }
}

TEST(CertificateStore, ValidToDateIsNotAfterInLocalTime) {
  TTestStore store;
  const std::time_t notAfter = 1924991999;  // 2030-12-31 23:59:59 UTC
  const auto cert =
      certstore::LoadCertificateFile(store.Add(TCertificateRequest().NotAfter(notAfter)));
  EXPECT_EQ(cert->ValidTo(), notAfter);
  const std::time_t notBefore = 1609459200;  // 2021-01-01 00:00:00 UTC
  EXPECT_EQ(certstore::LoadCertificateFile(store.Add(TCertificateRequest().NotBefore(notBefore)))
                ->ValidFrom(),
            notBefore);
  std::tm expected{};
  localtime_r(&notAfter, &expected);
  const std::tm local = cert->ValidToDate();
  EXPECT_EQ(std::mktime(const_cast<std::tm*>(&local)), notAfter);
  EXPECT_EQ(local.tm_hour, expected.tm_hour);
}

TEST(CertificateStore, PrivateKeyNeedsAMatchingKey) {
  TTestStore store;
  struct Case {
    const char* name;
    TCertificateRequest wanted;
    TextView error;  // empty: the key is there
  };
  const Case cases[] = {
      {"PEM with key", TCertificateRequest("a.pem"), u""},
      {"PEM with key and chain", TCertificateRequest("b.pem").WithChain(), u""},
      {"PFX", TCertificateRequest("c.pfx").WithChain(), u""},
      {"legacy PFX", TCertificateRequest("d.p12").LegacyPfx(), u""},
      {"PEM without key", TCertificateRequest("e.pem").WithoutKey(), store_messages::kNoPrivateKey},
      {"PFX without key", TCertificateRequest("f.pfx").WithoutKey(), store_messages::kNoPrivateKey},
      {"key of another certificate", TCertificateRequest("g.pem").MismatchedKey(),
       store_messages::kKeyMismatch},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto cert = certstore::LoadCertificateFile(store.Add(c.wanted));
    ASSERT_NE(cert, nullptr);
    if (c.error.empty()) {
      const IPrivateKey key = cert->PrivateKey();
      EXPECT_EQ(key.ProviderType(), EVP_PKEY_RSA);
      EXPECT_EQ(key.ContainerName(), text::FromUtf8(c.wanted.fileName));
      EXPECT_NE(key.Handle(), nullptr);
    } else {
      EXPECT_EQ(ErrorOf([&] { cert->PrivateKey(); }).Message, c.error);
    }
  }
}

TEST(CertificateStore, SeesAddedChangedAndRemovedFilesOnTheNextOpen) {
  TTestStore store;
  store.Add(TCertificateRequest("1.pem").Serial("01"));
  EXPECT_EQ(Serials(), (std::vector<Text>{u"01"}));
  const auto second = store.Add(TCertificateRequest("2.pem").Serial("02"));
  EXPECT_EQ(Serials(), (std::vector<Text>{u"01", u"02"}));

  // Same name and size, new content: the modification time tells.
  const auto before = fs::last_write_time(second);
  store.Add(TCertificateRequest("2.pem").Serial("03"));
  fs::last_write_time(second, before + std::chrono::seconds(1));
  EXPECT_EQ(Serials(), (std::vector<Text>{u"01", u"03"}));

  store.Remove("1.pem");
  EXPECT_EQ(Serials(), (std::vector<Text>{u"03"}));
  // An unchanged store hands out the very same parsed certificate.
  EXPECT_EQ(OpenPersonal().front(), OpenPersonal().front());
}

TEST(CertificateStore, ConcurrentOpensSeeTheSameStore) {
  TTestStore store;
  for (int i = 0; i < 5; ++i) store.Add(TCertificateRequest(std::to_string(i) + ".pem"));
  std::atomic<int> mismatches{0};
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        for (int r = 0; r < 20; ++r) {
          if (OpenPersonal().size() != 5) ++mismatches;
        }
      });
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(CertificateStore, MemoryStoreAcceptsAddAndOthersRefuseMisuse) {
  TTestStore store;
  store.Add(TCertificateRequest("1.pem"));
  IStore3 personal;
  personal.Open(CAPICOM_CURRENT_USER_STORE, u"my", CAPICOM_STORE_OPEN_MAXIMUM_ALLOWED);
  const ICertificate2Ptr cert = personal.Certificates().Item(1);

  IStore3 memory;
  memory.Open(CAPICOM_MEMORY_STORE, u"Memoria", CAPICOM_STORE_OPEN_MAXIMUM_ALLOWED);
  EXPECT_EQ(memory.Certificates().Count(), 0);
  memory.Add(cert);
  memory.Add(cert);
  EXPECT_EQ(memory.Certificates().Count(), 2);
  EXPECT_EQ(memory.Certificates().Item(2), cert);

  EXPECT_EQ(ErrorOf([&] { personal.Add(cert); }).Message, store_messages::kAddNotAllowed);
  EXPECT_EQ(ErrorOf([&] { memory.Certificates().Item(3); }).Message,
            store_messages::kIndexOutOfRange);
  EXPECT_EQ(ErrorOf([&] { memory.Certificates().Item(0); }).Message,
            store_messages::kIndexOutOfRange);
  EXPECT_EQ(ErrorOf([] { IStore3().Certificates(); }).Message, store_messages::kNotOpen);
  EXPECT_EQ(ErrorOf([] { IStore3().Open(1, u"My", 2); }).Message, store_messages::kUnknownLocation);
  EXPECT_EQ(ErrorOf([] { IStore3().Open(CAPICOM_CURRENT_USER_STORE, u"Root", 2); }).Message,
            Text{store_messages::kUnknownStore} + u"Root");
}

TEST(ComponentMessage, TrimsTrailingBlanksAndFullStops) {
  struct Case {
    Text description;
    Text expected;
  };
  const Case cases[] = {{u"Chave inválida.", u"Chave inválida"},
                        {u"Falhou. . \r\n\t", u"Falhou"},
                        {u"a.b", u"a.b"},
                        {u" . ", u"OLE error 80004005"},
                        {u"", u"OLE error 80004005"}};
  for (const auto& c : cases) EXPECT_EQ(component::Message(c.description), c.expected);
  EXPECT_EQ(component::Message(u"", 0x8009000D), u"OLE error 8009000D");
}

}  // namespace
