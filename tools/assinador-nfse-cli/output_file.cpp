#include "tools/assinador-nfse-cli/output_file.h"

#include <system_error>

#include "platform/exception.h"
#include "platform/sys/atomic_file.h"

void WriteOutputFile(const std::filesystem::path& AFile, std::string_view ABytes) {
  try {
    sys::WriteFileAtomically(AFile, ABytes);
  } catch (const std::system_error& e) {
    throw Exception("Não foi possível gravar \"" + AFile.string() + "\": " + e.code().message());
  }
}
