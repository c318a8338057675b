#pragma once

// Machine information for the log journal and the tray hint: host name and IPv4 address, and
// the version texts of an executable. Stateless; callable from any thread.

#include "platform/text.h"

// The eleven version texts of an executable, in the order of its version block's keys.
struct TVersionInfoEx {
  Text CompanyName;
  Text FileDescription;
  Text FileVersion;
  Text InternalName;
  Text LegalCopyright;
  Text LegalTradeMarks;
  Text OriginalFileName;
  Text ProductName;
  Text ProductVersion;
  Text Comments;
  Text Application;
};

class TMachineUtils {
 public:
  // Sets AMachine to the host name and returns its first IPv4 address (dotted decimal), or an
  // empty text when the resolver answers none. Throws sys::TSocketError when the lookup fails.
  static Text getIP(Text& AMachine);

  // The version texts of the named executable. A file without version information gives empty
  // fields and Comments "Nenhuma informação encontrada sobre o Sistema Operacional.".
  static TVersionInfoEx GetVersionInfoEx(const Text& pExeFileName);
};
