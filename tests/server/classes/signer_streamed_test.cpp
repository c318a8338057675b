// The streamed reading of documents against the tree path: for every document both give the
// same status and the same bytes, and the stream reads the plain documents itself.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "platform/xmldsig/document_stream.h"
#include "server/classes/digital_certificate.h"
#include "server/classes/signer.h"
#include "server/classes/signer_messages.h"
#include "server/classes/signer_text.h"
#include "tests/support/signature_check.h"
#include "tests/support/test_certificates.h"

namespace {

using namespace signer_messages;
using test_certificates::TCertificateRequest;
using test_certificates::TTestStore;

std::string ReadBytes(const std::string& name) {
  std::ifstream in(std::string(ASSINADOR_TEST_DATA) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in) << name;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

Text Utf8(std::string_view bytes) { return text::FromUtf8(bytes); }

// Whether the stream reads the document itself rather than leaving it to the tree path.
bool StreamReads(const Text& document) {
  const auto prepared = signer_text::PrepareDocumentUtf8(document);
  return prepared && xmldsig::StreamEnvelopedDocument(*prepared, text::ToUtf8(kSignatureTemplate));
}

class SignerStreamedTest : public testing::Test {
 protected:
  void SetUp() override {
    store.Add(
        TCertificateRequest("10-empresa.pem").CommonName("EMPRESA TESTE LTDA").Serial("0A1B2C"));
    certificate = TDigitalCertificate().getCertificateBySerial(u"0A1B2C");
  }

  struct TResult {
    Text signedXml = u"antes";
    Text status;
  };
  TResult Sign(const Text& document, TDocumentReading reading) {
    TResult result;
    TSignerNFSEDocument(reading).sign(document, *certificate, result.signedXml, result.status);
    return result;
  }

  // Both readings give the same result; the stream reads the document when AStreamed.
  void ExpectSameAsTree(const Text& document, bool streamed) {
    EXPECT_EQ(StreamReads(document), streamed);
    const TResult tree = Sign(document, TDocumentReading::TreeOnly);
    const TResult stream = Sign(document, TDocumentReading::Streamed);
    EXPECT_EQ(text::ToUtf8(stream.status), text::ToUtf8(tree.status));
    EXPECT_EQ(text::ToUtf8(stream.signedXml), text::ToUtf8(tree.signedXml));
    if (streamed) {
      EXPECT_EQ(stream.status, kStatusOk) << text::ToUtf8(stream.status);
    }
  }

  TTestStore store;
  ICertificate2Ptr certificate;
};

// A document whose root holds ABody, with a placeholder after it.
Text Wrapped(std::string_view body, std::string_view rootAttributes = "",
             std::string_view placeholder = "<assinatura/>") {
  return Utf8(std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><Lote") +
              std::string(rootAttributes) + ">" + std::string(body) + std::string(placeholder) +
              "</Lote>");
}

Text Joined(TextView a, TextView b) {
  Text joined;
  joined.reserve(a.size() + b.size());
  joined.append(a);
  joined.append(b);
  return joined;
}

TEST_F(SignerStreamedTest, PlainDocumentsAreReadByTheStreamToTheTreePathsBytes) {
  const std::string sample = ReadBytes("nfse_sample.xml");
  std::string crlf;
  for (const char c : sample) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  struct Case {
    const char* name;
    Text document;
  };
  const Case cases[] = {
      {"the sample NFS-e", Utf8(sample)},
      {"CR LF line breaks", Utf8(crlf)},
      {"ISO-8859-1 document", text::FromLatin1(ReadBytes("nfse_latin1.xml"))},
      {"no declaration", Utf8(sample.substr(sample.find("?>") + 2))},
      {"character-reference line breaks", Utf8(ReadBytes("nfse_charref_lines.xml"))},
      {"namespaces: redeclared, changed, undeclared, prefixed, sorted",
       Wrapped("<a xmlns=\"urn:lote\" xmlns:x=\"urn:x\"><p:b xmlns:p=\"urn:p\" z=\"1\" p:y=\"2\" "
               "x:a=\"3\" a=\"4\"><c xmlns=\"urn:outro\"><d xmlns=\"\"><e xmlns=\"\"/></d></c>"
               "<f xmlns:x=\"urn:x\" xmlns:p=\"urn:q\" p:k=\"5\"/></p:b></a>",
               " xmlns=\"http://www.abrasf.org.br/nfse.xsd\" xmlns:xsi=\"http://www.w3.org/2001/"
               "XMLSchema-instance\" xsi:schemaLocation=\"http://www.abrasf.org.br/nfse.xsd "
               "nfse.xsd\"")},
      {"undeclaring a default namespace that is not in scope",
       Utf8("<Lote xmlns=\"\"><a xmlns=\"\"/><assinatura/></Lote>")},
      {"attribute values: references, tabs, quotes, characters outside ASCII",
       Wrapped("<a v=\"&lt;&gt;&amp;&quot;&apos;&#9;&#10;&#13;\tfim\" w='aspas \"duplas\"' "
               "x=\"ação &#xE7;&#231; \xF0\x9F\x98\x80 &#x1F600;\" y=\"\" z=\"a>b\"/>")},
      {"text: references, brackets, tabs, control-free characters",
       Wrapped("<a>1 &lt; 2 &gt; 0 &amp; \"x\" 'y' a>b ]]&gt; ]> &#60;&#38;&#62;&#34;&#39;</a>"
               "<b>\ttab&#9;&#x7F;\x7F\xC2\x85 &#10;&#13;&#xA;&#xD; \xE2\x82\xAC</b>")},
      {"empty elements in every form",
       Wrapped("<a></a><b/><c /><d\t/><e x=\"1\"></e><f></f ><g>  </g>")},
      {"declaration variants and blanks around the root",
       Utf8("<?xml version = '1.0'  encoding='iso-8859-1' standalone=\"no\" ?> \t<Lote>"
            "<assinatura/></Lote> \t ")},
      {"declaration naming UTF-16, which the decoded text no longer is",
       Utf8("<?xml version=\"1.0\" encoding=\"UTF-16\"?><L><assinatura/></L>")},
      {"declaration naming an unknown encoding",
       Utf8("<?xml version=\"1.0\" encoding=\"x-desconhecida_1.2\"?><L><assinatura/></L>")},
      {"declaration with standalone only", Utf8("<?xml version=\"1.0\" standalone='yes'?><L>"
                                                "<a/><assinatura/></L>")},
      {"template as the only child", Utf8("<Lote><assinatura/></Lote>")},
      {"template deep, content after it",
       Wrapped("<a><b><c><assinatura/><d>x</d></c></b></a>", "", "")},
      {"prefixes in scope at the template, one bound to the signature namespace",
       Wrapped("<p:a xmlns:p=\"urn:fora\"><p:b xmlns:p=\"urn:dentro\" xmlns:q=\"urn:q\">"
               "<assinatura/></p:b></p:a>",
               " xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" xmlns:z=\"urn:z\"", "")},
      {"template inside a default namespace",
       Wrapped("<Rps xmlns=\"http://www.abrasf.org.br/nfse.xsd\"><InfRps Id=\"r1\">1</InfRps>"
               "<assinatura/></Rps>",
               "", "")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectSameAsTree(c.document, true);
  }
  // The stream's output verifies on its own (one case is enough once the bytes are the same).
  const TResult result = Sign(cases[5].document, TDocumentReading::Streamed);
  ASSERT_EQ(result.status, kStatusOk);
  EXPECT_EQ(signature_check::VerifyWithXmlsec1(result.signedXml, {}), "");
}

TEST_F(SignerStreamedTest, OtherDocumentsAndErrorsAreLeftToTheTreePath) {
  std::string deep;
  for (int i = 0; i < 300; ++i) deep += "<a>";
  deep += "<assinatura/>";
  for (int i = 0; i < 300; ++i) deep += "</a>";
  std::string manyAttributes = "<a";
  for (int i = 0; i < 257; ++i) manyAttributes += " a" + std::to_string(i) + "=\"1\"";
  manyAttributes += "/>";
  struct Case {
    const char* name;
    Text document;
  };
  const Case cases[] = {
      {"comment", Wrapped("<!-- nota --><a/>")},
      {"processing instruction", Wrapped("<?pi x?><a/>")},
      {"CDATA section", Wrapped("<a><![CDATA[<x>]]></a>")},
      {"document type", Utf8("<!DOCTYPE Lote><Lote><assinatura/></Lote>")},
      {"byte-order mark", Joined(u"\uFEFF", Wrapped("<a/>"))},
      {"client signature", Utf8(ReadBytes("nfse_existing_signature.xml"))},
      {"prefixed signature element before the template",
       Wrapped("<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"/>")},
      {"no template", Utf8("<Lote><a/></Lote>")},
      {"two templates of the whole document, which cover each other",
       Wrapped("<a><b><c><assinatura/><d>x</d></c></b></a>")},
      {"template as the root", Utf8("<assinatura/>")},
      {"xml:lang attribute", Wrapped("<a xml:lang=\"pt\"/>")},
      {"name outside ASCII", Wrapped("<ação/>")},
      {"version other than 1.0", Utf8("<?xml version=\"1.1\"?><L><assinatura/></L>")},
      {"relative namespace URI", Wrapped("<a xmlns=\"relativo\"/>")},
      {"namespace URI with a reference", Wrapped("<a xmlns=\"urn:a&amp;b\"/>")},
      {"nesting past the stream's depth", Utf8("<L>" + deep + "</L>")},
      {"too many attributes", Wrapped(manyAttributes)},
      {"a lone surrogate", Joined(Wrapped("<a>"), Text(1, char16_t{0xD800}))},
      {"a raw replacement character", Wrapped("<a>\xEF\xBF\xBD</a>")},
      // Errors: the tree path words them.
      {"undeclared prefix", Wrapped("<p:a/>")},
      {"undeclared attribute prefix", Wrapped("<a p:x=\"1\"/>")},
      {"duplicate attribute", Wrapped("<a x=\"1\" x=\"2\"/>")},
      {"duplicate namespaced attribute",
       Wrapped("<a xmlns:p=\"urn:p\" xmlns:q=\"urn:p\" p:x=\"1\" q:x=\"2\"/>")},
      {"duplicate declaration", Wrapped("<a xmlns:p=\"urn:p\" xmlns:p=\"urn:p\"/>")},
      {"empty prefixed declaration", Wrapped("<a xmlns:p=\"\"/>")},
      {"missing blank between attributes", Wrapped("<a x=\"1\"y=\"2\"/>")},
      {"mismatched end tag", Wrapped("<a></b>")},
      {"unclosed element", Utf8("<Lote><assinatura/>")},
      {"text after the root", Utf8("<Lote><assinatura/></Lote>x")},
      {"CDATA end in text", Wrapped("<a>]]></a>")},
      {"less-than in a value", Wrapped("<a x=\"<\"/>")},
      {"unknown entity", Wrapped("<a>&nbsp;</a>")},
      {"reference to a control character", Wrapped("<a>&#1;</a>")},
      {"raw control character", Wrapped("<a>\x01</a>")},
      {"uppercase hexadecimal marker", Wrapped("<a>&#X41;</a>")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectSameAsTree(c.document, false);
  }
}

TEST_F(SignerStreamedTest, LargeBatchesAreReadByTheStream) {
  // Sizes around the stream's digest buffer and the conversion chunks, and one text run longer
  // than the digest buffer.
  for (const std::size_t size : {16383u, 16384u, 16385u, 70000u}) {
    SCOPED_TRACE(size);
    std::string body;
    int n = 0;
    while (body.size() < size) body += "<Rps n=\"" + std::to_string(++n) + "\">ação é</Rps>";
    ExpectSameAsTree(Wrapped(body + "<t>" + std::string(size, 'x') + "</t>"), true);
  }
}

}  // namespace

namespace {

// Random documents of the plain form, for the cases no table thinks of: namespaces declared,
// redeclared and undeclared at random depths, prefixed attributes in every order, references
// in values and text, empty elements, the template anywhere.
class TDocumentGenerator {
 public:
  explicit TDocumentGenerator(unsigned ASeed) : FState(ASeed * 2654435761u + 1) {}

  std::string Document() {
    FPlaceholder = false;
    FScope.assign(1, {});
    std::string out =
        Pick({"", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>", "<?xml version='1.0'?>"});
    out += Element(0);
    return out;
  }

 private:
  unsigned Next(unsigned ABound) {
    FState ^= FState << 13;
    FState ^= FState >> 17;
    FState ^= FState << 5;
    return FState % ABound;
  }
  std::string Pick(std::initializer_list<const char*> AChoices) {
    return *(AChoices.begin() + Next(static_cast<unsigned>(AChoices.size())));
  }

  std::string Value() {
    std::string value;
    for (unsigned k = Next(4); k > 0; --k)
      value += Pick({"x", "&lt;", "&gt;", "&amp;", "&quot;", "&apos;", "&#10;", "&#13;", "&#9;",
                     "\t", "a\xC3\xA7\xC3\xA3o", "&#x1F600;", ">", " ", "'"});
    return value;
  }

  std::string Element(int ADepth) {
    std::vector<std::string> prefixes = FScope.back();
    std::string tag;
    std::string declarations;
    for (unsigned k = Next(3); k > 0; --k) {
      const std::string prefix = Pick({"", "p", "q", "r"});
      if (declarations.find(prefix.empty() ? " xmlns=" : " xmlns:" + prefix + "=") !=
          std::string::npos)
        continue;
      const std::string uri = prefix.empty() ? Pick({"", "urn:a", "urn:b"})
                                             : Pick({"urn:a", "urn:b", "http://x.org/n"});
      declarations += (prefix.empty() ? " xmlns=\"" : " xmlns:" + prefix + "=\"") + uri + "\"";
      if (!prefix.empty()) prefixes.push_back(prefix);
    }
    const std::string prefix = prefixes.empty() || Next(2) ? "" : prefixes[Next(prefixes.size())];
    const std::string name = (prefix.empty() ? "" : prefix + ":") + Pick({"a", "b", "Rps", "z"});
    tag = "<" + name + declarations;
    std::vector<std::string> used;
    for (unsigned k = Next(4); k > 0; --k) {
      std::string attribute = Pick({"a", "b", "z", "Id"});
      if (!prefixes.empty() && Next(2))
        attribute = prefixes[Next(prefixes.size())] + ":" + attribute;
      if (std::find(used.begin(), used.end(), attribute) != used.end()) continue;
      used.push_back(attribute);
      tag += " " + attribute + "=\"" + Value() + "\"";
    }
    FScope.push_back(prefixes);
    std::string content;
    for (unsigned k = Next(ADepth < 4 ? 4 : 2); k > 0; --k) {
      const unsigned what = Next(5);
      if (what == 0 && !FPlaceholder) {
        content += "<assinatura/>";
        FPlaceholder = true;
      } else if (what <= 2 && ADepth < 4) {
        content += Element(ADepth + 1);
      } else {
        content += Value() + Pick({"", "texto", " ]]&gt; ", "&#x7F;"});
      }
    }
    if (ADepth == 0 && !FPlaceholder) content += "<assinatura/>";
    FScope.pop_back();
    if (content.empty() && Next(2)) return tag + Pick({"/>", " />"});
    return tag + ">" + content + "</" + name + ">";
  }

  unsigned FState;
  bool FPlaceholder = false;
  std::vector<std::vector<std::string>> FScope;
};

TEST_F(SignerStreamedTest, RandomPlainDocumentsGiveTheTreePathsBytes) {
  int streamed = 0;
  constexpr int kDocuments = 500;
  for (int seed = 1; seed <= kDocuments; ++seed) {
    const std::string document = TDocumentGenerator(static_cast<unsigned>(seed)).Document();
    SCOPED_TRACE(document);
    const Text text = Utf8(document);
    const bool reads = StreamReads(text);
    streamed += reads ? 1 : 0;
    ExpectSameAsTree(text, reads);
    if (HasFailure()) break;
  }
  // The generator writes the plain form: nearly every document must be read by the stream.
  EXPECT_GT(streamed, kDocuments * 9 / 10) << streamed;
}

}  // namespace
