#include "platform/certstore/store.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/provider.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>

#include "platform/certstore/pkcs11_tokens.h"
#include "platform/certstore/pkcs12_reader.h"
#include "platform/certstore/store_messages.h"
#include "platform/component_error.h"
#include "platform/diagnostics.h"

namespace fs = std::filesystem;

namespace certstore {

// Old PFX files are protected with algorithms that only OpenSSL's legacy provider has. It is
// loaded into this private context, used for nothing but opening such files, and never into
// the default context. Made once, kept for the life of the process; at its end the providers
// are unloaded before their context is freed.
namespace {

struct TLegacyContext {
  OsslLibCtxPtr Context{OSSL_LIB_CTX_new()};
  OsslProviderPtr Legacy{Context ? OSSL_PROVIDER_load(Context.get(), "legacy") : nullptr};
  OsslProviderPtr Default{Context ? OSSL_PROVIDER_load(Context.get(), "default") : nullptr};
};

}  // namespace

OSSL_LIB_CTX* LegacyContext() {
  static const TLegacyContext legacy;
  ERR_clear_error();  // a provider that could not be loaded leaves its reasons behind
  return legacy.Context.get();
}

namespace {

enum class TRead { Ok, Unreadable, TooLarge };

// At most kMaxStoreFileSize bytes are ever read, also from a file that grows meanwhile.
TRead ReadFile(const fs::path& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return TRead::Unreadable;
  bytes.resize(kMaxStoreFileSize + 1);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (in.bad()) return TRead::Unreadable;
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes.size() > kMaxStoreFileSize ? TRead::TooLarge : TRead::Ok;
}

std::string LowerExtension(const fs::path& path) {
  return text::LowerAscii(path.extension().string());
}

ICertificate2Ptr ParsePem(const std::string& bytes, const Text& container) {
  BioPtr bio{BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()))};
  if (!bio) return nullptr;
  X509Ptr leaf;
  EvpPkeyPtr key;
  std::vector<X509Ptr> chain;
  for (;;) {
    char* rawName = nullptr;
    char* rawHeader = nullptr;
    unsigned char* rawData = nullptr;
    long length = 0;
    if (PEM_read_bio(bio.get(), &rawName, &rawHeader, &rawData, &length) != 1) break;
    PemTextPtr name{rawName};
    PemTextPtr header{rawHeader};
    PemDataPtr data{rawData};
    const std::string_view kind{rawName};
    const unsigned char* cursor = rawData;
    if (kind == PEM_STRING_X509 || kind == PEM_STRING_X509_OLD) {
      X509Ptr cert{d2i_X509(nullptr, &cursor, length)};
      if (!cert) continue;
      if (!leaf) {
        leaf = std::move(cert);
      } else {
        chain.push_back(std::move(cert));
      }
    } else if (!key && (kind == PEM_STRING_PKCS8INF || kind == PEM_STRING_RSA ||
                        kind == PEM_STRING_ECPRIVATEKEY)) {
      // An encrypted traditional key says so in its header; it cannot be used without a
      // password, so the entry counts as one without a key.
      if (std::string_view{rawHeader}.find("ENCRYPTED") != std::string_view::npos) continue;
      key.reset(d2i_AutoPrivateKey(nullptr, &cursor, length));
    }
  }
  ERR_clear_error();  // the end of the input leaves "no start line" behind
  if (!leaf) {
    // A .crt may also be plain DER.
    const auto* cursor = reinterpret_cast<const unsigned char*>(bytes.data());
    leaf.reset(d2i_X509(nullptr, &cursor, static_cast<long>(bytes.size())));
    ERR_clear_error();
    if (!leaf) return nullptr;
  }
  return std::make_shared<ICertificate2>(std::move(leaf), std::move(key), std::move(chain),
                                         container);
}

// A PKCS#12 file with an empty password. One that needs a password, or that uses an algorithm
// this program lacks, throws the reason the store reports.
ICertificate2Ptr ParsePkcs12(const std::string& bytes, const Text& container) {
  TPkcs12Contents contents;
  try {
    contents = ReadPkcs12(bytes, {});
  } catch (const TPkcs12Error& e) {
    if (e.Kind() == TPkcs12Failure::WrongPassword)
      throw Exception(Text(store_messages::kPasswordProtected));
    if (e.Kind() == TPkcs12Failure::NotPkcs12) return nullptr;
    throw;
  }
  if (!contents.Certificate) {
    // No certificate goes with the key: the first one of the file stands for the entry.
    if (contents.Others.empty()) return nullptr;
    X509Ptr first = std::move(contents.Others.front());
    contents.Others.erase(contents.Others.begin());
    return std::make_shared<ICertificate2>(std::move(first), EvpPkeyPtr{},
                                           std::move(contents.Others), container);
  }
  return std::make_shared<ICertificate2>(std::move(contents.Certificate), std::move(contents.Key),
                                         std::move(contents.Others), container);
}

// A file's modification time, to the nanosecond.
struct TModified {
  long long seconds = 0;
  long nanoseconds = 0;
  bool operator==(const TModified&) const = default;
};

// A process-wide cache of parsed store files, keyed by directory and file name.
struct TCachedFile {
  std::uintmax_t size = 0;
  TModified modified;
  ICertificate2Ptr certificate;  // null: the file could not be parsed
};

