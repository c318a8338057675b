#pragma once

// Sessions of the remote-method server. Every client connection has one: a named object that
// carries the user name, the authentication and authorisation answers and small stores of named
// texts and objects. Sessions are created, named and closed by the TDSSessionManager
// (session_manager.h), which shares them with the connection that uses them: a session closed
// from another thread stays valid for whoever still holds it.
//
// The stores and the status are guarded by the session's own lock, so any thread may use them;
// the name is fixed once the manager has given it.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/text.h"

enum class TDSSessionStatus { Active, Closed, Idle, Terminated, Connected, Expired };

// Name/value list of the properties a client sends with its connect request.
using TDSConnectProperties = std::map<Text, Text>;

// What an authentication manager is told about a connect.
struct TDSAuthenticateEventObject {
  Text Protocol;
  Text UserName;
  Text Password;
  Text RemoteAddress;  // the client's address, as the session's "RemoteIP" holds it
};

// What an authentication manager is told about a call.
struct TDSAuthorizeEventObject {
  Text MethodAlias;
  Text UserName;
  std::vector<Text> UserRoles;
  std::vector<Text> AuthorizedRoles;
  std::vector<Text> DeniedRoles;
};

// Answers authentication and authorisation questions for sessions. None is configured unless
// the configuration names a user and a password (password_authentication.h).
class TDSAuthenticationManager {
 public:
  virtual ~TDSAuthenticationManager() = default;
  virtual bool Authenticate(const TDSAuthenticateEventObject& AEvent,
                            const TDSConnectProperties& AConnectionProps,
                            std::vector<Text>& AUserRoles) = 0;
  virtual void GetAuthRoles(const Text& AMethodAlias, std::vector<Text>& AAuthorizedRoles,
                            std::vector<Text>& ADeniedRoles) = 0;
  virtual bool Authorize(const TDSAuthorizeEventObject& AEvent) = 0;
};

// Base of objects kept in a session's object store; the session owns them.
class TDSSessionObject {
 public:
  virtual ~TDSSessionObject() = default;
};

class TDSSessionManager;

class TDSSession {
 public:
  TDSSession();
  virtual ~TDSSession();
  TDSSession(const TDSSession&) = delete;
  TDSSession& operator=(const TDSSession&) = delete;

  const Text& SessionName() const { return FSessionName; }
  Text UserName() const;
  void SetUserName(Text AUserName);

  // Reading the status first turns a session whose inactivity limit has passed into Expired.
  TDSSessionStatus Status();
  std::int64_t Duration() const;
  void SetDuration(std::int64_t AMilliseconds);
  std::int64_t LastActivity() const;
  std::chrono::system_clock::time_point StartDateTime() const { return FStartDateTime; }
  std::vector<Text> UserRoles() const;
  const void* Creator() const;
  void SetCreator(const void* ACreator);

  void MarkActivity();
  virtual void Close();
  virtual void Terminate();

  // Text store; keys are compared lower-cased. GetData gives the empty text for an unknown key.
  void PutData(TextView AKey, Text AValue);
  Text GetData(TextView AKey) const;
  bool HasData(TextView AKey) const;
  void RemoveData(TextView AKey);

  // Object store; keys are compared lower-cased. PutObject stores only under a new key and says
  // whether it did (the object is freed when it did not). RemoveObject frees the object when
  // AInstanceOwner is set and returns nothing; otherwise it hands the object back.
  bool PutObject(TextView AKey, std::unique_ptr<TDSSessionObject> AValue);
  TDSSessionObject* GetObject(TextView AKey) const;
  bool HasObject(TextView AKey) const;
  std::unique_ptr<TDSSessionObject> RemoveObject(TextView AKey, bool AInstanceOwner);

  virtual bool Authenticate(const TDSAuthenticateEventObject& AEvent,
                            const TDSConnectProperties& AConnectionProps);
  // AMethodAlias null: no method information.
  virtual bool RequiresAuthorization(const Text* AMethodAlias) const;
  virtual void GetAuthRoles(const Text& AMethodAlias, std::vector<Text>& AAuthorizedRoles,
                            std::vector<Text>& ADeniedRoles);
  virtual bool Authorize(const TDSAuthorizeEventObject& AEvent);

 protected:
  void SetStatus(TDSSessionStatus AStatus);
  mutable std::mutex FLock;  // guards everything below but the name and the start time
  std::vector<Text> FUserRoles;

 private:
  friend class TDSSessionManager;
  static std::int64_t TickCount();

  Text FSessionName;
  Text FUserName;
  TDSSessionStatus FStatus = TDSSessionStatus::Idle;
  std::int64_t FDuration = 0;
  std::int64_t FLastActivity = 0;
  std::chrono::system_clock::time_point FStartDateTime;
  std::map<Text, Text> FMetaData;
  std::map<Text, std::unique_ptr<TDSSessionObject>> FMetaObjects;
  const void* FCreator = nullptr;
};

// A session that asks an authentication manager, when there is one.
class TDSAuthSession : public TDSSession {
 public:
  explicit TDSAuthSession(TDSAuthenticationManager* AAuthManager) : FAuthManager(AAuthManager) {}

  TDSAuthenticationManager* AuthManager() const { return FAuthManager; }

  bool Authenticate(const TDSAuthenticateEventObject& AEvent,
                    const TDSConnectProperties& AConnectionProps) override;
  void GetAuthRoles(const Text& AMethodAlias, std::vector<Text>& AAuthorizedRoles,
                    std::vector<Text>& ADeniedRoles) override;
  bool Authorize(const TDSAuthorizeEventObject& AEvent) override;

 private:
  TDSAuthenticationManager* FAuthManager;  // not owned; may be none
};

// The session of one TCP connection.
class TDSTCPSession : public TDSAuthSession {
 public:
  using TDSAuthSession::TDSAuthSession;

  // An empty user name is taken from the connect property "DSAuthenticationUser" first.
  bool Authenticate(const TDSAuthenticateEventObject& AEvent,
                    const TDSConnectProperties& AConnectionProps) override;
};

using TDSSessionPtr = std::shared_ptr<TDSSession>;
