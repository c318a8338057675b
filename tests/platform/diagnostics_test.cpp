#include "platform/diagnostics.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/exception.h"
#include "tests/support/report_capture.h"

namespace {

TEST(Diagnostics, ReportsReachTheHookAndAreCountedWithOrWithoutOne) {
  const std::uint64_t before = diagnostics::ReportCount();
  diagnostics::Report(u"sem gancho", u"só contado");
  EXPECT_EQ(diagnostics::ReportCount(), before + 1);
  {
    const TReportCapture capture;
    diagnostics::Report(u"Fonte", u"mensagem");
    try {
      throw Exception(u"exceção própria");
    } catch (...) {
      diagnostics::ReportCurrentException(u"Fonte");
    }
    try {
      throw std::runtime_error("runtime");
    } catch (...) {
      diagnostics::ReportCurrentException(u"Fonte");
    }
    try {
      throw 42;
    } catch (...) {
      diagnostics::ReportCurrentException(u"Fonte");
    }
    const auto reports = capture.Reports();
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[0].Source, u"Fonte");
    EXPECT_EQ(reports[0].Message, u"mensagem");
    EXPECT_EQ(reports[1].Message, u"exceção própria");
    EXPECT_EQ(reports[2].Message, u"runtime");
    EXPECT_EQ(reports[3].Message, u"unknown exception");
  }
  EXPECT_EQ(diagnostics::ReportCount(), before + 5);
}

TEST(Diagnostics, AFailingHookIsDroppedAndThePreviousHookComesBack) {
  const TReportCapture outer;
  diagnostics::TReportHook previous = diagnostics::SetReportHook(
      [](TextView, TextView, diagnostics::TReportKind) { throw std::runtime_error("hook"); });
  EXPECT_NO_THROW(diagnostics::Report(u"Fonte", u"perdida"));
  diagnostics::SetReportHook(std::move(previous));
  diagnostics::Report(u"Fonte", u"de volta");
  const auto reports = outer.Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].Message, u"de volta");
}

}  // namespace
