#include "server/classes/config_server.h"

#include <charconv>
#include <optional>
#include <string>
#include <system_error>

#include "platform/exception.h"
#include "platform/sys/atomic_file.h"
#include "platform/sys/executable.h"
#include "platform/sys/profile_file.h"
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

TConfigServerINI::TConfigServerINI() : FFileName(ConfigFileName(sys::ExecutablePath())) {}

TConfigServerINI::TConfigServerINI(std::filesystem::path AFileName)
    : FFileName(std::move(AFileName)) {}

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
    throw Exception(Text(config_messages::kMissingFileBefore) + PathText(FFileName) +
                    Text(config_messages::kMissingFileAfter));
  }
  const std::optional<std::string> value =
      sys::ProfileValue(*content, config_messages::kSection, config_messages::kPortKey);
  FPort = value ? PortOf(*value) : 0;
}

void TConfigServerINI::SaveConfiguration() {
  try {
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
