#pragma once

// Error codes and texts of the method registry and invocation; clients see them in error
// replies, so they are kept exactly.

#include <initializer_list>
#include <string_view>

#include "platform/text.h"

namespace server_method_messages {

inline constexpr int kNoClassCode = 29;
inline constexpr std::string_view kNoClass =
    "OnGetClass event not set or it did not provide a class reference";
inline constexpr int kDuplicateClassCode = 102;
inline constexpr std::string_view kDuplicateClass =
    "%s class has already been added to the server class list";
inline constexpr int kDuplicateMethodCode = 103;
inline constexpr std::string_view kDuplicateMethod =
    "%s method has already been added to the server method list";
inline constexpr int kClassLoadCode = 104;
inline constexpr int kMethodNotFoundCode = 105;
inline constexpr std::string_view kMethodNotFound = "%s method not found in the server method list";
inline constexpr int kUnknownLifeCycleCode = 0;
inline constexpr std::u16string_view kUnknownLifeCycle = u"Unknown LifeCycle:  ";
inline constexpr std::string_view kUnknownDataType = "Unknown data type: %s";
inline constexpr std::string_view kUnknownParameterType = "Unknown data type for parameter %d: %d";

// Our own texts.
inline constexpr int kGeneralErrorCode = 0;
inline constexpr std::string_view kRegisteredAtStart =
    "%s was registered at server start and cannot be dropped";
inline constexpr std::string_view kTooManyLiterals =
    "%s has fewer parameters than the literal arguments given";
inline constexpr std::string_view kNoSuchMethodInClass = "%s method not found in class %s";
inline constexpr std::string_view kClassNotFound = "%s class not found in the server class list";
inline constexpr std::string_view kClassNotKnown = "%s class is not known to the server";
inline constexpr std::string_view kServerNotStarted = "The server is not started";
inline constexpr std::string_view kMissingColumn = "The table has no %s column";
inline constexpr std::string_view kNotAText = "Row %d of the table holds no text in column %s";
inline constexpr std::string_view kRowNamesNoClass = "Row %d of the table names no class";
inline constexpr std::string_view kRowNamesNoMethod = "Row %d of the table names no method";
inline constexpr std::string_view kNoDatabase =
    "Database connection \"%s\" is not available: no database is configured on this server";
inline constexpr std::string_view kMissingTable = "No table was received for parameter %d";
inline constexpr std::string_view kInvalidArgument = "Invalid value for parameter %d: %s";
inline constexpr std::string_view kProviderNotExported = "Provider not exported: %s";

// APattern with each "%s" or "%d" replaced by the next of AArgs, in order.
inline Text Fill(std::string_view APattern, std::initializer_list<TextView> AArgs) {
  Text out;
  auto next = AArgs.begin();
  for (std::size_t i = 0; i < APattern.size(); ++i) {
    if (APattern[i] == '%' && i + 1 < APattern.size() &&
        (APattern[i + 1] == 's' || APattern[i + 1] == 'd') && next != AArgs.end()) {
      out += *next++;
      ++i;
    } else {
      out += static_cast<char16_t>(static_cast<unsigned char>(APattern[i]));
    }
  }
  return out;
}

}  // namespace server_method_messages
