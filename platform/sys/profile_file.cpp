#include "platform/sys/profile_file.h"

#include <algorithm>

#include "platform/text.h"

namespace sys {
namespace {

constexpr std::string_view kBlanks = " \t";
// Editors on Windows start a UTF-8 file with it; it belongs to no line.
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::size_t BomLength(std::string_view AContent) {
  return AContent.starts_with(kUtf8Bom) ? kUtf8Bom.size() : 0;
}

std::string_view Trim(std::string_view AText) {
  const auto first = AText.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return AText.substr(first, AText.find_last_not_of(kBlanks) - first + 1);
}

bool SameName(std::string_view A, std::string_view B) {
  return text::LowerAscii(A) == text::LowerAscii(B);
}

// Where the key's value stands and where a missing key would go, as offsets into the text.
struct TLocation {
  std::optional<std::size_t> ValueBegin;  // the value without its surrounding blanks
  std::size_t ValueEnd = 0;
  std::optional<std::size_t> InsertAt;  // after the last non-blank line of the first section
  bool InsertNeedsBreak = false;        // that line ends the text without a line break
};

TLocation Locate(std::string_view AContent, std::string_view ASection, std::string_view AKey) {
  TLocation found;
  bool inMatching = false;  // the current section has the name asked for
  bool inFirst = false;     // ... and is the first such section
  std::size_t begin = BomLength(AContent);
  while (begin < AContent.size()) {
    const std::size_t lf = AContent.find('\n', begin);
    const bool hasBreak = lf != std::string_view::npos;
    const std::size_t next = hasBreak ? lf + 1 : AContent.size();
    std::size_t end = hasBreak ? lf : AContent.size();
    if (end > begin && AContent[end - 1] == '\r') --end;
    const std::string_view line = AContent.substr(begin, end - begin);
    const std::string_view trimmed = Trim(line);

    if (!trimmed.empty() && trimmed.front() == '[') {
      std::string_view name = trimmed.substr(1);
      name = Trim(name.substr(0, name.find(']')));
      inMatching = SameName(name, ASection);
      inFirst = inMatching && !found.InsertAt;
    }
    if (inFirst && !trimmed.empty()) {
      found.InsertAt = next;
      found.InsertNeedsBreak = !hasBreak;
    }
    const std::size_t equals = line.find('=');
    if (inMatching && !found.ValueBegin && !trimmed.empty() && trimmed.front() != '[' &&
        trimmed.front() != ';' && equals != std::string_view::npos &&
        SameName(Trim(line.substr(0, equals)), AKey)) {
      const std::string_view afterEquals = line.substr(equals + 1);
      const std::string_view value = Trim(afterEquals);
      const std::size_t valueBegin = value.empty()
                                         ? begin + equals + 1
                                         : begin + equals + 1 + (value.data() - afterEquals.data());
      found.ValueBegin = valueBegin;
      found.ValueEnd = valueBegin + value.size();
    }
    begin = next;
  }
  return found;
}

std::string_view LineBreakOf(std::string_view AContent) {
  return AContent.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
}

}  // namespace

std::optional<std::string> ProfileValue(std::string_view AContent, std::string_view ASection,
                                        std::string_view AKey) {
  const TLocation found = Locate(AContent, ASection, AKey);
  if (!found.ValueBegin) return std::nullopt;
  std::string_view value = AContent.substr(*found.ValueBegin, found.ValueEnd - *found.ValueBegin);
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return std::string(value);
}

std::string WithProfileValue(std::string_view AContent, std::string_view ASection,
                             std::string_view AKey, std::string_view AValue) {
  const TLocation found = Locate(AContent, ASection, AKey);
  const std::string_view lineBreak = LineBreakOf(AContent);
  std::string entry;
  entry.append(AKey).append("=").append(AValue).append(lineBreak);
  std::string out(AContent);
  if (found.ValueBegin) {
    out.replace(*found.ValueBegin, found.ValueEnd - *found.ValueBegin, AValue);
  } else if (found.InsertAt) {
    if (found.InsertNeedsBreak) entry.insert(0, lineBreak);
    out.insert(*found.InsertAt, entry);
  } else {
    if (out.size() > BomLength(out) && out.back() != '\n') out.append(lineBreak);
    out.append("[").append(ASection).append("]").append(lineBreak).append(entry);
  }
  return out;
}

}  // namespace sys
