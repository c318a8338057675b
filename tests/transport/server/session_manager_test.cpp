#include "transport/server/session_manager.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "transport/server/connection_context.h"

namespace {

struct TAnnouncement {
  std::string listener;
  TDSSessionEventType kind;
  Text session;
  TDSSessionStatus status;
};

class SessionManager : public ::testing::Test {
 protected:
  TDSSessionListener Recorder(std::string AName) {
    return std::make_shared<const TDSSessionEvent>([this, AName](TDSSessionManager&,
                                                                 TDSSessionEventType AKind,
                                                                 const TDSSessionPtr& ASession) {
      FHeard.push_back({AName, AKind, ASession->SessionName(), ASession->Status()});
    });
  }
  TDSSessionPtr NewSession(Text AUser = {}) {
    return FManager.CreateSessionOf<TDSTCPSession>(std::move(AUser), nullptr);
  }

  std::vector<TAnnouncement> FHeard;  // outlives the manager, which announces at its end
  TDSSessionManager FManager;
};

TEST_F(SessionManager, NamesAreThreeNumbersBelowAMillionAndDistinct) {
  // Three decimal numbers without padding, each below 1000000, joined by points.
  const auto wellFormed = [](const std::string& AName) {
    int parts = 0;
    std::size_t start = 0;
    for (;;) {
      const std::size_t dot = AName.find('.', start);
      const std::string part =
          AName.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
      if (part.empty() || part.size() > 6 || (part.size() > 1 && part[0] == '0')) return false;
      if (part.find_first_not_of("0123456789") != std::string::npos) return false;
      ++parts;
      if (dot == std::string::npos) break;
      start = dot + 1;
    }
    return parts == 3;
  };
  std::set<Text> names;
  for (int i = 0; i < 200; ++i) {
    const TDSSessionPtr session = NewSession();
    const std::string name = text::ToUtf8(session->SessionName());
    EXPECT_TRUE(wellFormed(name)) << name;
    EXPECT_TRUE(names.insert(session->SessionName()).second) << name;
    EXPECT_EQ(FManager.GetSession(session->SessionName()), session);
  }
  EXPECT_EQ(FManager.SessionCount(), 200u);
}

TEST_F(SessionManager, TwoManagersDoNotDrawTheSameNames) {
  // Seeded from the system's entropy, not a clock: managers made together still differ.
  TDSSessionManager other;
  const TDSSessionPtr a = NewSession();
  const TDSSessionPtr b = other.CreateSessionOf<TDSTCPSession>(Text{}, nullptr);
  EXPECT_NE(a->SessionName(), b->SessionName());
}

TEST_F(SessionManager, CreationSetsUserAndAnnounces) {
  FManager.AddSessionEvent(Recorder("a"));
  const TDSSessionPtr session = NewSession(u"maria");
  EXPECT_EQ(session->UserName(), u"maria");
  EXPECT_EQ(session->Status(), TDSSessionStatus::Active);
  ASSERT_EQ(FHeard.size(), 1u);
  EXPECT_EQ(FHeard[0].kind, TDSSessionEventType::SessionCreate);
  EXPECT_EQ(FHeard[0].session, session->SessionName());
}

TEST_F(SessionManager, CloseAnnouncesBeforeClosingAndTerminateAfter) {
  FManager.AddSessionEvent(Recorder("a"));
  const TDSSessionPtr closed = NewSession();
  const TDSSessionPtr terminated = NewSession();
  FHeard.clear();

  FManager.CloseSession(closed->SessionName());
  FManager.TerminateSession(terminated->SessionName());

  ASSERT_EQ(FHeard.size(), 2u);
  EXPECT_EQ(FHeard[0].kind, TDSSessionEventType::SessionClose);
  EXPECT_EQ(FHeard[0].status, TDSSessionStatus::Active);
  EXPECT_EQ(FHeard[1].kind, TDSSessionEventType::SessionClose);
  EXPECT_EQ(FHeard[1].status, TDSSessionStatus::Closed);
  EXPECT_EQ(closed->Status(), TDSSessionStatus::Closed);
  EXPECT_EQ(terminated->Status(), TDSSessionStatus::Closed);
  EXPECT_EQ(FManager.GetSession(closed->SessionName()), nullptr);
  EXPECT_EQ(FManager.SessionCount(), 0u);
}

TEST_F(SessionManager, UnknownNameDoesNothing) {
  FManager.AddSessionEvent(Recorder("a"));
  const TDSSessionPtr session = NewSession();
  FHeard.clear();
  FManager.CloseSession(u"1.2.3");
  FManager.TerminateSession(u"1.2.3");
  FManager.CloseSession(session->SessionName());
  FManager.CloseSession(session->SessionName());  // already gone
  EXPECT_EQ(FHeard.size(), 1u);
  EXPECT_EQ(FManager.GetSession(u"1.2.3"), nullptr);
}

TEST_F(SessionManager, ListenersRunLastToFirstOnceEach) {
  const TDSSessionListener a = Recorder("a"), b = Recorder("b"), c = Recorder("c");
  FManager.AddSessionEvent(a);
  FManager.AddSessionEvent(b);
  FManager.AddSessionEvent(a);  // registered once
  FManager.AddSessionEvent(c);
  NewSession();
  ASSERT_EQ(FHeard.size(), 3u);
  EXPECT_EQ(FHeard[0].listener, "c");
  EXPECT_EQ(FHeard[1].listener, "b");
  EXPECT_EQ(FHeard[2].listener, "a");

  FHeard.clear();
  FManager.RemoveSessionEvent(b);
  FManager.RemoveSessionEvent(b);
  NewSession();
  ASSERT_EQ(FHeard.size(), 2u);
  EXPECT_EQ(FHeard[0].listener, "c");
  EXPECT_EQ(FHeard[1].listener, "a");
}

TEST_F(SessionManager, ListenerRemovedDuringAnAnnouncementIsNotCalledByIt) {
  const TDSSessionListener early = Recorder("early");
  const TDSSessionListener remover = std::make_shared<const TDSSessionEvent>(
      [this, early](TDSSessionManager& AManager, TDSSessionEventType, const TDSSessionPtr&) {
        FHeard.push_back({"remover", {}, {}, {}});
        AManager.RemoveSessionEvent(early);
      });
  FManager.AddSessionEvent(early);
  FManager.AddSessionEvent(remover);  // runs first: last registered
  NewSession();
  FManager.RemoveSessionEvent(remover);
  ASSERT_EQ(FHeard.size(), 1u);
  EXPECT_EQ(FHeard[0].listener, "remover");
}

TEST_F(SessionManager, FailingListenerDoesNotSilenceTheOthers) {
  FManager.AddSessionEvent(Recorder("a"));
  FManager.AddSessionEvent(std::make_shared<const TDSSessionEvent>(
      [](TDSSessionManager&, TDSSessionEventType, const TDSSessionPtr&) {
        throw std::runtime_error("x");
      }));
  const TDSSessionPtr session = NewSession();
  FManager.CloseSession(session->SessionName());
  EXPECT_EQ(FHeard.size(), 2u);
}

TEST_F(SessionManager, ListenerMayLookSessionsUpWhileAnnounced) {
  bool found = true;
  FManager.AddSessionEvent(std::make_shared<const TDSSessionEvent>(
      [&](TDSSessionManager& AManager, TDSSessionEventType AKind, const TDSSessionPtr& ASession) {
        if (AKind == TDSSessionEventType::SessionClose)
          found = AManager.GetSession(ASession->SessionName()) != nullptr;
      }));
  const TDSSessionPtr session = NewSession();
  FManager.CloseSession(session->SessionName());
  EXPECT_FALSE(found);
}

TEST_F(SessionManager, ThreadSessionIsThatOfTheConnectionTheThreadServes) {
  const TDSSessionPtr mine = NewSession();
  TDSSessionManager::SetAsThreadSession(mine);  // serving no connection: nowhere to keep it
  EXPECT_EQ(TDSSessionManager::GetThreadSession(), nullptr);

  TDSConnectionContext connection;
  const TDSConnectionBinding bound(connection);
  TDSSessionManager::SetAsThreadSession(mine);
  EXPECT_EQ(TDSSessionManager::GetThreadSession(), mine);
  EXPECT_EQ(connection.Session(), mine);
  TDSSessionPtr seenElsewhere = mine;
  std::thread([&] { seenElsewhere = TDSSessionManager::GetThreadSession(); }).join();
  EXPECT_EQ(seenElsewhere, nullptr);
  {
    TDSConnectionContext other;
    const TDSConnectionBinding nested(other);
    EXPECT_EQ(TDSSessionManager::GetThreadSession(), nullptr);
  }
  EXPECT_EQ(TDSSessionManager::GetThreadSession(), mine);  // the outer binding is back

  TDSSessionManager::ClearThreadSession();
  EXPECT_EQ(TDSSessionManager::GetThreadSession(), nullptr);

  TDSSessionManager::SetAsThreadSession(mine);
  FManager.CloseSession(mine->SessionName());  // closing it on this thread clears it
  EXPECT_EQ(TDSSessionManager::GetThreadSession(), nullptr);
}

TEST_F(SessionManager, SessionClosedElsewhereStaysUsableForItsHolder) {
  const TDSSessionPtr held = NewSession();
  held->PutData(u"k", u"v");
  std::thread([&] { FManager.CloseSession(held->SessionName()); }).join();
  EXPECT_EQ(held->Status(), TDSSessionStatus::Closed);
  EXPECT_EQ(held->GetData(u"K"), u"v");
}

TEST(SessionManagerLifetime, DestructionTerminatesOpenSessionsAndAnnouncesThem) {
  std::vector<Text> closed;
  TDSSessionPtr survivor;
  {
    TDSSessionManager manager;
    manager.AddSessionEvent(std::make_shared<const TDSSessionEvent>(
        [&](TDSSessionManager&, TDSSessionEventType AKind, const TDSSessionPtr& ASession) {
          if (AKind == TDSSessionEventType::SessionClose) closed.push_back(ASession->SessionName());
        }));
    survivor = manager.CreateSessionOf<TDSTCPSession>(Text{}, nullptr);
    manager.CreateSessionOf<TDSTCPSession>(Text{}, nullptr);
  }
  EXPECT_EQ(closed.size(), 2u);
  EXPECT_EQ(survivor->Status(), TDSSessionStatus::Closed);
}

TEST(SessionManagerLifetime, ProcessWideInstanceIsOne) {
  EXPECT_EQ(&TDSSessionManager::Instance(), &TDSSessionManager::Instance());
}

TEST_F(SessionManager, ConcurrentCreateAndCloseKeepNamesUnique) {
  std::atomic<int> announcements{0};
  FManager.AddSessionEvent(std::make_shared<const TDSSessionEvent>(
      [&](TDSSessionManager&, TDSSessionEventType, const TDSSessionPtr&) { ++announcements; }));
  constexpr int kThreads = 4, kEach = 250;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        const TDSSessionPtr s = FManager.CreateSessionOf<TDSTCPSession>(Text{}, nullptr);
        TDSConnectionContext connection;
        const TDSConnectionBinding bound(connection);
        TDSSessionManager::SetAsThreadSession(s);
        s->PutData(u"n", u"v");
        FManager.CloseSession(s->SessionName());
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(FManager.SessionCount(), 0u);
  EXPECT_EQ(announcements.load(), 2 * kThreads * kEach);
}

}  // namespace
