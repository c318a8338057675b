#pragma once

// A stand-in for TSMSignService with the same signature, for tests of the command protocol
// that need a known result: SignDocument answers its document unchanged, getListCertificate a
// fixed text, Misfit a value its type cannot carry. Also a class whose methods answer table
// results of a given number of rows.

#include <string>

#include "platform/exception.h"
#include "transport/server/server_class_description.h"

namespace echo_service {

inline constexpr std::u16string_view kCertificateList = u"EMPRESA=serial=0A|validate=x|issuer=AC";

struct TEchoService {};

inline const TDSClassDescription& EchoServiceClass() {
  static const TDSClassDescription description = [] {
    const auto string = TDSTypeDescription::Named(u"string");
    TDSClassDescription c;
    c.ClassName = u"TSMSignService";
    c.UnitName = u"tests.EchoService";
    c.Create = [] { return MakeInstance<TEchoService>(); };
    TDSMethodDescription& list = c.Methods.emplace_back();
    list.Name = u"getListCertificate";
    list.ReturnType = string;
    list.Call = [](void*, std::vector<TDBXValue>&) -> TDBXValue { return Text(kCertificateList); };
    TDSMethodDescription& sign = c.Methods.emplace_back();
    sign.Name = u"SignDocument";
    sign.Parameters = {{u"AXMLNF", string, TDSParameterPassing::Value},
                       {u"ASerialNumber", string, TDSParameterPassing::Value}};
    sign.ReturnType = string;
    sign.Call = [](void*, std::vector<TDBXValue>& AArgs) -> TDBXValue { return AArgs[0]; };
    TDSMethodDescription& fail = c.Methods.emplace_back();
    fail.Name = u"Fail";
    fail.Parameters = {{u"AText", string, TDSParameterPassing::Value}};
    fail.Call = [](void*, std::vector<TDBXValue>& AArgs) -> TDBXValue {
      throw Exception(std::get<Text>(AArgs[0]));
    };
    // Answers a value its declared type cannot carry, so the reply row cannot be encoded.
    TDSMethodDescription& misfit = c.Methods.emplace_back();
    misfit.Name = u"Misfit";
    misfit.ReturnType = TDSTypeDescription::Named(u"Integer");
    misfit.Call = [](void*, std::vector<TDBXValue>&) -> TDBXValue { return Text(u"x"); };
    return c;
  }();
  return description;
}

// TTables.Rows(ACount, AWidth): a table of ACount rows with an integer column (the row number)
// and a text column of AWidth characters; TTables.Empty: a table without rows.
inline const TDSClassDescription& TablesClass() {
  static const TDSClassDescription description = [] {
    const auto reader = TDSTypeDescription::Class(u"TDBXReader", u"Data.DBXCommon");
    const auto integer = TDSTypeDescription::Named(u"Integer");
    TDSClassDescription c;
    c.ClassName = u"TTables";
    c.UnitName = u"tests.Tables";
    c.Create = [] { return MakeInstance<TEchoService>(); };
    const auto columns = [] {
      return std::vector<TDBXColumn>{{u"Number", dtInt32, 0, 0, 0, 0, 0, pdOut},
                                     {u"Text", dtWideString, 0, 0, 0, 0, 0, pdOut}};
    };
    TDSMethodDescription& rows = c.Methods.emplace_back();
    rows.Name = u"Rows";
    rows.Parameters = {{u"ACount", integer, TDSParameterPassing::Value},
                       {u"AWidth", integer, TDSParameterPassing::Value}};
    rows.ReturnType = reader;
    rows.Call = [columns](void*, std::vector<TDBXValue>& AArgs) -> TDBXValue {
      auto table = std::make_shared<TDBXTable>();
      table->Columns = columns();
      const auto count = std::get<std::int64_t>(AArgs[0]);
      const auto width = static_cast<std::size_t>(std::get<std::int64_t>(AArgs[1]));
      for (std::int64_t i = 0; i < count; ++i)
        table->Rows.push_back({i, Text(width, static_cast<char16_t>(u'a' + i % 26))});
      return TDBXTablePtr(table);
    };
    TDSMethodDescription& empty = c.Methods.emplace_back();
    empty.Name = u"Empty";
    empty.ReturnType = reader;
    empty.Call = [columns](void*, std::vector<TDBXValue>&) -> TDBXValue {
      auto table = std::make_shared<TDBXTable>();
      table->Columns = columns();
      return TDBXTablePtr(table);
    };
    // A table whose second row holds a text in its integer column.
    TDSMethodDescription& misfit = c.Methods.emplace_back();
    misfit.Name = u"Misfit";
    misfit.ReturnType = reader;
    misfit.Call = [columns](void*, std::vector<TDBXValue>&) -> TDBXValue {
      auto table = std::make_shared<TDBXTable>();
      table->Columns = columns();
      table->Rows.push_back({std::int64_t{1}, Text(u"a")});
      table->Rows.push_back({Text(u"2"), Text(u"b")});
      return TDBXTablePtr(table);
    };
    return c;
  }();
  return description;
}

}  // namespace echo_service
