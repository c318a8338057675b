#include <clocale>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  // Tests compare texts byte for byte: pin the character set instead of inheriting the caller's.
  std::setlocale(LC_ALL, "C.UTF-8");
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
