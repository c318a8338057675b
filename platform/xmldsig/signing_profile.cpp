#include "platform/xmldsig/signing_profile.h"

#include <libxml/c14n.h>
#include <xmlsec/strings.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/xmldsig/dsig_messages.h"
#include "platform/xmldsig/dsig_nodes.h"
#include "platform/xmldsig/xml_handles.h"

namespace xmldsig {
namespace {

constexpr std::string_view kEnveloped = "http://www.w3.org/2000/09/xmldsig#enveloped-signature";
constexpr const char* kExcC14nNs = "http://www.w3.org/2001/10/xml-exc-c14n#";

struct TC14nAlgorithm {
  std::string_view uri;
  int mode;
  bool withComments;
};
constexpr TC14nAlgorithm kC14nAlgorithms[] = {
    {"http://www.w3.org/TR/2001/REC-xml-c14n-20010315", XML_C14N_1_0, false},
    {"http://www.w3.org/TR/2001/REC-xml-c14n-20010315#WithComments", XML_C14N_1_0, true},
    {"http://www.w3.org/2006/12/xml-c14n11", XML_C14N_1_1, false},
    {"http://www.w3.org/2006/12/xml-c14n11#WithComments", XML_C14N_1_1, true},
    {"http://www.w3.org/2001/10/xml-exc-c14n#", XML_C14N_EXCLUSIVE_1_0, false},
    {"http://www.w3.org/2001/10/xml-exc-c14n#WithComments", XML_C14N_EXCLUSIVE_1_0, true},
};

struct TDigestAlgorithm {
  std::string_view uri;
  const EVP_MD* (*digest)();
};
constexpr TDigestAlgorithm kDigests[] = {
    {"http://www.w3.org/2000/09/xmldsig#sha1", EVP_sha1},
    {"http://www.w3.org/2001/04/xmldsig-more#sha224", EVP_sha224},
    {"http://www.w3.org/2001/04/xmlenc#sha256", EVP_sha256},
    {"http://www.w3.org/2001/04/xmldsig-more#sha384", EVP_sha384},
    {"http://www.w3.org/2001/04/xmlenc#sha512", EVP_sha512},
};
constexpr TDigestAlgorithm kSignatureMethods[] = {
    {"http://www.w3.org/2000/09/xmldsig#rsa-sha1", EVP_sha1},
    {"http://www.w3.org/2001/04/xmldsig-more#rsa-sha224", EVP_sha224},
    {"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256", EVP_sha256},
    {"http://www.w3.org/2001/04/xmldsig-more#rsa-sha384", EVP_sha384},
    {"http://www.w3.org/2001/04/xmldsig-more#rsa-sha512", EVP_sha512},
};

// Names people know the refused algorithms by, for the refusal's sentence.
struct TKnownName {
  std::string_view uri;
  std::string_view name;
};
constexpr TKnownName kKnownNames[] = {
    {"http://www.w3.org/TR/1999/REC-xpath-19991116", "XPath"},
    {"http://www.w3.org/2002/06/xmldsig-filter2", "XPath Filter 2"},
    {"http://www.w3.org/TR/1999/REC-xslt-19991116", "XSLT"},
    {"http://www.w3.org/2000/09/xmldsig#base64", "base64"},
    {"http://www.w3.org/2001/04/xmldsig-more/xptr", "XPointer"},
    {"http://www.w3.org/2001/04/xmldsig-more#md5", "MD5"},
    {"http://www.w3.org/2001/04/xmldsig-more#rsa-md5", "RSA-MD5"},
    {"http://www.w3.org/2000/09/xmldsig#hmac-sha1", "HMAC"},
    {"http://www.w3.org/2000/09/xmldsig#dsa-sha1", "DSA"},
};

std::string Shown(std::string_view AValue) {
  // An attacker's expression may run to kilobytes: the sentence names its start.
  constexpr std::size_t kShown = 100;
  std::string out{AValue.substr(0, kShown)};
  if (AValue.size() > kShown) out += "…";
  return out;
}

std::string Named(std::string_view AUri) {
  for (const TKnownName& known : kKnownNames)
    if (known.uri == AUri) return std::string{known.name} + " (" + Shown(AUri) + ")";
  if (AUri.find("hmac") != std::string_view::npos) return "HMAC (" + Shown(AUri) + ")";
  if (AUri.find("ecdsa") != std::string_view::npos) return "ECDSA (" + Shown(AUri) + ")";
  if (AUri.find("dsa-") != std::string_view::npos) return "DSA (" + Shown(AUri) + ")";
  if (AUri.find("md5") != std::string_view::npos) return "MD5 (" + Shown(AUri) + ")";
  return Shown(AUri);
}

Text Refusal(TextView ASentence, const std::string& AWhat) {
  return Text{ASentence} + text::FromUtf8(AWhat);
}

std::string AttributeOf(const xmlNode* ANode, const char* AName, bool* APresent = nullptr) {
  const XmlCharPtr value{xmlGetNoNsProp(ANode, BAD_CAST AName)};
  if (APresent) *APresent = value != nullptr;
  return value ? reinterpret_cast<const char*>(value.get()) : std::string{};
}

std::string LocalName(const xmlNode* ANode) { return reinterpret_cast<const char*>(ANode->name); }

bool IsBlank(const xmlChar* AText) {
  for (; AText && *AText; ++AText)
    if (*AText != ' ' && *AText != '\t' && *AText != '\r' && *AText != '\n') return false;
  return true;
}

// Why a child of a structural element of the signature is refused: another element than
// those allowed, or text that is not blank. Comments are left alone.
Text StrayChild(const xmlNode* AChild) {
  if (AChild->type == XML_TEXT_NODE || AChild->type == XML_CDATA_SECTION_NODE) {
    if (IsBlank(AChild->content)) return {};
    return Text{dsig_messages::kTextRefused} + text::FromUtf8(LocalName(AChild->parent));
  }
  if (AChild->type != XML_ELEMENT_NODE) return {};
  return Refusal(dsig_messages::kElementRefused, LocalName(AChild));
}

// Reads a canonicalisation method (a CanonicalizationMethod or a Transform naming one).
bool ReadCanonicalization(const xmlNode* ANode, std::string_view AAlgorithm,
                          TCanonicalization& AOut, Text& ARefusal) {
  const auto known = std::find_if(std::begin(kC14nAlgorithms), std::end(kC14nAlgorithms),
                                  [&](const TC14nAlgorithm& a) { return a.uri == AAlgorithm; });
  if (known == std::end(kC14nAlgorithms)) return false;
  AOut = {known->mode, known->withComments, {}};
  for (const xmlNode* child = ANode->children; child; child = child->next) {
    if (child->type == XML_ELEMENT_NODE && known->mode == XML_C14N_EXCLUSIVE_1_0 && child->ns &&
        xmlStrEqual(child->ns->href, BAD_CAST kExcC14nNs) &&
        xmlStrEqual(child->name, BAD_CAST "InclusiveNamespaces")) {
      const std::string list = AttributeOf(child, "PrefixList");
      std::size_t at = 0;
      while (at < list.size()) {
        const std::size_t start = list.find_first_not_of(" \t\r\n", at);
        if (start == std::string::npos) break;
        const std::size_t end = std::min(list.find_first_of(" \t\r\n", start), list.size());
        AOut.inclusivePrefixes.push_back(list.substr(start, end - start));
        at = end;
      }
      continue;
    }
    if (Text stray = StrayChild(child); !stray.empty()) {
      ARefusal = std::move(stray);
      return true;
    }
  }
  return true;
}

Text ReadReference(xmlNode* AReference, TReferenceForm& AOut) {
  AOut.reference = AReference;
  bool hasUri = false;
  const std::string uri = AttributeOf(AReference, "URI", &hasUri);
  if (!hasUri) return Refusal(dsig_messages::kReferenceRefused, "sem URI");
  if (!uri.empty()) {
    const std::string id = uri.substr(1);
    if (uri[0] != '#' || xmlValidateNCName(BAD_CAST id.c_str(), 0) != 0) {
      const char* const kind = uri.starts_with("#xpointer(") ? " (XPointer)"
                               : uri[0] == '#'               ? ""
                                                             : " (fora do documento)";
      return Refusal(dsig_messages::kReferenceRefused, Shown(uri) + kind);
    }
    AOut.id = id;
  }
  xmlNode* transforms = nullptr;
  xmlNode* digestMethod = nullptr;
  for (xmlNode* child = AReference->children; child; child = child->next) {
    if (IsDsig(child, "Transforms") && !transforms && !digestMethod) {
      transforms = child;
    } else if (IsDsig(child, "DigestMethod") && !digestMethod) {
      digestMethod = child;
    } else if (IsDsig(child, "DigestValue") && digestMethod && !AOut.digestValue) {
      AOut.digestValue = child;
    } else if (Text stray = StrayChild(child); !stray.empty()) {
      return stray;
    }
  }
  if (!digestMethod || !AOut.digestValue) return Text{dsig_messages::kIncompleteReference};

  bool canonicalized = false;
  for (xmlNode* transform = transforms ? transforms->children : nullptr; transform;
       transform = transform->next) {
    if (!IsDsig(transform, "Transform")) {
      if (Text stray = StrayChild(transform); !stray.empty()) return stray;
      continue;
    }
    const std::string algorithm = AttributeOf(transform, "Algorithm");
    Text refusal;
    if (algorithm == kEnveloped && !AOut.enveloped && !canonicalized) {
      AOut.enveloped = true;
      for (const xmlNode* child = transform->children; child; child = child->next)
        if (Text stray = StrayChild(child); !stray.empty()) return stray;
    } else if (!canonicalized &&
               ReadCanonicalization(transform, algorithm, AOut.canonicalization, refusal)) {
      if (!refusal.empty()) return refusal;
      canonicalized = true;
    } else if (algorithm == kEnveloped ||
               ReadCanonicalization(transform, algorithm, AOut.canonicalization, refusal)) {
      return Refusal(dsig_messages::kTransformRefused,
                     Named(algorithm) + dsig_messages::kTransformOutOfOrder);
    } else {
      return Refusal(dsig_messages::kTransformRefused, Named(algorithm));
    }
  }
  // Comments never belong to what a same-document reference selects.
  AOut.canonicalization.withComments = false;

  const std::string digest = AttributeOf(digestMethod, "Algorithm");
  const auto known = std::find_if(std::begin(kDigests), std::end(kDigests),
                                  [&](const TDigestAlgorithm& d) { return d.uri == digest; });
  if (known == std::end(kDigests)) return Refusal(dsig_messages::kDigestRefused, Named(digest));
  AOut.digest = known->digest();
  for (const xmlNode* child = digestMethod->children; child; child = child->next)
    if (Text stray = StrayChild(child); !stray.empty()) return stray;
  return {};
}

Text ReadKeyInfo(const xmlNode* AKeyInfo) {
  for (const xmlNode* child = AKeyInfo->children; child; child = child->next) {
    if (IsDsig(child, "X509Data")) {
      for (const xmlNode* data = child->children; data; data = data->next) {
        if (IsDsig(data, "X509Certificate")) {
          for (const xmlNode* part = data->children; part; part = part->next)
            if (part->type == XML_ELEMENT_NODE)
              return Refusal(dsig_messages::kKeyInfoRefused, LocalName(part));
        }
        if (data->type == XML_ELEMENT_NODE &&
            !(IsDsig(data, "X509Certificate") || IsDsig(data, "X509IssuerSerial") ||
              IsDsig(data, "X509SubjectName") || IsDsig(data, "X509SKI") ||
              IsDsig(data, "X509CRL")))
          return Refusal(dsig_messages::kKeyInfoRefused, LocalName(data));
      }
    } else if (IsDsig(child, "KeyValue") || IsDsig(child, "KeyName")) {
      continue;
    } else if (child->type == XML_ELEMENT_NODE) {
      return Refusal(dsig_messages::kKeyInfoRefused, LocalName(child));
    } else if (Text stray = StrayChild(child); !stray.empty()) {
      return stray;
    }
  }
  return {};
}

std::string Folded(std::string_view AId) {
  const std::size_t start = AId.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos) return {};
  const std::size_t end = AId.find_last_not_of(" \t\r\n");
  std::string out{AId.substr(start, end - start + 1)};
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool IsIdName(const xmlChar* AName) {
  return xmlStrEqual(AName, BAD_CAST "Id") || xmlStrEqual(AName, BAD_CAST "ID") ||
         xmlStrEqual(AName, BAD_CAST "id");
}

}  // namespace

Text ReadSignatureForm(xmlNode& ASignature, TSignatureForm& AForm) {
  AForm = {};
  AForm.signature = &ASignature;
  for (xmlNode* child = ASignature.children; child; child = child->next) {
    if (IsDsig(child, "SignedInfo") && !AForm.signedInfo) {
      AForm.signedInfo = child;
    } else if (IsDsig(child, "SignatureValue") && AForm.signedInfo && !AForm.signatureValue) {
      AForm.signatureValue = child;
    } else if (IsDsig(child, "KeyInfo") && AForm.signatureValue && !AForm.keyInfo) {
      AForm.keyInfo = child;
    } else if (Text stray = StrayChild(child); !stray.empty()) {
      // Object and Manifest content is left out by the enveloped transform of a whole-document
      // signature: whatever it holds would read as signed and never be.
      return stray;
    }
  }
  if (!AForm.signedInfo || !AForm.signatureValue) return Text{dsig_messages::kIncompleteSignature};

  xmlNode* c14n = nullptr;
  xmlNode* method = nullptr;
  for (xmlNode* child = AForm.signedInfo->children; child; child = child->next) {
    if (IsDsig(child, "CanonicalizationMethod") && !c14n) {
      c14n = child;
    } else if (IsDsig(child, "SignatureMethod") && c14n && !method) {
      method = child;
    } else if (IsDsig(child, "Reference") && method) {
      if (AForm.references.size() == static_cast<std::size_t>(kMaxReferences))
        return Text{dsig_messages::kTooManyReferences};
      AForm.references.emplace_back();
      if (Text refusal = ReadReference(child, AForm.references.back()); !refusal.empty())
        return refusal;
    } else if (Text stray = StrayChild(child); !stray.empty()) {
      return stray;
    }
  }
  if (!c14n || !method || AForm.references.empty())
    return Text{dsig_messages::kIncompleteSignature};

  const std::string c14nAlgorithm = AttributeOf(c14n, "Algorithm");
  Text refusal;
  if (!ReadCanonicalization(c14n, c14nAlgorithm, AForm.canonicalization, refusal))
    return Refusal(dsig_messages::kCanonicalizationRefused, Named(c14nAlgorithm));
  if (!refusal.empty()) return refusal;

  const std::string signatureMethod = AttributeOf(method, "Algorithm");
  const auto known =
      std::find_if(std::begin(kSignatureMethods), std::end(kSignatureMethods),
                   [&](const TDigestAlgorithm& d) { return d.uri == signatureMethod; });
  if (known == std::end(kSignatureMethods))
    return Refusal(dsig_messages::kSignatureMethodRefused, Named(signatureMethod));
  AForm.signatureDigest = known->digest();
  for (const xmlNode* child = method->children; child; child = child->next)
    if (Text stray = StrayChild(child); !stray.empty()) return stray;

  if (AForm.keyInfo) {
    if (Text keyInfoRefusal = ReadKeyInfo(AForm.keyInfo); !keyInfoRefusal.empty())
      return keyInfoRefusal;
  }
  // A signature within a signature would be rewritten, or freed, by the signing of its host.
  for (const xmlNode* node = ASignature.children; node && node != &ASignature;) {
    if (IsDsig(node, "Signature")) return Refusal(dsig_messages::kElementRefused, "Signature");
    if (node->children && node->type == XML_ELEMENT_NODE) {
      node = node->children;
      continue;
    }
    while (node != &ASignature && !node->next) node = node->parent;
    if (node != &ASignature) node = node->next;
  }
  return {};
}

TIdIndex::TIdIndex(xmlDoc& ADocument) {
  xmlNode* node = xmlDocGetRootElement(&ADocument);
  while (node) {
    for (const xmlAttr* attr = node->properties; attr; attr = attr->next) {
      const bool inXml = attr->ns && xmlStrEqual(attr->ns->href, XML_XML_NAMESPACE);
      if (inXml ? !xmlStrEqual(attr->name, BAD_CAST "id") : !IsIdName(attr->name)) continue;
      const XmlCharPtr value{xmlNodeListGetString(node->doc, attr->children, 1)};
      const std::string text = value ? reinterpret_cast<const char*>(value.get()) : "";
      ++FLookAlikes[Folded(text)];
      if (!attr->ns || inXml) FElements.emplace(text, node);
    }
    // Document order, without recursion.
    xmlNode* next = node->children;
    while (next && next->type != XML_ELEMENT_NODE) next = next->next;
    if (!next) {
      for (xmlNode* up = node; up && !next; up = up->parent) {
        if (up->type != XML_ELEMENT_NODE) break;
        for (next = up->next; next && next->type != XML_ELEMENT_NODE;) next = next->next;
      }
    }
    node = next;
  }
}

xmlNode* TIdIndex::Find(std::string_view AId) const {
  const auto found = FElements.find(std::string{AId});
  return found == FElements.end() ? nullptr : found->second;
}

bool TIdIndex::Repeated(std::string_view AId) const {
  const auto found = FLookAlikes.find(Folded(AId));
  return found != FLookAlikes.end() && found->second > 1;
}

bool IsWithin(const xmlNode* ANode, const xmlNode* ARoot) {
  for (; ANode; ANode = ANode->parent)
    if (ANode == ARoot) return true;
  return false;
}

Text ReferenceTargetRefusal(const TSignatureForm& AForm, const TReferenceForm& ARef,
                            const TIdIndex& AIds, xmlNode* ATarget) {
  if (!ARef.id.empty()) {
    if (!ATarget) return Refusal(dsig_messages::kReferenceWithoutElement, ARef.id);
    if (AIds.Repeated(ARef.id)) return Refusal(dsig_messages::kRepeatedId, ARef.id);
    const xmlNode* const parent = AForm.signature->parent;
    if (ATarget != parent && ATarget->parent != parent)
      return Refusal(dsig_messages::kMisplacedElement, NodePath(ATarget)) +
             text::FromUtf8(" (#" + ARef.id + ")");
  }
  if (ATarget && IsWithin(ATarget, AForm.signature))
    return Text{dsig_messages::kInsideSignature} + text::FromUtf8(" #" + ARef.id);
  const bool holdsSignature = !ATarget || IsWithin(AForm.signature, ATarget);
  if (holdsSignature && !ARef.enveloped)
    return Text{dsig_messages::kCoversItself} +
           text::FromUtf8(ARef.id.empty() ? "" : " #" + ARef.id);
  return {};
}

std::string NodePath(const xmlNode* ANode) {
  std::vector<std::string> steps;
  for (const xmlNode* node = ANode; node && node->type == XML_ELEMENT_NODE; node = node->parent) {
    std::size_t before = 0;
    for (const xmlNode* sibling = node->prev; sibling; sibling = sibling->prev)
      if (sibling->type == XML_ELEMENT_NODE && xmlStrEqual(sibling->name, node->name)) ++before;
    bool after = false;
    for (const xmlNode* sibling = node->next; sibling && !after; sibling = sibling->next)
      after = sibling->type == XML_ELEMENT_NODE && xmlStrEqual(sibling->name, node->name);
    const bool others = before > 0 || after;
    std::string step = LocalName(node);
    if (others) {
      step += '[';
      step += std::to_string(before + 1);
      step += ']';
    }
    steps.push_back(std::move(step));
  }
  std::string path;
  for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
    path += '/';
    path += *it;
  }
  return path.empty() ? "/" : path;
}

}  // namespace xmldsig
