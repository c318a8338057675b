#pragma once

// The built-in classes "DSAdmin" and "DSMetadata": the methods that tell a client the
// platform, the server's name, the registered classes and methods and a description of the
// data source, and let an administrator add and drop classes and methods. One instance of each
// is made per connection (lifecycle "Session") and is given the connection and the server. The
// registry registers them before the attached classes.
//
// Answers are texts, truth values, tables (TDBXTable, sent as table results) and JSON values
// (TDBXJsonText, compact pure-ASCII JSON). The shapes of the tables and of the JSON are written
// down in ds_admin.cpp where each is produced; the same concept has the same column name and
// type in every table of a class (texts type 26, numbers type 6, truth values type 4).
//
// Threads: an instance is used by its connection's thread only; the registry it reads and
// changes is shared and takes care of itself. Failures raise TDBXError (or Exception) and
// reach the client as error replies.

#include "transport/server/ds_server.h"
#include "transport/server/server_class_description.h"

class TDSServerMethodProvider;

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

 protected:
  // The registry of the started server; TDBXError 0 when there is none.
  TDSServerMethodProvider& Provider() const;

 private:
  TDSServerConnection* FConnection = nullptr;
  TDSCustomServer* FServer = nullptr;
};

class TDSAdmin : public TDSBuiltInClassInstance {
 public:
  static Text GetPlatformName() { return u"win32"; }
  // Asks the connection's commands to release what they keep; true when all did.
  bool ClearResources();

  // Searches over the classes the registry knows (registered now or before). Patterns follow
  // name_pattern.h; an empty one matches everything.
  TDBXTablePtr FindPackages() const;
  TDBXTablePtr FindClasses(const Text& APackageName, const Text& AClassPattern) const;
  TDBXTablePtr FindMethods(const Text& APackageName, const Text& AClassPattern,
                           const Text& AMethodPattern) const;

  // Changes of the registry from the rows of a class or method table (the shapes the methods
  // above give). The whole table is taken or, when a row is refused, none of it; what the
  // server registered at start cannot be dropped. A null table changes nothing.
  void CreateServerClasses(const TDBXTablePtr& AClassReader);
  void DropServerClasses(const TDBXTablePtr& AClassReader);
  void CreateServerMethods(const TDBXTablePtr& AMethodReader);
  void DropServerMethods(const TDBXTablePtr& AMethodReader);

  // What is registered, in registration order.
  TDBXTablePtr GetServerClasses() const;
  TDBXTablePtr GetServerMethods() const;
  TDBXTablePtr GetServerMethodParameters() const;
  TDBXJsonText ListClasses() const;
  TDBXJsonText DescribeClass(const Text& AClassName) const;
  TDBXJsonText ListMethods(const Text& AClassName) const;
  TDBXJsonText DescribeMethod(const Text& AServerMethodName) const;

  // No database is configured on this server: GetConnection raises, naming the connection
  // asked for; the connection definitions are an empty table.
  [[noreturn]] void GetConnection(const Text& ANewConName) const;
  static TDBXTablePtr GetDatabaseConnectionProperties();
};

class TDSMetadata : public TDSBuiltInClassInstance {
 public:
  // The registered methods presented as procedures, and their parameters.
  TDBXTablePtr GetProcedures(const Text& AProcedureNamePattern, const Text& AProcedureType) const;
  TDBXTablePtr GetProcedureParameters(const Text& AProcedureNamePattern) const;
  // One row of 17 columns describing the data source.
  static TDBXTablePtr GetDatabase();
};

const TDSClassDescription& DSAdminClass();
const TDSClassDescription& DSMetadataClass();

// The description of the built-in class of that name; raises for any other name.
const TDSClassDescription& BuiltInClass(const Text& AClassName);
