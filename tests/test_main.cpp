#include <gtest/gtest.h>

#include <clocale>

#include "platform/xmldsig/library_scope.h"

int main(int argc, char** argv) {
  // XML and crypto libraries first, released last (after every test thread has ended).
  TXmlLibraryScope xmlLibraries;
  // Tests compare texts byte for byte: pin the character set instead of inheriting the caller's.
  std::setlocale(LC_ALL, "C.UTF-8");
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
