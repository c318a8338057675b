#include "server/classes/signer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <thread>

#include "platform/certstore/store.h"
#include "platform/exception.h"
#include "platform/xmldsig/dsig_messages.h"
#include "server/classes/digital_certificate.h"
#include "server/classes/signer_messages.h"
#include "server/classes/signer_text.h"
#include "tests/support/signature_check.h"
#include "tests/support/test_certificates.h"

namespace {

using namespace signer_messages;
using signature_check::TVerifyOptions;
using test_certificates::TCertificateRequest;
using test_certificates::TTestStore;

std::string ReadBytes(const std::string& name) {
  std::ifstream in(std::string(ASSINADOR_TEST_DATA) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in) << name;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

Text ReadData(const std::string& name) { return text::FromUtf8(ReadBytes(name)); }

void ReplaceAll(Text& s, TextView from, TextView to) {
  for (std::size_t pos = 0; (pos = s.find(from, pos)) != Text::npos; pos += to.size()) {
    s.replace(pos, from.size(), to);
  }
}

// The text without its first Signature element (any prefix).
Text WithoutFirstSignature(Text s);

Text WithoutSignatures(Text s) {
  for (Text shorter = WithoutFirstSignature(s); shorter != s; shorter = WithoutFirstSignature(s))
    s = std::move(shorter);
  return s;
}

Text WithoutFirstSignature(Text s) {
  std::size_t start = s.find(u"<Signature");
  TextView close = u"</Signature>";
  if (const std::size_t prefixed = s.find(u"<ds:Signature");
      prefixed != Text::npos && (start == Text::npos || prefixed < start)) {
    start = prefixed;
    close = u"</ds:Signature>";
  }
  if (start == Text::npos) return s;
  const std::size_t end = s.find(close, start);
  if (end == Text::npos) return s;
  s.erase(start, end + close.size() - start);
  return s;
}

class SignerTest : public testing::Test {
 protected:
  void SetUp() override {
    store.Add(
        TCertificateRequest("10-empresa.pem").CommonName("EMPRESA TESTE LTDA").Serial("0A1B2C"));
  }

  ICertificate2Ptr Certificate(const Text& serial = u"0A1B2C") {
    return TDigitalCertificate().getCertificateBySerial(serial);
  }

  struct TResult {
    Text signedXml;
    Text status;
  };
  TResult Sign(const Text& document, const Text& serial = u"0A1B2C") {
    TResult result{u"antes", u""};
    TSignerNFSEDocument().sign(document, *Certificate(serial), result.signedXml, result.status);
    return result;
  }

  // Every signed output: no literal line break, and both verifiers accept it.
  static void ExpectVerifies(const Text& signedXml, const TVerifyOptions& options = {}) {
    EXPECT_EQ(signedXml.find(u'\n'), Text::npos);
    EXPECT_EQ(signedXml.find(u'\r'), Text::npos);
    EXPECT_EQ(signature_check::VerifyInProcess(signedXml, options), "");
    EXPECT_EQ(signature_check::VerifyWithXmlsec1(signedXml, options), "");
  }

  TTestStore store;
};

TEST(SignerTemplate, IsOneLineOf530Characters) {
  EXPECT_EQ(kSignatureTemplate.size(), 530u);
  EXPECT_EQ(kSignatureTemplate.find(u'\n'), TextView::npos);
  EXPECT_EQ(kSignatureTemplate.substr(0, 10), u"<Signature");
  EXPECT_EQ(kSignatureTemplate.substr(530 - 12), u"</Signature>");
  EXPECT_EQ(kSelectionNamespaces.size(), 45u);
}

TEST(SignerText, WorkedExampleOfPostProcessing) {
  const Text input = u"<?xml version='1.0' encoding='UTF-8'?><doc><a>x y</a><assinatura/></doc>";
  const Text prepared = signer_text::PrepareDocument(input);
  EXPECT_EQ(prepared, u"<?xml version='1.0' encoding='UTF-8'?><doc><a>x y</a>" +
                          Text{kSignatureTemplate} + u"</doc>");
  const Text declaration = signer_text::CaptureDeclaration(prepared);
  EXPECT_EQ(declaration, u"<?xml version='1.0' encoding='UTF-8'?>");

  const Text serialised =
      u"<?xml version='1.0'?>\n<doc><a>x y</a><Signature "
      u"xmlns='http://www.w3.org/2000/09/xmldsig#'><SignedInfo/><SignatureValue>ab\ncd "
      u"ef</SignatureValue><KeyInfo><X509Data><X509Certificate>CA 1</X509Certificate>"
      u"<X509Certificate>EE 2</X509Certificate></X509Data></KeyInfo></Signature></doc>\n";
  EXPECT_EQ(signer_text::PostProcess(serialised, declaration),
            u"<?xml version='1.0' encoding='UTF-8'?><doc><a>x y</a><Signature "
            u"xmlns='http://www.w3.org/2000/09/xmldsig#'><SignedInfo/>"
            u"<SignatureValue>abcdef</SignatureValue><KeyInfo><X509Data>"
            u"<X509Certificate>EE2</X509Certificate></X509Data></KeyInfo></Signature></doc>");
}

TEST(SignerText, PreparationAndPostProcessingRules) {
  struct Case {
    const char* name;
    Text input;
    Text expected;
  };
  const Case prepare[] = {
      {"placeholder replaced", u"<a><assinatura/></a>",
       u"<a>" + Text{kSignatureTemplate} + u"</a>"},
      {"two placeholders", u"<a><assinatura/><assinatura/></a>",
       u"<a>" + Text{kSignatureTemplate} + Text{kSignatureTemplate} + u"</a>"},
      {"existing signature drops placeholders", u"<a><Signature/><assinatura/></a>",
       u"<a><Signature/></a>"},
      {"spaced or capitalised is no placeholder", u"<a><assinatura /><Assinatura/></a>",
       u"<a><assinatura /><Assinatura/></a>"},
      {"every CR and LF goes", u"<a>\r\n1\n2\r3</a>", u"<a>123</a>"},
      {"character references stay", u"<a>1&#10;2&#xD;</a>", u"<a>1&#10;2&#xD;</a>"},
  };
  for (const auto& c : prepare) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(signer_text::PrepareDocument(c.input), c.expected);
  }

  const Case declaration[] = {
      {"declaration", u"<?xml version=\"1.0\"?><a/>", u"<?xml version=\"1.0\"?>"},
      {"none", u"<a/>", u""},
      {"processing instruction is no declaration", u"<a><?pi x?></a>", u""},
      {"stylesheet is no declaration", u"<?xml-stylesheet href='a'?><a/>", u""},
      {"byte-order mark kept with it", u"\uFEFF<?xml version=\"1.0\"?><a/>",
       u"\uFEFF<?xml version=\"1.0\"?>"},
  };
  for (const auto& c : declaration) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(signer_text::CaptureDeclaration(c.input), c.expected);
  }

