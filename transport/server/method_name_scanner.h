#pragma once

// The identifier scanner of command texts: splits a text such as
// `"TSMSignService" . SignDocument("a", 12)` into tokens. Blanks, tabs and line breaks are
// skipped, and so is a "--" comment up to the end of its line. An identifier is a letter or an
// underscore followed by letters, digits or underscores (code units above 127 count as
// letters); a double-quoted identifier is an identifier without its quotes (a doubled quote
// inside stands for one). Numbers are digits with an optional fraction and exponent. Anything
// else is a one-character symbol. The scanner reads a view: the text must outlive it.

#include <cstddef>

#include "platform/text.h"

enum class TDSTokenKind { End, Identifier, QuotedIdentifier, Number, Symbol };

struct TDSToken {
  TDSTokenKind Kind = TDSTokenKind::End;
  Text Value;  // the identifier without quotes, the number's digits, or the symbol

  bool IsSymbol(char16_t ASymbol) const {
    return Kind == TDSTokenKind::Symbol && Value.size() == 1 && Value[0] == ASymbol;
  }
  bool IsName() const {
    return Kind == TDSTokenKind::Identifier || Kind == TDSTokenKind::QuotedIdentifier;
  }
};

class TDSIdentifierScanner {
 public:
  explicit TDSIdentifierScanner(TextView AText) : FText(AText) {}

  TDSToken Next();
  std::size_t Position() const { return FPos; }

 private:
  void SkipBlanksAndComments();

  TextView FText;
  std::size_t FPos = 0;
};

// The method name at the start of a command text: identifiers and "." tokens joined for as long
// as they come. ATerminator receives the token that ended the name.
Text ScanMethodName(TDSIdentifierScanner& AScanner, TDSToken& ATerminator);
