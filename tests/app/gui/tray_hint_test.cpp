#include "app/gui/tray_hint.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(TrayHintTest, KeepsAtMost127CharactersAndNeverHalfAPair) {
  const Text pair = u"\U0001F512";  // one character, two code units
  struct Case {
    const char* name;
    Text hint;
    Text shown;
  };
  const Case kCases[] = {
      {"empty", u"", u""},
      {"short, CR kept", u"a\rb", u"a\rb"},
      {"126", Text(126, u'x'), Text(126, u'x')},
      {"127", Text(127, u'x'), Text(127, u'x')},
      {"128", Text(128, u'x'), Text(127, u'x')},
      {"500", Text(500, u'x'), Text(127, u'x')},
      {"pair ends at 127", Text(125, u'x') + pair + u"yy", Text(125, u'x') + pair},
      {"pair across the cut", Text(126, u'x') + pair, Text(126, u'x')},
      {"pair across the cut, more after", Text(126, u'x') + pair + u"z", Text(126, u'x')},
      {"accents", u"Configuração", u"Configuração"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TrayHintText(c.hint).toStdU16String(), c.shown);
  }
}

}  // namespace
