// Documents that ask for several signatures by ID (ABRASF: each RPS, then the batch).

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "platform/exception.h"
#include "platform/xmldsig/dsig_messages.h"
#include "server/classes/digital_certificate.h"
#include "server/classes/signer.h"
#include "server/classes/signer_messages.h"
#include "tests/support/signature_check.h"
#include "tests/support/test_certificates.h"

namespace {

using namespace signer_messages;
using signature_check::TVerifyOptions;
using test_certificates::TCertificateRequest;
using test_certificates::TTestStore;

Text ReadData(const std::string& name) {
  std::ifstream in(std::string(ASSINADOR_TEST_DATA) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in) << name;
  return text::FromUtf8(std::string(std::istreambuf_iterator<char>(in), {}));
}

std::size_t Count(const Text& AText, TextView AWhat) {
  std::size_t count = 0;
  for (std::size_t at = AText.find(AWhat); at != Text::npos; at = AText.find(AWhat, at + 1))
    ++count;
  return count;
}

void Replace(Text& AText, TextView AFrom, TextView ATo) {
  const std::size_t at = AText.find(AFrom);
  ASSERT_NE(at, Text::npos) << text::ToUtf8(AFrom);
  AText.replace(at, AFrom.size(), ATo);
}

// A template of the ABRASF form for "#AId".
Text Template(TextView AId) {
  return u"<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><SignedInfo>"
         u"<CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"
         u"<SignatureMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#rsa-sha1\"/>"
         u"<Reference URI=\"#" +
         Text{AId} +
         u"\"><Transforms><Transform "
         u"Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"/>"
         u"</Transforms><DigestMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"/>"
         u"<DigestValue/></Reference></SignedInfo><SignatureValue/></Signature>";
}

TVerifyOptions BatchIds(int AIndex) {
  return TVerifyOptions()
      .Nth(AIndex)
      .IdAttribute("Id", "http://www.abrasf.org.br/nfse.xsd:InfDeclaracaoPrestacaoServico")
      .IdAttribute("Id", "http://www.abrasf.org.br/nfse.xsd:LoteRps");
}

class SignerSeveralTest : public testing::Test {
 protected:
  void SetUp() override { store.Add(TCertificateRequest("empresa.pem").Serial("0A1B2C")); }

  struct TResult {
    Text signedXml;
    Text status;
  };
  TResult Sign(const Text& ADocument, TDocumentReading AReading = TDocumentReading::Streamed) {
    TResult result{u"antes", u""};
    const ICertificate2Ptr certificate = TDigitalCertificate().getCertificateBySerial(u"0A1B2C");
    TSignerNFSEDocument(AReading).sign(ADocument, *certificate, result.signedXml, result.status);
    return result;
  }

  TTestStore store;
};

TEST_F(SignerSeveralTest, AbrasfBatchGetsEveryRpsSignatureAndTheBatchOne) {
  for (const TDocumentReading reading : {TDocumentReading::Streamed, TDocumentReading::TreeOnly}) {
    SCOPED_TRACE(reading == TDocumentReading::Streamed ? "streamed" : "tree only");
    const auto result = Sign(ReadData("nfse_lote_abrasf.xml"), reading);
    ASSERT_EQ(result.status, kStatusOk) << text::ToUtf8(result.status);
    EXPECT_EQ(Count(result.signedXml, u"<SignatureValue>"), 4u);
    EXPECT_EQ(Count(result.signedXml, u"<SignatureValue></SignatureValue>"), 0u);
    EXPECT_EQ(Count(result.signedXml, u"<X509Certificate>"), 4u);
    EXPECT_EQ(result.signedXml.find(u'\n'), Text::npos);
    for (int i = 0; i < 4; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(signature_check::VerifyWithXmlsec1(result.signedXml, BatchIds(i)), "");
      EXPECT_EQ(signature_check::VerifyInProcess(result.signedXml, BatchIds(i)), "");
    }
  }
}

TEST_F(SignerSeveralTest, BatchDigestCoversTheRpsSignatures) {
  const auto result = Sign(ReadData("nfse_lote_abrasf.xml"));
  ASSERT_EQ(result.status, kStatusOk) << text::ToUtf8(result.status);
  // The second RPS's signature value with one character changed: that signature and the
  // batch's fail, the other RPS signatures stand.
  Text altered = result.signedXml;
  std::size_t at = altered.find(u"<SignatureValue>");
  at = altered.find(u"<SignatureValue>", at + 1) +
       std::char_traits<char16_t>::length(u"<SignatureValue>");
  altered[at] = altered[at] == u'A' ? u'B' : u'A';
  const bool expected[] = {true, false, true, false};
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(signature_check::VerifyInProcess(altered, BatchIds(i)).empty(), expected[i]);
  }
}

