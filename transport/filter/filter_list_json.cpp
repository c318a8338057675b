#include "transport/filter/filter_list_json.h"

#include <algorithm>
#include <iterator>

#include "transport/stream/json_string.h"

namespace {

// A strict reader of the two-level shape above; every method returns false on malformed text.
class TFilterListParser {
 public:
  explicit TFilterListParser(std::string_view AJson) : FText(AJson) {}

  std::optional<TFilterList> Parse() {
    TFilterList list;
    if (!Expect('{')) return std::nullopt;
    if (!Peek('}')) {
      do {
        TFilterListEntry entry;
        if (!String(entry.FilterId) || !Expect(':') || !Parameters(entry.Parameters))
          return std::nullopt;
        list.push_back(std::move(entry));
      } while (Accept(','));
    }
    if (!Expect('}')) return std::nullopt;
    SkipBlanks();
    if (FPos != FText.size()) return std::nullopt;
    return list;
  }

 private:
  bool Parameters(std::vector<std::pair<Text, Text>>& AOut) {
    if (!Expect('{')) return false;
    if (!Peek('}')) {
      do {
        std::pair<Text, Text> param;
        if (!String(param.first) || !Expect(':') || !Value(param.second)) return false;
        AOut.push_back(std::move(param));
      } while (Accept(','));
    }
    return Expect('}');
  }

  bool Value(Text& AOut) {
    SkipBlanks();
    if (FPos >= FText.size()) return false;
    const char c = FText[FPos];
    if (c == '"') return String(AOut);
    if (c == 'n') {
      if (FText.substr(FPos, 4) != "null") return false;
      FPos += 4;
      AOut.clear();
      return true;
    }
    return Number(AOut);
  }

  // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?, kept as its literal text.
  bool Number(Text& AOut) {
    const std::size_t start = FPos;
    if (At('-')) ++FPos;
    if (At('0')) {
      ++FPos;
    } else if (!Digits()) {
      return false;
    }
    if (At('.')) {
      ++FPos;
      if (!Digits()) return false;
    }
    if (At('e') || At('E')) {
      ++FPos;
      if (At('+') || At('-')) ++FPos;
      if (!Digits()) return false;
    }
    AOut = text::FromLatin1(FText.substr(start, FPos - start));
    return true;
  }

  bool Digits() {
    const std::size_t start = FPos;
    while (FPos < FText.size() && FText[FPos] >= '0' && FText[FPos] <= '9') ++FPos;
    return FPos > start;
  }

  bool String(Text& AOut) {
    if (!Expect('"')) return false;
    AOut.clear();
    while (FPos < FText.size()) {
      const auto c = static_cast<unsigned char>(FText[FPos++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        AOut.push_back(static_cast<char16_t>(c));
        continue;
      }
      if (FPos >= FText.size()) return false;
      const char letter = FText[FPos++];
      if (letter == 'u') {
        if (FText.size() - FPos < 4) return false;
        char16_t unit = 0;
        for (int i = 0; i < 4; ++i) {
          const int digit = HexDigit(FText[FPos++]);
          if (digit < 0) return false;
          unit = static_cast<char16_t>((unit << 4) | digit);
        }
        AOut.push_back(unit);
        continue;
      }
      const auto* escape = std::find_if(std::begin(kJsonShortEscapes), std::end(kJsonShortEscapes),
                                        [&](const auto& e) { return e.second == letter; });
      if (escape == std::end(kJsonShortEscapes)) return false;
      AOut.push_back(escape->first);
    }
    return false;  // unterminated
  }

  static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  void SkipBlanks() {
    while (FPos < FText.size() && (FText[FPos] == ' ' || FText[FPos] == '\t' ||
                                   FText[FPos] == '\n' || FText[FPos] == '\r'))
      ++FPos;
  }
  bool At(char c) const { return FPos < FText.size() && FText[FPos] == c; }
  bool Peek(char c) {
    SkipBlanks();
    return At(c);
  }
  bool Accept(char c) {
    if (!Peek(c)) return false;
    ++FPos;
    return true;
  }
  bool Expect(char c) { return Accept(c); }

  std::string_view FText;
  std::size_t FPos = 0;
};

}  // namespace

std::string WriteFilterList(const TFilterList& AList) {
  std::string out = "{";
  for (std::size_t i = 0; i < AList.size(); ++i) {
    if (i > 0) out.push_back(',');
    AppendJsonString(out, AList[i].FilterId);
    out += ":{";
    const auto& params = AList[i].Parameters;
    for (std::size_t j = 0; j < params.size(); ++j) {
      if (j > 0) out.push_back(',');
      AppendJsonString(out, params[j].first);
      out.push_back(':');
      if (params[j].second.empty()) {
        out += "null";
      } else {
        AppendJsonString(out, params[j].second);
      }
    }
    out.push_back('}');
  }
  out.push_back('}');
  return out;
}

std::optional<TFilterList> ParseFilterList(std::string_view AJson) {
  return TFilterListParser(AJson).Parse();
}
