#include "transport/filter/transport_filter.h"

#include <algorithm>
#include <map>
#include <shared_mutex>

#include "transport/dbx_error.h"
#include "transport/filter/compression_filter.h"
#include "transport/filter/filter_list_json.h"
#include "transport/filter/filter_messages.h"

namespace {

struct TFilterRegistry {
  TFilterRegistry() {
    Classes.emplace(
        text::LowerAscii(TTransportCompressionFilter::kId),
        std::make_pair(Text(TTransportCompressionFilter::kId), &CreateCompressionFilter));
  }

  static TTransportFilterPtr CreateCompressionFilter() {
    return std::make_unique<TTransportCompressionFilter>();
  }

  std::shared_mutex Lock;
  // lower-case identifier -> (identifier as registered, class); guarded by Lock
  std::map<Text, std::pair<Text, TTransportFilterFactory::TFilterClass>> Classes;
};

TFilterRegistry& Registry() {
  static TFilterRegistry registry;
  return registry;
}

}  // namespace

// ---- TTransportFilter ----------------------------------------------------------------------

Text TTransportFilter::GetParameterValue(const Text&) const { return {}; }
bool TTransportFilter::SetParameterValue(const Text&, const Text&) { return false; }
bool TTransportFilter::SetConfederateParameter(const Text&, const Text&) { return false; }
void TTransportFilter::StartHandshake() { FHandshakeStarted = true; }
bool TTransportFilter::HandshakeComplete() {
  FHandshakeStarted = false;
  return true;
}
TTransportFilter* TTransportFilter::GetCollectionFilter(const Text& AFilterId) const {
  return FFilterCollection ? FFilterCollection->GetFilter(AFilterId) : nullptr;
}
std::vector<Text> TTransportFilter::GetParameters() const { return {}; }
std::vector<Text> TTransportFilter::GetUserParameters() const { return {}; }
void TTransportFilter::SetServerInstance(bool AValue) { FServerInstance = AValue; }
bool TTransportFilter::GetPublicKeyCryptograph() const { return false; }
bool TTransportFilter::GetServerInstance() const { return FServerInstance; }
bool TTransportFilter::GetClientInstance() const { return !GetServerInstance(); }
TTransportFilterCollection* TTransportFilter::GetFilterCollection() const {
  return FFilterCollection;
}
void TTransportFilter::SetFilterCollection(TTransportFilterCollection* AValue) {
  FFilterCollection = AValue;
}
bool TTransportFilter::GetHandshakeStarted() const { return FHandshakeStarted; }

// ---- TTransportFilterFactory ---------------------------------------------------------------

void TTransportFilterFactory::RegisterFilter(TFilterClass AFilterClass) {
  if (!AFilterClass) return;
  const Text id = AFilterClass()->Id();
  auto& registry = Registry();
  std::unique_lock lock(registry.Lock);
  registry.Classes[text::LowerAscii(id)] = {id, AFilterClass};
}

void TTransportFilterFactory::UnregisterFilter(const Text& AFilterId) {
  auto& registry = Registry();
  std::unique_lock lock(registry.Lock);
  registry.Classes.erase(text::LowerAscii(AFilterId));
}

TTransportFilterPtr TTransportFilterFactory::CreateFilter(const Text& AFilterId) {
  TFilterClass filterClass = nullptr;
  {
    auto& registry = Registry();
    std::shared_lock lock(registry.Lock);
    const auto found = registry.Classes.find(text::LowerAscii(AFilterId));
    if (found == registry.Classes.end()) return nullptr;
    filterClass = found->second.second;
  }
  try {
    return filterClass();
  } catch (...) {
    return nullptr;
  }
}

std::vector<Text> TTransportFilterFactory::RegisteredFiltersId() {
  auto& registry = Registry();
  std::shared_lock lock(registry.Lock);
  std::vector<Text> ids;
  for (const auto& entry : registry.Classes) ids.push_back(entry.second.first);
  return ids;
}

// ---- TTransportFilterItem ------------------------------------------------------------------

TTransportFilterItem::TTransportFilterItem(TTransportFilterPtr AFilter)
    : FFilter(std::move(AFilter)) {
  if (FFilter) FFilterId = FFilter->Id();
  RefillProperties();
}

void TTransportFilterItem::SetFilterId(const Text& AFilterId) {
  std::lock_guard lock(FLock);
  if (AFilterId == FFilterId) return;
  TTransportFilterPtr filter = TTransportFilterFactory::CreateFilter(AFilterId);
  if (!filter)
    throw TDBXError(filter_messages::kErrorCode, Text(filter_messages::kIllegalArgument));
  FFilter = std::move(filter);
  FFilterId = AFilterId;
  RefillProperties();
}

void TTransportFilterItem::RefillProperties() {
  FFilterProperties.clear();
  FFilterPropertiesChanged = false;
  if (!FFilter) return;
  for (const Text& name : FFilter->GetUserParameters())
    FFilterProperties.emplace_back(name, FFilter->GetParameterValue(name));
}

TTransportFilter* TTransportFilterItem::GetFilter() {
  std::lock_guard lock(FLock);
  if (FFilter && FFilterPropertiesChanged) {
    for (const auto& [name, value] : FFilterProperties) FFilter->SetParameterValue(name, value);
    FFilterPropertiesChanged = false;
  }
  return FFilter.get();
}

TFilterProperties TTransportFilterItem::GetFilterProperties() const {
  std::lock_guard lock(FLock);
  return FFilterProperties;
}

