#pragma once

// The protocol's own names, shared by the server and the client: the commands a request names,
// the command type of server methods and the compression filter's identifier. Byte for byte as
// on the wire.

#include <string_view>

namespace protocol_names {

// Commands: {"method":"<name>","params":[...]}.
inline constexpr std::u16string_view kConnect = u"connect";
inline constexpr std::u16string_view kDisconnect = u"disconnect";
inline constexpr std::u16string_view kPrepare = u"prepare";
inline constexpr std::u16string_view kExecute = u"execute";
inline constexpr std::u16string_view kCommandClose = u"command_close";
inline constexpr std::u16string_view kReaderClose = u"reader_close";
inline constexpr std::u16string_view kMoreBlob = u"more_blob";

// The command type that names a server method ("Class.Method"); matched in any letter case.
inline constexpr std::u16string_view kServerMethodCommandType = u"DataSnap.ServerMethod";

// The connect properties that carry a user's credentials, and the error a server answers when
// its authentication manager refuses them.
inline constexpr std::u16string_view kAuthenticationUserProperty = u"DSAuthenticationUser";
inline constexpr std::u16string_view kAuthenticationPasswordProperty = u"DSAuthenticationPassword";
inline constexpr int kAuthenticationRejectedCode = 0;
inline constexpr std::string_view kAuthenticationRejected =
    "Authentication manager rejected user credentials. This may due to invalid combination of DS "
    "user name and password";

// The identifier of the zlib transport filter in the negotiated filter lists.
inline constexpr std::u16string_view kCompressionFilter = u"ZLibCompression";

}  // namespace protocol_names
