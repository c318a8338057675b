#pragma once

// What an action raised, for tests that compare failures byte for byte.

#include <exception>
#include <functional>
#include <string>
#include <utility>

#include "platform/exception.h"
#include "platform/text.h"
#include "transport/dbx_error.h"

struct TRaisedError {
  int Code = -1;                 // the transport error's code; -1 for other exceptions or none
  Text Message = u"(no error)";  // the exception's message
  std::string Utf8() const { return text::ToUtf8(Message); }
  std::pair<int, std::string> CodeAndUtf8() const { return {Code, Utf8()}; }
};

// Runs AAction and returns what it raised.
inline TRaisedError ErrorOf(const std::function<void()>& AAction) {
  try {
    AAction();
  } catch (const TDBXError& e) {
    return {e.ErrorCode(), e.Message()};
  } catch (const std::exception& e) {
    return {-1, MessageOf(e)};
  }
  return {};
}
