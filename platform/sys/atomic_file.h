#pragma once

// Whole files: read at once, replaced atomically. A replacement writes a temporary file beside
// the target, flushes it to disk, renames it over the target and flushes the folder, so a
// failure or a crash at any point leaves the old content or the new one, never a mix.
//
// Failures throw std::system_error with the system's error number; each caller words its own
// message. Any thread; replacements of one path from several threads end with one whole content.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace sys {

// The file's bytes; nullopt when it does not exist.
std::optional<std::string> ReadFileIfExists(const std::filesystem::path& APath);

// Replaces APath's content with AContents. The file keeps its permissions; a new one gets 0666
// less the umask. A symbolic link at APath is replaced by the file, not followed.
void WriteFileAtomically(const std::filesystem::path& APath, std::string_view AContents);

}  // namespace sys
