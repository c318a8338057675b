#include "platform/xmldsig/dsig_nodes.h"

#include <xmlsec/strings.h>

#include "platform/exception.h"
#include "platform/xmldsig/dsig_messages.h"

namespace xmldsig {

bool IsDsig(const xmlNode* ANode, const char* AName) {
  return ANode && ANode->type == XML_ELEMENT_NODE && ANode->ns &&
         xmlStrEqual(ANode->ns->href, xmlSecDSigNs) && xmlStrEqual(ANode->name, BAD_CAST AName);
}

xmlNode* DsigChild(xmlNode* AParent, const char* AName) {
  for (xmlNode* child = AParent->children; child; child = child->next)
    if (IsDsig(child, AName)) return child;
  return nullptr;
}

void CollectSignatures(xmlNode* ANode, std::vector<xmlNode*>& AFound, std::size_t AMax) {
  for (; ANode; ANode = ANode->next) {
    if (ANode->type != XML_ELEMENT_NODE) continue;
    if (IsDsig(ANode, "Signature")) {
      if (AFound.size() == AMax) throw Exception(Text{dsig_messages::kTooManySignatures});
      AFound.push_back(ANode);
    }
    CollectSignatures(ANode->children, AFound, AMax);
  }
}

}  // namespace xmldsig
