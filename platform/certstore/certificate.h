#pragma once

// Certificate handle of the certificate store (stands in for the platform's ICertificate2).
// Declared here so that callers that only pass a certificate along need not see its
// implementation; the certificate store defines the class.

#include <memory>

class ICertificate2;
using ICertificate2Ptr = std::shared_ptr<ICertificate2>;
