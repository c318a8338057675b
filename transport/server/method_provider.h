#pragma once

// The server's catalogue of callable methods (one per started server). Opening it registers,
// in this order, the built-in classes "DSAdmin" and "DSMetadata" and every server class
// attached to the server, each with its methods: those of the class and its ancestors (an
// adapted class's own first, then the adapter's) whose types all map to data type codes.
// Lookups resolve a command text to a method; preparation gives a TDSServerMethod with its
// parameter list and the instance its lifecycle gives.
//
// Threads: every connection thread reads the tables while the administrative methods may change
// them. Readers work on an immutable snapshot of the tables, swapped whole by each change
// (changes are serialised among themselves), so a lookup never sees a half-changed table and
// what it found stays valid after a later change. Classes and methods registered at start
// cannot be dropped. Open and Close run on the thread that starts and stops the server.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "transport/server/ds_server.h"
#include "transport/server/instance_provider.h"
#include "transport/server/server_class_description.h"

class TDSServerMethod;

struct TDSClassInfo {
  Text PackageName;
  Text ClassName;  // the adaptee's, for an adapted class
  Text UnitName;
  Text LifeCycle;
  Text RoleName;
  TDSCustomServerClass* ServerClass = nullptr;  // none for the built-in classes
  TDSClass DSClass;
  bool IsAdminClass = false;
  bool RegisteredAtStart = false;
};

struct TDSMethodInfo {
  Text MethodAlias;  // class name, ".", method name
  Text SearchName;   // the alias in upper case
  Text MethodName;
  std::shared_ptr<const TDSClassInfo> ClassInfo;
  TDSMethod Method;
  std::vector<Text> AuthorizedRoles;  // the method's role attribute, else the class's
  bool RegisteredAtStart = false;
};

using TDSClassInfoPtr = std::shared_ptr<const TDSClassInfo>;
using TDSMethodInfoPtr = std::shared_ptr<const TDSMethodInfo>;

// A command text resolved to a method.
struct TDSMethodResolution {
  TDSMethodInfoPtr Method;
  // Texts given in parentheses after a scanned name, for the parameters in order.
  std::vector<Text> LiteralArguments;
  bool HasLiteralArguments = false;
};

// The instance a lifecycle gives: the adapter for an adapted class. Owned by the caller only
// for lifecycle "Invocation"; the others stay with their instance provider.
struct TDSInstanceRef {
  void* Instance = nullptr;
  TDSInstancePtr Owned;
};

// ASCII upper case, as search names are kept.
Text UpperCaseName(TextView AName);

// The alias registration gives a method: the last dotted part of the class name, a point and
// the method name.
Text MethodAliasOf(TextView AClassName, TextView AMethodName);

// The methods registration takes from a class, in registration order: those of the class and
// its ancestors (an adapted class's own first, then the adapter's) whose types all map to data
// type codes, constructors and destructors excluded.
std::vector<TDSMethod> RegistrableMethods(const TDSClass& AClass);

// A class to add at run time, with what its class info takes.
struct TDSServerClassEntry {
  const TDSClassDescription* Class = nullptr;
  Text LifeCycle{kDefaultLifeCycle};
  Text RoleName;
  Text PackageName;
};

// A method to add at run time: the method of that name of a registered class, under an alias.
struct TDSServerMethodEntry {
  Text MethodAlias;
  Text ClassName;
  Text MethodName;
  std::vector<Text> Roles;
};

// Where the descriptions of the built-in classes "DSAdmin" and "DSMetadata" come from (the
// server gives BuiltInClass, ds_admin.h); raises when a class cannot be loaded.
using TDSBuiltInClassLoader = std::function<const TDSClassDescription&(const Text& AClassName)>;

class TDSServerMethodProvider {
 public:
  TDSServerMethodProvider(TDSCustomServer& AServer, TDSBuiltInClassLoader ABuiltInClassLoader);
  ~TDSServerMethodProvider();
  TDSServerMethodProvider(const TDSServerMethodProvider&) = delete;
  TDSServerMethodProvider& operator=(const TDSServerMethodProvider&) = delete;

  // Builds the tables once. Raises TDBXError 29 (a server class gives no class), 102 (a class
  // twice), 103 (a method alias twice) or 104 (a built-in class cannot be loaded).
  void Open();
  // Empties the tables and frees the instances of lifecycle "Server".
  void Close();
  bool IsOpen() const { return FOpen.load(); }
  TDSCustomServer& Server() const { return FServer; }

