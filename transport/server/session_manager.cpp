#include "transport/server/session_manager.h"

#include <algorithm>
#include <cstdio>

#include "platform/diagnostics.h"
#include "transport/server/connection_context.h"

namespace {

std::mt19937 SeededFromSystem() {
  // Names are handles a client could try to guess: seed from the system's entropy, not a clock.
  std::random_device device;
  std::seed_seq seed{device(), device(), device(), device(),
                     device(), device(), device(), device()};
  return std::mt19937(seed);
}

}  // namespace

TDSSessionManager::TDSSessionManager() : FRandom(SeededFromSystem()) {}

TDSSessionManager::~TDSSessionManager() {
  std::vector<Text> names;
  {
    std::lock_guard lock(FLock);
    for (const auto& entry : FSessionContainer) names.push_back(entry.first);
  }
  // Not through TerminateSession: at exit no connection is served any more, so the thread
  // session is not touched here.
  for (const Text& name : names) {
    if (const TDSSessionPtr session = Remove(name)) {
      session->Terminate();
      Announce(TDSSessionEventType::SessionClose, session);
    }
  }
}

TDSSessionManager& TDSSessionManager::Instance() {
  static TDSSessionManager manager;
  return manager;
}

Text TDSSessionManager::DrawUniqueName() {
  std::uniform_int_distribution<int> number(0, 999999);
  for (;;) {
    char name[32];
    const int a = number(FRandom), b = number(FRandom), c = number(FRandom);
    std::snprintf(name, sizeof name, "%d.%d.%d", a, b, c);
    Text candidate = text::FromAscii(name);
    if (!FSessionContainer.contains(candidate)) return candidate;
  }
}

TDSSessionPtr TDSSessionManager::CreateSession(const TSessionFactory& AFactory, Text AUserName) {
  TDSSessionPtr session;
  {
    std::lock_guard lock(FLock);
    Text name = DrawUniqueName();
    session = AFactory();
    session->FSessionName = name;
    FSessionContainer.emplace(std::move(name), session);
  }
  session->SetUserName(std::move(AUserName));
  Announce(TDSSessionEventType::SessionCreate, session);
  return session;
}

TDSSessionPtr TDSSessionManager::Remove(const Text& ASessionId) {
  std::lock_guard lock(FLock);
  const auto found = FSessionContainer.find(ASessionId);
  if (found == FSessionContainer.end()) return nullptr;
  TDSSessionPtr session = std::move(found->second);
  FSessionContainer.erase(found);
  return session;
}

void TDSSessionManager::CloseSession(const Text& ASessionId) {
  const TDSSessionPtr session = Remove(ASessionId);
  if (!session) return;
  Announce(TDSSessionEventType::SessionClose, session);
  session->Close();
  Release(session);
}

void TDSSessionManager::TerminateSession(const Text& ASessionId) {
  const TDSSessionPtr session = Remove(ASessionId);
  if (!session) return;
  session->Terminate();
  Announce(TDSSessionEventType::SessionClose, session);
  Release(session);
}

void TDSSessionManager::Release(const TDSSessionPtr& ASession) {
  // The manager lets go of the session here; its stores go with the last holder, so a
  // connection still using it on another thread is not left with a dangling session.
  TDSConnectionContext* const context = TDSConnectionBinding::Current();
  if (context && context->Session() == ASession) context->ClearSession();
}

TDSSessionPtr TDSSessionManager::GetSession(const Text& ASessionId) {
  std::lock_guard lock(FLock);
  const auto found = FSessionContainer.find(ASessionId);
  return found == FSessionContainer.end() ? nullptr : found->second;
}

std::size_t TDSSessionManager::SessionCount() {
  std::lock_guard lock(FLock);
  return FSessionContainer.size();
}

void TDSSessionManager::AddSessionEvent(const TDSSessionListener& AListener) {
  if (!AListener) return;
  std::lock_guard lock(FListenersLock);
  if (FRegistered.insert(AListener.get()).second) FListeners.push_back(AListener);
}

void TDSSessionManager::RemoveSessionEvent(const TDSSessionListener& AListener) {
  std::lock_guard lock(FListenersLock);
  if (FRegistered.erase(AListener.get()) > 0) std::erase(FListeners, AListener);
}

void TDSSessionManager::Announce(TDSSessionEventType AEventType, const TDSSessionPtr& ASession) {
  std::lock_guard lock(FLock);
  std::vector<TDSSessionListener> listeners;
  {
    std::lock_guard listLock(FListenersLock);
    listeners = FListeners;
  }
  // Last to first, on a copy: a listener may remove itself or others while it runs. The copy
  // keeps each callable alive for its call even if its owner removes it meanwhile.
  for (auto it = listeners.rbegin(); it != listeners.rend(); ++it) {
    {
      std::lock_guard listLock(FListenersLock);
      if (!FRegistered.contains(it->get())) continue;
    }
    try {
      (**it)(*this, AEventType, ASession);
    } catch (...) {
      // a failing listener must not keep the others from hearing about the session
      diagnostics::ReportCurrentException(u"DSSessionManager");
    }
  }
}

void TDSSessionManager::SetAsThreadSession(TDSSessionPtr ASession) {
  if (TDSConnectionContext* const context = TDSConnectionBinding::Current())
    context->SetSession(std::move(ASession));
}

TDSSessionPtr TDSSessionManager::GetThreadSession() {
  const TDSConnectionContext* const context = TDSConnectionBinding::Current();
  return context ? context->Session() : nullptr;
}

void TDSSessionManager::ClearThreadSession() {
  if (TDSConnectionContext* const context = TDSConnectionBinding::Current())
    context->ClearSession();
}
