#pragma once

// A server method prepared for one command of a connection: the resolved method, the instance
// its lifecycle gave, and the parameter list built from its declared signature.
//
// The command level fills the values of the in and in/out parameters (from the parameter row)
// before Invoke and writes the list back into the row after it (in parameters as null). Invoke
// calls the method and sets the out, in/out and return values; an exception of the method, or
// of the conversion of an argument, propagates unchanged and leaves the list as it was.
//
// Argument forms (what a method thunk receives, by data type code):
//   1, 26, 8 (BCD), 36 (time stamp with offset)  Text; a null text is the empty text
//   4                                            bool (null: false)
//   5, 6, 12, 13, 18, 19, 28, 29                 std::int64_t (null: 0)
//   7, 25, 27                                    double (null: 0)
//   2, 10, 11, 24                                TDBXDate, TDBXTime, TDBXTimeStamp (null: 0)
//   23, 33, 37                                   TDBXTablePtr, TDBXBytes, TDBXJsonText, or null
//   34                                           null (no database is bound)
//   35                                           the value as it is
// A value-object parameter (its declared type is a value class) is passed as its value, null
// included. A literal text given for a number or a truth value is parsed. Any other type code
// (a callback, 38, among them) has no argument form.
//
// Used by the connection's own thread only.

#include <memory>
#include <vector>

#include "transport/server/method_provider.h"
#include "transport/server/server_connection.h"
#include "transport/stream/dbx_value.h"

inline constexpr std::u16string_view kInvocationLifeCycle = u"Invocation";
inline constexpr std::u16string_view kServerLifeCycle = u"Server";
inline constexpr std::u16string_view kSessionLifeCycle = u"Session";

// The direction of a declared parameter: in/out for a value object or a parameter passed by
// reference, out for an out parameter, else in.
TDBXParameterDirection ParameterDirectionOf(const TDSParameterDescription& AParameter);

// The parameter list of a method: its declared parameters in order, then "ReturnParameter"
// (direction 4) when it returns a value. Raises "Unknown data type: %s" for a type without a
// code. AHasOutOrReturn (if given) says whether any parameter is out, in/out or return.
TDBXParameterList BuildParameterList(const TDSMethod& AMethod, bool* AHasOutOrReturn = nullptr);

class TDSServerMethod {
 public:
  TDSServerMethod(TDSMethodInfoPtr AMethodInfo, TDSServerConnection& AConnection,
                  TDSServerMethodProvider& AProvider);
  // Frees an instance of lifecycle "Invocation" it still holds.
  ~TDSServerMethod();
  TDSServerMethod(const TDSServerMethod&) = delete;
  TDSServerMethod& operator=(const TDSServerMethod&) = delete;

  const TDSMethodInfo& MethodInfo() const { return *FMethodInfo; }
  const TDSMethod& Method() const { return FMethodInfo->Method; }
  TDSCustomServerClass* ServerClass() const { return FMethodInfo->ClassInfo->ServerClass; }
  const Text& LifeCycle() const { return FMethodInfo->ClassInfo->LifeCycle; }
  bool HasInvocationLifeCycle() const { return LifeCycle() == kInvocationLifeCycle; }

  TDBXParameterList& Parameters() { return FParameters; }
  const TDBXParameterList& Parameters() const { return FParameters; }
  bool HasOutOrReturn() const { return FHasOutOrReturn; }
  // The last Invoke set a table-typed out, in/out or return parameter.
  bool HasTableResult() const { return FHasTableResult; }
  // Literal arguments were given with the command text: the descriptors changed.
  bool ParameterTypeChanged() const { return FParameterTypeChanged; }

  // The object the lifecycle gave (the adapter, for an adapted class) and the object the method
  // is called on; null while an "Invocation" instance is destroyed.
  void* AdapterInstance() const { return FInstance.Instance; }
  void* MethodInstance() const;

  // Lifecycle "Invocation": frees the instance (after an execution, at re-preparation or
  // close) and obtains a fresh one (before every execution after the first). Invoke obtains
  // one itself when none is held.
  void DestroyInstance() noexcept;
  void RenewInstance();

  // Calls the method with the values of the parameter list. AReceivedTables are the tables
  // that came with the request, taken in order by the non-null table-typed in and in/out
  // parameters.
  void Invoke(const std::vector<TDBXTablePtr>& AReceivedTables = {});

 private:
  friend class TDSServerMethodProvider;
  void AcquireInstance();
  void ApplyLiteralArguments(const std::vector<Text>& AArguments);

  TDSMethodInfoPtr FMethodInfo;
  TDSServerConnection& FConnection;
  TDSServerMethodProvider& FProvider;
  TDSInstanceRef FInstance;
  TDBXParameterList FParameters;
  bool FHasOutOrReturn = false;
  bool FHasTableResult = false;
  bool FParameterTypeChanged = false;
};
