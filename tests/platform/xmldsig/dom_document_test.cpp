#include "platform/xmldsig/dom_document.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/exception.h"
#include "platform/xmldsig/dsig_messages.h"
#include "tests/support/error_of.h"

namespace {

Text Serialise(TextView document) {
  IXMLDOMDocument3 dom;
  EXPECT_TRUE(dom.loadXML(document)) << text::ToUtf8(dom.parseError());
  return dom.xml();
}

TEST(DomDocument, LoadsWellFormedTextAndRefusesTheRest) {
  struct Case {
    const char* name;
    Text document;
    bool loads;
  };
  const Case cases[] = {
      {"element", u"<a/>", true},
      {"declared ISO-8859-1, text already decoded",
       u"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>ção</a>", true},
      {"declared UTF-16, text already decoded",
       u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><a>ção</a>", true},
      {"unknown encoding name", u"<?xml version=\"1.0\" encoding=\"X-NADA\"?><a/>", true},
      {"empty", u"", false},
      {"unclosed", u"<a><b></a>", false},
      {"two roots", u"<a/><b/>", false},
      {"undefined prefix", u"<x:a/>", false},
      {"invalid character reference", u"<a>&#0;</a>", false},
      // A NUL among the first bytes would make the parser guess another encoding.
      {"NUL first", Text(u"\0<a/>", 5), false},
      {"NUL after the first character", Text(u"<\0a/>", 5), false},
      {"three NULs before the root", Text(u"\0\0\0<a/>", 7), false},
      {"NUL inside the text", Text(u"<a>\0</a>", 8), false},
      {"undeclared entity", u"<a>&nada;</a>", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    IXMLDOMDocument3 dom;
    EXPECT_EQ(dom.loadXML(c.document), c.loads);
    EXPECT_EQ(dom.parseError().empty(), c.loads);
  }
  Text deep;
  for (int i = 0; i < 5000; ++i) deep += u"<a>";
  for (int i = 0; i < 5000; ++i) deep += u"</a>";
  IXMLDOMDocument3 dom;
  EXPECT_FALSE(dom.loadXML(deep));  // nesting is bounded, never a stack overflow
}

// IXMLDOMDocument3 refuses a start tag with more than 256 attributes and namespace
// declarations; what only looks like them (in comments, sections, values) does not count.
TEST(DomDocument, RefusesStartTagsWithTooManyAttributesReadAsMarkup) {
  const auto attributes = [](int count) {
    Text out;
    for (int i = 0; i < count; ++i) out += u" a" + text::FromUtf8(std::to_string(i)) + u"=\"1\"";
    return out;
  };
  const Text many = attributes(257);
  struct Case {
    const char* name;
    Text document;
    bool refused;  // with the too-many-attributes message
  };
  const Case cases[] = {
      {"256 attributes", u"<a" + attributes(256) + u"/>", false},
      {"256 with a namespace declaration", u"<a xmlns:p=\"urn:p\"" + attributes(255) + u"/>",
       false},
      {"257 attributes", u"<a" + many + u"/>", true},
      {"257 with a namespace declaration", u"<a xmlns:p=\"urn:p\"" + attributes(256) + u"/>", true},
      {"257 on an inner element", u"<r><b x='>'/><a" + many + u"/></r>", true},
      {"257 blanks around the equals signs", u"<a" + attributes(256) + u" z \t=\n'2'/>", true},
      {"in a comment", u"<r><!--<a" + many + u"/>--></r>", false},
      {"in a CDATA section", u"<r><![CDATA[<a" + many + u"/>]]></r>", false},
      {"in a processing instruction", u"<r><?p <a" + many + u"/>?></r>", false},
      {"in a value", u"<r v='<a" + many + u"/>'/>", false},
      {"in an end tag", u"<r></r" + many + u">", false},
      // Not well-formed, and refused for its equals signs all the same.
      {"257 equals signs without names", u"<a" + Text(257, u'=') + u"/>", true},
      {"257 before an unclosed tag", u"<r><a" + many + u"<b/></r>", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    IXMLDOMDocument3 dom;
    dom.loadXML(c.document);
    EXPECT_EQ(dom.parseError() == dsig_messages::kTooManyAttributes, c.refused)
        << text::ToUtf8(dom.parseError());
  }
}

TEST(DomDocument, RefusesEntityDeclarationsAndNeverReadsOutside) {
  const Text cases[] = {
      u"<!DOCTYPE a [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><a>&x;</a>",
      u"<!DOCTYPE a [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><a/>",
      u"<!DOCTYPE a [<!ENTITY % p SYSTEM \"file:///etc/passwd\"> %p;]><a/>",
      u"<!DOCTYPE a [<!ENTITY x \"texto\">]><a>&x;</a>",
      u"<!DOCTYPE a [<!ENTITY a \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\">"
      u"<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
      u"<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
      u"<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">"
      u"<!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">"
      u"<!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\">]><a>&f;&f;&f;&f;</a>",
      u"<!DOCTYPE a SYSTEM \"file:///etc/passwd\"><a>&x;</a>",
  };
  for (const auto& document : cases) {
    SCOPED_TRACE(text::ToUtf8(document));
    IXMLDOMDocument3 dom;
    EXPECT_FALSE(dom.loadXML(document));
    EXPECT_EQ(dom.parseError().find(u"root:"), Text::npos);
  }
  // Without entities an external DTD is still refused: it is never read, but readers that do
  // read it may take attribute defaults from it and see another document.
  for (const Text document : {u"<!DOCTYPE a SYSTEM \"file:///etc/passwd\"><a>x</a>",
                              u"<!DOCTYPE a PUBLIC \"-//X//Y\" \"a.dtd\"><a>x</a>"}) {
    IXMLDOMDocument3 dom;
    EXPECT_FALSE(dom.loadXML(document));
    EXPECT_EQ(dom.parseError(), dsig_messages::kExternalSubsetRefused);
  }
}

TEST(DomDocument, SerialisesWithoutLiteralLineBreaksInContent) {
  struct Case {
    const char* name;
    Text document;
    Text expected;
  };
  const Case cases[] = {
      {"white space kept", u"<a> <b> </b>\t</a>", u"<a> <b> </b>\t</a>\n"},
      {"line breaks in text", u"<a>1&#10;2&#xD;3&#xA;</a>", u"<a>1&#10;2&#13;3&#10;</a>\n"},
      {"line breaks in attributes", u"<a b=\"1&#10;2&#13;3&#9;\"/>",
       u"<a b=\"1&#10;2&#13;3&#9;\"/>\n"},
      {"markup characters", u"<a b='&lt;&quot;'>&lt;&amp;&gt;</a>",
       u"<a b=\"&lt;&quot;\">&lt;&amp;&gt;</a>\n"},
      {"accents stay characters", u"<a>ação €</a>", u"<a>ação €</a>\n"},
      {"declaration written without encoding",
       u"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a/>", u"<?xml version=\"1.0\"?><a/>\n"},
      {"processing instruction is no declaration", u"<?pi x?><a/>", u"<?pi x?>\n<a/>\n"},
      {"declaration after a byte-order mark", u"\uFEFF<?xml version=\"1.0\"?><a/>",
       u"<?xml version=\"1.0\"?><a/>\n"},
      {"CDATA and comments kept", u"<a><![CDATA[<x>]]><!-- c --></a>",
       u"<a><![CDATA[<x>]]><!-- c --></a>\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Serialise(c.document), c.expected);
  }
}

// Long text goes through the escaping in pieces as the serialiser's buffer fills: references
// before, across and after every piece's end, and runs longer than a piece.
TEST(DomDocument, SerialisesLongTextAroundTheSerialiserBuffer) {
  for (const std::size_t length : {std::size_t{3990}, std::size_t{4000}, std::size_t{4096},
                                   std::size_t{8200}, std::size_t{20000}}) {
    for (const std::size_t every : {std::size_t{1}, std::size_t{7}, std::size_t{4093}}) {
      SCOPED_TRACE(std::to_string(length) + " every " + std::to_string(every));
      Text content;
      Text expected;
      const TextView kSpecial[] = {u"&lt;", u"&gt;", u"&amp;", u"&#13;", u"&#10;"};
      const TextView kWritten[] = {u"&lt;", u"&gt;", u"&amp;", u"&#13;", u"&#10;"};
      for (std::size_t i = 0; i < length; ++i) {
        if (i % every == every - 1) {
          content += kSpecial[i % 5];
          expected += kWritten[i % 5];
        } else {
          const char16_t c = i % 11 == 0 ? u'\u00e7' : static_cast<char16_t>(u'a' + i % 26);
          content += c;
          expected += c;
        }
      }
      const Text document = u"<a x=\"1\">" + content + u"</a>";
      EXPECT_EQ(Serialise(document), u"<a x=\"1\">" + expected + u"</a>\n");
      IXMLDOMDocument3 dom;
      ASSERT_TRUE(dom.loadXML(document));
      EXPECT_EQ(text::FromUtf8(dom.SerialisedUtf8()), dom.xml());
    }
  }
}

TEST(DomDocument, SelectsTheFirstSignatureInDocumentOrder) {
  IXMLDOMDocument3 dom;
  ASSERT_TRUE(dom.loadXML(
      u"<a><Signature n='0'/><b><s:Signature xmlns:s='http://www.w3.org/2000/09/xmldsig#' n='1'/>"
      u"</b><Signature xmlns='http://www.w3.org/2000/09/xmldsig#' n='2'/></a>"));
  dom.setProperty(u"SelectionNamespaces", u"xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"");
  xmlNode* node = dom.selectSingleNode(u".//ds:Signature");
  ASSERT_NE(node, nullptr);
  xmlChar* n = xmlGetProp(node, BAD_CAST "n");
  EXPECT_STREQ(reinterpret_cast<const char*>(n), "1");
  xmlFree(n);
  EXPECT_EQ(dom.selectSingleNode(u".//ds:Nada"), nullptr);

  const auto messageOf = [](const std::function<void()>& call) { return ErrorOf(call).Message; };
  EXPECT_EQ(messageOf([&] { dom.selectSingleNode(u".//[["); }),
            Text{dsig_messages::kBadExpression} + u".//[[");
  EXPECT_EQ(messageOf([&] { dom.setProperty(u"Outra", u""); }),
            Text{dsig_messages::kUnknownProperty} + u"Outra");
  EXPECT_EQ(messageOf([&] { dom.setProperty(u"SelectionNamespaces", u"xmlns:ds=semaspas"); }),
            Text{dsig_messages::kBadNamespaces} + u"xmlns:ds=semaspas");
  EXPECT_EQ(messageOf([] { IXMLDOMDocument3().xml(); }), dsig_messages::kNotLoaded);
}

// ".//p:name" is found by a walk of the tree; the same expression in a form the walk does not
// take goes through XPath, and both must find the same node.
TEST(DomDocument, DescendantWalkFindsWhatXPathFinds) {
  const Text kDsig = u"http://www.w3.org/2000/09/xmldsig#";
  const Text documents[] = {
      u"<a><b><c><Signature xmlns='" + kDsig +
          u"' n='deep'/></c></b>"
          u"<Signature xmlns='" +
          kDsig + u"' n='later'/></a>",
      u"<Signature xmlns='" + kDsig + u"' n='root'><Signature n='inner'/></Signature>",
      u"<a xmlns:ds='urn:outro'><ds:Signature n='other'/><Signature n='none'/></a>",
      u"<!DOCTYPE a [<!ELEMENT a ANY>]><?pi x?><!-- c --><a><x:Signature xmlns:x='" + kDsig +
          u"' n='x'/></a>",
      u"<a><b/></a>",
  };
  const Text selections[] = {
      u"xmlns:ds=\"" + kDsig + u"\"",
      u"xmlns:ds=\"urn:outro\" xmlns:ds=\"" + kDsig + u"\"",
      u"xmlns:ds=\"urn:outro\"",
  };
  for (const Text& document : documents) {
    for (const Text& selection : selections) {
      SCOPED_TRACE(text::ToUtf8(document + u" " + selection));
      IXMLDOMDocument3 dom;
      ASSERT_TRUE(dom.loadXML(document));
      dom.setProperty(u"SelectionNamespaces", selection);
      EXPECT_EQ(dom.selectSingleNode(u".//ds:Signature"),
                dom.selectSingleNode(u"(.//ds:Signature)[1]"));
    }
  }
  IXMLDOMDocument3 dom;
  ASSERT_TRUE(dom.loadXML(u"<a/>"));
  EXPECT_EQ(ErrorOf([&] { dom.selectSingleNode(u".//nada:Signature"); }).Message,
            Text{dsig_messages::kBadExpression} + u".//nada:Signature");
}

TEST(DomDocument, RegistersIdAttributesOfAnyOfTheThreeSpellings) {
  IXMLDOMDocument3 dom;
  ASSERT_TRUE(dom.loadXML(u"<a><b Id='x1'/><c ID='x2'/><d id='x3'/><e iD='x4'/><f Id='x1'/></a>"));
  xmldsig::RegisterIdAttributes(dom.Handle());
  for (const char* id : {"x1", "x2", "x3"}) {
    SCOPED_TRACE(id);
    EXPECT_NE(xmlGetID(dom.Handle(), BAD_CAST id), nullptr);
  }
  EXPECT_EQ(xmlGetID(dom.Handle(), BAD_CAST "x4"), nullptr);
  xmlAttr* first = xmlGetID(dom.Handle(), BAD_CAST "x1");
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(reinterpret_cast<const char*>(first->parent->name), "b");
}

}  // namespace
