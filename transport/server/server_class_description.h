#pragma once

// Descriptions of callable classes: what the method registry knows of a class in place of
// run-time reflection. Each class offered to remote callers has one description, written by
// hand beside the class: its name and unit, its parent, how to make an instance, and its
// methods in declaration order with each parameter's declared type name, how it is passed and
// a thunk that calls the method with a list of argument values.
//
// Descriptions are program constants: they are built once (function-local statics) and live
// for the whole program; the registry keeps pointers to them. They are immutable, so any thread
// may read them.

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/text.h"
#include "transport/stream/dbx_value.h"

class TDSCustomServer;
class TDSServerConnection;

// Frees an instance of a described class with its own destructor.
struct TDSInstanceDeleter {
  void (*Free)(void*) = nullptr;
  void operator()(void* AInstance) const noexcept {
    if (Free) Free(AInstance);
  }
};

// An instance of a described class, owned; the type is erased, the destructor is not.
using TDSInstancePtr = std::unique_ptr<void, TDSInstanceDeleter>;

template <class T, class... TArgs>
TDSInstancePtr MakeInstance(TArgs&&... AArgs) {
  return TDSInstancePtr(new T(std::forward<TArgs>(AArgs)...),
                        TDSInstanceDeleter{[](void* p) { delete static_cast<T*>(p); }});
}

// A declared type of a parameter or result. Class types carry their ancestors (parent first),
// so that the type mapping can tell what they descend from.
struct TDSTypeDescription {
  Text Name;      // as declared: "string", "Boolean", "TJSONArray", ...
  Text UnitName;  // where the type is declared, as reported to clients
  bool IsClass = false;
  std::vector<Text> Ancestors;  // class types only; parent first

  static TDSTypeDescription Named(Text AName, Text AUnitName = u"System") {
    return {std::move(AName), std::move(AUnitName), false, {}};
  }
  static TDSTypeDescription Class(Text AName, Text AUnitName, std::vector<Text> AAncestors = {}) {
    return {std::move(AName), std::move(AUnitName), true, std::move(AAncestors)};
  }
  // The class itself or one of its ancestors is named AClassName.
  bool DescendsFrom(TextView AClassName) const {
    if (!IsClass) return false;
    if (Name == AClassName) return true;
    for (const Text& ancestor : Ancestors)
      if (ancestor == AClassName) return true;
    return false;
  }
};

enum class TDSParameterPassing { Value, Reference, Out };

struct TDSParameterDescription {
  Text Name;
  TDSTypeDescription Type;
  TDSParameterPassing Passing = TDSParameterPassing::Value;
};

// Calls a method on AInstance with one argument per declared parameter, in declaration order,
// each in the argument form of its type (see server_method.h). Writes the values of out and
// by-reference parameters back into AArgs; returns the result, or null for a procedure.
using TDSMethodThunk = std::function<TDBXValue(void* AInstance, std::vector<TDBXValue>& AArgs)>;

enum class TDSMethodKind { Method, Constructor, Destructor };

struct TDSMethodDescription {
  Text Name;
  std::vector<TDSParameterDescription> Parameters;
  std::optional<TDSTypeDescription> ReturnType;  // none: the method returns nothing
  TDSMethodThunk Call;
  std::vector<Text> Roles;  // the method's role attribute; empty: the class's
  TDSMethodKind Kind = TDSMethodKind::Method;
};

struct TDSClassDescription {
  Text ClassName;
  Text UnitName;
  const TDSClassDescription* Parent = nullptr;  // its methods are candidates too
  // Classes of this kind are offered through the provider data module adapter, whose methods
  // are listed under the class's name after the class's own.
  bool DescendsFromProviderDataModule = false;
  std::function<TDSInstancePtr()> Create;
  std::vector<TDSMethodDescription> Methods;  // declaration order
  std::vector<Text> Roles;                    // the class's role attribute
  // Built-in classes only: gives a new instance the connection and the server it serves.
  std::function<void(void* AInstance, TDSServerConnection& AConnection, TDSCustomServer* AServer)>
      BindConnection;
};

// Reflection of a registered class: the description the methods are read from and, for a class
// offered through the adapter, the adapted class.
struct TDSClass {
  const TDSClassDescription* Description = nullptr;  // the adapter's, for an adapted class
  const TDSClassDescription* Adaptee = nullptr;
  bool IsAdapted = false;

  // The class whose name, unit and instances the class info presents.
  const TDSClassDescription& Presented() const { return IsAdapted ? *Adaptee : *Description; }
};

// Reflection of a registered method: its description and the class that declares it.
struct TDSMethod {
  const TDSMethodDescription* Description = nullptr;
  const TDSClassDescription* DeclaringClass = nullptr;
  // Declared by the adapted class, so it is called on the adaptee rather than the adapter.
  bool OnAdaptee = false;

  const Text& MethodName() const { return Description->Name; }
};