  struct PostCase {
    const char* name;
    Text serialised;
    Text declaration;
    Text expected;
  };
  const PostCase post[] = {
      {"spaces outside the base64 texts stay",
       u"<a><Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><SignatureValue>a b"
       u"</SignatureValue><KeyInfo x=\"1 2\"/></Signature><b c=\"d e\">f g</b></a>",
       u"",
       u"<a><Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><SignatureValue>ab"
       u"</SignatureValue><KeyInfo x=\"1 2\"/></Signature><b c=\"d e\">f g</b></a>"},
      {"prefixed signature element",
       u"<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:SignatureValue>a b"
       u"</ds:SignatureValue></ds:Signature><b>f g</b>",
       u"",
       u"<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:SignatureValue>ab"
       u"</ds:SignatureValue></ds:Signature><b>f g</b>"},
      {"no signature value: nothing removed", u"<a>x y</a>", u"", u"<a>x y</a>"},
      {"three certificates keep the third",
       u"<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><KeyInfo><X509Data>"
       u"<X509Certificate>1</X509Certificate><X509Certificate>2</X509Certificate>"
       u"<X509Certificate>3</X509Certificate></X509Data></KeyInfo></Signature>",
       u"",
       u"<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><KeyInfo><X509Data>"
       u"<X509Certificate>3</X509Certificate></X509Data></KeyInfo></Signature>"},
      {"declaration restored", u"<?xml version=\"1.0\"?><a/>",
       u"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>",
       u"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a/>"},
      {"declaration prepended", u"<a/>", u"<?xml version=\"1.0\"?>",
       u"<?xml version=\"1.0\"?><a/>"},
      {"no declaration when the input had none", u"<?xml version=\"1.0\"?><a><?pi?></a>", u"",
       u"<a><?pi?></a>"},
      {"line breaks removed", u"<?xml version=\"1.0\"?>\r\n<a>\n</a>\n", u"", u"<a></a>"},
  };
  for (const auto& c : post) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(signer_text::PostProcess(c.serialised, c.declaration), c.expected);
    // The same steps on the serialiser's UTF-8, which comes without its declaration.
    constexpr TextView kSerialiserDeclaration = u"<?xml version=\"1.0\"?>";
    const TextView body = TextView{c.serialised}.starts_with(kSerialiserDeclaration)
                              ? TextView{c.serialised}.substr(kSerialiserDeclaration.size())
                              : TextView{c.serialised};
    EXPECT_EQ(signer_text::PostProcessUtf8(text::ToUtf8(body), c.declaration), c.expected);
  }
}

