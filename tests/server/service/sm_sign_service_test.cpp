#include "server/service/sm_sign_service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "platform/exception.h"
#include "platform/text.h"
#include "server/classes/digital_certificate.h"
#include "tests/support/signature_check.h"
#include "tests/support/test_certificates.h"

namespace {

using test_certificates::Certificate;
using test_certificates::TCertificateRequest;
using test_certificates::TTestStore;

const Text kAdapterError = u"[SignerNFSEDocumentRemoteAdapter] Erro na Assinatura do Documento.\r";
const Text kLookupError = u"[Certificado] Erro ao Obter o Certificado!\r";

TEST(SignOutcomeOf, TellsADocumentFromAnErrorTextAndFromNothing) {
  const struct {
    Text result;
    TSignOutcome outcome;
  } kCases[] = {
      {u"", TSignOutcome::Logged},
      {kAdapterError, TSignOutcome::ErrorText},
      {kLookupError, TSignOutcome::ErrorText},
      {u"<?xml version=\"1.0\"?><a/>", TSignOutcome::Signed},
      {u"<EnviarLoteRpsEnvio/>", TSignOutcome::Signed},
  };
  for (const auto& [result, outcome] : kCases)
    EXPECT_EQ(SignOutcomeOf(result), outcome) << text::ToUtf8(result);
}

TEST(JoinCertificateList, QuotesOnlyEntriesWithQuotesSemicolonsOrControlCharacters) {
  struct Case {
    const char* name;
    std::vector<Text> list;
    Text joined;
  };
  const Case kCases[] = {
      {"empty list", {}, u""},
      {"bare entry",
       {u"JOAO=serial=0C|validate=01/01/2015|issuer=ACX"},
       u"JOAO=serial=0C|validate=01/01/2015|issuer=ACX"},
      {"entry with spaces quoted, bare one not",
       {u"EMPRESA A LTDA=serial=0A1B|validate=31/12/2014 23:59:59|issuer=AC TESTE",
        u"JOAO=serial=0C|validate=01/01/2015|issuer=ACX"},
       u"\"EMPRESA A LTDA=serial=0A1B|validate=31/12/2014 23:59:59|issuer=AC TESTE\";"
       u"JOAO=serial=0C|validate=01/01/2015|issuer=ACX"},
      {"inner quotation marks doubled", {u"A\"B\"=x"}, u"\"A\"\"B\"\"=x\""},
      {"semicolon", {u"A;B=x", u"C=y"}, u"\"A;B=x\";C=y"},
      {"tab, CR, LF and code 1",
       {u"a\tb", u"a\rb", u"a\nb", Text(u"a") + char16_t(1)},
       u"\"a\tb\";\"a\rb\";\"a\nb\";\"a\x01\""},
      {"accents and characters above 255 stay bare", {u"JOÃO€Ω=x"}, u"JOÃO€Ω=x"},
      {"code 0 and 127 do not quote", {Text(u"a\0b", 3), u"a\x7F"}, Text(u"a\0b;a\x7F", 6)},
      {"empty entries", {u"", u""}, u";"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(JoinCertificateList(c.list), c.joined);
  }
}

class SignServiceTest : public testing::Test {
 protected:
  // Signs through the service and returns the result; nothing may be logged on these paths.
  Text Sign(const Text& AXml, const Text& ASerial) {
    const Text result = FService.SignDocument(AXml, ASerial);
    EXPECT_TRUE(FLogged.empty()) << text::ToUtf8(FLogged.empty() ? u"" : FLogged.front().second);
    return result;
  }
  TTestStore FStore;
  std::vector<std::pair<TLogLevel, Text>> FLogged;
  TSMSignService FService{
      [this](TLogLevel ALevel, const Text& AMessage) { FLogged.emplace_back(ALevel, AMessage); }};
};

TEST_F(SignServiceTest, EmptyStoreGivesEmptyListAndLogsNothing) {
  EXPECT_EQ(FService.getListCertificate(), u"");
  EXPECT_TRUE(FLogged.empty());
}

TEST_F(SignServiceTest, ListJoinsTheStoreEntriesQuotingWhereNeeded) {
  FStore.Add(Certificate("a.pem", "EMPRESA \"A\"; LTDA", "0A1B"));
  FStore.Add(Certificate("b.pem", "JOAO", "0C"));
  const auto entries = TDigitalCertificate().getListSerialNumber();
  ASSERT_EQ(entries.size(), 2u);
  const Text list = FService.getListCertificate();
  EXPECT_EQ(list, JoinCertificateList(entries));
  EXPECT_TRUE(list.starts_with(u"\"EMPRESA \"\"A\"\"; LTDA=serial=0A1B|validate="))
      << text::ToUtf8(list);
  EXPECT_NE(list.find(u";\"JOAO=serial=0C|validate="), Text::npos) << "the date holds a space";
  EXPECT_TRUE(FLogged.empty());
}

TEST_F(SignServiceTest, FailedLookupAndFailedSigningBecomeResultTexts) {
  std::string serial;
  FStore.Add(Certificate("empresa.pem"), &serial);
  const Text validSerial = text::FromAscii(serial);
  const Text malformed = u"<nfse><inf>sem fim</nfse>";
  struct Case {
    const char* name;
    Text xml;
    Text serial;
    Text result;
  };
  const Case kCases[] = {
      {"empty serial", u"<a/>", u"",
       kAdapterError + kLookupError + u"Número de Série do Certificado Digital não especificado !"},
      {"serial of blanks", u"<a/>", u"   ",
       kAdapterError + kLookupError + u"Número de Série do Certificado Digital não especificado !"},
      {"unknown serial", u"<a/>", u"FFEE",
       kAdapterError + kLookupError + u"Certificado Digital não encontrado!"},
      {"unknown serial is looked up before the XML is read", malformed, u"FFEE",
       kAdapterError + kLookupError + u"Certificado Digital não encontrado!"},
      {"malformed XML with a valid serial", malformed, validSerial,
       u"[SignerNFSEDocument] Erro na Assinatura do Documento.\r"
       u"[TSignerNFSEDocument] Não foi possível carregar o arquivo: " +
           malformed},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Sign(c.xml, c.serial), c.result);
  }
}

TEST_F(SignServiceTest, SignedDocumentHasNoLineBreaksAndVerifies) {
  std::string serial;
  FStore.Add(Certificate("empresa.pem", "EMPRESA EXEMPLO LTDA"), &serial);
  std::string lower = serial;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const Text exact = text::FromAscii(serial);
  const Text loose = text::FromAscii(" " + lower + " ");
  struct Case {
    const char* name;
    Text xml;
    Text serial;
  };
  const Case kCases[] = {
      {"accented text, CR LF breaks",
       u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<EnviarLoteRpsEnvio><LoteRps Id=\"l1\">"
       u"<Discriminacao>Serviço de manutenção — São Paulo</Discriminacao></LoteRps>\r\n"
       u"<assinatura/></EnviarLoteRpsEnvio>\r\n",
       exact},
      {"Unix line breaks",
       u"<?xml version=\"1.0\"?>\n<nfse>\n  <inf>a b</inf>\n  <assinatura/>\n</nfse>\n", exact},
      {"serial in lower case with blanks", u"<nfse><assinatura/></nfse>", loose},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const Text result = Sign(c.xml, c.serial);
    ASSERT_FALSE(result.empty());
    ASSERT_NE(result.front(), u'[') << text::ToUtf8(result);
    EXPECT_EQ(result.find_first_of(u"\r\n"), Text::npos);
    EXPECT_NE(result.find(u"<SignatureValue>"), Text::npos);
    EXPECT_EQ(signature_check::VerifyInProcess(result), "") << text::ToUtf8(result);
    EXPECT_EQ(signature_check::VerifyWithXmlsec1(result), "");
  }
}

// A document handed over gives the same result as one lent; it is freed only when the one-pass
// path has signed it, and stays whole for the tree path and for the error text that quotes it.
TEST_F(SignServiceTest, HandedOverDocumentGivesTheSameResultAndIsFreedOnlyWhenSigned) {
  std::string serial;
  FStore.Add(Certificate("empresa.pem", "EMPRESA EXEMPLO LTDA"), &serial);
  const Text exact = text::FromAscii(serial);
  struct Case {
    const char* name;
    Text xml;
    bool signs;
    bool freed;
  };
  const Case kCases[] = {
      {"plain document, one pass",
       u"<?xml version=\"1.0\"?>\n<nfse>\n  <inf Id=\"a\">São Paulo</inf>\n  "
       u"<assinatura/>\n</nfse>",
       true, true},
      {"two templates of the whole document, refused by the tree",
       u"<nfse><a Id=\"x\"><b>1</b><assinatura/></a><assinatura/></nfse>", false, false},
      {"a comment, the tree", u"<nfse><!-- lote --><inf>a</inf><assinatura/></nfse>", true, false},
      {"malformed, the tree's error quotes it", u"<nfse><inf>sem fim</nfse>", false, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const Text lent = Sign(c.xml, exact);
    Text handed = c.xml;
    const Text result = FService.SignDocument(std::move(handed), exact);
    EXPECT_TRUE(FLogged.empty());
    EXPECT_EQ(result, lent);
    EXPECT_EQ(SignOutcomeOf(result) == TSignOutcome::Signed, c.signs) << text::ToUtf8(result);
    if (c.signs) {
      EXPECT_EQ(signature_check::VerifyInProcess(result), "") << text::ToUtf8(result);
    }
    EXPECT_EQ(handed.empty(), c.freed);
    if (!c.freed) {
      EXPECT_EQ(handed, c.xml);
    }
  }
}

// The store is listed once per call: a certificate added or removed between calls is seen by
// the next one.
TEST_F(SignServiceTest, EachCallSeesTheStoreAsItIsThen) {
  std::string serial;
  const std::filesystem::path file = FStore.Add(Certificate("empresa.pem"), &serial);
  const Text document = u"<nfse><assinatura/></nfse>";
  EXPECT_NE(Sign(document, text::FromAscii(serial)).find(u"<SignatureValue>"), Text::npos);
  FStore.Remove(file.filename().string());
  EXPECT_TRUE(Sign(document, text::FromAscii(serial)).starts_with(kAdapterError + kLookupError));
  FStore.Add(Certificate("empresa.pem"), &serial);
  const Text again = Sign(document, text::FromAscii(serial));
  EXPECT_NE(again.find(u"<SignatureValue>"), Text::npos) << text::ToUtf8(again);
  EXPECT_EQ(signature_check::VerifyInProcess(again), "");
}

TEST_F(SignServiceTest, CertificateWithoutKeyFailsInTheLookup) {
  std::string serial;
  FStore.Add(Certificate("sem-chave.pem", "EMPRESA TESTE LTDA", "", false), &serial);
  const Text result = Sign(u"<nfse><assinatura/></nfse>", text::FromAscii(serial));
  EXPECT_TRUE(result.starts_with(kAdapterError + kLookupError)) << text::ToUtf8(result);
}

}  // namespace
