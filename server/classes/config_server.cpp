#include "server/classes/config_server.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/exception.h"
#include "platform/sys/atomic_file.h"
#include "platform/sys/executable.h"
#include "platform/sys/profile_file.h"
#include "platform/sys/user_folders.h"
#include "server/classes/config_messages.h"

namespace {

Text PathText(const std::filesystem::path& APath) { return text::FromLocale(APath.string()); }

[[noreturn]] void ThrowUnableToWrite(const std::filesystem::path& AFile) {
  throw Exception(Text(config_messages::kUnableToWrite) + PathText(AFile));
}

// The whole of AText as a number of type T in that base; nullopt otherwise (from_chars
// takes a minus sign for signed types only, and no plus sign).
template <class T>
std::optional<T> Whole(std::string_view AText, int ABase) {
  T value{};
  const char* end = AText.data() + AText.size();
  const auto [stop, error] = std::from_chars(AText.data(), end, value, ABase);
  if (AText.empty() || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

}  // namespace

TConfigServerINI::TConfigServerINI() : FPlaces(ConfigFilePlaces(sys::ExecutablePath())) {
  FindFile();
}

TConfigServerINI::TConfigServerINI(std::filesystem::path AFileName)
    : FPlaces{AFileName}, FFileName(std::move(AFileName)) {}

void TConfigServerINI::FindFile() {
  if (FPlaces.size() < 2) return;
  for (const std::filesystem::path& place : FPlaces) {
    std::error_code ignored;
    if (std::filesystem::exists(place, ignored)) {
      FFileName = place;
      return;
    }
  }
  FFileName = FPlaces.back();
}

std::vector<std::filesystem::path> TConfigServerINI::ConfigFilePlaces(
    const std::filesystem::path& AExeFile) {
  const std::filesystem::path beside = ConfigFileName(AExeFile);
  return {beside, sys::UserConfigFolder() / config_messages::kUserFolder / beside.filename()};
}

std::filesystem::path TConfigServerINI::ConfigFileName(const std::filesystem::path& AExeFile) {
  std::string name = AExeFile.filename().string();
  const auto at = name.find(".exe");
  if (at == std::string::npos) {
    name += ".ini";
  } else {
    name.replace(at, 4, ".ini");
  }
  return AExeFile.parent_path() / name;
}

std::int32_t TConfigServerINI::PortOf(std::string_view AValue) {
  std::string_view hex;
  if (AValue.starts_with('$')) {
    hex = AValue.substr(1);
  } else if (AValue.size() > 2 && (AValue.starts_with("0x") || AValue.starts_with("0X"))) {
    hex = AValue.substr(2);
  } else {
    if (AValue.starts_with('+') && AValue.size() > 1 && AValue[1] != '-') AValue.remove_prefix(1);
    return Whole<std::int32_t>(AValue, 10).value_or(0);
  }
  // A hexadecimal number is a 32-bit pattern: "$FFFFFFFF" is -1.
  const std::optional<std::uint32_t> bits = Whole<std::uint32_t>(hex, 16);
  return bits ? static_cast<std::int32_t>(*bits) : 0;
}

namespace {

std::string Upper(std::string_view AText) {
  std::string out{AText};
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

std::string_view Trimmed(std::string_view AText) {
  const std::size_t start = AText.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  return AText.substr(start, AText.find_last_not_of(" \t") - start + 1);
}

// What a person may have got wrong in the file, read as the profile functions read it: keys of
// the section that the server does not know or that are written twice, and why PORTA may look
// absent (the section's name with an accent, the key outside the section, a UTF-16 file).
void LookOver(std::string_view AContent, std::vector<Text>& AWarnings, Text& APortHint) {
  using namespace config_messages;
  if (AContent.size() >= 2 && ((AContent[0] == '\xFF' && AContent[1] == '\xFE') ||
                               (AContent[0] == '\xFE' && AContent[1] == '\xFF') ||
                               AContent.find('\0') != std::string_view::npos)) {
    APortHint = Text{kUtf16Hint};
    return;
  }
  if (AContent.starts_with("\xEF\xBB\xBF")) AContent.remove_prefix(3);
  const std::string_view known[] = {kPortKey,         kClientsKey,     kUserKey,
                                    kPasswordHashKey, kBindAddressKey, kClientMemoryKey};
  std::map<std::string, std::size_t> seen;  // key: line
  bool inSection = false;
  bool accentedSection = false;
  bool portElsewhere = false;
  std::size_t number = 0;
  for (std::size_t at = 0; at <= AContent.size();) {
    const std::size_t end = std::min(AContent.find('\n', at), AContent.size());
    std::string_view line = AContent.substr(at, end - at);
    at = end + 1;
    ++number;
    if (line.ends_with('\r')) line.remove_suffix(1);
    line = Trimmed(line);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[' && line.back() == ']') {
      const std::string name = Upper(Trimmed(line.substr(1, line.size() - 2)));
      inSection = name == kSection;
      // "CONFIGURAÇÃO" and other spellings that are meant as the section.
      if (!inSection && name.starts_with("CONFIGURA")) accentedSection = true;
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string key = Upper(Trimmed(line.substr(0, equals)));
    if (!inSection) {
      portElsewhere = portElsewhere || key == kPortKey;
      continue;
    }
    const Text where = text::FromUtf8(" na linha " + std::to_string(number));
    if (std::find(std::begin(known), std::end(known), key) == std::end(known)) {
      AWarnings.push_back(Text{kUnknownKeyBefore} + text::FromLatin1(key) + where +
                          Text{kUnknownKeyAfter});
    } else if (const auto first = seen.find(key); first != seen.end()) {
      AWarnings.push_back(Text{kRepeatedKeyBefore} + text::FromLatin1(key) + where +
                          text::FromUtf8("; vale a da linha " + std::to_string(first->second)) +
                          u".");
    } else {
      seen.emplace(key, number);
    }
  }
  if (accentedSection)
    APortHint = Text{kAccentedSectionHint};
  else if (portElsewhere)
    APortHint = Text{kPortOutsideHint};
}

}  // namespace

void TConfigServerINI::LoadConfiguration() {
  FindFile();
  std::optional<std::string> content;
  try {
    content = sys::ReadFileIfExists(FFileName);
  } catch (const std::system_error& e) {
    // There, but not readable (no permission, a folder): a reload reports it instead of
    // reading 0 and moving the server to another port.
    throw Exception(Text(config_messages::kCannotOpen) + PathText(FFileName) + u"\". " +
                    text::FromLocale(e.code().message()));
  }
  if (!content) {
    if (FPlaces.size() < 2) {
      throw Exception(Text(config_messages::kMissingFileBefore) + PathText(FFileName) +
                      Text(config_messages::kMissingFileAfter));
    }
    Text message(config_messages::kMissingPlacesBefore);
    for (std::size_t i = 0; i < FPlaces.size(); ++i) {
      if (i > 0) message += config_messages::kMissingPlacesOr;
      message += PathText(FPlaces[i]);
    }
    throw Exception(message + Text(config_messages::kMissingPlacesAfter));
  }
  FWarnings.clear();
  FPortHint.clear();
  LookOver(*content, FWarnings, FPortHint);
  FPortText = sys::ProfileValue(*content, config_messages::kSection, config_messages::kPortKey);
  FPort = FPortText ? PortOf(*FPortText) : 0;
  FClientsText =
      sys::ProfileValue(*content, config_messages::kSection, config_messages::kClientsKey);
  FUserText = sys::ProfileValue(*content, config_messages::kSection, config_messages::kUserKey);
  FPasswordHashText =
      sys::ProfileValue(*content, config_messages::kSection, config_messages::kPasswordHashKey);
  FBindAddressText =
      sys::ProfileValue(*content, config_messages::kSection, config_messages::kBindAddressKey);
  FClientMemoryText =
      sys::ProfileValue(*content, config_messages::kSection, config_messages::kClientMemoryKey);
}

void TConfigServerINI::CheckPort() const {
  if (FPort >= kLowestPort && FPort <= kHighestPort) return;
  Text found;
  if (!FPortText) {
    found = config_messages::kPortAbsent;
  } else if (FPortText->empty()) {
    found = config_messages::kPortEmpty;
  } else {
    // What the operator typed, in whatever encoding the editor used.
    const std::string_view value = *FPortText;
    const std::string_view shown = value.substr(0, 40);
    found = u"\"" +
            (text::IsWellFormedUtf8(shown) ? text::FromUtf8(shown) : text::FromLatin1(shown)) +
            (shown.size() < value.size() ? u"...\"" : u"\"");
  }
  Text message = Text(config_messages::kInvalidPortBefore) + PathText(FFileName) +
                 Text(config_messages::kInvalidPortMiddle) + found +
                 Text(config_messages::kInvalidPortAfter);
  if (!FPortText && !FPortHint.empty()) message += u" " + FPortHint;
  throw Exception(message);
}

void TConfigServerINI::SaveConfiguration() {
  try {
    // Made nowhere yet: the user's folder of an installed program.
    if (FPlaces.size() > 1 && FFileName == FPlaces.back())
      std::filesystem::create_directories(FFileName.parent_path());
    const std::string old = sys::ReadFileIfExists(FFileName).value_or(std::string());
    sys::WriteFileAtomically(
        FFileName, sys::WithProfileValue(old, config_messages::kSection, config_messages::kPortKey,
                                         std::to_string(FPort)));
  } catch (const std::system_error&) {
    ThrowUnableToWrite(FFileName);
  }
}

IConfigServerPtr TConfigServerFactory::factory(EConfigServer AType,
                                               const std::filesystem::path& AFileName) {
  if (AType != EConfigServer::csINIFile)
    throw Exception(Text(config_messages::kKindNotImplemented));
  IConfigServerPtr config = AFileName.empty() ? std::make_shared<TConfigServerINI>()
                                              : std::make_shared<TConfigServerINI>(AFileName);
  config->LoadConfiguration();
  return config;
}