TEST_F(SignerSeveralTest, WhichTemplatesAreSigned) {
  const Text rps1 = u"<Rps><Inf Id=\"r1\">um</Inf>" + Template(u"r1") + u"</Rps>";
  const Text rps2 = u"<Rps><Inf Id=\"r2\">dois</Inf>" + Template(u"r2") + u"</Rps>";
  struct Case {
    const char* name;
    Text document;
    std::size_t signedCount;  // signature values that end up filled
    std::size_t templates;    // Signature elements in the output
  };
  const Case cases[] = {
      {"two RPS and the batch",
       u"<Envio><Lote Id=\"l\">" + rps1 + rps2 + u"</Lote>" + Template(u"l") + u"</Envio>", 3, 3},
      {"the batch template written first",
       u"<Envio>" + Template(u"l") + u"<Lote Id=\"l\">" + rps1 + rps2 + u"</Lote></Envio>", 3, 3},
      {"a single template by ID", u"<Envio>" + rps1 + u"</Envio>", 1, 1},
      {"a template by ID beside one for the whole document: both, the whole document last",
       u"<Envio>" + rps1 + Text{kSignatureTemplate} + u"</Envio>", 2, 2},
      {"an RPS template beside a placeholder: the placeholder signs the whole document",
       u"<Envio>" + rps1 + u"<assinatura/></Envio>", 2, 2},
      {"the batch's template beside RPS already signed: only the batch is signed",
       u"<Envio><Lote Id=\"l\">" + rps1 + u"</Lote>" + Template(u"l") + u"</Envio>", 2, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = Sign(c.document);
    ASSERT_EQ(result.status, kStatusOk) << text::ToUtf8(result.status);
    EXPECT_EQ(Count(result.signedXml, u"<X509Certificate>"), c.signedCount);
    EXPECT_EQ(Count(result.signedXml, u"</Signature>"), c.templates);
    for (std::size_t i = 0; i < c.signedCount; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(signature_check::VerifyInProcess(result.signedXml,
                                                 TVerifyOptions().Nth(static_cast<int>(i))),
                "");
    }
  }
}

TEST_F(SignerSeveralTest, NothingHalfSignedIsReturned) {
  const Text rps1 = u"<Rps><Inf Id=\"r1\">um</Inf>" + Template(u"r1") + u"</Rps>";
  const Text prefix = Text{kSignFailed} + CR;
  struct Case {
    const char* name;
    Text document;
    Text status;
  };
  const Case cases[] = {
      {"an ID that names no element",
       u"<Envio><Lote Id=\"l\">" + rps1 + u"</Lote>" + Template(u"sumiu") + u"</Envio>",
       prefix + Text{kTemplateRefused} + Text{dsig_messages::kReferenceWithoutElement} + u"sumiu"},
      {"two templates of the whole document, which cover each other",
       u"<Envio><a>x</a><assinatura/><b>y</b><assinatura/></Envio>",
       prefix + Text{kSignaturesCoverEachOther}},
      {"two templates naming one ID",
       u"<Envio><Inf Id=\"r1\">um</Inf>" + Template(u"r1") + Template(u"r1") + u"</Envio>",
       prefix + Text{kIdNamedTwice} + u"r1"},
      {"a template outside the profile",
       u"<Envio><Lote Id=\"l\">" + rps1 + u"</Lote>" +
           [] {
             Text t = Template(u"l");
             Replace(t, u"xmldsig#sha1", u"xmldsig#md5");
             return t;
           }() +
           u"</Envio>",
       prefix + Text{kTemplateRefused} + Text{dsig_messages::kDigestRefused} +
           u"MD5 (http://www.w3.org/2000/09/xmldsig#md5)"},
      {"a template the library cannot compute",
       u"<Envio><Lote Id=\"l\">" + rps1 + u"<X xmlns=\"relativo\"/></Lote>" + Template(u"l") +
           u"</Envio>",
       prefix + Text{kSigningFailed} + Text{kSignatureOfReference} + u"l"},
      {"a batch signature already made over an RPS template",
       [&] {
         const auto batch =
             Sign(u"<Envio>" + Template(u"l") + u"<Lote Id=\"l\">" + rps1 + u"</Lote></Envio>");
         Text document = batch.signedXml;
         // The RPS's own signature back to an empty template, under the batch's.
         const std::size_t from = document.find(u"<Signature", document.find(u"<Lote"));
         const std::size_t to = document.find(u"</Signature>", from) + 12;
         document.replace(from, to - from, Template(u"r1"));
         return document;
       }(),
       prefix + Text{kWouldBreakSignature} + u"de #l"},
      {"the first signature re-signed under a batch signature whose content changed",
       [&] {
         const auto batch =
             Sign(u"<Envio><Lote Id=\"l\">" + rps1 + u"</Lote>" + Template(u"l") + u"</Envio>");
         Text document = batch.signedXml;
         const std::size_t from = document.find(u"<Signature");
         const std::size_t to = document.find(u"</Signature>") + 12;
         document.replace(from, to - from, Template(u"r1"));
         Replace(document, u">um<", u">uns<");
         return document;
       }(),
       prefix + Text{kSignatureDoesNotVerify} + u"de #l"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = Sign(c.document);
    EXPECT_EQ(result.status, c.status) << text::ToUtf8(result.status);
    EXPECT_EQ(result.signedXml, u"antes");
  }
}

}  // namespace
