#pragma once

// Invocation metadata: a JSON object a client may send ahead of a call
// ({"metadata":[n,<n bytes>]}) and that goes back, written ahead of the call's reply, after the
// next server method has run; it is freed then, also when the method raised. The methods of
// this program never set it.
//
// It belongs to the connection that sent it; the connection hands it to its thread only while
// that connection's execute runs (pool threads serve other connections later). The thread's
// copy is thread-local.

#include <optional>
#include <string>
#include <string_view>

namespace invocation_metadata {

// AJson without surrounding blanks when it is a JSON object; anything else is not invocation
// metadata.
std::optional<std::string> AsMetadata(std::string_view AJson);
// Replaces the thread's metadata (nullopt: none).
void Set(std::optional<std::string> AJson);
// The thread's metadata, taken away from the thread.
std::optional<std::string> Take();
void Clear();

}  // namespace invocation_metadata
