#include "platform/xmldsig/dom_document.h"

#include <libxml/parserInternals.h>
#include <libxml/xpathInternals.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

#include "platform/component_error.h"
#include "platform/xml_declaration.h"
#include "platform/xmldsig/dsig_messages.h"
#include "platform/xmldsig/markup_lexer.h"

namespace {

// The bytes EscapeTextContent writes as a reference.
constexpr std::array<bool, 256> kEscaped = [] {
  std::array<bool, 256> escaped{};
  for (const unsigned char c : {'<', '>', '&', '\r', '\n'}) escaped[c] = true;
  return escaped;
}();

// libxml2 writes a line feed inside text as it stands, and the signed text loses its literal
// line breaks afterwards. Writing it (and CR) as a character reference keeps such content, and
// so the signature, intact. Called by libxml2 with room for at least 40 bytes.
int EscapeTextContent(unsigned char* out, int* outlen, const unsigned char* in, int* inlen) {
  unsigned char* o = out;
  unsigned char* const outEnd = out + *outlen;
  const unsigned char* i = in;
  const unsigned char* const inEnd = in + *inlen;
  while (i < inEnd) {
    // Runs of characters written as they are go over whole.
    const unsigned char* run = i;
    while (run < inEnd && !kEscaped[*run]) ++run;
    const std::size_t copied =
        std::min(static_cast<std::size_t>(run - i), static_cast<std::size_t>(outEnd - o));
    std::memcpy(o, i, copied);
    o += copied;
    i += copied;
    if (i == inEnd || i != run) break;  // all written, or no more room
    const char* replacement = nullptr;
    switch (*i) {
      case '<':
        replacement = "&lt;";
        break;
      case '>':
        replacement = "&gt;";
        break;
      case '&':
        replacement = "&amp;";
        break;
      case '\r':
        replacement = "&#13;";
        break;
      default:  // '\n'
        replacement = "&#10;";
        break;
    }
    const std::size_t need = std::strlen(replacement);
    if (static_cast<std::size_t>(outEnd - o) < need) break;
    std::memcpy(o, replacement, need);
    o += need;
    ++i;
  }
  *outlen = static_cast<int>(o - out);
  *inlen = static_cast<int>(i - in);
  return *outlen;
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// xmlns:p="uri" declarations separated by blanks; either quote character.
bool ParseNamespaces(TextView value, std::vector<std::pair<std::string, std::string>>& out) {
  std::size_t i = 0;
  while (true) {
    while (i < value.size() && IsBlank(value[i])) ++i;
    if (i == value.size()) return true;
    constexpr TextView kPrefix = u"xmlns:";
    if (value.substr(i, kPrefix.size()) != kPrefix) return false;
    i += kPrefix.size();
    const std::size_t equals = value.find(u'=', i);
    if (equals == TextView::npos || equals == i) return false;
    const TextView prefix = value.substr(i, equals - i);
    i = equals + 1;
    if (i >= value.size() || (value[i] != u'"' && value[i] != u'\'')) return false;
    const char16_t quote = value[i++];
    const std::size_t close = value.find(quote, i);
    if (close == TextView::npos) return false;
    out.emplace_back(text::ToUtf8(prefix), text::ToUtf8(value.substr(i, close - i)));
    i = close + 1;
  }
}

bool DeclaresEntities(const xmlDoc* doc) {
  for (const xmlDtd* dtd : {doc->intSubset, doc->extSubset}) {
    if (dtd && (dtd->entities || dtd->pentities)) return true;
  }
  return doc->extSubset != nullptr;
}

// A default attribute value declared in the document's own DTD is applied by other readers
// (verifiers included) but not by our parse, so the signature would cover a different document.
bool DeclaresAttributeDefaults(const xmlDoc* doc) {
  if (!doc->intSubset || !doc->intSubset->attributes) return false;
  bool found = false;
  xmlHashScan(
      static_cast<xmlHashTablePtr>(doc->intSubset->attributes),
      [](void* payload, void* data, const xmlChar*) {
        if (static_cast<const xmlAttribute*>(payload)->defaultValue)
          *static_cast<bool*>(data) = true;
      },
      &found);
  return found;
}

// An entity reference left in the tree (an entity of a DTD that was not read) would be signed
// as nothing while other readers expand it.
bool HasEntityReferences(const xmlNode* node) {
  for (; node; node = node->next) {
    if (node->type == XML_ENTITY_REF_NODE) return true;
    if (node->type != XML_ELEMENT_NODE) continue;
    for (const xmlAttr* attr = node->properties; attr; attr = attr->next) {
      if (HasEntityReferences(attr->children)) return true;
    }
    if (HasEntityReferences(node->children)) return true;
  }
  return false;
}

bool HasLoneSurrogate(TextView AText) {
  // Surrogates are rare: blocks without any are passed over whole (the test vectorises).
  constexpr std::size_t kBlock = 32;
  std::size_t i = 0;
  for (; i + kBlock <= AText.size(); i += kBlock) {
    unsigned found = 0;
    for (std::size_t k = 0; k < kBlock; ++k) found |= (AText[i + k] & 0xF800) == 0xD800 ? 1u : 0u;
    if (found != 0) break;
  }
  for (; i < AText.size(); ++i) {
    const char16_t c = AText[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < AText.size() && AText[i + 1] >= 0xDC00 &&
        AText[i + 1] <= 0xDFFF) {
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      return true;
    }
  }
  return false;
}

// Whether some start tag of the text carries more than AMax attributes, counted as the '='
// signs outside quotes, so that a tag the parser would refuse anyway is judged alike. Text
// that is not well-formed only has to be read without harm: the parser refuses it afterwards.
bool HasTagWithMoreAttributes(std::string_view s, int AMax) {
  markup::TLexer<char> lexer(s);
  markup::TToken token;
  markup::TAttribute attribute;
  while (lexer.Next(token)) {
    if (token.kind != markup::TTokenKind::StartTag) continue;
    int attributes = 0;
    while (lexer.NextAttribute(token, attribute)) {
      if (attribute.equals != markup::kNone && ++attributes > AMax) return true;
    }
  }
  return false;
}

// Parses the UTF-8 text. Named "UTF-8", libxml2 would also run its copy of the text through a
// UTF-8 to UTF-8 conversion into a buffer of its own, which grows to twice the text; read as
// it stands, the parser takes UTF-8 from the first bytes and converts nothing. Only a text
// with a NUL byte among its first four could be taken for another encoding: such a text
// (never well-formed) is read as before, so that it fails alike. AOwner, when given, holds the
// text and is released as soon as the parser has its copy.
XmlDocPtr ReadUtf8(xmlParserCtxt* ctxt, std::string_view utf8, int options, std::string* AOwner) {
  const int size = static_cast<int>(utf8.size());
  if (utf8.substr(0, 4).find('\0') != std::string_view::npos)
    return XmlDocPtr{xmlCtxtReadMemory(ctxt, utf8.data(), size, nullptr, "UTF-8", options)};
  xmlParserInputBuffer* buffer =
      xmlParserInputBufferCreateMem(utf8.data(), size, XML_CHAR_ENCODING_NONE);
  if (!buffer) return nullptr;
  xmlParserInput* input = xmlNewIOInputStream(ctxt, buffer, XML_CHAR_ENCODING_NONE);
  if (!input) {
    xmlFreeParserInputBuffer(buffer);
    return nullptr;
  }
  if (inputPush(ctxt, input) < 0) {
    xmlFreeInputStream(input);
    return nullptr;
  }
  if (AOwner) std::string().swap(*AOwner);
  xmlCtxtUseOptions(ctxt, options);
  xmlParseDocument(ctxt);
  XmlDocPtr doc{ctxt->myDoc};
  ctxt->myDoc = nullptr;
  if (!ctxt->wellFormed) doc.reset();
  // As the named encoding would have left it: the serialiser writes characters outside ASCII
  // as references for a document of no known encoding.
  if (doc && !doc->encoding) doc->encoding = xmlStrdup(BAD_CAST "UTF-8");
  return doc;
}

// The first element in document order below ANode with that namespace and local name: what
// ".//p:name" selects first from the document node.
xmlNode* FirstDescendant(xmlNode* ANode, const std::string& AUri, const std::string& AName) {
  for (xmlNode* node = ANode->children; node; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    // The local name first: it tells most elements apart at its first byte.
    if (std::strcmp(reinterpret_cast<const char*>(node->name), AName.c_str()) == 0 && node->ns &&
        node->ns->href &&
        std::strcmp(reinterpret_cast<const char*>(node->ns->href), AUri.c_str()) == 0) {
      return node;
    }
    if (xmlNode* found = FirstDescendant(node, AUri, AName)) return found;
  }
  return nullptr;
}

void RegisterIds(xmlDoc* doc, xmlNode* node) {
  for (; node; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    for (xmlAttr* attr = node->properties; attr; attr = attr->next) {
      if (attr->ns) continue;
      const auto* name = reinterpret_cast<const char*>(attr->name);
      if (std::strcmp(name, "Id") != 0 && std::strcmp(name, "ID") != 0 &&
          std::strcmp(name, "id") != 0) {
        continue;
      }
      const XmlCharPtr value{xmlNodeListGetString(doc, attr->children, 1)};
      if (!value) continue;
      if (!xmlGetID(doc, value.get())) xmlAddID(nullptr, doc, value.get(), attr);
    }
    RegisterIds(doc, node->children);
  }
}

}  // namespace

namespace xmldsig {

void RegisterIdAttributes(xmlDoc* ADocument) {
  if (ADocument) RegisterIds(ADocument, ADocument->children);
}

}  // namespace xmldsig

bool IXMLDOMDocument3::loadXML(TextView AText) {
  std::string utf8;
  return ToCheckedUtf8(AText, utf8) && ParseUtf8(utf8);
}

bool IXMLDOMDocument3::loadXMLAndRelease(Text&& AText) {
  std::string utf8;
  const bool converted = ToCheckedUtf8(AText, utf8);
  Text().swap(AText);  // the parser needs the bytes only
  return converted && ParseUtf8(utf8, &utf8);
}

bool IXMLDOMDocument3::ToCheckedUtf8(TextView AText, std::string& AUtf8) {
  FDocument.reset();
  FParseError.clear();
  const TextView start = AText.substr(AText.substr(0, 1) == u"\uFEFF" ? 1 : 0);
  FHasDeclaration = xml::StartsWithXmlDeclaration(start);
  // Checked on the text itself: the conversion below would turn a lone surrogate into U+FFFD
  // and sign a character the client never sent.
  if (HasLoneSurrogate(AText)) {
    FParseError = Text{dsig_messages::kLoneSurrogate};
    return false;
  }
  if (start.substr(0, 1) == u"\uFEFF") {
    FParseError = Text{dsig_messages::kRepeatedByteOrderMark};
    return false;
  }
  AUtf8 = text::ToUtf8(AText);
  return true;
}

bool IXMLDOMDocument3::ParseUtf8(std::string_view utf8, std::string* AOwner) {
  if (utf8.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    FParseError = Text{dsig_messages::kTooLarge};
    return false;
  }
  FLoadedSize = utf8.size();
  if (HasTagWithMoreAttributes(utf8, kMaxAttributesPerElement)) {
    FParseError = Text{dsig_messages::kTooManyAttributes};
    return false;
  }
  TLibraryErrors errors;
  XmlParserCtxtPtr ctxt{xmlNewParserCtxt()};
  if (!ctxt) {
    FParseError = u"xmlNewParserCtxt";
    return false;
  }
  // The text is already decoded: parse its UTF-8 form and ignore the declared encoding. No
  // entity substitution, no DTD loading, no network. Short texts (most NFS-e values) are kept
  // inside their node, without an allocation of their own.
  constexpr int kOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING |
                           XML_PARSE_IGNORE_ENC | XML_PARSE_COMPACT;
  XmlDocPtr doc = ReadUtf8(ctxt.get(), utf8, kOptions, AOwner);
  // Namespace errors (an undeclared prefix) count as malformed: the signature's
  // canonicalisation needs every name resolved.
  if (!doc || !ctxt->wellFormed || !ctxt->nsWellFormed) {
    const xmlError* error = xmlCtxtGetLastError(ctxt.get());
    FParseError = text::FromUtf8(error && error->message ? error->message : errors.Texts());
    return false;
  }
  // Entities are where XXE and expansion bombs live; NFS-e documents never declare any.
  if (DeclaresEntities(doc.get()) || HasEntityReferences(doc->children)) {
    FParseError = Text{dsig_messages::kEntitiesRefused};
    return false;
  }
  // Nothing reads an external subset here, but readers that do may find defaults in it and
  // see another document than the one signed.
  if (doc->intSubset && (doc->intSubset->ExternalID || doc->intSubset->SystemID)) {
    FParseError = Text{dsig_messages::kExternalSubsetRefused};
    return false;
  }
  if (DeclaresAttributeDefaults(doc.get())) {
    FParseError = Text{dsig_messages::kAttributeDefaultsRefused};
    return false;
  }
  FDocument = std::move(doc);
  return true;
}

void IXMLDOMDocument3::setProperty(TextView AName, TextView AValue) {
  if (AName != u"SelectionNamespaces") {
    component::Fail(Text{dsig_messages::kUnknownProperty} + Text{AName});
  }
  std::vector<std::pair<std::string, std::string>> namespaces;
  if (!ParseNamespaces(AValue, namespaces)) {
    component::Fail(Text{dsig_messages::kBadNamespaces} + Text{AValue});
  }
  FSelectionNamespaces = std::move(namespaces);
}

xmlNode* IXMLDOMDocument3::selectSingleNode(TextView AExpression) const {
  if (!FDocument) component::Fail(dsig_messages::kNotLoaded);
  if (const auto descendant = SimpleDescendant(AExpression)) {
    return FirstDescendant(reinterpret_cast<xmlNode*>(FDocument.get()), descendant->first,
                           descendant->second);
  }
  TLibraryErrors errors;
  XmlXPathContextPtr context{xmlXPathNewContext(FDocument.get())};
  if (!context) component::Fail(text::FromUtf8(errors.Texts()));
  for (const auto& [prefix, uri] : FSelectionNamespaces) {
    xmlXPathRegisterNs(context.get(), BAD_CAST prefix.c_str(), BAD_CAST uri.c_str());
  }
  context->node = reinterpret_cast<xmlNode*>(FDocument.get());
  const std::string expression = text::ToUtf8(AExpression);
  XmlXPathObjectPtr result{xmlXPathEvalExpression(BAD_CAST expression.c_str(), context.get())};
  if (!result) component::Fail(Text{dsig_messages::kBadExpression} + Text{AExpression});
  if (result->type != XPATH_NODESET || !result->nodesetval || result->nodesetval->nodeNr == 0) {
    return nullptr;
  }
  return result->nodesetval->nodeTab[0];
}

std::optional<std::pair<std::string, std::string>> IXMLDOMDocument3::SimpleDescendant(
    TextView AExpression) const {
  constexpr TextView kDescendants = u".//";
  if (!AExpression.starts_with(kDescendants)) return std::nullopt;
  const TextView rest = AExpression.substr(kDescendants.size());
  const std::size_t colon = rest.find(u':');
  if (colon == TextView::npos || colon == 0 || colon + 1 == rest.size()) return std::nullopt;
  const auto isNameUnit = [](char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_' ||
           (c >= u'0' && c <= u'9') || c == u'-' || c == u'.';
  };
  const TextView prefix = rest.substr(0, colon);
  const TextView name = rest.substr(colon + 1);
  for (const TextView part : {prefix, name}) {
    if (!std::all_of(part.begin(), part.end(), isNameUnit) || !isNameUnit(part[0]) ||
        (part[0] >= u'0' && part[0] <= u'9') || part[0] == u'-' || part[0] == u'.') {
      return std::nullopt;
    }
  }
  const std::string prefixUtf8 = text::ToUtf8(prefix);
  // The last declaration of a prefix is the one the expression sees.
  for (auto it = FSelectionNamespaces.rbegin(); it != FSelectionNamespaces.rend(); ++it) {
    if (it->first == prefixUtf8) return std::pair{it->second, text::ToUtf8(name)};
  }
  return std::nullopt;  // the expression's evaluation reports the unknown prefix
}

std::string IXMLDOMDocument3::SerialisedUtf8() const {
  if (!FDocument) component::Fail(dsig_messages::kNotLoaded);
  TLibraryErrors errors;
  // Written straight into the text handed back, sized for the document as it was loaded (the
  // signature adds a few kilobytes); the serialiser's own buffer holds only a few kilobytes.
  std::string out;
  out.reserve(FLoadedSize + FLoadedSize / 16 + 16384);
  const auto append = [](void* context, const char* bytes, int length) -> int {
    try {
      static_cast<std::string*>(context)->append(bytes, static_cast<std::size_t>(length));
      return length;
    } catch (const std::bad_alloc&) {
      return -1;  // nothing may unwind through the library; it reports the failed write
    }
  };
  {
    XmlSaveCtxtPtr save{xmlSaveToIO(append, nullptr, &out, "UTF-8", XML_SAVE_NO_DECL)};
    if (!save) component::Fail(dsig_messages::kSerialiseFailed);
    xmlSaveSetEscape(save.get(), EscapeTextContent);
    if (xmlSaveDoc(save.get(), FDocument.get()) < 0) {
      component::Fail(Text{dsig_messages::kSerialiseFailed} + u": " +
                      text::FromUtf8(errors.Texts()));
    }
  }  // closing the save context flushes into the text
  return out;
}

Text IXMLDOMDocument3::xml() const {
  const std::string serialised = SerialisedUtf8();
  constexpr TextView kDeclaration = u"<?xml version=\"1.0\"?>";
  Text out;
  out.reserve(serialised.size() + (FHasDeclaration ? kDeclaration.size() : 0));
  if (FHasDeclaration) out += kDeclaration;
  text::AppendFromUtf8(serialised, out);
  return out;
}
