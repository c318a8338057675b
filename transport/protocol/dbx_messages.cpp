#include "transport/protocol/dbx_messages.h"

#include <new>
#include <string>

#include "platform/exception.h"
#include "transport/dbx_error.h"
#include "transport/protocol/protocol_messages.h"

namespace {

using namespace protocol_messages;

// The text of a code for a TDBXError raised without a message.
Text CodeText(int ACode) {
  switch (ACode) {
    case 0:
      return u"No error";
    case 1:
      return u"Read error";
    case 2:
      return u"Syntax error";
    case 4:
      return u"Invalid handle";
    case 5:
      return u"Not supported";
    case 29:
      return u"Invalid command handle";
    case 30:
      return u"Invalid operation";
    default:
      return u"Error code " + text::FromAscii(std::to_string(ACode));
  }
}

struct TDescribed {
  Text ClassName;
  int Code = kDefaultErrorCode;
  Text Message;
};

TDescribed Describe(const std::exception_ptr& AError) {
  TDescribed out;
  try {
    std::rethrow_exception(AError);
  } catch (const TDBXError& e) {
    out = {u"TDBXError", e.ErrorCode(), e.Message()};
    if (out.Message.empty()) out.Message = Text(kDbxError) + CodeText(e.ErrorCode());
  } catch (const Exception& e) {
    out = {u"Exception", kDefaultErrorCode, e.Message()};
  } catch (const std::bad_alloc& e) {
    out = {u"EOutOfMemory", kDefaultErrorCode, text::FromUtf8(e.what())};
  } catch (const std::exception& e) {
    out = {u"Exception", kDefaultErrorCode, text::FromUtf8(e.what())};
  } catch (...) {
    out = {Text(kNoErrorClass), kDefaultErrorCode, {}};
  }
  if (out.Message.empty()) out.Message = out.ClassName;
  return out;
}

// The exception nested in AError (std::throw_with_nested), or null.
std::exception_ptr NestedIn(const std::exception_ptr& AError) {
  try {
    std::rethrow_exception(AError);
  } catch (const std::nested_exception& e) {
    return e.nested_ptr();
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

void TDBXErrorMessage::SetException(std::exception_ptr AError) {
  Error = std::move(AError);
  if (!Error) {
    ErrorClassName = kNoErrorClass;
    ErrorCode = kDefaultErrorCode;
    ErrorText.clear();
    return;
  }
  const TDescribed described = Describe(Error);
  ErrorClassName = described.ClassName;
  ErrorCode = described.Code;
  ErrorText = described.Message;
  std::exception_ptr nested = NestedIn(Error);
  for (int level = 0; nested && level < kMaxCausedByLevels; ++level) {
    const Text inner = Describe(nested).Message;
    if (ErrorText.find(inner) == Text::npos)
      ErrorText += u'\n' + Text(kCausedBy) + inner;
    else
      ErrorText = inner;
    nested = NestedIn(nested);
  }
}
