#pragma once

// The built-in classes "DSAdmin" and "DSMetadata": the methods that tell a client the
// platform, the server's name, the registered classes and methods and a description of the
// data source. One instance of each is made per connection (lifecycle "Session") and is given
// the connection and the server. The registry registers them before the attached classes.

#include "transport/server/ds_server.h"
#include "transport/server/server_class_description.h"

// What both built-in classes know of where they run.
class TDSBuiltInClassInstance {
 public:
  TDSServerConnection* Connection() const { return FConnection; }
  TDSCustomServer* Server() const { return FServer; }
  void Bind(TDSServerConnection& AConnection, TDSCustomServer* AServer) {
    FConnection = &AConnection;
    FServer = AServer;
  }

  // The server component's name; empty when the server is no TDSServer.
  Text GetDSServerName() const;

 private:
  TDSServerConnection* FConnection = nullptr;
  TDSCustomServer* FServer = nullptr;
};

class TDSAdmin : public TDSBuiltInClassInstance {
 public:
  static Text GetPlatformName() { return u"win32"; }
};

class TDSMetadata : public TDSBuiltInClassInstance {};

const TDSClassDescription& DSAdminClass();
const TDSClassDescription& DSMetadataClass();

// The description of the built-in class of that name; raises for any other name.
const TDSClassDescription& BuiltInClass(const Text& AClassName);