void TTransportFilterItem::SetFilterProperties(TFilterProperties AProperties) {
  std::lock_guard lock(FLock);
  FFilterProperties = std::move(AProperties);
  FFilterPropertiesChanged = true;
}

void TTransportFilterItem::SetFilterPropertiesText(TextView ALines) {
  TFilterProperties properties;
  while (!ALines.empty()) {
    const std::size_t end = std::min(ALines.find(u'\n'), ALines.size());
    TextView line = ALines.substr(0, end);
    ALines.remove_prefix(std::min(end + 1, ALines.size()));
    if (!line.empty() && line.back() == u'\r') line.remove_suffix(1);
    if (line.empty()) continue;
    const std::size_t equals = line.find(u'=');
    if (equals == TextView::npos) {
      properties.emplace_back(Text(line), Text());
    } else {
      properties.emplace_back(Text(line.substr(0, equals)), Text(line.substr(equals + 1)));
    }
  }
  SetFilterProperties(std::move(properties));
}

void TTransportFilterItem::SetFilterProperty(const Text& AName, const Text& AValue) {
  std::lock_guard lock(FLock);
  const Text key = text::LowerAscii(AName);
  auto found = std::find_if(FFilterProperties.begin(), FFilterProperties.end(),
                            [&](const auto& p) { return text::LowerAscii(p.first) == key; });
  if (found == FFilterProperties.end()) {
    FFilterProperties.emplace_back(AName, AValue);
  } else {
    found->second = AValue;
  }
  FFilterPropertiesChanged = true;
}

// ---- TTransportFilterCollection ------------------------------------------------------------

int TTransportFilterCollection::AddFilter(const Text& AFilterId) {
  if (AFilterId.empty()) return -1;
  return AddFilter(TTransportFilterFactory::CreateFilter(AFilterId));
}

int TTransportFilterCollection::AddFilter(TTransportFilterPtr AFilter) {
  if (!AFilter) return -1;
  AFilter->SetFilterCollection(this);
  FItems.push_back(std::make_unique<TTransportFilterItem>(std::move(AFilter)));
  return Count() - 1;
}

void TTransportFilterCollection::RemoveFilter(int AIndex) {
  if (AIndex >= 0 && AIndex < Count()) FItems.erase(FItems.begin() + AIndex);
}

TTransportFilterItem* TTransportFilterCollection::GetItem(int AIndex) const {
  return AIndex >= 0 && AIndex < Count() ? FItems[static_cast<std::size_t>(AIndex)].get() : nullptr;
}

TTransportFilter* TTransportFilterCollection::GetFilter(int AIndex) const {
  TTransportFilterItem* item = GetItem(AIndex);
  return item ? item->GetFilter() : nullptr;
}

TTransportFilter* TTransportFilterCollection::GetFilter(const Text& AId) const {
  for (const auto& item : FItems) {
    TTransportFilter* filter = item->GetFilter();
    if (filter && filter->Id() == AId) return filter;
  }
  return nullptr;
}

std::vector<Text> TTransportFilterCollection::GetFilterIdList() const {
  std::vector<Text> ids;
  for (const auto& item : FItems) ids.push_back(item->GetFilterId());
  return ids;
}

void TTransportFilterCollection::StartHandshake() {
  for (int i = 0; i < Count(); ++i)
    if (TTransportFilter* filter = GetFilter(i)) filter->StartHandshake();
}

bool TTransportFilterCollection::HandshakeComplete() {
  bool complete = true;
  for (int i = 0; i < Count(); ++i)
    if (TTransportFilter* filter = GetFilter(i)) complete = filter->HandshakeComplete() && complete;
  return complete;
}

std::string TTransportFilterCollection::ToJSON(bool APublicKeyPhase) const {
  TFilterList list;
  for (int i = 0; i < Count(); ++i) {
    const TTransportFilter* filter = GetFilter(i);
    if (!filter || filter->GetPublicKeyCryptograph() != APublicKeyPhase) continue;
    TFilterListEntry entry{filter->Id(), {}};
    for (const Text& name : filter->GetParameters())
      entry.Parameters.emplace_back(name, filter->GetParameterValue(name));
    list.push_back(std::move(entry));
  }
  return WriteFilterList(list);
}

bool TTransportFilterCollection::FromJSON(std::string_view AJson) {
  using namespace filter_messages;
  const std::optional<TFilterList> list = ParseFilterList(AJson);
  if (!list || list->size() > static_cast<std::size_t>(filter_format::kMaxFilters)) return false;
  // Last member first: deployed peers apply lists in this order, and new filters are
  // appended in it.
  for (auto entry = list->rbegin(); entry != list->rend(); ++entry) {
    TTransportFilter* filter = GetFilter(entry->FilterId);
    TTransportFilterPtr created;
    if (!filter) {
      if (Count() >= filter_format::kMaxFilters) return false;
      created = TTransportFilterFactory::CreateFilter(entry->FilterId);
      if (!created)
        throw TDBXError(kErrorCode, FormatMessage(kFilterNotRegistered, {entry->FilterId}));
      filter = created.get();
    }
    filter->SetServerInstance(false);
    filter->SetFilterCollection(this);
    filter->StartHandshake();
    for (const auto& [name, value] : entry->Parameters) {
      if (!filter->SetConfederateParameter(name, value))
        throw TDBXError(kErrorCode,
                        FormatMessage(kFilterRejectedParameter, {filter->Id(), name, value}));
    }
    if (created) AddFilter(std::move(created));
  }
  return true;
}
