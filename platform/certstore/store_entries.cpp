#include "platform/certstore/store_entries.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>

#include "platform/certstore/certificate.h"
#include "platform/certstore/certificate_policy.h"
#include "platform/certstore/pkcs12_reader.h"
#include "platform/certstore/store.h"
#include "platform/certstore/store_messages.h"
#include "platform/exception.h"
#include "platform/openssl_handles.h"
#include "platform/sys/unique_fd.h"

namespace fs = std::filesystem;

namespace certstore {
namespace {

[[noreturn]] void Fail(TextView AMessage, std::string_view ADetail = {}) {
  Text message{AMessage};
  if (!ADetail.empty()) message += u": " + text::FromUtf8(ADetail);
  throw Exception(message + u".");
}

[[noreturn]] void FailSystem(TextView AMessage, const fs::path& APath, int AError) {
  Fail(Text{AMessage} + text::FromUtf8(APath.string()), std::system_category().message(AError));
}

TPkcs12Contents OpenPkcs12(std::string_view ABytes, std::string_view APassword) {
  if (ABytes.size() > kMaxStoreFileSize) Fail(store_messages::kImportTooLarge);
  TPkcs12Contents contents = ReadPkcs12(ABytes, APassword);
  if (!contents.Key) Fail(store_messages::kPkcs12WithoutKey);
  if (!contents.Certificate) Fail(store_messages::kPkcs12WithoutCertificate);
  return contents;
}

// The entry as the store reads it: certificate, unencrypted PKCS#8 key, chain.
std::string PemEntry(const TPkcs12Contents& ABundle) {
  BioPtr out{BIO_new(BIO_s_mem())};
  if (!out) openssl::ThrowError("BIO_new");
  if (PEM_write_bio_X509(out.get(), ABundle.Certificate.get()) != 1)
    openssl::ThrowError("PEM_write_bio_X509");
  if (PEM_write_bio_PrivateKey(out.get(), ABundle.Key.get(), nullptr, nullptr, 0, nullptr,
                               nullptr) != 1)
    openssl::ThrowError("PEM_write_bio_PrivateKey");
  for (const X509Ptr& other : ABundle.Others)
    if (PEM_write_bio_X509(out.get(), other.get()) != 1) openssl::ThrowError("PEM_write_bio_X509");
  char* data = nullptr;
  const long length = BIO_get_mem_data(out.get(), &data);
  std::string bytes(data, static_cast<std::size_t>(length));
  // The buffer held the unencrypted key.
  OPENSSL_cleanse(data, static_cast<std::size_t>(length));
  return bytes;
}

// Makes the store folder and any missing parent, each readable by the user only.
void MakeFolder(const fs::path& AFolder) {
  std::vector<fs::path> missing;
  std::error_code unknown;  // a folder that cannot be looked at is left to mkdir to report
  for (fs::path at = AFolder; !at.empty() && !fs::exists(at, unknown) && !unknown;
       at = at.parent_path()) {
    missing.push_back(at);
    if (at == at.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it)
    if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST)
      FailSystem(store_messages::kStoreNotWritable, AFolder, errno);
}

// A file being written under a hidden name, removed unless it was linked into place.
class TTemporaryFile {
 public:
  explicit TTemporaryFile(const fs::path& AFolder, const std::string& AName) {
    // Hidden, and with no extension the store reads, so no listing ever sees it half-written.
    std::string pattern = (AFolder / ("." + AName + ".XXXXXX")).string();
    FFd.reset(::mkostemp(pattern.data(), O_CLOEXEC));  // 0600
    if (!FFd) FailSystem(store_messages::kStoreNotWritable, AFolder, errno);
    FPath = pattern;
  }
  ~TTemporaryFile() {
    if (!FPath.empty()) ::unlink(FPath.c_str());
  }
  TTemporaryFile(const TTemporaryFile&) = delete;
  TTemporaryFile& operator=(const TTemporaryFile&) = delete;

  void Write(std::string_view ABytes) {
    while (!ABytes.empty()) {
      const ssize_t n = ::write(FFd.get(), ABytes.data(), ABytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) FailSystem(store_messages::kStoreNotWritable, FPath, errno);
      ABytes.remove_prefix(static_cast<std::size_t>(n));
    }
    if (::fchmod(FFd.get(), 0600) != 0 || ::fsync(FFd.get()) != 0)
      FailSystem(store_messages::kStoreNotWritable, FPath, errno);
  }

