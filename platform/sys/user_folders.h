#pragma once

// The user's own folders of the XDG base directory layout, for programs installed where the
// user cannot write: settings and state (journals). A variable set to a relative path is
// ignored, as the layout says; without HOME, the account's home folder.

#include <filesystem>

namespace sys {

// ${XDG_CONFIG_HOME:-$HOME/.config}
std::filesystem::path UserConfigFolder();
// ${XDG_STATE_HOME:-$HOME/.local/state}
std::filesystem::path UserStateFolder();

}  // namespace sys
