#include "platform/xmldsig/digital_signature.h"

#include <gtest/gtest.h>

#include "platform/xmldsig/dom_document.h"
#include "platform/xmldsig/dsig_messages.h"
#include "tests/support/signature_check.h"
#include "tests/support/test_certificates.h"

namespace {

using test_certificates::TCertificateRequest;
using test_certificates::TTestStore;

constexpr TextView kDsigNs = u"xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"";

// A signature element with the given reference URI, transforms and algorithms.
Text SignatureElement(TextView uri, TextView transforms = u"",
                      TextView digest = u"http://www.w3.org/2000/09/xmldsig#sha1",
                      TextView keyInfo = u"<KeyInfo/>") {
  return u"<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><SignedInfo>"
         u"<CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"
         u"<SignatureMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#rsa-sha1\"/>"
         u"<Reference URI=\"" +
         Text{uri} + u"\"><Transforms>" + Text{transforms} +
         u"</Transforms><DigestMethod Algorithm=\"" + Text{digest} +
         u"\"/><DigestValue/></Reference></SignedInfo><SignatureValue/>" + Text{keyInfo} +
         u"</Signature>";
}

constexpr TextView kSha1Uri() { return u"http://www.w3.org/2000/09/xmldsig#sha1"; }

constexpr TextView kEnveloped =
    u"<Transform Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"/>";

class DigitalSignatureTest : public testing::Test {
 protected:
  void SetUp() override {
    store.Add(TCertificateRequest("1.pem").Serial("0101"));
    IStore3 personal;
    personal.Open(CAPICOM_CURRENT_USER_STORE, u"My", CAPICOM_STORE_OPEN_MAXIMUM_ALLOWED);
    certificate = personal.Certificates().Item(1);
    memory.Open(CAPICOM_MEMORY_STORE, u"Memoria", CAPICOM_STORE_OPEN_MAXIMUM_ALLOWED);
    memory.Add(certificate);
  }

  // Loads, selects the first ds:Signature, makes the key and signs; the serialised text on
  // success, empty with lastError otherwise.
  Text Sign(const Text& document, Text* error = nullptr, int options = CERTIFICATES) {
    EXPECT_TRUE(dom.loadXML(document)) << text::ToUtf8(dom.parseError());
    dom.setProperty(u"SelectionNamespaces", kDsigNs);
    IXMLDigitalSignature signature;
    signature.setSignature(dom.selectSingleNode(u".//ds:Signature"));
    signature.setStore(memory);
    const IPrivateKey key = certificate->PrivateKey();
    auto dsigKey =
        signature.createKeyFromCSP(key.ProviderType(), key.ProviderName(), key.ContainerName(), 0);
    EXPECT_NE(dsigKey, nullptr);
    if (!dsigKey || !signature.sign(*dsigKey, options)) {
      if (error) *error = signature.lastError();
      return {};
    }
    return dom.xml();
  }

  // The serialised document signed with the direct computation on or off.
  Text SignWay(const Text& document, bool direct, int options = CERTIFICATES) {
    IXMLDOMDocument3 own;
    EXPECT_TRUE(own.loadXML(document)) << text::ToUtf8(own.parseError());
    own.setProperty(u"SelectionNamespaces", kDsigNs);
    IXMLDigitalSignature signature(direct ? TSigningPath::DirectWhenPossible
                                          : TSigningPath::GenericOnly);
    signature.setSignature(own.selectSingleNode(u".//ds:Signature"));
    signature.setStore(memory);
    const IPrivateKey key = certificate->PrivateKey();
    auto dsigKey =
        signature.createKeyFromCSP(key.ProviderType(), key.ProviderName(), key.ContainerName(), 0);
    EXPECT_NE(dsigKey, nullptr);
    if (!dsigKey || !signature.sign(*dsigKey, options)) return u"falhou: " + signature.lastError();
    return own.xml();
  }

