// The window's tests need a Qt application; no display: the offscreen platform unless the
// caller chose one.

#include <gtest/gtest.h>

#include <QApplication>
#include <clocale>

#include "platform/xmldsig/library_scope.h"

int main(int argc, char** argv) {
  TXmlLibraryScope xmlLibraries;  // first built, last released, as in the program
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  // Tests compare texts byte for byte: pin the character set instead of inheriting the caller's.
  std::setlocale(LC_ALL, "C.UTF-8");
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