  // The name, in any case, is a method alias.
  bool HasServerMethod(TextView AMethodName) const;
  // The method whose alias is the name in any case; null when there is none.
  TDSMethodInfoPtr FindMethod(TextView AMethodName) const;
  // The whole text as an alias first; then the name scanned from its start, with any literal
  // arguments in parentheses after it. TDBXError 105 when neither names a method.
  TDSMethodResolution ResolveMethod(TextView ACommandText) const;

  // Resolves ACommandText and prepares the method for a command of AConnection: its instance,
  // the prepare hooks, its parameter list and the literal arguments.
  std::unique_ptr<TDSServerMethod> PrepareMethod(TDSServerConnection& AConnection,
                                                 TextView ACommandText);
  // The instance the method's class lifecycle gives. TDBXError 0 "Unknown LifeCycle:  " + the
  // lifecycle for any other lifecycle than "Server" (or empty), "Session" and "Invocation".
  TDSInstanceRef GetServerMethodInstance(TDSServerConnection& AConnection,
                                         const TDSMethodInfo& AMethodInfo);

  // The registered classes and methods in registration order.
  std::vector<TDSClassInfoPtr> Classes() const;
  std::vector<TDSMethodInfoPtr> Methods() const;
  TDSClassInfoPtr FindClass(TextView AClassName) const;
  // Every class description the registry has seen (built-in, attached, added), for the
  // administrative methods that search classes; first seen first.
  std::vector<const TDSClassDescription*> KnownClasses() const;

  // Run-time changes (the administrative methods). Adding raises 102 or 103 as at start; a
  // method of no registered class, or not in its class, raises 105. A method added by name
  // skips the type filter, so a method with an unknown type fails when it is prepared.
  // Dropping what was registered at start raises (TDBXError 0); dropping a class drops its
  // methods too. Dropping an unknown name gives false; in a list it raises (TDBXError 0 for a
  // class, 105 for a method). A list is taken whole or, when any entry raises, not at all.
  void AddServerClass(const TDSClassDescription& AClass, Text ALifeCycle, Text ARoleName = {},
                      Text APackageName = {});
  void AddServerClasses(const std::vector<TDSServerClassEntry>& AClasses);
  bool DropServerClass(TextView AClassName);
  void DropServerClasses(const std::vector<Text>& AClassNames);
  void AddServerMethod(Text AMethodAlias, TextView AClassName, TextView AMethodName,
                       std::vector<Text> ARoles = {});
  void AddServerMethods(const std::vector<TDSServerMethodEntry>& AMethods);
  bool DropServerMethod(TextView AMethodAlias);
  void DropServerMethods(const std::vector<Text>& AMethodAliases);

  // The instances of lifecycle "Server".
  TDSHashtableInstanceProvider& ServerInstanceProvider() { return FServerInstanceProvider; }

 private:
  struct TTables;
  using TTablesPtr = std::shared_ptr<const TTables>;

  TTablesPtr Snapshot() const {
    std::shared_lock lock(FTablesLock);
    return FTables;
  }
  // The old snapshot is released outside the lock, by whoever holds it last.
  void Publish(TTablesPtr ATables) {
    std::unique_lock lock(FTablesLock);
    FTables.swap(ATables);
  }
  static void RegisterClass(TTables& ATables, std::shared_ptr<TDSClassInfo> AClassInfo);
  static void RegisterMethods(TTables& ATables, const TDSClassInfoPtr& AClassInfo);
  static void RegisterMethod(TTables& ATables, std::shared_ptr<TDSMethodInfo> AMethodInfo);
  // Changes of a private copy of the tables; false for an unknown name.
  static void AddClassTo(TTables& ATables, const TDSServerClassEntry& AEntry);
  static void AddMethodTo(TTables& ATables, const TDSServerMethodEntry& AEntry);
  static bool DropClassFrom(TTables& ATables, TextView AClassName);
  static bool DropMethodFrom(TTables& ATables, TextView AMethodAlias);
  // Applies AChange to a copy of the tables and publishes the copy unless AChange raises or
  // gives false; gives what AChange gave.
  template <class TChange>
  bool Change(TChange&& AChange);

  TDSCustomServer& FServer;
  TDSBuiltInClassLoader FBuiltInClassLoader;
  // Held only to read or swap the pointer: readers never wait for a change being built.
  mutable std::shared_mutex FTablesLock;
  TTablesPtr FTables;     // guarded by FTablesLock
  std::mutex FWriteLock;  // serialises changes of FTables
  TDSHashtableInstanceProvider FServerInstanceProvider;
  std::atomic<bool> FOpen{false};
};
