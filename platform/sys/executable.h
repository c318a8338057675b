#pragma once

// The running program's own executable file (the module path other platforms report).

#include <filesystem>

namespace sys {

// Full path of the running executable (/proc/self/exe resolved). Throws Exception when the
// system cannot tell it.
std::filesystem::path ExecutablePath();

}  // namespace sys
