#pragma once

// Where a token's PIN comes from. Each program sets the source that suits it once at start:
// the tray program asks the operator in a dialog, the command-line tool asks on the terminal
// or reads a file, the server without a window reads a file. Without a source no PIN is to be
// had and a token that needs one is not logged in to.
//
// A PIN the device refused is reported back (Rejected) and never offered again by itself: a
// source that reads a file offers that file again only once it has changed, so a wrong PIN in
// a file costs the token one failed attempt, not its lock.

#include <sys/types.h>

#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/text.h"

namespace certstore {

// A PIN in memory: wiped before its memory goes. Move-only.
class TPin {
 public:
  TPin() = default;
  // Wipes what a move of a short string leaves behind in ABytes.
  explicit TPin(std::string ABytes);
  TPin(TPin&& AOther) noexcept;
  TPin& operator=(TPin&& AOther) noexcept;
  TPin(const TPin&) = delete;
  TPin& operator=(const TPin&) = delete;
  ~TPin();

  const std::string& Bytes() const { return FBytes; }

 private:
  void Cleanse();
  std::string FBytes;
};

// What the device asking for its PIN tells the person who gives it.
struct TPinRequest {
  Text TokenLabel;
  Text Holder;            // the certificate's subject simple name
  std::string TokenId;    // stable for one inserted token: module, slot, serial
  bool CountLow = false;  // the device says wrong attempts have been made
  bool FinalTry = false;  // one more wrong PIN locks it
};

class IPinSource {
 public:
  virtual ~IPinSource() = default;
  // The PIN for ARequest; nothing when it cannot be had (cancelled, no file, a file already
  // refused), and then AWhyNot says why in Portuguese. May block (a dialog); any thread.
  virtual std::optional<TPin> Pin(const TPinRequest& ARequest, Text& AWhyNot) = 0;
  // The device refused the PIN last given for ARequest's token.
  virtual void Rejected(const TPinRequest& ARequest) = 0;
};

// The process's source; null (the default) when none was set.
void SetPinSource(std::shared_ptr<IPinSource> ASource);
std::shared_ptr<IPinSource> PinSource();

// The PIN is the first line of a file that only its owner may read (a systemd credential is
// such a file). The file is read anew for every login; after the device refused its PIN, the
// same file (device, inode, size, modification and change time) is not offered to that token
// again.
class TPinFileSource : public IPinSource {
 public:
  explicit TPinFileSource(std::string APath) : FPath(std::move(APath)) {}
  // Why the file cannot give a PIN now (not there, not a file, open to other users, empty),
  // for a program to refuse it at start; empty when it can.
  Text Problem() const;
  std::optional<TPin> Pin(const TPinRequest& ARequest, Text& AWhyNot) override;
  void Rejected(const TPinRequest& ARequest) override;

 private:
  struct TFileState {
    dev_t Device = 0;
    ino_t Inode = 0;
    off_t Size = 0;
    timespec Modified{};
    timespec Changed{};
    bool operator==(const TFileState& AOther) const;
  };

  std::string FPath;
  std::mutex FLock;
  std::map<std::string, TFileState> FGiven;     // per token: the file as last read
  std::map<std::string, TFileState> FRejected;  // per token: the file as it was refused
};

// The systemd credential the server without a window reads its PIN from when no file is given
// ($CREDENTIALS_DIRECTORY/<name>); empty when the service has no such credential.
inline constexpr const char* kPinCredentialName = "assinador-nfse-pin";
std::string PinCredentialPath();

}  // namespace certstore