// The markers are searched with skips over the text; characters that share a byte with a
// marker's (U+013C and '<', U+013E and '>', U+012F and '/') must neither hide nor fake one.
TEST(SignerText, MarkersAreFoundWhereverTheyStand) {
  const Text t{kSignatureTemplate};
  struct Case {
    const char* name;
    Text input;
    Text expected;
  };
  const Case prepare[] = {
      {"placeholder alone", u"<assinatura/>", t},
      {"placeholder at both ends", u"<assinatura/>x<assinatura/>", t + u"x" + t},
      {"broken placeholder before a whole one", u"<assinatura<assinatura/>/>",
       u"<assinatura" + t + u"/>"},
      {"look-alike characters", u"\u013Cassinatura\u012F\u013E<assinatura/>\u013E",
       u"\u013Cassinatura\u012F\u013E" + t + u"\u013E"},
      {"placeholder split by a line break stays text", u"<assina\ntura/>", u"<assinatura/>"},
      {"signature marker at the very end", u"<assinatura/><Signature", u"<Signature"},
      {"signature marker cut short", u"<assinatura/><Signatur", t + u"<Signatur"},
  };
  for (const auto& c : prepare) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(signer_text::PrepareDocument(c.input), c.expected);
  }
  // Long texts are copied in blocks: breaks at block edges, inside blocks and in the tail.
  Text longInput;
  Text longExpected;
  for (int i = 0; i < 100; ++i) {
    const char16_t c = static_cast<char16_t>(u'a' + i % 26);
    longInput += (i == 0 || i == 31 || i == 32 || i == 63 || i == 99) ? u'\n' : c;
    if (i % 7 == 3) longInput += u'\r';
    if (i != 0 && i != 31 && i != 32 && i != 63 && i != 99) longExpected += c;
  }
  EXPECT_EQ(signer_text::PrepareDocument(longInput + u"<assinatura/>" + longInput),
            longExpected + t + longExpected);
  EXPECT_EQ(signer_text::PrepareDocument(Text(70, u'x')), Text(70, u'x'));
  // Prepared text is appended a chunk at a time: breaks and placeholders around chunk ends.
  constexpr std::size_t kChunk = text::kConversionChunk;
  for (const std::size_t at : {kChunk - 13, kChunk - 1, kChunk, kChunk + 1, 2 * kChunk - 1}) {
    SCOPED_TRACE(at);
    const Text head(at, u'h');
    EXPECT_EQ(signer_text::PrepareDocument(head + u"\r\n" + Text(kChunk, u't')),
              head + Text(kChunk, u't'));
    EXPECT_EQ(signer_text::PrepareDocument(head + u"<assinatura/>\n" + head), head + t + head);
    EXPECT_EQ(signer_text::PrepareDocument(Text(at, u'\n')), u"");
  }
  EXPECT_EQ(signer_text::PostProcess(u"\u013CSignatureValue\u013E a <Signature "
                                     u"xmlns=\"http://www.w3.org/2000/09/xmldsig#\">"
                                     u"<SignatureValue> b c</SignatureValue></Signature> d",
                                     u""),
            u"\u013CSignatureValue\u013E a <Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\">"
            u"<SignatureValue>bc</SignatureValue></Signature> d");
}

