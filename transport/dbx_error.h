#pragma once

// The transport's exception: an integer error code and a message. Raised by channels, the
// message stream, the command level and the method registry; the command loop answers each
// failed request with an error reply built from it and goes on with the next request.

#include "platform/exception.h"

class TDBXError : public Exception {
 public:
  TDBXError(int AErrorCode, Text AMessage)
      : Exception(std::move(AMessage)), FErrorCode(AErrorCode) {}
  TDBXError(int AErrorCode, std::string_view AMessageUtf8)
      : Exception(AMessageUtf8), FErrorCode(AErrorCode) {}

  int ErrorCode() const noexcept { return FErrorCode; }

 private:
  int FErrorCode;
};
