#include "tools/assinador-nfse-cli/document_encoding.h"

#include <optional>

#include "platform/exception.h"
#include "platform/xml_declaration.h"
#include "platform/xmldsig/dsig_messages.h"

namespace {

// The encoding named in an XML declaration at the start of AText (read as ASCII), if any.
std::optional<std::string> DeclaredEncoding(std::string_view AText) {
  if (!xml::StartsWithXmlDeclaration(AText)) return std::nullopt;
  const auto end = AText.find("?>");
  const std::string_view declaration = AText.substr(0, end);
  auto at = declaration.find("encoding");
  if (at == std::string_view::npos) return std::nullopt;
  at = declaration.find_first_not_of(" \t\r\n", at + 8);
  if (at == std::string_view::npos || declaration[at] != '=') return std::nullopt;
  at = declaration.find_first_not_of(" \t\r\n", at + 1);
  if (at == std::string_view::npos || (declaration[at] != '"' && declaration[at] != '\''))
    return std::nullopt;
  const auto close = declaration.find(declaration[at], at + 1);
  if (close == std::string_view::npos) return std::nullopt;
  return text::LowerAscii(declaration.substr(at + 1, close - at - 1));
}

Text DecodeUtf16(std::string_view ABytes, bool ABigEndian) {
  if (ABytes.size() % 2 != 0)
    throw Exception(u"O arquivo não está em UTF-16 válido: número ímpar de bytes.");
  Text content = text::FromUtf16Bytes(ABytes, ABigEndian);
  // A lone surrogate is no character: refused as ill-formed UTF-8 is.
  for (std::size_t i = 0; i < content.size(); ++i) {
    const char16_t c = content[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < content.size() && content[i + 1] >= 0xDC00 &&
        content[i + 1] <= 0xDFFF) {
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      throw Exception(u"O arquivo não está em UTF-16 válido: surrogate isolado.");
    }
  }
  return content;
}

std::string EncodeLatin1(TextView AText) {
  std::string out;
  out.reserve(AText.size());
  for (std::size_t i = 0; i < AText.size(); ++i) {
    char32_t c = AText[i];
    if (c < 256) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < AText.size() && AText[i + 1] >= 0xDC00 &&
        AText[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (AText[i + 1] - 0xDC00);
      ++i;
    }
    out += "&#" + std::to_string(static_cast<unsigned long>(c)) + ";";
  }
  return out;
}

Text DecodeUtf8Strict(std::string_view ABytes) {
  // FromUtf8 replaces ill-formed sequences; signing such a replacement would sign other text.
  if (!text::IsWellFormedUtf8(ABytes)) throw Exception(u"O arquivo não está em UTF-8 válido.");
  return text::FromUtf8(ABytes);
}

void CheckDeclaration(const TDecodedDocument& ADocument) {
  const auto declared = DeclaredEncoding(text::ToLatin1(ADocument.Content.substr(0, 200)));
  if (!declared) return;
  const bool utf16 = ADocument.Encoding.Charset == TCharset::Utf16Le ||
                     ADocument.Encoding.Charset == TCharset::Utf16Be;
  if (utf16 != declared->starts_with("utf-16"))
    throw Exception(u"A declaração XML indica a codificação \"" + text::FromLatin1(*declared) +
                    u"\", que não corresponde aos bytes do arquivo.");
}

}  // namespace

TDecodedDocument DecodeDocument(std::string_view ABytes) {
  TDecodedDocument document;
  auto& encoding = document.Encoding;
  const text::TByteOrderMark mark = text::ByteOrderMarkOf(ABytes);
  const std::string_view body = ABytes.substr(text::ByteOrderMarkBytes(mark).size());
  if (mark == text::TByteOrderMark::Utf8) {
    encoding = {TCharset::Utf8, true};
    document.Content = DecodeUtf8Strict(body);
  } else if (mark == text::TByteOrderMark::Utf16Le) {
    encoding = {TCharset::Utf16Le, true};
    document.Content = DecodeUtf16(body, false);
  } else if (mark == text::TByteOrderMark::Utf16Be) {
    encoding = {TCharset::Utf16Be, true};
    document.Content = DecodeUtf16(body, true);
  } else if (ABytes.size() >= 2 && ABytes[0] == '<' && ABytes[1] == '\0') {
    encoding = {TCharset::Utf16Le, false};
    document.Content = DecodeUtf16(ABytes, false);
  } else if (ABytes.size() >= 2 && ABytes[0] == '\0' && ABytes[1] == '<') {
    encoding = {TCharset::Utf16Be, false};
    document.Content = DecodeUtf16(ABytes, true);
  } else {
    const std::string declared = DeclaredEncoding(ABytes).value_or("utf-8");
    if (declared == "utf-8" || declared == "utf8" || declared == "us-ascii" ||
        declared == "ascii") {
      encoding = {TCharset::Utf8, false};
      document.Content = DecodeUtf8Strict(ABytes);
    } else if (declared == "iso-8859-1" || declared == "iso8859-1" || declared == "iso_8859-1" ||
               declared == "latin1" || declared == "latin-1" || declared == "l1") {
      encoding = {TCharset::Latin1, false};
      document.Content = text::FromLatin1(ABytes);
    } else {
      throw Exception(u"Codificação não suportada: \"" + text::FromLatin1(declared) +
                      u"\" (use UTF-8, ISO-8859-1 ou UTF-16).");
    }
  }
  // The file's own mark was taken as its encoding; a second one would come back in the signed
  // file, which no parser then reads.
  if (encoding.ByteOrderMark && !document.Content.empty() && document.Content.front() == u'\uFEFF')
    throw Exception(u"O arquivo não é XML bem formado: " +
                    Text{dsig_messages::kRepeatedByteOrderMark} + u".");
  CheckDeclaration(document);
  return document;
}

std::string EncodeDocument(TextView AContent, const TDocumentEncoding& AEncoding) {
  const auto markOf = [&](text::TByteOrderMark AMark) {
    return std::string(
        text::ByteOrderMarkBytes(AEncoding.ByteOrderMark ? AMark : text::TByteOrderMark::None));
  };
  // Written once into a string sized for it, the mark first.
  switch (AEncoding.Charset) {
    case TCharset::Utf8: {
      std::string out = markOf(text::TByteOrderMark::Utf8);
      out.reserve(out.size() + text::Utf8Length(AContent));
      text::AppendToUtf8(AContent, out);
      return out;
    }
    case TCharset::Latin1:
      return EncodeLatin1(AContent);
    // UTF-16 always carries its mark: other readers take a document without one for UTF-8.
    case TCharset::Utf16Le:
    case TCharset::Utf16Be: {
      const bool bigEndian = AEncoding.Charset == TCharset::Utf16Be;
      std::string out(text::ByteOrderMarkBytes(bigEndian ? text::TByteOrderMark::Utf16Be
                                                         : text::TByteOrderMark::Utf16Le));
      out.reserve(out.size() + 2 * AContent.size());
      for (const char16_t unit : AContent) {
        const char high = static_cast<char>(unit >> 8);
        const char low = static_cast<char>(unit & 0xFF);
        out.push_back(bigEndian ? high : low);
        out.push_back(bigEndian ? low : high);
      }
      return out;
    }
  }
  return text::ToUtf8(AContent);
}