  // Gives the file the name ATarget, only if nothing has that name: false when something has.
  bool LinkAs(const fs::path& ATarget) {
    if (::renameat2(AT_FDCWD, FPath.c_str(), AT_FDCWD, ATarget.c_str(), RENAME_NOREPLACE) == 0) {
      FPath.clear();
      return true;
    }
    if (errno == EEXIST) return false;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
      FailSystem(store_messages::kStoreNotWritable, ATarget, errno);
    // File systems without the exclusive rename: a hard link fails as well when the name is
    // taken, and the temporary name goes with the destructor.
    if (::link(FPath.c_str(), ATarget.c_str()) == 0) return true;
    if (errno == EEXIST) return false;
    FailSystem(store_messages::kStoreNotWritable, ATarget, errno);
  }

  const fs::path& Path() const { return FPath; }

 private:
  UniqueFd FFd;
  fs::path FPath;
};

// The new name survives a crash once the folder is on disk too.
void SyncFolder(const fs::path& AFolder) {
  const UniqueFd folder(::open(AFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder) ::fsync(folder.get());
}

TStoreEntry EntryOf(const ICertificate2& ACertificate, fs::path AFile) {
  return {std::move(AFile), ACertificate.SerialNumber(),
          ACertificate.GetInfo(CAPICOM_CERT_INFO_SUBJECT_SIMPLE_NAME),
          ACertificate.GetInfo(CAPICOM_CERT_INFO_ISSUER_SIMPLE_NAME), ACertificate.ValidTo()};
}

Text ExistsMessage(const TStoreEntry& AEntry) {
  return Text{store_messages::kEntryExists} + AEntry.SerialNumber + u": " +
         text::FromUtf8(AEntry.File.string()) + u" (" + AEntry.Subject + u")";
}

}  // namespace

std::vector<TStoreEntry> EntriesWithSerial(TextView ASerialNumber) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (fs::directory_iterator it(PersonalStoreDirectory(), ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string ext = text::LowerAscii(it->path().extension().string());
    if (ext == ".pem" || ext == ".crt" || ext == ".pfx" || ext == ".p12")
      files.push_back(it->path());
  }
  std::sort(files.begin(), files.end(),
            [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
  std::vector<TStoreEntry> entries;
  for (fs::path& file : files) {
    std::error_code kind;
    if (!fs::is_regular_file(file, kind)) continue;
    const ICertificate2Ptr certificate = LoadCertificateFile(file);
    if (certificate && certificate->SerialNumber() == ASerialNumber)
      entries.push_back(EntryOf(*certificate, std::move(file)));
  }
  return entries;
}

TStoreEntry ImportPkcs12(std::string_view APkcs12, std::string_view APassword) {
  const TPkcs12Contents bundle = OpenPkcs12(APkcs12, APassword);
  std::string pem = PemEntry(bundle);
  struct TCleanse {
    std::string& Bytes;
    ~TCleanse() { OPENSSL_cleanse(Bytes.data(), Bytes.size()); }
  } cleanse{pem};

  const fs::path folder = PersonalStoreDirectory();
  MakeFolder(folder);
  TTemporaryFile temporary(folder, "importando");
  temporary.Write(pem);
  // Read back as the store will read it: what is linked in is an entry the store can use.
  Text whyNot;
  const ICertificate2Ptr stored = LoadCertificateFile(temporary.Path(), &whyNot);
  if (!stored) Fail(store_messages::kPkcs12Unreadable, text::ToUtf8(whyNot));
  if (!stored->HasUsablePrivateKey()) Fail(store_messages::kKeyMismatch);

  // A certificate that may not sign NFS-e (an EC key, an AC's certificate, ...) would only fail
  // later, at the first signature: it is refused now, with the reason.
  if (const std::string refusal = certificate_policy::SigningRefusal(stored->Handle());
      !refusal.empty())
    throw Exception(Text{store_messages::kCannotSign} + text::FromUtf8(refusal) + u".");
  const Text serial = stored->SerialNumber();
  if (serial.empty()) Fail(store_messages::kPkcs12WithoutCertificate);
  if (const auto existing = EntriesWithSerial(serial); !existing.empty())
    throw Exception(ExistsMessage(existing.front()) + u".");
  const fs::path target = folder / (text::ToUtf8(serial) + ".pem");
  if (!temporary.LinkAs(target)) {
    throw Exception(Text{store_messages::kEntryExists} + serial + u": " +
                    text::FromUtf8(target.string()) + u".");
  }
  SyncFolder(folder);
  return EntryOf(*stored, target);
}

std::vector<TStoreEntry> RemoveEntries(TextView ASerialNumber) {
  std::vector<TStoreEntry> removed;
  for (TStoreEntry& entry : EntriesWithSerial(ASerialNumber)) {
    if (::unlink(entry.File.c_str()) != 0) {
      if (errno == ENOENT) continue;  // gone meanwhile
      FailSystem(store_messages::kEntryNotRemoved, entry.File, errno);
    }
    removed.push_back(std::move(entry));
  }
  if (!removed.empty()) SyncFolder(PersonalStoreDirectory());
  return removed;
}

}  // namespace certstore
