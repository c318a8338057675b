#include "tools/assinador-nfse-cli/document_encoding.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/exception.h"

namespace {

// A document read and written back is the same bytes, in the encoding it came in.
TEST(DocumentEncoding, EachEncodingComesBackAsItWas) {
  const struct {
    const char* name;
    std::string bytes;
    TCharset charset;
    bool mark;
    Text content;
  } kCases[] = {
      {"UTF-8 without a mark", "<a>ç</a>", TCharset::Utf8, false, u"<a>ç</a>"},
      {"UTF-8 with a mark", "\xEF\xBB\xBF<a>ç</a>", TCharset::Utf8, true, u"<a>ç</a>"},
      {"ISO-8859-1 by its declaration",
       "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>\xE7</a>", TCharset::Latin1, false,
       u"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>ç</a>"},
      {"UTF-16 little-endian", std::string("\xFF\xFE<\0a\0/\0>\0", 10), TCharset::Utf16Le, true,
       u"<a/>"},
      {"UTF-16 big-endian", std::string("\xFE\xFF\0<\0a\0/\0>", 10), TCharset::Utf16Be, true,
       u"<a/>"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const TDecodedDocument document = DecodeDocument(c.bytes);
    EXPECT_EQ(document.Encoding.Charset, c.charset);
    EXPECT_EQ(document.Encoding.ByteOrderMark, c.mark);
    EXPECT_EQ(document.Content, c.content);
    EXPECT_EQ(EncodeDocument(document.Content, document.Encoding), c.bytes);
  }
}

TEST(DocumentEncoding, CharactersLatin1LacksBecomeReferences) {
  const TDocumentEncoding latin1{TCharset::Latin1, false};
  EXPECT_EQ(EncodeDocument(u"<a>€ \U0001F600 é</a>", latin1), "<a>&#8364; &#128512; \xE9</a>");
}

TEST(DocumentEncoding, RefusesBytesItCannotReadExactly) {
  const struct {
    const char* name;
    std::string bytes;
  } kCases[] = {
      {"ill-formed UTF-8", "<a>\xC3</a>"},
      {"two byte-order marks", "\xEF\xBB\xBF\xEF\xBB\xBF<a/>"},
      {"odd UTF-16", std::string("\xFF\xFE<\0a", 5)},
      {"lone surrogate", std::string("\xFF\xFE\x00\xD8<\0", 6)},
  };
  for (const auto& [name, bytes] : kCases) EXPECT_THROW(DecodeDocument(bytes), Exception) << name;
}

}  // namespace
