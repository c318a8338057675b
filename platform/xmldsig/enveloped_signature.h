#pragma once

// The direct computation of the common enveloped signature: a whole-document reference with the
// enveloped-signature transform, inclusive canonical XML 1.0 without comments, SHA-1 and
// RSA-SHA1, with empty digest and signature values. The canonical bytes go straight from
// libxml2 into OpenSSL, to the same bytes that xmlsec's generic processing writes, at a
// fraction of its cost on large batches. The generic processing stays the reference: a
// differential test signs the same documents both ways.
//
// While it runs, the signature element is unlinked from its parent and the ancestors of
// SignedInfo are cut down to the path leading to it; the tree is whole again when it returns,
// on every path. Same threading rules as the document. Needs TXmlLibraryScope.

#include <libxml/tree.h>
#include <xmlsec/keys.h>

#include <array>

namespace xmldsig {

enum class TDirectSigning {
  NotDone,  // another form or key, or a failure before anything was written: the element is
            // as it was, for the generic processing
  Signed,
  Failed,  // the values are written but the key information could not be
};

// The SHA-1 digest of a document's canonical form.
using TReferenceDigest = std::array<unsigned char, 20>;

// Signs ASignature (a Signature element inside a document) in place with AKey, when it is of
// the common form and AKey is an RSA key. Library errors are left in the libraries' queues.
// AReferenceDigest, when given, is the reference's digest computed by the caller (the element
// then stands in for a document read without a tree): the document is not canonicalised.
TDirectSigning SignEnvelopedDirectly(xmlNode& ASignature, xmlSecKey& AKey,
                                     const TReferenceDigest* AReferenceDigest = nullptr);

}  // namespace xmldsig
