#pragma once

// The session manager: keeps every open session under a unique name, tells registered
// listeners when a session is created or closed, and tells each thread the session of the
// connection it serves.
//
// One instance serves the process (Instance()); tests may make their own. Every operation may be
// called from any thread: the session container is guarded by the manager's lock, the listener
// list by its own. Announcements run on the thread that creates or closes the session, with the
// manager's lock held, so a listener may run on another connection's thread and must not wait
// for that connection. Listener exceptions are swallowed.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <unordered_set>
#include <vector>

#include "transport/server/session.h"

// Announcement kinds of listeners.
enum class TDSSessionEventType { SessionCreate = 0, SessionClose = 1 };

using TDSSessionEvent = std::function<void(
    TDSSessionManager& ASender, TDSSessionEventType AEventType, const TDSSessionPtr& ASession)>;
// A listener is identified by this pointer: registering the same one twice keeps one entry.
using TDSSessionListener = std::shared_ptr<const TDSSessionEvent>;

class TDSSessionManager {
 public:
  using TSessionFactory = std::function<TDSSessionPtr()>;

  TDSSessionManager();
  // Terminates every session still open.
  ~TDSSessionManager();
  TDSSessionManager(const TDSSessionManager&) = delete;
  TDSSessionManager& operator=(const TDSSessionManager&) = delete;

  // The process-wide manager, made on first use and destroyed at exit.
  static TDSSessionManager& Instance();

  // Names the session made by AFactory, keeps it, sets its user name and announces it.
  TDSSessionPtr CreateSession(const TSessionFactory& AFactory, Text AUserName);
  template <class TSession, class... TArgs>
  std::shared_ptr<TSession> CreateSessionOf(Text AUserName, TArgs&&... AArgs) {
    auto session = std::make_shared<TSession>(std::forward<TArgs>(AArgs)...);
    CreateSession([&] { return session; }, std::move(AUserName));
    return session;
  }

  // Both remove the named session, announce it as closed and set it Closed (close announces
  // first, terminate sets the status first). An unknown name does nothing.
  void CloseSession(const Text& ASessionId);
  void TerminateSession(const Text& ASessionId);
  TDSSessionPtr GetSession(const Text& ASessionId);
  std::size_t SessionCount();

  void AddSessionEvent(const TDSSessionListener& AListener);
  void RemoveSessionEvent(const TDSSessionListener& AListener);

  // The calling thread's session: the session of the connection context bound to the thread
  // (TDSConnectionBinding), null when none is bound. Setting or clearing it on a thread with no
  // bound context does nothing. Closing a session through a manager clears it on the closing
  // thread when it was that thread's session.
  static void SetAsThreadSession(TDSSessionPtr ASession);
  static TDSSessionPtr GetThreadSession();
  static void ClearThreadSession();

 private:
  Text DrawUniqueName();  // FLock held
  TDSSessionPtr Remove(const Text& ASessionId);
  void Announce(TDSSessionEventType AEventType, const TDSSessionPtr& ASession);
  void Release(const TDSSessionPtr& ASession);

  // Recursive: listeners run with it held and may look sessions up.
  std::recursive_mutex FLock;
  std::map<Text, TDSSessionPtr> FSessionContainer;  // guarded by FLock
  std::mt19937 FRandom;                             // guarded by FLock

  std::recursive_mutex FListenersLock;
  std::vector<TDSSessionListener> FListeners;              // guarded by FListenersLock
  std::unordered_set<const TDSSessionEvent*> FRegistered;  // the same listeners, for lookups
};
