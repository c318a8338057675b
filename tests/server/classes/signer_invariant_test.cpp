// The signer's promise for any document: either an error text, or a well-formed document in
// which every signature verifies as handed back and no template is left empty. Checked over
// templates that clients write, in-process and with the xmlsec1 tool, and for the particular texts
// the text steps once broke.

#include <gtest/gtest.h>

#include <ctime>

#include "platform/exception.h"
#include "platform/xmldsig/dom_document.h"
#include "platform/xmldsig/signature_verification.h"
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

constexpr TextView kDs = u"xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"";

// A client-made ds:Signature with the given references, key information and extra parts.
Text ClientSignature(TextView AReferences, TextView AKeyInfo = u"<ds:KeyInfo/>",
                     TextView AAfter = u"", TextView AValue = u"<ds:SignatureValue/>") {
  return u"<ds:Signature " + Text{kDs} +
         u"><ds:SignedInfo><ds:CanonicalizationMethod "
         u"Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/><ds:SignatureMethod "
         u"Algorithm=\"http://www.w3.org/2000/09/xmldsig#rsa-sha1\"/>" +
         Text{AReferences} + u"</ds:SignedInfo>" + Text{AValue} + Text{AKeyInfo} + Text{AAfter} +
         u"</ds:Signature>";
}

Text Reference(TextView AUri, bool AEnveloped = true, TextView ADigest = u"<ds:DigestValue/>") {
  return u"<ds:Reference URI=\"" + Text{AUri} + u"\">" +
         (AEnveloped ? Text{u"<ds:Transforms><ds:Transform "
                            u"Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"/>"
                            u"</ds:Transforms>"}
                     : Text{}) +
         u"<ds:DigestMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"/>" +
         Text{ADigest} + u"</ds:Reference>";
}

// The template with its key information replaced.
Text TemplateWithKeyInfo(TextView AKeyInfo) {
  Text t{kSignatureTemplate};
  const TextView empty = u"<KeyInfo></KeyInfo>";
  t.replace(t.find(empty), empty.size(), AKeyInfo);
  return t;
}

class SignerInvariantTest : public testing::Test {
 protected:
  void SetUp() override {
    store.Add(
        TCertificateRequest("10-empresa.pem").CommonName("EMPRESA TESTE LTDA").Serial("0A1B2C"));
    certificate = TDigitalCertificate().getCertificateBySerial(u"0A1B2C");
  }

  struct TResult {
    Text signedXml;
    Text status;
  };
  TResult Sign(const Text& document) {
    TResult result{u"antes", u""};
    TSignerNFSEDocument().sign(document, *certificate, result.signedXml, result.status);
    return result;
  }

  // The invariant, with both verifiers on success; returns the result for further checks.
  TResult SignAndCheck(const Text& document, const TVerifyOptions& options = {}) {
    TResult result = Sign(document);
    if (result.status != kStatusOk) {
      EXPECT_EQ(result.status.rfind(Text{kSignFailed} + CR, 0), 0u) << text::ToUtf8(result.status);
      EXPECT_EQ(result.signedXml, u"antes");
      return result;
    }
    EXPECT_EQ(signature_check::VerifyInProcess(result.signedXml, options), "")
        << text::ToUtf8(result.signedXml);
    EXPECT_EQ(signature_check::VerifyWithXmlsec1(result.signedXml, options), "")
        << text::ToUtf8(result.signedXml);
    // Every signature of the document, as a reader checks it.
    IXMLDOMDocument3 returned;
    EXPECT_TRUE(returned.loadXML(result.signedXml));
    for (const xmldsig::TSignatureCheck& check :
         xmldsig::CheckSignatures(*returned.Handle(), nullptr, std::time(nullptr)).signatures) {
      EXPECT_EQ(check.state, xmldsig::TSignatureState::Valid)
          << "assinatura " << check.index << ": " << check.detail << "\n"
          << text::ToUtf8(result.signedXml);
    }
    return result;
  }

  TTestStore store;
  ICertificate2Ptr certificate;
};

