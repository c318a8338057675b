#include "platform/certstore/pin_source.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/certstore/token_messages.h"
#include "platform/sys/system_error_text.h"
#include "platform/sys/unique_fd.h"

namespace certstore {

TPin::TPin(std::string ABytes) : FBytes(std::move(ABytes)) {
  // A short string lives inside the object: moving it copies the bytes and leaves them there.
  ABytes.resize(ABytes.capacity());
  OPENSSL_cleanse(ABytes.data(), ABytes.size());
}

TPin::TPin(TPin&& AOther) noexcept : FBytes(std::move(AOther.FBytes)) { AOther.Cleanse(); }

TPin& TPin::operator=(TPin&& AOther) noexcept {
  if (this != &AOther) {
    Cleanse();
    FBytes = std::move(AOther.FBytes);
    AOther.Cleanse();
  }
  return *this;
}

TPin::~TPin() { Cleanse(); }

void TPin::Cleanse() {
  // The whole capacity: a shorter value may have replaced a longer one in the same buffer.
  FBytes.resize(FBytes.capacity());
  OPENSSL_cleanse(FBytes.data(), FBytes.size());
  FBytes.clear();
}

namespace {

std::mutex gSourceLock;
std::shared_ptr<IPinSource> gSource;  // guarded by gSourceLock

// No PIN is this long; a file that is must be something else.
constexpr std::size_t kMaxPinFile = 1024;

// "<APrefix>"<path>"<ASuffix>": built by appending, every piece in place.
Text Naming(TextView APrefix, const std::string& APath, TextView ASuffix = {}) {
  Text out{APrefix};
  out += u'"';
  out += text::FromUtf8(APath);
  out += u'"';
  out += ASuffix;
  return out;
}

}  // namespace

void SetPinSource(std::shared_ptr<IPinSource> ASource) {
  std::lock_guard lock(gSourceLock);
  gSource = std::move(ASource);
}

std::shared_ptr<IPinSource> PinSource() {
  std::lock_guard lock(gSourceLock);
  return gSource;
}

bool TPinFileSource::TFileState::operator==(const TFileState& AOther) const {
  return Device == AOther.Device && Inode == AOther.Inode && Size == AOther.Size &&
         Modified.tv_sec == AOther.Modified.tv_sec && Modified.tv_nsec == AOther.Modified.tv_nsec &&
         Changed.tv_sec == AOther.Changed.tv_sec && Changed.tv_nsec == AOther.Changed.tv_nsec;
}

namespace {

// Opens the PIN file at APath into AFd and AInfo; why it cannot give a PIN when it cannot (not
// there, not a file, too large, open to other users), empty otherwise.
Text Opened(const std::string& APath, UniqueFd& AFd, struct stat& AInfo) {
  using namespace token_messages;
  AFd = UniqueFd(::open(APath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!AFd || ::fstat(AFd.get(), &AInfo) != 0) {
    const int error = errno;
    return Naming(kPinFileUnreadable, APath, u": ") + text::FromUtf8(sys::ErrorReason(error));
  }
  if (!S_ISREG(AInfo.st_mode) || AInfo.st_size > static_cast<off_t>(kMaxPinFile))
    return Naming(kPinFileUnreadable, APath);
  if ((AInfo.st_mode & (S_IRGRP | S_IROTH | S_IWGRP | S_IWOTH)) != 0)
    return Naming(u"O arquivo de PIN ", APath, kPinFileOpen);
  return {};
}

}  // namespace

Text TPinFileSource::Problem() const {
  UniqueFd fd;
  struct stat info {};
  if (Text problem = Opened(FPath, fd, info); !problem.empty()) return problem;
  if (info.st_size == 0) return Naming(u"o arquivo de PIN ", FPath, token_messages::kPinFileEmpty);
  return {};
}

std::optional<TPin> TPinFileSource::Pin(const TPinRequest& ARequest, Text& AWhyNot) {
  using namespace token_messages;
  UniqueFd fd;
  struct stat info {};
  if (Text problem = Opened(FPath, fd, info); !problem.empty()) {
    AWhyNot = std::move(problem);
    return std::nullopt;
  }
  const TFileState state{info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
  {
    std::lock_guard lock(FLock);
    if (const auto refused = FRejected.find(ARequest.TokenId);
        refused != FRejected.end() && refused->second == state) {
      AWhyNot = Naming(u"o PIN do arquivo ", FPath, kPinFileRefused);
      return std::nullopt;
    }
  }
  std::string bytes(kMaxPinFile + 1, '\0');
  std::size_t length = 0;
  while (length < bytes.size()) {
    const ssize_t n = ::read(fd.get(), bytes.data() + length, bytes.size() - length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      OPENSSL_cleanse(bytes.data(), bytes.size());
      AWhyNot = Naming(kPinFileUnreadable, FPath);
      return std::nullopt;
    }
    if (n == 0) break;
    length += static_cast<std::size_t>(n);
  }
  std::size_t end = 0;
  while (end < length && bytes[end] != '\n' && bytes[end] != '\r') ++end;
  TPin pin{std::string(bytes.data(), end)};
  OPENSSL_cleanse(bytes.data(), bytes.size());
  if (pin.Bytes().empty()) {
    AWhyNot = Naming(u"o arquivo de PIN ", FPath, kPinFileEmpty);
    return std::nullopt;
  }
  std::lock_guard lock(FLock);
  FGiven[ARequest.TokenId] = state;
  return pin;
}

void TPinFileSource::Rejected(const TPinRequest& ARequest) {
  std::lock_guard lock(FLock);
  if (const auto given = FGiven.find(ARequest.TokenId); given != FGiven.end())
    FRejected[ARequest.TokenId] = given->second;
}

std::string PinCredentialPath() {
  const char* folder = std::getenv("CREDENTIALS_DIRECTORY");
  if (!folder || !*folder) return {};
  const std::filesystem::path path = std::filesystem::path{folder} / kPinCredentialName;
  std::error_code ec;
  return std::filesystem::exists(path, ec) ? path.string() : std::string{};
}

}  // namespace certstore
