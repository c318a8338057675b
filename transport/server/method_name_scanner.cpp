#include "transport/server/method_name_scanner.h"

namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool IsLetter(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_' || c > 127;
}

}  // namespace

void TDSIdentifierScanner::SkipBlanksAndComments() {
  while (FPos < FText.size()) {
    if (IsBlank(FText[FPos])) {
      ++FPos;
    } else if (FText[FPos] == u'-' && FPos + 1 < FText.size() && FText[FPos + 1] == u'-') {
      while (FPos < FText.size() && FText[FPos] != u'\n' && FText[FPos] != u'\r') ++FPos;
    } else {
      return;
    }
  }
}

TDSToken TDSIdentifierScanner::Next() {
  SkipBlanksAndComments();
  TDSToken token;
  if (FPos >= FText.size()) return token;
  const std::size_t start = FPos;
  const char16_t c = FText[FPos];
  if (IsLetter(c)) {
    while (FPos < FText.size() && (IsLetter(FText[FPos]) || IsDigit(FText[FPos]))) ++FPos;
    token.Kind = TDSTokenKind::Identifier;
    token.Value = Text(FText.substr(start, FPos - start));
  } else if (c == u'"') {
    // An unterminated quote takes the rest of the text.
    ++FPos;
    token.Kind = TDSTokenKind::QuotedIdentifier;
    while (FPos < FText.size()) {
      if (FText[FPos] == u'"') {
        if (FPos + 1 < FText.size() && FText[FPos + 1] == u'"') {
          token.Value += u'"';
          FPos += 2;
          continue;
        }
        ++FPos;
        break;
      }
      token.Value += FText[FPos++];
    }
  } else if (IsDigit(c)) {
    while (FPos < FText.size() && IsDigit(FText[FPos])) ++FPos;
    if (FPos + 1 < FText.size() && FText[FPos] == u'.' && IsDigit(FText[FPos + 1])) {
      ++FPos;
      while (FPos < FText.size() && IsDigit(FText[FPos])) ++FPos;
    }
    if (FPos < FText.size() && (FText[FPos] == u'e' || FText[FPos] == u'E')) {
      std::size_t exponent = FPos + 1;
      if (exponent < FText.size() && (FText[exponent] == u'+' || FText[exponent] == u'-'))
        ++exponent;
      if (exponent < FText.size() && IsDigit(FText[exponent])) {
        FPos = exponent;
        while (FPos < FText.size() && IsDigit(FText[FPos])) ++FPos;
      }
    }
    token.Kind = TDSTokenKind::Number;
    token.Value = Text(FText.substr(start, FPos - start));
  } else {
    ++FPos;
    token.Kind = TDSTokenKind::Symbol;
    token.Value = Text(1, c);
  }
  return token;
}

Text ScanMethodName(TDSIdentifierScanner& AScanner, TDSToken& ATerminator) {
  Text name;
  for (;;) {
    TDSToken token = AScanner.Next();
    if (token.IsName()) {
      name += token.Value;
    } else if (token.IsSymbol(u'.')) {
      name += u'.';
    } else {
      ATerminator = std::move(token);
      return name;
    }
  }
}
