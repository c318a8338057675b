#pragma once

// Writes a signed document where --saida or --pasta-saida says. A regular file (or a new one)
// is replaced atomically (platform/sys/atomic_file.h), so that a failure never leaves a
// half-written document (and signing a file onto itself is safe); a symbolic link is followed
// and its target replaced so; a device, FIFO or socket is written directly, never replaced by
// a regular file.

#include <filesystem>
#include <string_view>

// A symbolic link may lead to another at most this many times.
inline constexpr int kMaxSymbolicLinks = 40;

// Throws Exception with the system's reason.
void WriteOutputFile(const std::filesystem::path& AFile, std::string_view ABytes);
