#include "transport/server/session.h"

#include <ctime>

namespace {

// Keys are case-insensitive for ASCII and Latin-1 letters, independent of the process locale.
Text LowerKey(TextView AKey) { return text::LowerLatin1(AKey); }

}  // namespace

std::int64_t TDSSession::TickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

TDSSession::TDSSession() : FStartDateTime(std::chrono::system_clock::now()) { MarkActivity(); }

TDSSession::~TDSSession() = default;

Text TDSSession::UserName() const {
  std::lock_guard lock(FLock);
  return FUserName;
}

void TDSSession::SetUserName(Text AUserName) {
  std::lock_guard lock(FLock);
  FUserName = std::move(AUserName);
}

TDSSessionStatus TDSSession::Status() {
  std::lock_guard lock(FLock);
  const bool live = FStatus == TDSSessionStatus::Active || FStatus == TDSSessionStatus::Idle ||
                    FStatus == TDSSessionStatus::Connected;
  if (live && FDuration > 0 && TickCount() - FLastActivity > FDuration) {
    FStatus = TDSSessionStatus::Expired;
  }
  return FStatus;
}

void TDSSession::SetStatus(TDSSessionStatus AStatus) {
  std::lock_guard lock(FLock);
  FStatus = AStatus;
}

std::int64_t TDSSession::Duration() const {
  std::lock_guard lock(FLock);
  return FDuration;
}

void TDSSession::SetDuration(std::int64_t AMilliseconds) {
  std::lock_guard lock(FLock);
  FDuration = AMilliseconds;
}

std::int64_t TDSSession::LastActivity() const {
  std::lock_guard lock(FLock);
  return FLastActivity;
}

std::vector<Text> TDSSession::UserRoles() const {
  std::lock_guard lock(FLock);
  return FUserRoles;
}

const void* TDSSession::Creator() const {
  std::lock_guard lock(FLock);
  return FCreator;
}

void TDSSession::SetCreator(const void* ACreator) {
  std::lock_guard lock(FLock);
  FCreator = ACreator;
}

void TDSSession::MarkActivity() {
  std::lock_guard lock(FLock);
  FStatus = TDSSessionStatus::Active;
  FLastActivity = TickCount();
}

void TDSSession::Close() { SetStatus(TDSSessionStatus::Closed); }
void TDSSession::Terminate() { SetStatus(TDSSessionStatus::Closed); }

void TDSSession::PutData(TextView AKey, Text AValue) {
  std::lock_guard lock(FLock);
  FMetaData.insert_or_assign(LowerKey(AKey), std::move(AValue));
}

Text TDSSession::GetData(TextView AKey) const {
  std::lock_guard lock(FLock);
  const auto found = FMetaData.find(LowerKey(AKey));
  return found == FMetaData.end() ? Text{} : found->second;
}

bool TDSSession::HasData(TextView AKey) const {
  std::lock_guard lock(FLock);
  return FMetaData.contains(LowerKey(AKey));
}

void TDSSession::RemoveData(TextView AKey) {
  std::lock_guard lock(FLock);
  FMetaData.erase(LowerKey(AKey));
}

bool TDSSession::PutObject(TextView AKey, std::unique_ptr<TDSSessionObject> AValue) {
  std::unique_lock lock(FLock);
  const auto [where, stored] = FMetaObjects.try_emplace(LowerKey(AKey), nullptr);
  if (!stored) {
    lock.unlock();  // the refused object is freed outside the lock: its destructor may call back
    return false;
  }
  where->second = std::move(AValue);
  return true;
}

TDSSessionObject* TDSSession::GetObject(TextView AKey) const {
  std::lock_guard lock(FLock);
  const auto found = FMetaObjects.find(LowerKey(AKey));
  return found == FMetaObjects.end() ? nullptr : found->second.get();
}

bool TDSSession::HasObject(TextView AKey) const {
  std::lock_guard lock(FLock);
  return FMetaObjects.contains(LowerKey(AKey));
}

std::unique_ptr<TDSSessionObject> TDSSession::RemoveObject(TextView AKey, bool AInstanceOwner) {
  std::unique_ptr<TDSSessionObject> removed;
  {
    std::lock_guard lock(FLock);
    const auto found = FMetaObjects.find(LowerKey(AKey));
    if (found == FMetaObjects.end()) return nullptr;
    removed = std::move(found->second);
    FMetaObjects.erase(found);
  }
  if (AInstanceOwner) removed.reset();
  return removed;
}

bool TDSSession::Authenticate(const TDSAuthenticateEventObject&, const TDSConnectProperties&) {
  return true;
}

bool TDSSession::RequiresAuthorization(const Text* AMethodAlias) const {
  if (AMethodAlias == nullptr) return false;
  return *AMethodAlias != u"DSMetadata.GetDatabase" && *AMethodAlias != u"DSAdmin.GetPlatformName";
}

void TDSSession::GetAuthRoles(const Text&, std::vector<Text>&, std::vector<Text>&) {}

bool TDSSession::Authorize(const TDSAuthorizeEventObject&) { return true; }

bool TDSAuthSession::Authenticate(const TDSAuthenticateEventObject& AEvent,
                                  const TDSConnectProperties& AConnectionProps) {
  if (FAuthManager == nullptr) return true;
  std::vector<Text> roles;
  const bool accepted = FAuthManager->Authenticate(AEvent, AConnectionProps, roles);
  std::lock_guard lock(FLock);
  FUserRoles = std::move(roles);
  return accepted;
}

void TDSAuthSession::GetAuthRoles(const Text& AMethodAlias, std::vector<Text>& AAuthorizedRoles,
                                  std::vector<Text>& ADeniedRoles) {
  if (FAuthManager != nullptr)
    FAuthManager->GetAuthRoles(AMethodAlias, AAuthorizedRoles, ADeniedRoles);
}

bool TDSAuthSession::Authorize(const TDSAuthorizeEventObject& AEvent) {
  return FAuthManager == nullptr || FAuthManager->Authorize(AEvent);
}

bool TDSTCPSession::Authenticate(const TDSAuthenticateEventObject& AEvent,
                                 const TDSConnectProperties& AConnectionProps) {
  if (UserName().empty()) {
    const auto user = AConnectionProps.find(u"DSAuthenticationUser");
    SetUserName(user == AConnectionProps.end() ? Text{} : user->second);
  }
  return TDSAuthSession::Authenticate(AEvent, AConnectionProps);
}
