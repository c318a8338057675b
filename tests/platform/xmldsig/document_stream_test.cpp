#include "platform/xmldsig/document_stream.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/report_capture.h"

namespace {

using xmldsig::TDeclineReason;

constexpr std::string_view kTemplate = "<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"/>";

std::string Document(std::string_view ABefore, std::string_view AAfter = "") {
  return "<a>" + std::string{ABefore} + std::string{kTemplate} + std::string{AAfter} + "</a>";
}

std::size_t ReportsWith(const TReportCapture& ACapture, TextView ASource, TextView AText) {
  std::size_t found = 0;
  for (const auto& report : ACapture.Reports())
    if (report.Source == ASource && report.Message.find(AText) != Text::npos) ++found;
  return found;
}

TEST(DocumentStream, CountsEveryDeclinedDocumentByItsReason) {
  struct Case {
    const char* name;
    std::string document;
    TDeclineReason reason;
  };
  const Case cases[] = {
      {"comment", Document("<!-- c -->"), TDeclineReason::Markup},
      {"CDATA section", Document("<![CDATA[x]]>"), TDeclineReason::Markup},
      {"processing instruction", Document("<?p x?>"), TDeclineReason::Markup},
      {"document type", "<!DOCTYPE a>" + Document(""), TDeclineReason::Markup},
      {"XML 1.1", "<?xml version=\"1.1\"?>" + Document(""), TDeclineReason::Declaration},
      {"non-ASCII name", Document("<ação/>"), TDeclineReason::Name},
      {"xml prefix", Document("<b xml:lang=\"pt\"/>"), TDeclineReason::Name},
      {"undeclared prefix", Document("<p:b/>"), TDeclineReason::Namespace},
      {"relative namespace URI", Document("<b xmlns=\"rel\"/>"), TDeclineReason::Namespace},
      {"control character reference", Document("&#1;"), TDeclineReason::Character},
      {"unknown entity", Document("&nada;"), TDeclineReason::Character},
      {"unclosed element", "<a>" + std::string{kTemplate}, TDeclineReason::Malformed},
      {"value without quotes", Document("<b c=1/>"), TDeclineReason::Malformed},
      {"'<' in a value", Document("<b c=\"<\"/>"), TDeclineReason::Malformed},
      {"no blank between attributes", Document("<b c=\"1\"d=\"2\"/>"), TDeclineReason::Malformed},
      {"line break in a tag", Document("<b\nc=\"1\"/>"), TDeclineReason::Malformed},
      {"mismatched end tag", Document("<b></c>"), TDeclineReason::Malformed},
      {"no template", "<a/>", TDeclineReason::Template},
      {"template at the root", std::string{kTemplate}, TDeclineReason::Template},
      {"name past the limits", Document("<" + std::string(1001, 'n') + "/>"), TDeclineReason::Size},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    xmldsig::TDeclineCounter declines{u"Teste"};
    EXPECT_FALSE(xmldsig::StreamEnvelopedDocument(c.document, kTemplate, declines));
    EXPECT_EQ(declines.Total(), 1u);
    EXPECT_EQ(declines.Of(c.reason), 1u);
  }
}

TEST(DocumentStream, ReadsThePlainFormWithoutCountingIt) {
  xmldsig::TDeclineCounter declines{u"Teste"};
  const std::string document =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?> <a xmlns:p=\"urn:p\" b='1 &lt; 2' "
      "c = \"&#xE7;\"><p:b/>t&amp;ç" +
      std::string{kTemplate} + "</a > ";
  const auto streamed = xmldsig::StreamEnvelopedDocument(document, kTemplate, declines);
  ASSERT_TRUE(streamed);
  EXPECT_EQ(streamed->serialised, "<a xmlns:p=\"urn:p\" b=\"1 &lt; 2\" c=\"ç\"><p:b/>t&amp;ç</a>");
  EXPECT_EQ(streamed->signatureAt, streamed->serialised.size() - 4);
  EXPECT_EQ(declines.Total(), 0u);
}

TEST(DocumentStream, ReportsTheFirstDeclineOfEachReasonOnly) {
  const TReportCapture capture;
  xmldsig::TDeclineCounter declines{u"Teste"};
  declines.Count(TDeclineReason::Markup);
  declines.Count(TDeclineReason::Markup);
  declines.Count(TDeclineReason::Name);
  EXPECT_EQ(declines.Total(), 3u);
  EXPECT_EQ(declines.Of(TDeclineReason::Markup), 2u);
  EXPECT_EQ(declines.Of(TDeclineReason::Name), 1u);
  EXPECT_EQ(declines.Of(TDeclineReason::Size), 0u);
  EXPECT_EQ(ReportsWith(capture, u"Teste", xmldsig::kDeclinedDocument), 2u);
  EXPECT_EQ(ReportsWith(capture, u"Teste",
                        Text{xmldsig::kDeclinedDocument} +
                            Text{xmldsig::DeclineReasonText(TDeclineReason::Markup)}),
            1u);
}

// The process's counter: the signer's fall back to the tree path is counted, and reported the
// first time its reason comes up in the process.
TEST(DocumentStream, ADeclinedDocumentIsCountedAndReportedByTheProcessCounter) {
  const TReportCapture capture;
  xmldsig::TDeclineCounter& declines = xmldsig::StreamDeclines();
  const std::uint64_t before = declines.Total();
  const std::uint64_t beforeOfReason = declines.Of(TDeclineReason::Markup);
  EXPECT_FALSE(xmldsig::StreamEnvelopedDocument(Document("<!-- c -->"), kTemplate));
  EXPECT_FALSE(xmldsig::StreamEnvelopedDocument(Document("<?p?>"), kTemplate));
  EXPECT_EQ(declines.Total(), before + 2);
  EXPECT_EQ(declines.Of(TDeclineReason::Markup), beforeOfReason + 2);
  EXPECT_EQ(ReportsWith(capture, xmldsig::kDeclineSource,
                        xmldsig::DeclineReasonText(TDeclineReason::Markup)),
            beforeOfReason == 0 ? 1u : 0u);
}

}  // namespace