TEST_F(SignerInvariantTest, ClientTemplatesSignVerifiablyOrFail) {
  const Text staleCertificate =
      u"<X509Certificate>MIIBszCCAVmgAwIBAgIUAAAAAAAAAAAAAAAAAAAAAAAAAAAwCgYIKoZIzj0EAwIw"
      u"</X509Certificate>";
  struct Case {
    const char* name;
    Text document;
    bool mustSign;
    TVerifyOptions options = {};
  };
  const Case cases[] = {
      {"attributes after the signature value",
       u"<L xmlns=\"urn:l\"><Inf Id=\"a\">1</Inf>" +
           TemplateWithKeyInfo(u"<KeyInfo Id=\"k\"></KeyInfo>") + u"</L>",
       true},
      {"object after the key information",
       u"<L><Inf>um dois</Inf><Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\">" +
           Text{kSignatureTemplate}.substr(54, 530 - 54 - 12) +
           u"<Object Id=\"o\">texto com espaços</Object></Signature></L>",
       false},
      {"retrieval method in the key information",
       u"<L>" + TemplateWithKeyInfo(u"<KeyInfo><RetrievalMethod URI=\"#x\"/></KeyInfo>") + u"</L>",
       false},
      {"subject name requested with the certificate",
       u"<L>" +
           TemplateWithKeyInfo(
               u"<KeyInfo><X509Data><X509SubjectName/><X509Certificate/></X509Data></KeyInfo>") +
           u"</L>",
       true},
      {"certificate tag in a comment before",
       u"<L xmlns=\"urn:l\"><!--<X509Certificate>--><Inf Id=\"a\">1</Inf><assinatura/></L>", true},
      {"markup in CDATA before",
       u"<L><![CDATA[<DigestValue> a b <X509Certificate>]]><Inf>x y</Inf><assinatura/></L>", true},
      {"markup in attribute values",
       u"<L v=\"&lt;X509Certificate&gt; a\"><Inf w='&lt;SignatureValue> b'>c d</Inf>"
       u"<assinatura/><Fim e=\"f g\">h i</Fim></L>",
       true},
      {"prefilled stale certificate",
       u"<L>" +
           TemplateWithKeyInfo(u"<KeyInfo><X509Data>" + staleCertificate +
                               u"</X509Data></KeyInfo>") +
           u"</L>",
       true},
      {"stale certificate after a subject name request",
       u"<L>" +
           TemplateWithKeyInfo(u"<KeyInfo><X509Data><X509SubjectName/>" + staleCertificate +
                               u"</X509Data><X509Data>" + staleCertificate +
                               u"</X509Data></KeyInfo>") +
           u"</L>",
       true},
      {"prefilled values",
       u"<L><Inf Id=\"a\">1</Inf>" +
           ClientSignature(Reference(u"", true, u"<ds:DigestValue>AAAA</ds:DigestValue>"),
                           u"<ds:KeyInfo/>", u"",
                           u"<ds:SignatureValue>QUJD RA==</ds:SignatureValue>") +
           u"</L>",
       true},
      {"several references",
       u"<L><Inf Id=\"a\">1</Inf><Inf Id=\"b\">2 3</Inf>" +
           ClientSignature(Reference(u"") + Reference(u"#a", false) + Reference(u"#b", false)) +
           u"</L>",
       true, TVerifyOptions().IdAttribute("Id", "Inf")},
      {"reference covering the signature itself",
       u"<L Id=\"raiz\"><Inf>1</Inf>" + ClientSignature(Reference(u"#raiz", false)) + u"</L>",
       false},
      {"reference to the key information",
       u"<L><Inf>1</Inf>" +
           ClientSignature(Reference(u"") + Reference(u"#ki", false), u"<ds:KeyInfo Id=\"ki\"/>") +
           u"</L>",
       false},
      // Two signatures of the whole document cover each other: never both valid.
      {"two placeholders", u"<L><A Id=\"a\">x y</A><assinatura/><B>z w</B><assinatura/></L>",
       false},
      {"three placeholders, one in a comment",
       u"<L><!--<assinatura/>--><A>x y</A><assinatura/><B b=\"c d\"/><assinatura/></L>", false},
      {"placeholder in CDATA only", u"<L><![CDATA[<assinatura/>]]></L>", false},
      // Several signatures: all of them or none.
      {"templates by Id and a placeholder",
       u"<L><R><Inf Id=\"a\">1</Inf>" + ClientSignature(Reference(u"#a")) +
           u"</R><R><Inf Id=\"b\">2</Inf>" + ClientSignature(Reference(u"#b")) +
           u"</R><assinatura/></L>",
       true, TVerifyOptions().IdAttribute("Id", "Inf")},
      {"a template by Id and one of the whole document written first",
       u"<L>" + ClientSignature(Reference(u"")) + u"<R><Inf Id=\"a\">1</Inf>" +
           ClientSignature(Reference(u"#a")) + u"</R></L>",
       true, TVerifyOptions().IdAttribute("Id", "Inf")},
      {"two templates naming one Id",
       u"<L><Inf Id=\"a\">1</Inf>" + ClientSignature(Reference(u"#a")) +
           ClientSignature(Reference(u"#a")) + u"</L>",
       false},
      {"an Id repeated with other blanks or case",
       u"<L><Inf Id=\"a\">1</Inf><X><Inf Id=\" A\">2</Inf></X>" +
           ClientSignature(Reference(u"#a")) + u"</L>",
       false},
      {"an Id element that is not beside the signature",
       u"<L><X><Inf Id=\"a\">1</Inf></X>" + ClientSignature(Reference(u"#a")) + u"</L>", false},
      {"a signature already made, invalid, beside a template",
       u"<L><Inf Id=\"a\">1</Inf><Inf Id=\"b\">2</Inf>" +
           ClientSignature(Reference(u"#a", true, u"<ds:DigestValue>AAAA</ds:DigestValue>"),
                           u"<ds:KeyInfo/>", u"",
                           u"<ds:SignatureValue>QUJD RA==</ds:SignatureValue>") +
           ClientSignature(Reference(u"#b")) + u"</L>",
       false},
      {"declaration, processing instruction and comments",
       u"<?xml version=\"1.0\" encoding=\"UTF-8\"?><?pi a b?><!-- c d --><L><E a=\"1 2\">"
       u"<![CDATA[ x < y ]]></E><assinatura/><!-- e f --></L><!-- g h -->",
       true},
      {"namespaces and prefixes",
       u"<n:L xmlns:n=\"urn:n\" xmlns:ds=\"urn:nao-e-dsig\"><ds:Signature>x y</ds:Signature>"
       u"<n:E xml:lang=\"pt\">a b</n:E><assinatura/></n:L>",
       false},
      {"internal subset without defaults",
       u"<!DOCTYPE L [<!ELEMENT L ANY><!ATTLIST L v CDATA #IMPLIED>]><L v=\"a "
       u"b\"><assinatura/></L>",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = SignAndCheck(c.document, c.options);
    if (c.mustSign) {
      EXPECT_EQ(result.status, kStatusOk) << text::ToUtf8(result.status);
    }
  }
}

TEST_F(SignerInvariantTest, TextStepsTouchOnlyTheSignedSignaturesBase64Texts) {
  const auto keyInfo = SignAndCheck(u"<L xmlns=\"urn:l\"><Inf Id=\"a\">1</Inf>" +
                                    TemplateWithKeyInfo(u"<KeyInfo Id=\"k\"></KeyInfo>") + u"</L>");
  ASSERT_EQ(keyInfo.status, kStatusOk);
  EXPECT_NE(keyInfo.signedXml.find(u"<KeyInfo Id=\"k\">"), Text::npos);

  const auto subject = SignAndCheck(
      u"<L>" +
      TemplateWithKeyInfo(u"<KeyInfo><X509Data><X509SubjectName>CN=EMPRESA TESTE LTDA"
                          u"</X509SubjectName><X509Certificate/></X509Data></KeyInfo>") +
      u"</L>");
  ASSERT_EQ(subject.status, kStatusOk);
  EXPECT_NE(subject.signedXml.find(u"CN=EMPRESA TESTE LTDA"), Text::npos)
      << text::ToUtf8(subject.signedXml);

  // The commented tag is no certificate: nothing between it and the real one is cut.
  const auto comment = SignAndCheck(
      u"<L xmlns=\"urn:l\"><!--<X509Certificate>--><Inf Id=\"a\">1</Inf><assinatura/></L>");
  ASSERT_EQ(comment.status, kStatusOk);
  EXPECT_EQ(
      comment.signedXml.rfind(u"<L xmlns=\"urn:l\"><!--<X509Certificate>--><Inf Id=\"a\">1</Inf>"
                              u"<Signature",
                              0),
      0u);
}

TEST_F(SignerInvariantTest, KeyInformationHoldsTheSignersCertificateWhateverTheTemplateHeld) {
  const Text stale =
      u"<X509Certificate>MIIBszCCAVmgAwIBAgIUAAAAAAAAAAAAAAAAAAAAAAAAAAAwCgYIKoZIzj0EAwIw"
      u"</X509Certificate>";
  const auto result = SignAndCheck(
      u"<L>" + TemplateWithKeyInfo(u"<KeyInfo><X509Data>" + stale + u"</X509Data></KeyInfo>") +
      u"</L>");
  ASSERT_EQ(result.status, kStatusOk);
  EXPECT_EQ(result.signedXml.find(u"MIIBszCCAVmgAwIBAgIU"), Text::npos);
  const std::size_t first = result.signedXml.find(kCertificateTag);
  ASSERT_NE(first, Text::npos);
  EXPECT_EQ(result.signedXml.rfind(kCertificateTag), first);
}

TEST_F(SignerInvariantTest, InputThatIsRefusedLikeAMalformedDocument) {
  const Text loadFailed = Text{kSignFailed} + CR + Text{kLoadFailed};
  Text loneSurrogate = u"<a>x<assinatura/></a>";
  loneSurrogate[3] = 0xD800;
  struct Case {
    const char* name;
    Text document;
  };
  const Case cases[] = {
      {"lone surrogate", loneSurrogate},
      {"lone low surrogate at the end", u"<a><assinatura/></a>" + Text(1, char16_t{0xDC00})},
      {"two byte-order marks", u"\uFEFF\uFEFF<?xml version=\"1.0\"?><a><assinatura/></a>"},
      {"external subset, SYSTEM", u"<!DOCTYPE a SYSTEM \"a.dtd\"><a><assinatura/></a>"},
      {"external subset, PUBLIC",
       u"<!DOCTYPE a PUBLIC \"-//X//DTD Y//PT\" \"a.dtd\"><a><assinatura/></a>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = Sign(c.document);
    EXPECT_EQ(result.status.rfind(loadFailed, 0), 0u) << text::ToUtf8(result.status);
    EXPECT_EQ(result.signedXml, u"antes");
  }
}

TEST_F(SignerInvariantTest, AmbiguousReferencesAreRefused) {
  for (const Text uri : {u"#a", u"#xpointer(id('a'))"}) {
    SCOPED_TRACE(text::ToUtf8(uri));
    const auto result = Sign(u"<L><Inf Id=\"a\">1</Inf><Outra><Inf Id=\"a\">2</Inf></Outra>" +
                             ClientSignature(Reference(uri, false)) + u"</L>");
    EXPECT_EQ(result.status.rfind(Text{kSignFailed} + CR + Text{kTemplateRefused}, 0), 0u)
        << text::ToUtf8(result.status);
    EXPECT_EQ(result.signedXml, u"antes");
  }
  // One element with that Id: signed as before.
  const auto single =
      SignAndCheck(u"<L><Inf Id=\"a\">1</Inf>" + ClientSignature(Reference(u"#a", false)) + u"</L>",
                   TVerifyOptions().IdAttribute("Id", "Inf"));
  EXPECT_EQ(single.status, kStatusOk) << text::ToUtf8(single.status);
}

}  // namespace
