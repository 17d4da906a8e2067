// What the screen shows of long topics and values: a bounded prefix and the
// whole length; short texts unchanged.

#include <gtest/gtest.h>

#include "ShownText.h"

namespace {

TEST(ShownText, LongTextsAreCutAndSayTheirLength) {
  const QString pair = QString::fromUtf8("\xF0\x9F\x98\x80"); // one character, two code units
  struct Case {
    const char *name;
    QString text;
    qsizetype limit;
    QString shown;
  };
  const Case cases[] = {
      {"empty", "", 3, ""},
      {"at the limit", "abc", 3, "abc"},
      {"one over", "abcd", 3, QString::fromUtf8("abc\u2026 (4 characters)")},
      {"never half a surrogate pair", "ab" + pair, 3, QString::fromUtf8("ab\u2026 (4 characters)")},
      {"a pair inside the limit", pair + "cd", 3, pair + QString::fromUtf8("c\u2026 (4 characters)")},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ShownText(c.text, c.limit), c.shown);
  }
}

TEST(ShownText, LinesShortenNameAndValueEachAndSplitAtTheFirstEquals) {
  const QString longName(ShownChars + 5, u'n');
  const QString longValue(3 * ShownChars, u'v');
  const QString cutName = QString(ShownChars, u'n') + QString::fromUtf8("\u2026 (1005 characters)");
  const QString cutValue = QString(ShownChars, u'v') + QString::fromUtf8("\u2026 (3000 characters)");
  struct Case {
    const char *name;
    QString line;
    QString shown;
  };
  const Case cases[] = {
      {"short line as it is", "a/b=c=d", "a/b=c=d"},
      {"long value", "t=" + longValue, "t=" + cutValue},
      {"long topic", longName + "=x", cutName + "=x"},
      {"both", longName + "=" + longValue, cutName + "=" + cutValue},
      {"a value holding '='", "t=" + longValue + "=", "t=" + QString(ShownChars, u'v') +
                                                          QString::fromUtf8("\u2026 (3001 characters)")},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ShownLine(c.line), c.shown);
    const qsizetype equals = c.line.indexOf('=');
    EXPECT_EQ(ShownLine(c.line.left(equals), c.line.mid(equals + 1)), c.shown);
  }
}

} // namespace
