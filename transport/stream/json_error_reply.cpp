#include "transport/stream/json_error_reply.h"

namespace {

[[noreturn]] void Malformed() {
  throw TDBXError(kJSonSyntaxErrorCode, "Malformed error reply: expected a member or '}'");
}

// Passes over one value whose first token has been read: strings, literals, numbers (each of
// their bytes reads as a number token), objects and arrays.
int SkipValue(TDBXJSonStreamReader& AReader, int AToken) {
  switch (AToken) {
    case jtStringStart:
      AReader.ReadString();
      break;
    case jtObjectStart:
      AReader.SkipToEndOfObject();
      break;
    case jtArrayStart:
      AReader.SkipToEndOfArray();
      break;
    case jtNumber: {
      int token = AReader.Next();
      while (token == jtNumber) token = AReader.Next();
      return token;  // the separator or closing brace after the number
    }
    default:
      break;
  }
  return AReader.Next();
}

}  // namespace

TDBXRemoteError ReadErrorReply(TDBXJSonStreamReader& AReader) {
  Text name;
  Text message;
  int code = 0;
  AReader.Next(jtObjectStart);
  int token = AReader.Next();
  while (token != jtObjectEnd) {
    if (token != jtStringStart) Malformed();
    const Text key = AReader.ReadString();
    AReader.Next(jtNameSeparator);
    if (key == u"code") {
      code = AReader.ReadInt();
      token = AReader.Next();
    } else {
      token = AReader.Next();
      if ((key == u"name" || key == u"message") && token == jtStringStart) {
        (key == u"name" ? name : message) = AReader.ReadString();
        token = AReader.Next();
      } else {
        token = SkipValue(AReader, token);
      }
    }
    if (token == jtValueSeparator) {
      token = AReader.Next();
    } else if (token != jtObjectEnd) {
      Malformed();
    }
  }
  return TDBXRemoteError(std::move(name), code, std::move(message));
}
