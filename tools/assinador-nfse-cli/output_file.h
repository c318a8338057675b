#pragma once

// Writes a whole file by way of a temporary file beside it, so that a failure never leaves a
// half-written document (and signing a file onto itself is safe).

#include <filesystem>
#include <string_view>

// Throws Exception with the system's reason.
void WriteFileAtomically(const std::filesystem::path& AFile, std::string_view ABytes);
