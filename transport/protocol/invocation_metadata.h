#pragma once

// The calling thread's invocation metadata: a JSON object a client may send ahead of a call
// ({"metadata":[n,<n bytes>]}) and that goes back, written ahead of the call's reply, after the
// next server method has run; it is freed then, also when the method raised. The methods of
// this program never set it. Thread-local: a connection's thread sees only its own.

#include <optional>
#include <string>

namespace invocation_metadata {

// Replaces the thread's metadata with AJson when it is a JSON object; anything else is not
// invocation metadata and leaves the thread's metadata as it was.
void Receive(std::string_view AJson);
void Set(std::string AJson);
// The thread's metadata, taken away from the thread.
std::optional<std::string> Take();
void Clear();

}  // namespace invocation_metadata
