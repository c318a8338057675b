#include "transport/server/server_method.h"

#include <charconv>
#include <string>

#include "transport/dbx_error.h"
#include "transport/server/server_method_messages.h"
#include "transport/server/type_mapping.h"

namespace {

using server_method_messages::Fill;

Text Number(long long AValue) { return text::FromAscii(std::to_string(AValue)); }

[[noreturn]] void InvalidArgument(std::size_t AIndex, const Text& AValue) {
  throw Exception(Fill(server_method_messages::kInvalidArgument,
                       {Number(static_cast<long long>(AIndex)), AValue}));
}

// A literal text in ASCII for the number parsers; anything else cannot be a number.
bool AsciiOf(const Text& AValue, std::string& AOut) {
  AOut.clear();
  for (char16_t c : AValue) {
    if (c > 127) return false;
    AOut += static_cast<char>(c);
  }
  return true;
}

std::int64_t ToInteger(const TDBXValue& AValue, std::size_t AIndex) {
  if (IsNull(AValue)) return 0;
  if (const auto* i = std::get_if<std::int64_t>(&AValue)) return *i;
  if (const auto* b = std::get_if<bool>(&AValue)) return *b ? 1 : 0;
  if (const auto* t = std::get_if<Text>(&AValue)) {
    std::string ascii;
    std::int64_t value = 0;
    if (AsciiOf(*t, ascii)) {
      const auto [end, error] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
      if (error == std::errc() && end == ascii.data() + ascii.size()) return value;
    }
    InvalidArgument(AIndex, *t);
  }
  InvalidArgument(AIndex, u"?");
}

double ToDouble(const TDBXValue& AValue, std::size_t AIndex) {
  if (IsNull(AValue)) return 0;
  if (const auto* d = std::get_if<double>(&AValue)) return *d;
  if (const auto* i = std::get_if<std::int64_t>(&AValue)) return static_cast<double>(*i);
  if (const auto* t = std::get_if<Text>(&AValue)) {
    std::string ascii;
    double value = 0;
    if (AsciiOf(*t, ascii)) {
      const auto [end, error] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
      if (error == std::errc() && end == ascii.data() + ascii.size()) return value;
    }
    InvalidArgument(AIndex, *t);
  }
  InvalidArgument(AIndex, u"?");
}

bool ToBoolean(const TDBXValue& AValue, std::size_t AIndex) {
  if (IsNull(AValue)) return false;
  if (const auto* b = std::get_if<bool>(&AValue)) return *b;
  if (const auto* i = std::get_if<std::int64_t>(&AValue)) return *i != 0;
  if (const auto* t = std::get_if<Text>(&AValue)) {
    const Text upper = UpperCaseName(*t);
    if (upper == u"TRUE" || upper == u"1") return true;
    if (upper == u"FALSE" || upper == u"0") return false;
    InvalidArgument(AIndex, *t);
  }
  InvalidArgument(AIndex, u"?");
}

// AValue in the form of AType, or its empty value of that form when null.
template <class TForm>
TDBXValue Exactly(const TDBXValue& AValue, std::size_t AIndex, bool ANullable) {
  if (IsNull(AValue)) return ANullable ? TDBXValue() : TDBXValue(TForm{});
  if (std::holds_alternative<TForm>(AValue)) return AValue;
  if (const auto* t = std::get_if<Text>(&AValue)) InvalidArgument(AIndex, *t);
  InvalidArgument(AIndex, u"?");
}

TDBXValue ToArgument(const TDBXValue& AValue, int ADataType, std::size_t AIndex) {
  switch (ADataType) {
    case dtAnsiString:
    case dtWideString:
    case dtBcd:
    case dtTimeStampOffset:
      return Exactly<Text>(AValue, AIndex, false);
    case dtBoolean:
      return ToBoolean(AValue, AIndex);
    case dtInt16:
    case dtInt32:
    case dtUInt16:
    case dtUInt32:
    case dtInt64:
    case dtUInt64:
    case dtInt8:
    case dtUInt8:
      return ToInteger(AValue, AIndex);
    case dtDouble:
    case dtCurrency:
    case dtSingle:
      return ToDouble(AValue, AIndex);
    case dtDate:
      return Exactly<TDBXDate>(AValue, AIndex, false);
    case dtTime:
      return Exactly<TDBXTime>(AValue, AIndex, false);
    case dtDateTime:
    case dtTimeStamp:
      return Exactly<TDBXTimeStamp>(AValue, AIndex, false);
    case dtTable:
      return Exactly<TDBXTablePtr>(AValue, AIndex, true);
    case dtBinaryBlob:
      return Exactly<TDBXBytes>(AValue, AIndex, true);
    case dtJsonValue:
      return Exactly<TDBXJsonText>(AValue, AIndex, true);
    case dtDBXConnection:
      return TDBXValue();
    case dtVariant:
      return AValue;
    default:
      throw Exception(Fill(server_method_messages::kUnknownParameterType,
                           {Number(static_cast<long long>(AIndex)), Number(ADataType)}));
  }
}

}  // namespace

TDBXParameterDirection ParameterDirectionOf(const TDSParameterDescription& AParameter) {
  if (type_mapping::IsValueObject(AParameter.Type) ||
      AParameter.Passing == TDSParameterPassing::Reference)
    return pdInOut;
  return AParameter.Passing == TDSParameterPassing::Out ? pdOut : pdIn;
}

