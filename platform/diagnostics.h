#pragma once

// Failures that cannot travel further: an exception caught at the edge of a thread function, a
// destructor or an application callback, and input a component leaves out (a store file it
// cannot use). Each is counted and handed to the process's report hook when one is set; the
// program sets one that writes them to its journal. Without a hook only the count remains.
//
// Any thread. The hook runs on the reporting thread; it must not call back into the component
// that reports, and what it throws is dropped.

#include <cstdint>
#include <functional>

#include "platform/text.h"

namespace diagnostics {

// What a report is: a failure of the program's inner parts (its message is the libraries' or the
// system's text), or a notice already written for people (a store file left out, a refused
// client, a document taken the slower way).
enum class TReportKind { Failure, Notice };

// ASource names the component ("TCP transport", "Certificados"); AMessage says what happened.
using TReportHook = std::function<void(TextView ASource, TextView AMessage, TReportKind AKind)>;

// Replaces the hook (an empty one removes it); returns the previous one.
TReportHook SetReportHook(TReportHook AHook);

void Report(TextView ASource, TextView AMessage, TReportKind AKind = TReportKind::Failure) noexcept;
// Reports the exception being handled; call it inside a catch block.
void ReportCurrentException(TextView ASource) noexcept;

// Reports made since the process started.
std::uint64_t ReportCount() noexcept;

}  // namespace diagnostics