  TTestStore store;
  ICertificate2Ptr certificate;
  IStore3 memory;
  IXMLDOMDocument3 dom;
};

TEST_F(DigitalSignatureTest, WritesDigestValueAndCertificateOnOneLine) {
  const Text signedXml = Sign(u"<doc><a>texto</a>" + SignatureElement(u"", kEnveloped) + u"</doc>");
  ASSERT_FALSE(signedXml.empty());
  EXPECT_EQ(signedXml.find(u"<DigestValue/>"), Text::npos);
  EXPECT_EQ(signedXml.find(u"<SignatureValue/>"), Text::npos);
  EXPECT_NE(signedXml.find(u"<KeyInfo><X509Data><X509Certificate>MII"), Text::npos);
  EXPECT_EQ(signedXml.find(u'\n'), signedXml.size() - 1);  // only the serialiser's last one
  EXPECT_EQ(signature_check::VerifyInProcess(signedXml), "");
}

TEST_F(DigitalSignatureTest, AddsKeyInfoWhenTheElementHasNone) {
  const Text signedXml =
      Sign(u"<doc>" +
           SignatureElement(u"", kEnveloped, u"http://www.w3.org/2001/04/xmlenc#sha256", u"") +
           u"</doc>");
  ASSERT_FALSE(signedXml.empty());
  EXPECT_NE(signedXml.find(u"<KeyInfo><X509Data><X509Certificate>"), Text::npos);
  EXPECT_EQ(signature_check::VerifyInProcess(signedXml), "");
}

// Refused before any transform runs, with the profile's sentence naming what was refused.
TEST_F(DigitalSignatureTest, RefusesWhatTheProfileLeavesOut) {
  struct Case {
    const char* name;
    Text element;
    Text reason;  // the start of lastError()
  };
  const Case cases[] = {
      {"file reference", SignatureElement(u"file:///etc/passwd"),
       Text{dsig_messages::kReferenceRefused} + u"file:///etc/passwd (fora do documento)"},
      {"network reference", SignatureElement(u"http://127.0.0.1:9/x"),
       Text{dsig_messages::kReferenceRefused}},
      {"relative file reference", SignatureElement(u"segredo.xml"),
       Text{dsig_messages::kReferenceRefused}},
      {"XPointer reference", SignatureElement(u"#xpointer(/)", kEnveloped),
       Text{dsig_messages::kReferenceRefused} + u"#xpointer(/) (XPointer)"},
      {"unknown id", SignatureElement(u"#nada", kEnveloped),
       Text{dsig_messages::kReferenceWithoutElement} + u"nada"},
      {"XSLT transform",
       SignatureElement(u"",
                        u"<Transform Algorithm=\"http://www.w3.org/TR/1999/REC-xslt-19991116\">"
                        u"<xsl:stylesheet xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" "
                        u"version=\"1.0\"/></Transform>"),
       Text{dsig_messages::kTransformRefused} + u"XSLT ("},
      {"XPath transform",
       SignatureElement(u"", Text{kEnveloped} +
                                 u"<Transform Algorithm=\"http://www.w3.org/TR/1999/"
                                 u"REC-xpath-19991116\"><XPath>self::text()</XPath></Transform>"),
       Text{dsig_messages::kTransformRefused} + u"XPath ("},
      {"MD5 digest",
       SignatureElement(u"", kEnveloped, u"http://www.w3.org/2001/04/xmldsig-more#md5"),
       Text{dsig_messages::kDigestRefused} + u"MD5 ("},
      {"unknown digest", SignatureElement(u"", kEnveloped, u"urn:nada"),
       Text{dsig_messages::kDigestRefused} + u"urn:nada"},
      {"whole document without the enveloped transform", SignatureElement(u""),
       Text{dsig_messages::kCoversItself}},
      {"an element beside the signature's parts",
       SignatureElement(u"", kEnveloped, kSha1Uri(), u"<KeyInfo/><Object>x</Object>"),
       Text{dsig_messages::kElementRefused} + u"Object"},
      {"retrieval method",
       SignatureElement(u"", kEnveloped, kSha1Uri(),
                        u"<KeyInfo><RetrievalMethod URI=\"#x\"/></KeyInfo>"),
       Text{dsig_messages::kKeyInfoRefused} + u"RetrievalMethod"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Text error;
    EXPECT_TRUE(Sign(u"<doc><a Id=\"a1\">x</a>" + c.element + u"</doc>", &error).empty());
    EXPECT_EQ(error.rfind(c.reason, 0), 0u) << text::ToUtf8(error);
  }
}

// A failure of the libraries themselves joins their texts with "; " and never ends in a
// separator.
TEST_F(DigitalSignatureTest, FailureTextEndsWithTheLibrariesOwnWords) {
  const Text kFailing[] = {
      u"<doc xmlns=\"relativo\">" + SignatureElement(u"", kEnveloped) + u"</doc>",
      u"<doc><a Id=\"a1\"><b xmlns=\"relativo\"/></a>" + SignatureElement(u"#a1", kEnveloped) +
          u"</doc>",
  };
  for (const Text& document : kFailing) {
    SCOPED_TRACE(text::ToUtf8(document));
    Text error;
    EXPECT_TRUE(Sign(document, &error).empty());
    const std::string utf8 = text::ToUtf8(error);
    EXPECT_TRUE(utf8.starts_with(text::ToUtf8(dsig_messages::kSignFailed) + ": ")) << utf8;
    EXPECT_FALSE(utf8.ends_with(";") || utf8.ends_with("; ") || utf8.ends_with(": ")) << utf8;
    EXPECT_EQ(utf8.find("; ; "), std::string::npos) << utf8;
  }
}

TEST_F(DigitalSignatureTest, KeyFromProviderDataMustMatchACertificateOfTheStore) {
  IXMLDigitalSignature signature;
  const IPrivateKey key = certificate->PrivateKey();
  EXPECT_EQ(
      signature.createKeyFromCSP(key.ProviderType(), key.ProviderName(), key.ContainerName(), 0),
      nullptr);  // no store assigned yet
  signature.setStore(memory);
  EXPECT_EQ(signature.createKeyFromCSP(key.ProviderType(), key.ProviderName(), u"outro.pem", 0),
            nullptr);
  EXPECT_EQ(signature.createKeyFromCSP(key.ProviderType() + 1, key.ProviderName(),
                                       key.ContainerName(), 0),
            nullptr);
  EXPECT_NE(
      signature.createKeyFromCSP(key.ProviderType(), key.ProviderName(), key.ContainerName(), 0),
      nullptr);
}

TEST_F(DigitalSignatureTest, SignWithoutElementFails) {
  IXMLDigitalSignature signature;
  signature.setStore(memory);
  const IPrivateKey key = certificate->PrivateKey();
  auto dsigKey =
      signature.createKeyFromCSP(key.ProviderType(), key.ProviderName(), key.ContainerName(), 0);
  ASSERT_NE(dsigKey, nullptr);
  EXPECT_EQ(signature.sign(*dsigKey, CERTIFICATES), nullptr);
  EXPECT_EQ(signature.lastError(), dsig_messages::kNoSignature);
}

}  // namespace

// The direct computation of the common enveloped form and xmlsec's generic processing must
// write the same bytes, whatever surrounds the signature in the document.
TEST_F(DigitalSignatureTest, DirectAndGenericSigningWriteTheSameBytes) {
  const Text plain = SignatureElement(u"", kEnveloped);
  const Text prefixed =
      u"<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:SignedInfo>"
      u"<ds:CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"
      u"<ds:SignatureMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#rsa-sha1\"/>"
      u"<ds:Reference URI=\"\"><ds:Transforms>"
      u"<ds:Transform Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"/>"
      u"</ds:Transforms><ds:DigestMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"/>"
      u"<ds:DigestValue/></ds:Reference></ds:SignedInfo><ds:SignatureValue/><ds:KeyInfo/>"
      u"</ds:Signature>";
  struct Case {
    const char* name;
    Text document;
    int options = CERTIFICATES;
    bool fails = false;
  };
  const Case cases[] = {
      {"signature last", u"<doc><a>texto</a>" + plain + u"</doc>"},
      {"signature first, text around", u"<doc>\u00e0 " + plain + u" <b x=\"1\"/>fim</doc>"},
      {"only child", u"<doc>" + plain + u"</doc>"},
      {"default namespace and prefixes on ancestors",
       u"<e:lote xmlns:e=\"urn:e\" xmlns=\"urn:nfse\" xmlns:z=\"urn:z\" z:a=\"1\"><e:rps b=\"2\" "
       u"a=\"1\"><x xmlns=\"\">y</x>" +
           plain + u"</e:rps></e:lote>"},
      {"xml attributes inherited",
       u"<doc xml:lang=\"pt\" xml:space=\"preserve\"><c>" + plain + u"</c></doc>"},
      {"comments, PIs, CDATA, references",
       u"<?xml version=\"1.0\"?><!-- antes --><?pi dados?><doc><!-- dentro --><![CDATA[<&>]]>"
       u"&amp;&#13;&#10;\"'\t<a v=\"&#9;&#10;&lt;\"/>" +
           plain + u"</doc><!-- depois -->"},
      {"doctype without entities", u"<!DOCTYPE doc><doc>" + plain + u"</doc>"},
      {"prefixed signature",
       u"<doc xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\">t" + prefixed + u"</doc>"},
      {"another signature after it", u"<doc>" + plain + u"<k>" + plain + u"</k></doc>"},
      {"no key information",
       u"<doc>" + SignatureElement(u"", kEnveloped, kSha1Uri(), u"") + u"</doc>"},
      {"key information without certificates", u"<doc>" + plain + u"</doc>", 0},
      {"other form: SHA-256 digest",
       u"<doc>" + SignatureElement(u"", kEnveloped, u"http://www.w3.org/2001/04/xmlenc#sha256") +
           u"</doc>"},
      {"signature as the document element", plain},
      {"relative namespace: both refuse, in the same words",
       u"<doc xmlns=\"relativo\">" + plain + u"</doc>", CERTIFICATES, true},
      {"id reference to a sibling",
       u"<doc><a Id=\"a1\">x</a>" + SignatureElement(u"#a1", kEnveloped) + u"</doc>"},
      {"id reference to the parent, signature inside it",
       u"<doc xmlns=\"urn:d\"><a Id=\"a1\" xml:lang=\"pt\">x<!-- c --><b>y</b>" +
           SignatureElement(u"#a1", kEnveloped) + u"<c/></a></doc>"},
      {"id reference, ancestors' namespaces and xml attributes",
       u"<e:l xmlns:e=\"urn:e\" xmlns=\"urn:n\" xml:lang=\"pt\" xml:space=\"preserve\"><e:r>"
       u"<i Id=\"a1\" xmlns:z=\"urn:z\" z:k=\"1\"><j>v</j></i>" +
           SignatureElement(u"#a1", kEnveloped) + u"</e:r></e:l>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Text direct = SignWay(c.document, true, c.options);
    const Text generic = SignWay(c.document, false, c.options);
    EXPECT_EQ(text::ToUtf8(direct), text::ToUtf8(generic));
    EXPECT_EQ(direct.rfind(u"falhou", 0), c.fails ? 0 : Text::npos) << text::ToUtf8(direct);
  }
  EXPECT_EQ(signature_check::VerifyInProcess(SignWay(cases[3].document, true)), "");
}

// Every algorithm of the profile, computed directly and by the generic processing: the same
// bytes, on documents where the canonical forms differ (inherited xml attributes, unused and
// default namespaces, comments).
TEST_F(DigitalSignatureTest, EveryAlgorithmOfTheProfileWritesTheGenericBytes) {
  const Text c14n[] = {
      u"http://www.w3.org/TR/2001/REC-xml-c14n-20010315",
      u"http://www.w3.org/TR/2001/REC-xml-c14n-20010315#WithComments",
      u"http://www.w3.org/2006/12/xml-c14n11",
      u"http://www.w3.org/2006/12/xml-c14n11#WithComments",
      u"http://www.w3.org/2001/10/xml-exc-c14n#",
      u"http://www.w3.org/2001/10/xml-exc-c14n#WithComments",
  };
  const Text digests[] = {
      u"http://www.w3.org/2000/09/xmldsig#sha1", u"http://www.w3.org/2001/04/xmldsig-more#sha224",
      u"http://www.w3.org/2001/04/xmlenc#sha256", u"http://www.w3.org/2001/04/xmldsig-more#sha384",
      u"http://www.w3.org/2001/04/xmlenc#sha512"};
  const Text methods[] = {u"http://www.w3.org/2000/09/xmldsig#rsa-sha1",
                          u"http://www.w3.org/2001/04/xmldsig-more#rsa-sha224",
                          u"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256",
                          u"http://www.w3.org/2001/04/xmldsig-more#rsa-sha384",
                          u"http://www.w3.org/2001/04/xmldsig-more#rsa-sha512"};
  const auto element = [](TextView uri, TextView method, TextView c14nMethod, TextView transform,
                          TextView digest, TextView prefixes) {
    const Text inclusive = prefixes.empty()
                               ? Text{}
                               : u"<ec:InclusiveNamespaces xmlns:ec=\"http://www.w3.org/2001/10/"
                                 u"xml-exc-c14n#\" PrefixList=\"" +
                                     Text{prefixes} + u"\"/>";
    return u"<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><SignedInfo><!-- si -->"
           u"<CanonicalizationMethod Algorithm=\"" +
           Text{c14nMethod} + u"\"/><SignatureMethod Algorithm=\"" + Text{method} +
           u"\"/><Reference URI=\"" + Text{uri} + u"\"><Transforms>" + Text{kEnveloped} +
           (transform.empty() ? Text{}
                              : u"<Transform Algorithm=\"" + Text{transform} + u"\">" + inclusive +
                                    u"</Transform>") +
           u"</Transforms><DigestMethod Algorithm=\"" + Text{digest} +
           u"\"/><DigestValue/></Reference></SignedInfo><SignatureValue/><KeyInfo/></Signature>";
  };
  const auto document = [](const Text& signature) {
    return u"<?xml version=\"1.0\"?><!-- fora --><e:l xmlns:e=\"urn:e\" xmlns=\"urn:n\" "
           u"xmlns:u=\"urn:u\" xml:lang=\"pt\"><e:r xml:space=\"preserve\"><i Id=\"a1\" "
           u"xmlns:z=\"urn:z\" z:k=\"1\"><!-- c --><j e:x=\"2\">v</j></i>" +
           signature + u"</e:r></e:l>";
  };
  std::size_t k = 0;
  for (const Text& method : c14n) {
    for (const TextView uri : {TextView{u""}, TextView{u"#a1"}}) {
      const Text& transform = c14n[k % std::size(c14n)];
      const Text& digest = digests[k % std::size(digests)];
      const Text& signatureMethod = methods[(k / 2) % std::size(methods)];
      const TextView prefixes = transform.find(u"exc") != Text::npos ? TextView{u"u e"} : u"";
      ++k;
      const Text doc = document(element(uri, signatureMethod, method, transform, digest, prefixes));
      SCOPED_TRACE(text::ToUtf8(doc));
      const Text direct = SignWay(doc, true);
      EXPECT_EQ(direct.rfind(u"falhou", 0), Text::npos) << text::ToUtf8(direct);
      EXPECT_EQ(text::ToUtf8(direct), text::ToUtf8(SignWay(doc, false)));
      // No canonicalisation transform: inclusive C14N 1.0 is the default.
      const Text plain = document(element(uri, signatureMethod, method, u"", digest, u""));
      EXPECT_EQ(text::ToUtf8(SignWay(plain, true)), text::ToUtf8(SignWay(plain, false)));
    }
  }
}