TDBXParameterList BuildParameterList(const TDSMethod& AMethod, bool* AHasOutOrReturn) {
  const auto codeOf = [](const TDSTypeDescription& AType, TDSParameterPassing APassing) {
    const std::optional<int> code = type_mapping::TypeCodeOf(AType, APassing);
    if (!code) throw Exception(Fill(server_method_messages::kUnknownDataType, {AType.Name}));
    return *code;
  };
  TDBXParameterList list;
  bool hasOutOrReturn = false;
  for (const TDSParameterDescription& declared : AMethod.Description->Parameters) {
    TDBXParameter parameter;
    parameter.Name = declared.Name;
    parameter.DataType = codeOf(declared.Type, declared.Passing);
    parameter.SubType = type_mapping::SubTypeOf(declared.Type);
    parameter.Direction = ParameterDirectionOf(declared);
    if (type_mapping::IsValueObject(declared.Type) &&
        declared.Passing == TDSParameterPassing::Reference)
      parameter.Flags |= vtfValueParameter;
    if (parameter.Direction != pdIn) hasOutOrReturn = true;
    list.push_back(std::move(parameter));
  }
  if (const auto& result = AMethod.Description->ReturnType) {
    TDBXParameter parameter;
    parameter.Name = u"ReturnParameter";
    parameter.Direction = pdReturn;
    parameter.DataType = codeOf(*result, TDSParameterPassing::Value);
    parameter.SubType = type_mapping::SubTypeOf(*result);
    hasOutOrReturn = true;
    list.push_back(std::move(parameter));
  }
  if (AHasOutOrReturn) *AHasOutOrReturn = hasOutOrReturn;
  return list;
}

TDSServerMethod::TDSServerMethod(TDSMethodInfoPtr AMethodInfo, TDSServerConnection& AConnection,
                                 TDSServerMethodProvider& AProvider)
    : FMethodInfo(std::move(AMethodInfo)), FConnection(AConnection), FProvider(AProvider) {}

TDSServerMethod::~TDSServerMethod() { DestroyInstance(); }

void* TDSServerMethod::MethodInstance() const {
  if (!FInstance.Instance) return nullptr;
  return MethodInstanceOf(FMethodInfo->ClassInfo->DSClass, Method(), FInstance.Instance);
}

void TDSServerMethod::AcquireInstance() {
  FInstance = FProvider.GetServerMethodInstance(FConnection, *FMethodInfo);
}

void TDSServerMethod::DestroyInstance() noexcept {
  if (!FInstance.Owned) return;
  FConnection.DestroyInstance(ServerClass(), FMethodInfo->ClassInfo->DSClass,
                              std::move(FInstance.Owned));
  FInstance = {};
}

void TDSServerMethod::RenewInstance() {
  DestroyInstance();
  AcquireInstance();
}

void TDSServerMethod::ApplyLiteralArguments(const std::vector<Text>& AArguments) {
  const std::size_t declared = Method().Description->Parameters.size();
  if (AArguments.size() > declared) {
    throw TDBXError(server_method_messages::kGeneralErrorCode,
                    Fill(server_method_messages::kTooManyLiterals, {FMethodInfo->MethodAlias}));
  }
  for (std::size_t i = 0; i < AArguments.size(); ++i) {
    FParameters[i].Value = AArguments[i];
    FParameters[i].Flags |= vtfLiteral;
  }
  FParameterTypeChanged = true;
}

void TDSServerMethod::Invoke(const std::vector<TDBXTablePtr>& AReceivedTables) {
  if (!FInstance.Instance) AcquireInstance();
  const TDSMethodDescription& method = *Method().Description;
  const std::size_t count = method.Parameters.size();

  // Arguments are built aside, so that a failure leaves the parameter list as it was. A text
  // the client sent is dropped after the call anyway: it is moved, not copied, once nothing
  // can fail any more (a signed batch is megabytes of text).
  std::vector<TDBXValue> arguments(count);
  std::vector<std::size_t> moved;
  std::size_t nextTable = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const TDBXParameter& parameter = FParameters[i];
    if (parameter.Direction == pdIn && !(parameter.Flags & vtfLiteral) &&
        std::holds_alternative<Text>(parameter.Value) &&
        (parameter.DataType == dtAnsiString || parameter.DataType == dtWideString)) {
      moved.push_back(i);
      continue;
    }
    TDBXValue value = parameter.Direction == pdOut ? TDBXValue() : parameter.Value;
    if (parameter.DataType == dtTable && parameter.Direction != pdOut && !IsNull(value)) {
      if (nextTable >= AReceivedTables.size()) {
        throw Exception(
            Fill(server_method_messages::kMissingTable, {Number(static_cast<long long>(i))}));
      }
      value = AReceivedTables[nextTable++];
    }
    arguments[i] = type_mapping::IsValueObject(method.Parameters[i].Type)
                       ? std::move(value)
                       : ToArgument(value, parameter.DataType, i);
  }

  for (const std::size_t i : moved) arguments[i] = std::move(FParameters[i].Value);
  TDBXValue result;
  try {
    result = method.Call(MethodInstance(), arguments);
  } catch (...) {
    if (arguments.size() == count)
      for (const std::size_t i : moved) FParameters[i].Value = std::move(arguments[i]);
    throw;
  }
  if (arguments.size() != count) throw Exception(u"Argument list changed by " + method.Name);

  FHasTableResult = false;
  for (std::size_t i = 0; i < FParameters.size(); ++i) {
    TDBXParameter& parameter = FParameters[i];
    switch (parameter.Direction) {
      case pdOut:
      case pdInOut:
        parameter.Value = std::move(arguments[i]);
        break;
      case pdReturn:
        parameter.Value = std::move(result);
        break;
      default:
        continue;
    }
    if (parameter.DataType == dtTable) FHasTableResult = true;
  }
}
