#include "transport/server/session.h"

#include <gtest/gtest.h>

namespace {

TEST(DSSession, NewSessionIsActiveWithoutInactivityLimit) {
  TDSTCPSession session(nullptr);
  EXPECT_EQ(session.Status(), TDSSessionStatus::Active);
  EXPECT_EQ(session.Duration(), 0);
  EXPECT_TRUE(session.SessionName().empty());  // named by the manager
  EXPECT_TRUE(session.UserName().empty());
  EXPECT_TRUE(session.UserRoles().empty());
  session.Close();
  EXPECT_EQ(session.Status(), TDSSessionStatus::Closed);
  session.MarkActivity();
  session.Terminate();
  EXPECT_EQ(session.Status(), TDSSessionStatus::Closed);
}

TEST(DSSession, StatusEnumerationKeepsItsOrder) {
  EXPECT_EQ(static_cast<int>(TDSSessionStatus::Active), 0);
  EXPECT_EQ(static_cast<int>(TDSSessionStatus::Closed), 1);
  EXPECT_EQ(static_cast<int>(TDSSessionStatus::Idle), 2);
  EXPECT_EQ(static_cast<int>(TDSSessionStatus::Terminated), 3);
  EXPECT_EQ(static_cast<int>(TDSSessionStatus::Connected), 4);
  EXPECT_EQ(static_cast<int>(TDSSessionStatus::Expired), 5);
}

TEST(DSSession, DataKeysIgnoreCase) {
  TDSSession session;
  session.PutData(u"RemoteIP", u"10.0.0.1");
  EXPECT_EQ(session.GetData(u"remoteip"), u"10.0.0.1");
  EXPECT_TRUE(session.HasData(u"REMOTEIP"));
  session.PutData(u"remoteIP", u"10.0.0.2");  // replaces
  EXPECT_EQ(session.GetData(u"RemoteIP"), u"10.0.0.2");
  EXPECT_EQ(session.GetData(u"Ação"), u"");
  session.PutData(u"AÇÃO", u"latin");
  EXPECT_EQ(session.GetData(u"ação"), u"latin");
  session.RemoveData(u"REMOTEip");
  EXPECT_FALSE(session.HasData(u"RemoteIP"));
  EXPECT_EQ(session.GetData(u"RemoteIP"), u"");
  session.RemoveData(u"never there");
}

class TTracked : public TDSSessionObject {
 public:
  explicit TTracked(int& ADestroyed) : FDestroyed(ADestroyed) {}
  ~TTracked() override { ++FDestroyed; }

 private:
  int& FDestroyed;
};

TEST(DSSession, ObjectStoreKeepsFirstObjectAndFreesPerOwnership) {
  int destroyed = 0;
  {
    TDSSession session;
    auto first = std::make_unique<TTracked>(destroyed);
    TDSSessionObject* firstRaw = first.get();
    EXPECT_TRUE(session.PutObject(u"Key", std::move(first)));
    EXPECT_FALSE(session.PutObject(u"KEY", std::make_unique<TTracked>(destroyed)));
    EXPECT_EQ(destroyed, 1);  // the refused one
    EXPECT_EQ(session.GetObject(u"key"), firstRaw);
    EXPECT_TRUE(session.HasObject(u"kEy"));

    auto handedBack = session.RemoveObject(u"key", false);
    EXPECT_EQ(handedBack.get(), firstRaw);
    EXPECT_FALSE(session.HasObject(u"key"));
    EXPECT_EQ(session.GetObject(u"key"), nullptr);

    EXPECT_TRUE(session.PutObject(u"Other", std::make_unique<TTracked>(destroyed)));
    EXPECT_EQ(session.RemoveObject(u"other", true), nullptr);
    EXPECT_EQ(destroyed, 2);
    EXPECT_EQ(session.RemoveObject(u"missing", true), nullptr);

    EXPECT_TRUE(session.PutObject(u"kept", std::make_unique<TTracked>(destroyed)));
  }
  EXPECT_EQ(destroyed, 4);  // the handed-back one and the one the session still owned
}

TEST(DSSession, AuthenticationTakesUserFromConnectPropertiesAndAccepts) {
  const struct {
    const char* name;
    Text userBefore;
    TDSConnectProperties props;
    Text userAfter;
  } kCases[] = {
      {"no property", u"", {}, u""},
      {"property given", u"", {{u"DSAuthenticationUser", u"maria"}}, u"maria"},
      {"name already set", u"joao", {{u"DSAuthenticationUser", u"maria"}}, u"joao"},
      {"other case is another property", u"", {{u"dsauthenticationuser", u"maria"}}, u""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TDSTCPSession session(nullptr);
    session.SetUserName(c.userBefore);
    EXPECT_TRUE(session.Authenticate({}, c.props));
    EXPECT_EQ(session.UserName(), c.userAfter);
  }
}

class TRefusingManager : public TDSAuthenticationManager {
 public:
  bool Authenticate(const TDSAuthenticateEventObject&, const TDSConnectProperties&,
                    std::vector<Text>& AUserRoles) override {
    AUserRoles = {u"guest"};
    return false;
  }
  void GetAuthRoles(const Text&, std::vector<Text>& AAuthorized,
                    std::vector<Text>& ADenied) override {
    AAuthorized = {u"admin"};
    ADenied = {u"guest"};
  }
  bool Authorize(const TDSAuthorizeEventObject&) override { return false; }
};

TEST(DSSession, AuthorisationWithoutManagerAcceptsEveryCall) {
  TDSTCPSession session(nullptr);
  std::vector<Text> authorized, denied;
  session.GetAuthRoles(u"TSMSignService.SignDocument", authorized, denied);
  EXPECT_TRUE(authorized.empty());
  EXPECT_TRUE(denied.empty());
  EXPECT_TRUE(session.Authorize({u"TSMSignService.SignDocument", {}, {}, {}, {}}));
}

TEST(DSSession, AuthenticationManagerDecidesWhenPresent) {
  TRefusingManager manager;
  TDSTCPSession session(&manager);
  EXPECT_FALSE(session.Authenticate({}, {{u"DSAuthenticationUser", u"maria"}}));
  EXPECT_EQ(session.UserName(), u"maria");
  EXPECT_EQ(session.UserRoles(), std::vector<Text>{u"guest"});
  std::vector<Text> authorized, denied;
  session.GetAuthRoles(u"X.Y", authorized, denied);
  EXPECT_EQ(authorized, std::vector<Text>{u"admin"});
  EXPECT_FALSE(session.Authorize({}));
}

TEST(DSSession, RequiresAuthorizationExceptForTwoAliases) {
  TDSSession session;
  const struct {
    const char16_t* alias;  // null: no method information
    bool required;
  } kCases[] = {
      {nullptr, false},
      {u"DSMetadata.GetDatabase", false},
      {u"DSAdmin.GetPlatformName", false},
      {u"dsadmin.getplatformname", true},  // exact comparison
      {u"TSMSignService.SignDocument", true},
      {u"", true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.alias ? text::ToUtf8(c.alias) : "null");
    if (c.alias == nullptr) {
      EXPECT_EQ(session.RequiresAuthorization(nullptr), c.required);
    } else {
      const Text alias = c.alias;
      EXPECT_EQ(session.RequiresAuthorization(&alias), c.required);
    }
  }
}

}  // namespace
