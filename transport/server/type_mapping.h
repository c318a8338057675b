#pragma once

// The mapping of declared parameter and result types to the data type codes of the parameter
// model. Class types are mapped by what they descend from (the first matching line of the class
// table wins; any other class is a JSON value); other types by name, without regard to case,
// after C-style names are replaced by their Pascal equivalents. Pure functions; any thread.

#include <optional>

#include "transport/server/server_class_description.h"

namespace type_mapping {

// The Pascal name of a C-style type name ("int" → "Integer", "unsigned long" → "DWord", ...);
// any other name unchanged.
Text ReplaceCStyleName(TextView ATypeName);

// The data type code of a declared type passed as APassing; none when the type is unknown
// (a "WideString" passed by reference or out is unknown).
std::optional<int> TypeCodeOf(const TDSTypeDescription& AType,
                              TDSParameterPassing APassing = TDSParameterPassing::Value);

// The type descends from one of the value classes of the parameter model.
bool IsValueObject(const TDSTypeDescription& AType);

// 40 for a class type that is no value class, no JSON value, no database connection, no
// callback and not named "TDataSet" or "TParams"; else 0.
int SubTypeOf(const TDSTypeDescription& AType);

}  // namespace type_mapping
