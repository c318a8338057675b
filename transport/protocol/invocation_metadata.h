#pragma once

// Invocation metadata: a JSON object a client may send ahead of a call
// ({"metadata":[n,<n bytes>]}) and that goes back, written ahead of the call's reply, after the
// next server method has run; it is freed then, also when the method raised. The methods of
// this program never set it. It travels with the call's execute message, so nothing of one
// connection is left on a pool thread for the next.

#include <optional>
#include <string>
#include <string_view>

namespace invocation_metadata {

// AJson without surrounding blanks when it is a JSON object; anything else is not invocation
// metadata.
std::optional<std::string> AsMetadata(std::string_view AJson);

}  // namespace invocation_metadata
