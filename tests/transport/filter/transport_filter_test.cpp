#include "transport/filter/transport_filter.h"

#include <gtest/gtest.h>

#include "tests/support/error_of.h"
#include "tests/transport/filter/fake_filters.h"
#include "transport/dbx_error.h"
#include "transport/filter/compression_filter.h"
#include "transport/filter/filter_format.h"
#include "transport/filter/filter_list_json.h"

namespace {

using namespace fake_filters;

const std::string kServerList =
    R"({"ZLibCompression":{"FilterUnit":"DbxCompressionFilter","CompressMoreThan":"1024"}})";

std::int32_t Threshold(TTransportFilter* AFilter) {
  return dynamic_cast<TTransportCompressionFilter&>(*AFilter).GetMinThreshold();
}

}  // namespace

TEST(TransportFilterFactoryTest, KnowsOnlyZLibCompressionIgnoringCase) {
  EXPECT_EQ(TTransportFilterFactory::RegisteredFiltersId(), std::vector<Text>{u"ZLibCompression"});
  for (const Text id : {u"ZLibCompression", u"zlibcompression"}) {
    auto filter = TTransportFilterFactory::CreateFilter(id);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(filter->Id(), u"ZLibCompression");
  }
  for (const Text id : {u"PC1", u"RSA", u""})
    EXPECT_EQ(TTransportFilterFactory::CreateFilter(id), nullptr);
}

TEST(TransportFilterFactoryTest, RegistersAndUnregistersClasses) {
  {
    TScopedRegistration xorFilter(&CreateXor);
    EXPECT_NE(TTransportFilterFactory::CreateFilter(u"TESTXOR"), nullptr);
  }
  EXPECT_EQ(TTransportFilterFactory::CreateFilter(u"TestXor"), nullptr);
}

TEST(TransportFilterItemTest, ConfiguredPropertyReachesFilterOnNextGet) {
  TTransportFilterCollection filters;
  ASSERT_EQ(filters.AddFilter(u"ZLibCompression"), 0);
  TTransportFilterItem* item = filters.GetItem(0);
  EXPECT_EQ(item->GetFilterProperties(), (TFilterProperties{{u"CompressMoreThan", u"1024"}}));
  item->SetFilterPropertiesText(u"CompressMoreThan=300\r\n");
  EXPECT_EQ(Threshold(filters.GetFilter(0)), 300);
  item->SetFilterProperty(u"compressmorethan", u"");
  EXPECT_EQ(ErrorOf([&] { filters.GetFilter(0); }).Message, u"'' is not a valid integer value");
}

TEST(TransportFilterItemTest, ChangingIdReplacesFilter) {
  TTransportFilterItem item;
  EXPECT_EQ(ErrorOf([&] { item.SetFilterId(u"PC1"); }).Message, u"Illegal argument");
  item.SetFilterId(u"ZLibCompression");
  ASSERT_NE(item.GetFilter(), nullptr);
  EXPECT_EQ(item.GetFilterId(), u"ZLibCompression");
}

TEST(TransportFilterCollectionTest, AddsFindsAndRemovesFilters) {
  TTransportFilterCollection filters;
  EXPECT_EQ(filters.AddFilter(Text()), -1);
  EXPECT_EQ(filters.AddFilter(u"PC1"), -1);
  EXPECT_EQ(filters.AddFilter(TTransportFilterPtr()), -1);
  EXPECT_EQ(filters.AddFilter(u"ZLibCompression"), 0);
  EXPECT_EQ(filters.AddFilter(CreateXor()), 1);
  EXPECT_EQ(filters.GetFilterIdList(), (std::vector<Text>{u"ZLibCompression", u"TestXor"}));
  EXPECT_EQ(filters.GetFilter(u"TestXor"), filters.GetFilter(1));
  EXPECT_EQ(filters.GetFilter(u"testxor"), nullptr);  // letter case counts in a list
  EXPECT_EQ(filters.GetFilter(2), nullptr);
  EXPECT_EQ(filters.GetFilter(-1), nullptr);
  EXPECT_EQ(filters.GetFilter(1)->GetCollectionFilter(u"ZLibCompression"), filters.GetFilter(0));
  filters.RemoveFilter(0);
  EXPECT_EQ(filters.GetFilterIdList(), std::vector<Text>{u"TestXor"});
}

TEST(TransportFilterCollectionTest, WritesListOfEachPhase) {
  TTransportFilterCollection filters;
  filters.AddFilter(u"ZLibCompression");
  EXPECT_EQ(filters.ToJSON(), kServerList);
  EXPECT_EQ(filters.ToJSON().size(), 83u);
  filters.AddFilter(CreateKey());
  filters.AddFilter(CreateXor());
  filters.GetFilter(2)->SetParameterValue(u"Key", u"a\"\\/\b\t\n\f\r\x01\u00e9\u20ac");
  EXPECT_EQ(
      filters.ToJSON(false),
      kServerList.substr(0, 82) + R"(,"TestXor":{"Key":"a\"\\\/\b\t\n\f\r\u0001\u00E9\u20AC"}})");
  EXPECT_EQ(filters.ToJSON(true), R"({"TestKey":{"Key":null}})");
  EXPECT_EQ(TTransportFilterCollection().ToJSON(), "{}");
}

