#include "server/classes/config_server.h"

#include <charconv>
#include <optional>
#include <string>
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
  throw Exception(Text(config_messages::kInvalidPortBefore) + PathText(FFileName) +
                  Text(config_messages::kInvalidPortMiddle) + found +
                  Text(config_messages::kInvalidPortAfter));
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
