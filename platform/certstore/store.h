#pragma once

// Certificate store (stands in for the platform's Store/IStore3 and ICertificates2).
//
// The current user's personal store "My" is a directory: $ASSINADOR_NFSE_STORE when set,
// otherwise ${XDG_DATA_HOME:-$HOME/.local/share}/assinador-nfse/My. Each regular file is one
// certificate: .pem/.crt (a PEM certificate, optionally followed by its unencrypted private key
// and chain certificates) or .pfx/.p12 (PKCS#12 with an empty password). The store's order is
// the file names in byte order; a missing directory is an empty store and files that cannot
// be parsed (a password-protected PKCS#12, a file over kMaxStoreFileSize among them) are left
// out, each reported once to the diagnostics (platform/diagnostics.h) with its reason.
//
// Parsed files, and files that could not be parsed, are kept in a process-wide cache and
// re-read only when their name, size or modification time changed, so every Open sees the directory
// as it is now. A store object belongs to one thread; any number of them may be used at once on
// different threads.

#include <cstdint>
#include <filesystem>
#include <vector>

#include "platform/certstore/certificate.h"
#include "platform/text.h"

// Store files larger than this are left out unread: certificates and PKCS#12 bundles are a
// few kilobytes.
inline constexpr std::uintmax_t kMaxStoreFileSize = 1 << 20;

// Open locations and mode.
inline constexpr int CAPICOM_MEMORY_STORE = 0;
inline constexpr int CAPICOM_CURRENT_USER_STORE = 2;
inline constexpr int CAPICOM_STORE_OPEN_MAXIMUM_ALLOWED = 2;
// The name of the current user's personal store, also the last folder of its directory.
inline constexpr TextView CAPICOM_MY_STORE = u"My";

// The certificates of a store as they were when asked for, in store order.
class ICertificates2 {
 public:
  explicit ICertificates2(std::vector<ICertificate2Ptr> AItems) : FItems(std::move(AItems)) {}
  int Count() const { return static_cast<int>(FItems.size()); }
  // AIndex from 1 to Count; throws Exception otherwise.
  ICertificate2Ptr Item(int AIndex) const;

 private:
  std::vector<ICertificate2Ptr> FItems;
};

class IStore3 {
 public:
  // CAPICOM_CURRENT_USER_STORE with "My" reads the personal store directory (case-insensitive
  // name); CAPICOM_MEMORY_STORE opens a new empty memory store of any name. Throws Exception
  // for other locations or names.
  void Open(int ALocation, TextView AName, int AMode);
  // Throws Exception when the store is not open.
  ICertificates2 Certificates() const;
  // Memory stores only; throws Exception otherwise.
  void Add(const ICertificate2Ptr& ACertificate);

 private:
  bool FOpen = false;
  bool FMemory = false;
  std::vector<ICertificate2Ptr> FItems;
};

namespace certstore {

// The personal store's directory, from the environment as described above.
std::filesystem::path PersonalStoreDirectory();

// A private OpenSSL library context with the legacy and default providers, for PKCS#12 files
// protected with old algorithms (RC2, 3DES); the default context never gets the legacy
// provider. Made on first use and kept for the life of the process; null when it cannot be
// made.
OSSL_LIB_CTX* LegacyContext();

// Parses one store file as the store does; null when it holds no usable certificate, and then
// AWhyNot, when given, says why.
ICertificate2Ptr LoadCertificateFile(const std::filesystem::path& APath, Text* AWhyNot = nullptr);

}  // namespace certstore