TEST(TransportFilterCollectionTest, HandshakeCompletesOnEveryFilter) {
  TTransportFilterCollection filters;
  filters.AddFilter(u"ZLibCompression");
  filters.AddFilter(CreateXor());
  filters.StartHandshake();
  EXPECT_TRUE(filters.GetFilter(0)->GetHandshakeStarted());
  EXPECT_TRUE(filters.HandshakeComplete());
  EXPECT_FALSE(filters.GetFilter(0)->GetHandshakeStarted());
  EXPECT_FALSE(filters.GetFilter(1)->GetHandshakeStarted());
}

TEST(TransportFilterCollectionTest, PeerValuesReplaceOwnAndNewFiltersAppendLastFirst) {
  TScopedRegistration a(&CreateA), b(&CreateB);
  TTransportFilterCollection filters;
  filters.AddFilter(u"ZLibCompression");
  filters.GetFilter(0)->SetServerInstance(true);
  ASSERT_TRUE(filters.FromJSON(
      R"({"TestA":{"Key":"1"},"ZLibCompression":{"CompressMoreThan":100},"TestB":{},"TestA":{"Key":"2"}})"));
  EXPECT_EQ(filters.GetFilterIdList(), (std::vector<Text>{u"ZLibCompression", u"TestA", u"TestB"}));
  EXPECT_EQ(Threshold(filters.GetFilter(0)), 100);
  // Applied last to first: the first member's value is the one that stays.
  EXPECT_EQ(filters.GetFilter(1)->GetParameterValue(u"Key"), u"1");
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(filters.GetFilter(i)->GetServerInstance());
    EXPECT_TRUE(filters.GetFilter(i)->GetHandshakeStarted());
    EXPECT_EQ(filters.GetFilter(i)->GetFilterCollection(), &filters);
  }
}

TEST(TransportFilterCollectionTest, PeerCannotMultiplyFiltersThroughLetterCase) {
  // Each letter-case variant would be a compression filter of its own that every block passes.
  std::string variants;
  for (int mask = 0; mask < 64; ++mask) {
    std::string id = "zlibcompression";
    for (int bit = 0; bit < 6; ++bit) {
      if (mask & (1 << bit)) id[static_cast<std::size_t>(bit)] -= 'a' - 'A';
    }
    if (!variants.empty()) variants += ',';
    variants.append(1, '"').append(id).append("\":{}");
  }
  TTransportFilterCollection filters;
  filters.AddFilter(u"ZLibCompression");
  EXPECT_FALSE(filters.FromJSON("{" + variants + "}"));
  EXPECT_LE(filters.Count(), filter_format::kMaxFilters);

  // A list within the bound but adding past it is refused as well.
  TTransportFilterCollection full;
  for (int i = 1; i < filter_format::kMaxFilters; ++i) full.AddFilter(u"ZLibCompression");
  EXPECT_FALSE(full.FromJSON(R"({"zlibcompression":{},"ZLIBCOMPRESSION":{}})"));
  EXPECT_LE(full.Count(), filter_format::kMaxFilters);
}

TEST(TransportFilterCollectionTest, ReportsListsItCannotApply) {
  struct Case {
    const char* name;
    std::string list;
    Text error;  // empty: FromJSON answers false
  };
  const Case kCases[] = {
      {"not json", "{", u""},
      {"array", "[]", u""},
      {"member not an object", R"({"ZLibCompression":1})", u""},
      {"boolean value", R"({"ZLibCompression":{"CompressMoreThan":true}})", u""},
      {"nested object value", R"({"ZLibCompression":{"CompressMoreThan":{}}})", u""},
      {"trailing bytes", R"({"ZLibCompression":{}} x)", u""},
      {"bad escape", R"({"ZLib\qCompression":{}})", u""},
      {"unknown filter", R"({"PC1":{"Key":"x"}})",
       u"Communication filter PC1 is not registered. Filter class needs to be registered in order "
       u"to communicate with the server."},
      {"rejected unit", R"({"ZLibCompression":{"FilterUnit":"Zip"}})",
       u"Filter ZLibCompression rejected setup parameter FilterUnit given value Zip. At this point "
       u"the server communication is not possible due to this incompatibility."},
      {"null threshold", R"({"ZLibCompression":{"CompressMoreThan":null}})",
       u"'' is not a valid integer value"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TTransportFilterCollection filters;
    filters.AddFilter(u"ZLibCompression");
    if (c.error.empty()) {
      EXPECT_FALSE(filters.FromJSON(c.list));
    } else {
      EXPECT_EQ(ErrorOf([&] { filters.FromJSON(c.list); }).Message, c.error);
    }
  }
}

TEST(FilterListJsonTest, ReadsStandardJsonAndWritesCompactAscii) {
  const auto list = ParseFilterList(
      " { \"A\\u00e9\" : { \"p\" : \"x\\/y\" , \"q\" : -1.5e+3 , \"r\" : null } , \"B\" : { } } ");
  ASSERT_TRUE(list);
  ASSERT_EQ(list->size(), 2u);
  EXPECT_EQ((*list)[0].FilterId, u"A\u00e9");
  EXPECT_EQ((*list)[0].Parameters,
            (std::vector<std::pair<Text, Text>>{{u"p", u"x/y"}, {u"q", u"-1.5e+3"}, {u"r", u""}}));
  EXPECT_EQ(WriteFilterList(*list), R"({"A\u00E9":{"p":"x\/y","q":"-1.5e+3","r":null},"B":{}})");
  for (const char* bad :
       {"", "{", "{}}", "{\"a\"}", "{\"a\":{\"p\":01}}", "{\"a\":{\"p\":\"\x01\"}}",
        "{\"a\":{\"p\":\"\\u12\"}}", "{\"a\":{},}", "{\"a\":{\"p\":-}}"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(ParseFilterList(bad));
  }
}
