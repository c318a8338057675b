#pragma once

// An environment variable set (or removed, for a null value) while the object lives, and put
// back as it was when it goes.

#include <cstdlib>
#include <optional>
#include <string>

class TScopedEnv {
 public:
  TScopedEnv(const char* AName, const char* AValue) : FName(AName) {
    if (const char* old = std::getenv(AName)) FOld = old;
    if (AValue) {
      ::setenv(AName, AValue, 1);
    } else {
      ::unsetenv(AName);
    }
  }
  ~TScopedEnv() {
    if (FOld) {
      ::setenv(FName, FOld->c_str(), 1);
    } else {
      ::unsetenv(FName);
    }
  }
  TScopedEnv(const TScopedEnv&) = delete;
  TScopedEnv& operator=(const TScopedEnv&) = delete;

 private:
  const char* FName;
  std::optional<std::string> FOld;
};
