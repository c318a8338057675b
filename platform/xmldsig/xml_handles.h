#pragma once

// RAII handles for libxml2 and xmlsec objects, and the per-call collector of library error
// texts.

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlsave.h>
#include <libxml/xpath.h>
#include <xmlsec/keyinfo.h>
#include <xmlsec/keys.h>
#include <xmlsec/keysmngr.h>
#include <xmlsec/xmldsig.h>

#include <memory>
#include <string>

#include "platform/c_free.h"

using XmlDocPtr = std::unique_ptr<xmlDoc, CFree<xmlFreeDoc>>;
using XmlParserCtxtPtr = std::unique_ptr<xmlParserCtxt, CFree<xmlFreeParserCtxt>>;
using XmlXPathContextPtr = std::unique_ptr<xmlXPathContext, CFree<xmlXPathFreeContext>>;
using XmlXPathObjectPtr = std::unique_ptr<xmlXPathObject, CFree<xmlXPathFreeObject>>;
using XmlBufferPtr = std::unique_ptr<xmlBuffer, CFree<xmlBufferFree>>;
using XmlSaveCtxtPtr = std::unique_ptr<xmlSaveCtxt, CFree<xmlSaveClose>>;
using DsigCtxPtr = std::unique_ptr<xmlSecDSigCtx, CFree<xmlSecDSigCtxDestroy>>;
using XmlSecKeyPtr = std::unique_ptr<xmlSecKey, CFree<xmlSecKeyDestroy>>;
using XmlSecKeysMngrPtr = std::unique_ptr<xmlSecKeysMngr, CFree<xmlSecKeysMngrDestroy>>;
using XmlSecKeyDataPtr = std::unique_ptr<xmlSecKeyData, CFree<xmlSecKeyDataDestroy>>;
using XmlSecKeyInfoCtxPtr = std::unique_ptr<xmlSecKeyInfoCtx, CFree<xmlSecKeyInfoCtxDestroy>>;

namespace xmldsig {

// xmlFree is a variable holding the allocator's function: this is the function to free with.
inline void FreeXmlChar(xmlChar* AText) noexcept { xmlFree(AText); }

}  // namespace xmldsig

// Strings that libxml2 allocates for the caller.
using XmlCharPtr = std::unique_ptr<xmlChar, CFree<xmldsig::FreeXmlChar>>;

// Collects the error texts that libxml2 and xmlsec report on this thread while it lives
// (nested collectors restore the outer one). Library callbacks never throw.
class TLibraryErrors {
 public:
  TLibraryErrors();
  ~TLibraryErrors();
  TLibraryErrors(const TLibraryErrors&) = delete;
  TLibraryErrors& operator=(const TLibraryErrors&) = delete;

  const std::string& Texts() const { return FTexts; }
  void Add(const std::string& AText) noexcept;

  // The collector of this thread, or null.
  static TLibraryErrors* Current() noexcept;

 private:
  TLibraryErrors* FPrevious;
  xmlStructuredErrorFunc FPreviousHandler;
  void* FPreviousContext;
  std::string FTexts;
};