class TStoreCache {
 public:
  std::vector<ICertificate2Ptr> Load(const fs::path& directory) {
    struct TFound {
      std::string name;
      fs::path path;
      std::uintmax_t size;
      TModified modified;
    };
    std::vector<TFound> found;
    std::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string ext = LowerExtension(it->path());
      if (ext != ".pem" && ext != ".crt" && ext != ".pfx" && ext != ".p12") continue;
      // One stat gives the kind, size and time (the listing runs on every signature).
      struct stat info {};
      if (::stat(it->path().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
      found.push_back({it->path().filename().string(),
                       it->path(),
                       static_cast<std::uintmax_t>(info.st_size),
                       {info.st_mtim.tv_sec, info.st_mtim.tv_nsec}});
    }
    std::sort(found.begin(), found.end(),
              [](const TFound& a, const TFound& b) { return a.name < b.name; });

    std::vector<ICertificate2Ptr> result;
    // Reported once the lock is released: the report may well read the store.
    std::vector<Text> skipped;
    {
      std::lock_guard lock(FLock);
      auto& files = FDirectories[directory.string()];
      std::map<std::string, TCachedFile> current;
      for (auto& file : found) {
        auto cached = files.find(file.name);
        if (cached == files.end() || cached->second.size != file.size ||
            cached->second.modified != file.modified) {
          Text whyNot;
          TCachedFile fresh{file.size, file.modified, LoadCertificateFile(file.path, &whyNot)};
          if (!fresh.certificate) {
            skipped.push_back(Text(store_messages::kSkippedFile) +
                              text::FromUtf8(file.path.string()) + u": " + whyNot);
          }
          current.emplace(file.name, std::move(fresh));
        } else {
          current.emplace(file.name, std::move(cached->second));
        }
        if (const auto& cert = current[file.name].certificate) result.push_back(cert);
      }
      if (current.empty()) {
        FDirectories.erase(directory.string());  // gone or emptied: nothing to remember
      } else {
        files = std::move(current);  // entries of removed files go away here
      }
    }
    for (const Text& report : skipped)
      diagnostics::Report(store_messages::kDiagnosticsSource, report,
                          diagnostics::TReportKind::Notice);
    return result;
  }

 private:
  std::mutex FLock;
  std::map<std::string, std::map<std::string, TCachedFile>> FDirectories;  // guarded by FLock
};

TStoreCache& Cache() {
  static TStoreCache cache;
  return cache;
}

}  // namespace

fs::path PersonalStoreDirectory() {
  if (const char* store = std::getenv("ASSINADOR_NFSE_STORE"); store && *store) {
    return fs::path{store};
  }
  fs::path base;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data) {
    base = data;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = fs::path{home} / ".local" / "share";
  } else {
    base = fs::path{".local"} / "share";
  }
  return base / "assinador-nfse" / text::ToUtf8(CAPICOM_MY_STORE);
}

ICertificate2Ptr LoadCertificateFile(const fs::path& APath, Text* AWhyNot) {
  const auto whyNot = [AWhyNot](Text AReason) -> ICertificate2Ptr {
    if (AWhyNot) *AWhyNot = std::move(AReason);
    return nullptr;
  };
  std::string bytes;
  switch (ReadFile(APath, bytes)) {
    case TRead::Unreadable:
      return whyNot(Text(store_messages::kUnreadableFile));
    case TRead::TooLarge:
      return whyNot(Text(store_messages::kFileTooLarge));
    case TRead::Ok:
      break;
  }
  const Text container = text::FromUtf8(APath.filename().string());
  try {
    const std::string ext = LowerExtension(APath);
    ICertificate2Ptr cert;
    if (ext == ".pfx" || ext == ".p12") {
      cert = ParsePkcs12(bytes, container);
    } else {
      cert = ParsePem(bytes, container);
    }
    return cert ? cert : whyNot(Text(store_messages::kNoUsableCertificate));
  } catch (const std::exception& e) {
    ERR_clear_error();
    return whyNot(MessageOf(e));  // an unusable file is left out of the store
  }
}

}  // namespace certstore

ICertificate2Ptr ICertificates2::Item(int AIndex) const {
  if (AIndex < 1 || AIndex > Count()) component::Fail(store_messages::kIndexOutOfRange);
  return FItems[static_cast<std::size_t>(AIndex - 1)];
}

void IStore3::Open(int ALocation, TextView AName, int /*AMode*/) {
  if (ALocation == CAPICOM_MEMORY_STORE) {
    FItems.clear();
    FMemory = true;
  } else if (ALocation == CAPICOM_CURRENT_USER_STORE) {
    if (!text::SameTextAscii(AName, CAPICOM_MY_STORE)) {
      component::Fail(Text{store_messages::kUnknownStore} + Text{AName});
    }
    FItems = certstore::Cache().Load(certstore::PersonalStoreDirectory());
    std::vector<ICertificate2Ptr> tokens = certstore::TokenCertificates();
    FItems.insert(FItems.end(), std::make_move_iterator(tokens.begin()),
                  std::make_move_iterator(tokens.end()));
    FMemory = false;
  } else {
    component::Fail(store_messages::kUnknownLocation);
  }
  FOpen = true;
}

ICertificates2 IStore3::Certificates() const {
  if (!FOpen) component::Fail(store_messages::kNotOpen);
  return ICertificates2{FItems};
}

void IStore3::Add(const ICertificate2Ptr& ACertificate) {
  if (!FOpen) component::Fail(store_messages::kNotOpen);
  if (!FMemory) component::Fail(store_messages::kAddNotAllowed);
  if (!ACertificate) component::Fail(store_messages::kNoCertificate);
  FItems.push_back(ACertificate);
}
