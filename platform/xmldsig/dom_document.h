#pragma once

// XML DOM document (stands in for the platform's DOMDocument50 / IXMLDOMDocument3) on libxml2.
//
// Loading is synchronous, never validates, keeps every white-space text node and parses the
// already-decoded text: the encoding named in its declaration does not apply. Hostile input is
// contained: no external entity, DTD or network access, and a document that declares or
// references entities (other than the five predefined ones and character references) is not
// loaded; neither is one with namespace errors. One object belongs to one thread; separate objects
// may be used on separate threads at once. Needs TXmlLibraryScope.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/text.h"
#include "platform/xmldsig/xml_handles.h"

// A start tag with more attributes than this (namespace declarations included) is refused
// before parsing: the parser checks them for duplicates in quadratic time, and no NFS-e layout
// comes near.
inline constexpr int kMaxAttributesPerElement = 256;

class IXMLDOMDocument3 {
 public:
  // True when AText is well-formed and was loaded (the previous document is dropped);
  // otherwise false and parseError() tells why. Also refused: a lone UTF-16 surrogate, a
  // second byte-order mark, a document type declaration naming an external subset, and an
  // element with more than kMaxAttributesPerElement attributes.
  bool loadXML(TextView AText);
  // The same, releasing AText's memory once converted for the parser: a large document is
  // then never held as text and as tree at once.
  bool loadXMLAndRelease(Text&& AText);
  const Text& parseError() const { return FParseError; }

  // "SelectionNamespaces" with a value such as xmlns:ds="http://www.w3.org/2000/09/xmldsig#"
  // (several declarations separated by blanks). Throws Exception for other names or values.
  void setProperty(TextView AName, TextView AValue);

  // The first node, in document order, that the XPath expression selects from the document
  // node with the selection namespaces; null when none. Throws Exception for a bad expression.
  xmlNode* selectSingleNode(TextView AExpression) const;

  // The whole document as text, without line breaks of its own: text-node line breaks are
  // written as character references. Starts with <?xml version="1.0"?> when the loaded text
  // had a declaration. Throws Exception when nothing is loaded.
  Text xml() const;
  // The same text in UTF-8, without the declaration xml() puts first; HasDeclaration() tells
  // whether xml() puts one.
  std::string SerialisedUtf8() const;
  bool HasDeclaration() const { return FHasDeclaration; }

  xmlDoc* Handle() const { return FDocument.get(); }

 private:
  // For ".//p:name" with a declared prefix: the namespace and the local name, found by a walk
  // of the tree without an XPath evaluation. Nothing for any other expression.
  std::optional<std::pair<std::string, std::string>> SimpleDescendant(TextView AExpression) const;
  bool ToCheckedUtf8(TextView AText, std::string& AUtf8);
  // AOwner, when given, holds AUtf8 and is released once the parser has copied it.
  bool ParseUtf8(std::string_view AUtf8, std::string* AOwner = nullptr);

  XmlDocPtr FDocument;
  bool FHasDeclaration = false;
  std::size_t FLoadedSize = 0;
  Text FParseError;
  std::vector<std::pair<std::string, std::string>> FSelectionNamespaces;
};

namespace xmldsig {

// Registers every attribute named Id, ID or id as an XML ID, so that "#value" references
// resolve without a schema. The first of duplicate values wins.
void RegisterIdAttributes(xmlDoc* ADocument);

}  // namespace xmldsig
