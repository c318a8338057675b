#pragma once

// Transport filters: objects that encode every block body a filtered channel sends and decode
// every body it receives (compression, for one), the ordered list that holds them and the
// process-wide registry that creates them by identifier.
//
// A filter belongs to one connection's list and is used by that connection's thread only. The
// transport's configured list (TTransportFilterCollection with its items) is shared: connection
// threads only copy filters out of it (see TDBXFilterSocketChannel::SetFilterList).
// Errors are TDBXError with the texts of filter_messages.h.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/text.h"

using TBytes = std::vector<std::uint8_t>;

class TTransportFilterCollection;
class TMemoryAccount;

class TTransportFilter {
 public:
  TTransportFilter() = default;
  TTransportFilter(const TTransportFilter&) = delete;
  TTransportFilter& operator=(const TTransportFilter&) = delete;
  virtual ~TTransportFilter() = default;

  virtual Text Id() const = 0;
  // Parameter values as texts; an unknown name reads empty and is refused when set.
  virtual Text GetParameterValue(const Text& AParamName) const;
  virtual bool SetParameterValue(const Text& AParamName, const Text& AParamValue);
  // A value the peer announced during negotiation.
  virtual bool SetConfederateParameter(const Text& AParamName, const Text& AParamValue);
  // Encodes a body about to be sent / decodes a body received.
  virtual TBytes ProcessInput(std::span<const std::uint8_t> AData) = 0;
  virtual TBytes ProcessOutput(std::span<const std::uint8_t> AData) = 0;
  virtual void StartHandshake();
  virtual bool HandshakeComplete();
  // The filter of that identifier in the same list, or none.
  virtual TTransportFilter* GetCollectionFilter(const Text& AFilterId) const;
  // Names of the parameters sent to the peer / the ones a user may set.
  virtual std::vector<Text> GetParameters() const;
  virtual std::vector<Text> GetUserParameters() const;
  virtual void SetServerInstance(bool AValue);
  // True for filters exchanged in the public-key phase of the negotiation.
  virtual bool GetPublicKeyCryptograph() const;
  virtual bool GetServerInstance() const;
  virtual bool GetClientInstance() const;
  virtual TTransportFilterCollection* GetFilterCollection() const;
  virtual void SetFilterCollection(TTransportFilterCollection* AValue);
  virtual bool GetHandshakeStarted() const;
  // The connection's share of the memory budget that decoding charges what it makes while it
  // grows; none (nothing charged) until the channel that owns the filter sets it.
  void SetMemoryAccount(std::shared_ptr<TMemoryAccount> AAccount) {
    FMemoryAccount = std::move(AAccount);
  }
  const std::shared_ptr<TMemoryAccount>& MemoryAccount() const { return FMemoryAccount; }

 private:
  std::shared_ptr<TMemoryAccount> FMemoryAccount;
  bool FServerInstance = false;
  TTransportFilterCollection* FFilterCollection = nullptr;  // the list it belongs to, not owned
  bool FHandshakeStarted = false;
};

using TTransportFilterPtr = std::unique_ptr<TTransportFilter>;

// Registry from identifier (letter case ignored) to filter class. Holds "ZLibCompression" from
// first use; other classes may register at start-up (tests register fakes). Guarded by a lock
// so that connection threads creating filters never race a registration.
class TTransportFilterFactory {
 public:
  using TFilterClass = TTransportFilterPtr (*)();

  // The identifier is taken from an instance's Id; registering an identifier again replaces it.
  static void RegisterFilter(TFilterClass AFilterClass);
  static void UnregisterFilter(const Text& AFilterId);
  // A new filter, or none for an unknown identifier or a constructor that raised.
  static TTransportFilterPtr CreateFilter(const Text& AFilterId);
  static std::vector<Text> RegisteredFiltersId();
};

// Property lines "name=value" of a configured filter.
using TFilterProperties = std::vector<std::pair<Text, Text>>;

// One configured filter: its identifier, its filter object and the property values a user set.
// Edited before the transport starts; GetFilter may be called by several connection threads.
class TTransportFilterItem {
 public:
  TTransportFilterItem() = default;
  explicit TTransportFilterItem(TTransportFilterPtr AFilter);

  const Text& GetFilterId() const { return FFilterId; }
  // A different identifier replaces the filter ("Illegal argument" when the factory knows no
  // such identifier) and refills the properties from the filter's user parameters.
  void SetFilterId(const Text& AFilterId);
  // The filter, after applying edited properties with SetParameterValue (which may raise).
  TTransportFilter* GetFilter();

  TFilterProperties GetFilterProperties() const;
  void SetFilterProperties(TFilterProperties AProperties);
  // Lines "name=value" separated by CR LF or LF, as the configuration stores them.
  void SetFilterPropertiesText(TextView ALines);
  void SetFilterProperty(const Text& AName, const Text& AValue);

 private:
  void RefillProperties();

  Text FFilterId;
  TTransportFilterPtr FFilter;
  TFilterProperties FFilterProperties;
  bool FFilterPropertiesChanged = false;
  mutable std::mutex
      FLock;  // guards FFilter's parameters and the properties while GetFilter applies them
};

// Ordered list of filter items; a connection's own list and the transport's configured one.
class TTransportFilterCollection {
 public:
  TTransportFilterCollection() = default;
  TTransportFilterCollection(const TTransportFilterCollection&) = delete;
  TTransportFilterCollection& operator=(const TTransportFilterCollection&) = delete;

  // Append; the new index, or -1 for an empty or unknown identifier or no filter.
  int AddFilter(const Text& AFilterId);
  int AddFilter(TTransportFilterPtr AFilter);
  void RemoveFilter(int AIndex);
  int Count() const { return static_cast<int>(FItems.size()); }
  TTransportFilterItem* GetItem(int AIndex) const;
  // None outside the range.
  TTransportFilter* GetFilter(int AIndex) const;
  // First filter whose Id equals AId exactly (letter case counts).
  TTransportFilter* GetFilter(const Text& AId) const;
  std::vector<Text> GetFilterIdList() const;
  void StartHandshake();
  // True when every filter's HandshakeComplete is; every filter is asked.
  bool HandshakeComplete();

  // The filter list text of the filters whose GetPublicKeyCryptograph equals APublicKeyPhase.
  std::string ToJSON(bool APublicKeyPhase = false) const;
  // Applies a peer's list, last member first: known filters take the peer's parameter values,
  // unknown ones are created and appended. False when AJson is not a well-formed filter list;
  // raises TDBXError for an unregistered filter or a refused parameter value.
  bool FromJSON(std::string_view AJson);

 private:
  std::vector<std::unique_ptr<TTransportFilterItem>> FItems;
};
