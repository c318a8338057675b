#pragma once

// Writes a signed document to its file by atomic replacement (platform/sys/atomic_file.h), so
// that a failure never leaves a half-written document (and signing a file onto itself is safe).

#include <filesystem>
#include <string_view>

// Throws Exception with the system's reason.
void WriteOutputFile(const std::filesystem::path& AFile, std::string_view ABytes);
