#include "platform/xmldsig/xml_handles.h"

#include <libxml/xmlerror.h>

namespace {

// The collector of the calling thread: per-call state, never shared between threads.
thread_local TLibraryErrors* tCurrent = nullptr;

void CollectXmlError(void* context, xmlErrorPtr error) {
  auto* errors = static_cast<TLibraryErrors*>(context);
  if (!errors || !error || !error->message) return;
  try {
    std::string entry = error->message;
    while (!entry.empty() && (entry.back() == '\n' || entry.back() == ' ')) entry.pop_back();
    if (error->line > 0) entry = "line " + std::to_string(error->line) + ": " + entry;
    errors->Add(entry);
  } catch (...) {
    // never let an exception cross the library
  }
}

}  // namespace

TLibraryErrors::TLibraryErrors()
    : FPrevious(tCurrent),
      FPreviousHandler(xmlStructuredError),
      FPreviousContext(xmlStructuredErrorContext) {
  tCurrent = this;
  xmlSetStructuredErrorFunc(this, CollectXmlError);  // per thread in libxml2
}

TLibraryErrors::~TLibraryErrors() {
  xmlSetStructuredErrorFunc(FPreviousContext, FPreviousHandler);
  tCurrent = FPrevious;
}

void TLibraryErrors::Add(const std::string& AText) noexcept {
  try {
    if (FTexts.size() > 4096) return;  // enough to explain; bounded against noisy input
    if (!FTexts.empty()) FTexts += "; ";
    FTexts += AText;
  } catch (...) {
  }
}

TLibraryErrors* TLibraryErrors::Current() noexcept { return tCurrent; }
