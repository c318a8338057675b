#pragma once

// Finding XML-DSig elements in a libxml2 tree: the one test every reader of signatures uses.

#include <libxml/tree.h>

#include <cstddef>
#include <limits>
#include <vector>

namespace xmldsig {

// Whether ANode (possibly null) is an element of the XML-DSig namespace named AName.
bool IsDsig(const xmlNode* ANode, const char* AName);
// The first child of AParent that is the XML-DSig element AName; null when none.
xmlNode* DsigChild(xmlNode* AParent, const char* AName);
// Appends every Signature element of the XML-DSig namespace from ANode on (its following
// siblings and all their descendants), in document order. Past AMax of them, throws Exception
// with the text of too many signatures, so that a hostile document costs a bounded walk.
void CollectSignatures(xmlNode* ANode, std::vector<xmlNode*>& AFound,
                       std::size_t AMax = std::numeric_limits<std::size_t>::max());

}  // namespace xmldsig