// The signer post-processes the serialiser's UTF-8 bytes and converts the result once, a chunk
// at a time: the same text as the steps on UTF-16, whatever the characters around the edits and
// wherever the chunk boundaries fall.
// Only the signed Signature's own elements are cleaned: markup that merely looks like them,
// before or inside it, stays byte for byte.
TEST(SignerText, PostProcessingReadsMarkupNotLookAlikes) {
  const Text ns = u" xmlns=\"http://www.w3.org/2000/09/xmldsig#\"";
  const Text lookAlike = u"<Signature" + ns + u"><SignatureValue>l 1</SignatureValue></Signature>";
  const Text real = u"<Signature" + ns + u"><SignatureValue>s 1</SignatureValue></Signature>";
  const Text cleaned = u"<Signature" + ns + u"><SignatureValue>s1</SignatureValue></Signature>";
  struct Case {
    const char* name;
    Text before;  // what precedes the signed Signature, unchanged
  };
  const Case cases[] = {
      {"in a comment", u"<!--" + lookAlike + u"-->"},
      {"in a CDATA section", u"<![CDATA[" + lookAlike + u"]]>"},
      {"in a processing instruction", u"<?p " + lookAlike + u"?>"},
      {"in an attribute value", u"<b v='" + lookAlike + u"'/>"},
      {"in a document type", u"<!DOCTYPE a [<!ENTITY e '" + lookAlike + u"'><!-- ' > -->]>"},
      {"in another namespace",
       u"<Signature xmlns=\"urn:x\"><SignatureValue>l 1"
       u"</SignatureValue></Signature>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Text document = u"<a>" + c.before + real + u"<c>t 1</c></a>";
    const Text expected = u"<a>" + c.before + cleaned + u"<c>t 1</c></a>";
    EXPECT_EQ(signer_text::PostProcess(document, u""), expected);
    EXPECT_EQ(signer_text::PostProcessUtf8(text::ToUtf8(document), u""), expected);
  }
  // The signed Signature is the first one: a later one stays as it is.
  EXPECT_EQ(signer_text::PostProcess(u"<a>" + real + real + u"</a>", u""),
            u"<a>" + cleaned + real + u"</a>");
  // An empty first Signature element ends the search.
  EXPECT_EQ(signer_text::PostProcess(u"<a><Signature" + ns + u"/>" + real + u"</a>", u""),
            u"<a><Signature" + ns + u"/>" + real + u"</a>");
}

TEST(SignerText, PostProcessingUtf8BytesGivesTheUtf16Result) {
  const Text signature =
      u"<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:SignedInfo>"
      u"<ds:DigestValue> d1 d2\t</ds:DigestValue></ds:SignedInfo><ds:SignatureValue>s1 s2"
      u"</ds:SignatureValue><ds:KeyInfo><ds:X509Data><ds:X509Certificate>c 1"
      u"</ds:X509Certificate><ds:X509Certificate>c 2</ds:X509Certificate></ds:X509Data>"
      u"</ds:KeyInfo></ds:Signature>";
  const Text wide[] = {u"a", u"\u00e7\u00e3o", u"\u20AC", u"\U0001D11E", u"\u013Cx\u013E"};
  for (const std::size_t filler :
       {std::size_t{0}, text::kConversionChunk - 40, text::kConversionChunk - 1,
        text::kConversionChunk, text::kConversionChunk + 3, 3 * text::kConversionChunk}) {
    for (const Text& w : wide) {
      SCOPED_TRACE(std::to_string(filler) + " " + text::ToUtf8(w));
      Text before;
      while (before.size() < filler) before += w;
      const Text serialised = u"<a x=\"" + w + u"\">" + before + u"\n" + signature + w +
                              u"<!-- <ds:SignatureValue> a b --><b>" + before + u" \r</b></a>";
      for (const Text& declaration : {Text{}, Text{u"<?xml version=\"1.0\"?>"}}) {
        EXPECT_EQ(signer_text::PostProcessUtf8(text::ToUtf8(serialised), declaration),
                  signer_text::PostProcess(serialised, declaration));
      }
    }
  }
}

TEST_F(SignerTest, SignsGoldenDocumentsVerifiablyAndChangesNothingElse) {
  const Text sample = ReadData("nfse_sample.xml");
  Text crlf = sample;
  ReplaceAll(crlf, u"\n", u"\r\n");
  Text noDeclaration = sample.substr(sample.find(u"?>") + 2);
  struct Case {
    const char* name;
    Text document;
    TVerifyOptions options;
  };
  const Case cases[] = {
      {"NFS-e with accents and Unix line breaks", sample, {}},
      {"CR LF line breaks", crlf, {}},
      {"ISO-8859-1 document", text::FromLatin1(ReadBytes("nfse_latin1.xml")), {}},
      {"no declaration", noDeclaration, {}},
      {"byte-order mark before the declaration", u"\uFEFF" + sample, {}},
      {"character-reference line breaks", ReadData("nfse_charref_lines.xml"), {}},
      {"client-supplied signature by Id, SHA-256, exclusive c14n",
       ReadData("nfse_existing_signature.xml"),
       TVerifyOptions().IdAttribute("Id", "InfDeclaracaoPrestacaoServico")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = Sign(c.document);
    ASSERT_EQ(result.status, kStatusOk) << text::ToUtf8(result.status);
    ExpectVerifies(result.signedXml, c.options);

    const Text declaration = signer_text::CaptureDeclaration(c.document);
    EXPECT_EQ(result.signedXml.substr(0, declaration.size()), declaration);
    if (declaration.empty()) {
      EXPECT_NE(result.signedXml.substr(0, 5), u"<?xml");
    }

    // Outside the signatures the document is the input without line breaks, written back in
    // the serialiser's form of character references. A placeholder beside the document's own
    // template is a signature asked for too.
    Text expected = WithoutSignatures(
        signer_text::PrepareDocument(c.document, signer_text::TPlaceholderUse::Template));
    ReplaceAll(expected, u"&#xA;", u"&#10;");
    ReplaceAll(expected, u"&#xD;", u"&#13;");
    EXPECT_EQ(WithoutSignatures(result.signedXml), expected);
  }
}

TEST_F(SignerTest, CharacterReferenceLineBreaksAreSignedAsContent) {
  const auto result = Sign(ReadData("nfse_charref_lines.xml"));
  ASSERT_EQ(result.status, kStatusOk) << text::ToUtf8(result.status);
  EXPECT_NE(result.signedXml.find(u"Primeira linha&#10;segunda linha&#10;terceira&#13;quarta"),
            Text::npos);
  EXPECT_NE(result.signedXml.find(u"linhas=\"um&#10;dois&#10;três&#13;quatro&#13;fim\""),
            Text::npos);
  ExpectVerifies(result.signedXml);
  // Altering the referenced line break must break the signature.
  Text altered = result.signedXml;
  ReplaceAll(altered, u"Primeira linha&#10;", u"Primeira linha ");
  EXPECT_NE(signature_check::VerifyInProcess(altered), "");
}

TEST_F(SignerTest, SignatureCarriesOnlyTheSigningCertificateWithoutLineBreaks) {
  const auto result = Sign(ReadData("nfse_sample.xml"));
  ASSERT_EQ(result.status, kStatusOk);
  const std::size_t first = result.signedXml.find(kCertificateTag);
  ASSERT_NE(first, Text::npos);
  EXPECT_EQ(result.signedXml.rfind(kCertificateTag), first);
  EXPECT_NE(result.signedXml.find(u"<DigestValue>"), Text::npos);
  EXPECT_EQ(result.signedXml.find(u"<DigestValue></DigestValue>"), Text::npos);
}

TEST_F(SignerTest, AnotherCertificateWithTheSameSerialDoesNotReplaceTheSigningOne) {
  // Serial numbers are unique per issuer only; the later file must not end up in KeyInfo.
  store.Add(TCertificateRequest("20-outra.pem")
                .CommonName("OUTRA EMPRESA")
                .Serial("0A1B2C")
                .OtherKeyPair());
  const auto result = Sign(ReadData("nfse_sample.xml"));
  ASSERT_EQ(result.status, kStatusOk);
  ExpectVerifies(result.signedXml);
}

TEST_F(SignerTest, LeadingProcessingInstructionIsKeptWithoutDeclaration) {
  const Text document =
      u"<?xml-stylesheet href=\"a.xsl\" type=\"text/xsl\"?><doc><a>x y</a><assinatura/></doc>";
  const auto result = Sign(document);
  ASSERT_EQ(result.status, kStatusOk);
  EXPECT_EQ(result.signedXml.rfind(u"<?xml-stylesheet href=\"a.xsl\" type=\"text/xsl\"?><doc>", 0),
            0u);
  ExpectVerifies(result.signedXml);
}

// Two signatures of the whole document cover each other, so one of them could never verify:
// the document is refused rather than returned half signed.
TEST_F(SignerTest, TwoPlaceholdersAreRefused) {
  const Text document =
      u"<?xml version=\"1.0\"?><lote><nota Id=\"n1\">um dois</nota><assinatura/>"
      u"<nota Id=\"n2\">três quatro</nota><assinatura/></lote>";
  const auto result = Sign(document);
  EXPECT_EQ(result.status, Text{kSignFailed} + CR + Text{kSignaturesCoverEachOther});
  EXPECT_EQ(result.signedXml, u"antes");
}

TEST_F(SignerTest, PrefixedSignatureElementWithoutPlaceholderIsFilled) {
  const Text document =
      u"<doc><dado Id=\"d1\">valor</dado><ds:Signature "
      u"xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:SignedInfo><ds:CanonicalizationMethod "
      u"Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/><ds:SignatureMethod "
      u"Algorithm=\"http://www.w3.org/2000/09/xmldsig#rsa-sha1\"/><ds:Reference URI=\"#d1\">"
      u"<ds:DigestMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"/><ds:DigestValue/>"
      u"</ds:Reference></ds:SignedInfo><ds:SignatureValue/></ds:Signature></doc>";
  const auto result = Sign(document);
  ASSERT_EQ(result.status, kStatusOk) << text::ToUtf8(result.status);
  ExpectVerifies(result.signedXml, TVerifyOptions().IdAttribute("Id", "dado"));
  EXPECT_NE(result.signedXml.find(u"<ds:X509Certificate>"), Text::npos);
}

TEST_F(SignerTest, ExpiredCertificateStillSigns) {
  std::string serial;
  store.Add(TCertificateRequest("20-vencido.pem").CommonName("VENCIDO").Expired(), &serial);
  const auto result = Sign(ReadData("nfse_sample.xml"), text::FromAscii(serial));
  ASSERT_EQ(result.status, kStatusOk);
  ExpectVerifies(result.signedXml,
                 TVerifyOptions().At(test_certificates::ExpiredCertificateValidMoment()));
}

TEST_F(SignerTest, PfxCertificatesSign) {
  for (const bool legacy : {false, true}) {
    SCOPED_TRACE(legacy ? "legacy PFX" : "PFX");
    std::string serial;
    TCertificateRequest wanted(legacy ? "31-legado.pfx" : "30-atual.p12");
    wanted.WithChain();
    if (legacy) wanted.LegacyPfx();
    store.Add(wanted, &serial);
    const auto result = Sign(ReadData("nfse_sample.xml"), text::FromAscii(serial));
    ASSERT_EQ(result.status, kStatusOk) << text::ToUtf8(result.status);
    ExpectVerifies(result.signedXml);
  }
}

TEST_F(SignerTest, FailuresLeaveTheSignedTextAndReportTheMessage) {
  const Text prefix = Text{kSignFailed} + CR;
  struct Case {
    const char* name;
    Text document;
    Text message;
  };
  const Text malformed = u"<?xml version=\"1.0\"?>\r\n<a><b></a>\n<assinatura/>";
  const Case cases[] = {
      {"malformed document, whole text after the line-break step", malformed,
       Text{kLoadFailed} + u"<?xml version=\"1.0\"?><a><b></a>" + Text{kSignatureTemplate}},
      {"no signature and no placeholder", u"<a>sem assinatura</a>", Text{kTemplateMissing}},
      {"spaced placeholder is no placeholder", u"<a><assinatura /></a>", Text{kTemplateMissing}},
      {"Signature outside the XML-DSig namespace", u"<a><Signature/></a>", Text{kTemplateMissing}},
      {"empty document", u"", Text{kLoadFailed}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = Sign(c.document);
    EXPECT_EQ(result.status, prefix + c.message) << text::ToUtf8(result.status);
    EXPECT_EQ(result.signedXml, u"antes");
  }
}

TEST_F(SignerTest, CertificateWithoutUsableKeyFailsWithTheStoreMessage) {
  // Found through the store directly: the lookup by serial would refuse it first.
  store.Add(TCertificateRequest("40-sem-chave.pem").Serial("4000").WithoutKey());
  store.Add(TCertificateRequest("41-outra-chave.pem").Serial("4100").MismatchedKey());
  IStore3 personal;
  personal.Open(CAPICOM_CURRENT_USER_STORE, u"My", CAPICOM_STORE_OPEN_MAXIMUM_ALLOWED);
  const auto certificates = personal.Certificates();
  for (int i = 1; i <= certificates.Count(); ++i) {
    const auto certificate = certificates.Item(i);
    if (certificate->SerialNumber() == u"0A1B2C") continue;
    SCOPED_TRACE(text::ToUtf8(certificate->SerialNumber()));
    Text signedXml = u"antes";
    Text status;
    TSignerNFSEDocument().sign(ReadData("nfse_sample.xml"), *certificate, signedXml, status);
    const Text expected = certificate->SerialNumber() == u"4000"
                              ? u"O certificado não possui chave privada acessível"
                              : u"A chave privada não corresponde ao certificado";
    EXPECT_EQ(status, Text{kSignFailed} + CR + expected) << text::ToUtf8(status);
    EXPECT_EQ(signedXml, u"antes");
  }
}

TEST_F(SignerTest, CertificateOutsideThePersonalStoreGivesNoKey) {
  TTestStore elsewhere(false);
  const auto path = elsewhere.Add(TCertificateRequest("fora.pem").Serial("0F0F"));
  const ICertificate2Ptr outside = certstore::LoadCertificateFile(path);
  ASSERT_NE(outside, nullptr);
  Text signedXml = u"antes";
  Text status;
  TSignerNFSEDocument().sign(ReadData("nfse_sample.xml"), *outside, signedXml, status);
  EXPECT_EQ(status, Text{kSignFailed} + CR + Text{kCspKeyFailed});
  EXPECT_EQ(signedXml, u"antes");
}

TEST_F(SignerTest, ClientSignatureOutsideTheProfileIsRefusedWithTheReason) {
  // A reference to a file: never followed, and named in the refusal.
  Text document = ReadData("nfse_existing_signature.xml");
  ReplaceAll(document, u"URI=\"#rps7\"", u"URI=\"file:///etc/passwd\"");
  const auto result = Sign(document);
  EXPECT_EQ(result.status, Text{kSignFailed} + CR + Text{kTemplateRefused} +
                               Text{dsig_messages::kReferenceRefused} +
                               u"file:///etc/passwd (fora do documento)");
  EXPECT_EQ(result.signedXml, u"antes");
}

TEST_F(SignerTest, HostileDocumentsAreRefusedNotExpanded) {
  const Text cases[] = {
      u"<?xml version=\"1.0\"?><!DOCTYPE a [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
      u"<a>&x;<assinatura/></a>",
      u"<?xml version=\"1.0\"?><!DOCTYPE a [<!ENTITY % p SYSTEM \"file:///etc/passwd\">%p;]>"
      u"<a><assinatura/></a>",
      u"<!DOCTYPE a SYSTEM \"http://127.0.0.1:9/a.dtd\"><a>&e;<assinatura/></a>",
      u"<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">"
      u"<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
      u"<!ENTITY lol2 \"&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;\">"
      u"<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">"
      u"<!ENTITY lol4 \"&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;\">"
      u"<!ENTITY lol5 \"&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;\">"
      u"<!ENTITY lol6 \"&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;\">"
      u"<!ENTITY lol7 \"&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;\">"
      u"<!ENTITY lol8 \"&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;\">"
      u"<!ENTITY lol9 \"&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;\">]>"
      u"<lolz>&lol9;<assinatura/></lolz>",
      // A default that other readers would add to the signed element.
      u"<!DOCTYPE a [<!ATTLIST a v CDATA \"padrao\">]><a>x<assinatura/></a>",
  };
  for (const auto& document : cases) {
    SCOPED_TRACE(text::ToUtf8(document));
    const auto result = Sign(document);
    EXPECT_EQ(result.status.rfind(Text{kSignFailed} + CR + Text{kLoadFailed}, 0), 0u)
        << text::ToUtf8(result.status);
    EXPECT_EQ(result.status.find(u"root:"), Text::npos);
    EXPECT_EQ(result.signedXml, u"antes");
  }
}

TEST_F(SignerTest, ExternalDtdIsNeverRead) {
  // The DTD would put a secret into the document; it is not read, so the entity that needs it
  // is refused, and a document that does not use it is refused as well: a reader that reads
  // the DTD could take attribute defaults from it and see another document than the one signed.
  const auto dtd = store.Directory() / "segredo.dtd";
  std::ofstream(dtd) << "<!ENTITY e \"SEGREDO\">";
  const Text doctype = u"<!DOCTYPE a SYSTEM \"file://" + text::FromUtf8(dtd.string()) + u"\">";
  const auto refused = Sign(doctype + u"<a>&e;<assinatura/></a>");
  EXPECT_EQ(refused.status.rfind(Text{kSignFailed} + CR + Text{kLoadFailed}, 0), 0u);
  const auto unused = Sign(doctype + u"<a>x<assinatura/></a>");
  EXPECT_EQ(unused.status.rfind(Text{kSignFailed} + CR + Text{kLoadFailed}, 0), 0u)
      << text::ToUtf8(unused.status);
  EXPECT_EQ(unused.status.find(u"SEGREDO"), Text::npos);
  EXPECT_EQ(unused.signedXml, u"antes");
}

TEST_F(SignerTest, ConcurrentSigningOnSeveralThreads) {
  const Text document = ReadData("nfse_sample.xml");
  const ICertificate2Ptr certificate = Certificate();
  constexpr int kThreads = 4;
  constexpr int kRounds = 5;
  std::vector<Text> outputs(kThreads * kRounds);
  std::vector<Text> statuses(kThreads * kRounds);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int r = 0; r < kRounds; ++r) {
          const int slot = t * kRounds + r;
          TSignerNFSEDocument().sign(document, *certificate, outputs[slot], statuses[slot]);
        }
      });
    }
  }
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    ASSERT_EQ(statuses[i], kStatusOk) << text::ToUtf8(statuses[i]);
    // RSA PKCS#1 v1.5 is deterministic: every thread must produce the same document.
    EXPECT_EQ(outputs[i], outputs[0]);
  }
  ExpectVerifies(outputs[0]);
}

}  // namespace
