#pragma once

// The program's exception: a message in the program's text type. Each layer catches what it
// called and throws its own, whose message nests the inner one (tag, sentence, CR, inner text).

#include <exception>
#include <string>

#include "platform/text.h"

class Exception : public std::exception {
 public:
  explicit Exception(Text AMessage)
      : FMessage(std::move(AMessage)), FWhat(text::ToUtf8(FMessage)) {}
  explicit Exception(std::string_view AMessageUtf8)
      : FMessage(text::FromUtf8(AMessageUtf8)), FWhat(AMessageUtf8) {}

  const Text& Message() const noexcept { return FMessage; }
  const char* what() const noexcept override { return FWhat.c_str(); }

 private:
  Text FMessage;
  std::string FWhat;  // UTF-8 copy for std::exception users (logs, test output)
};

// The message of any exception as program text, for handlers that catch std::exception.
inline Text MessageOf(const std::exception& e) {
  if (const auto* own = dynamic_cast<const Exception*>(&e)) return own->Message();
  return text::FromUtf8(e.what());
}

// The single carriage return that joins a layer's sentence to the inner message.
inline constexpr char16_t CR = u'\r';
