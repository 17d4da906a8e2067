// The log's line store gives back every line as it was appended, whether it
// was kept in one byte per character or in two, across the chunks it fills.

#include <QStringList>
#include <gtest/gtest.h>

#include "LogLines.h"

namespace {

QString Pair() { return QString::fromUtf8("\xF0\x9F\x98\x80"); } // one character, two code units

TEST(LogLines, EveryLineComesBackAsAppended) {
  const QStringList lines = {
      "2024-05-07 14:03:09 a/b=3",
      "",
      QString::fromUtf8("caf\u00e9 \u00ff"),          // Latin-1, one byte each
      QString::fromUtf8("\u20ac after one Latin-1 line"), // wide, at an odd offset
      "x" + Pair() + "y",
      QString(70000, QLatin1Char('l')),                 // longer than a chunk
      QString(40000, QChar(0x3b1)),                     // wide and longer than a chunk's rest
      QString(QChar(0)) + "nul",
  };
  TLogLines store;
  for (int round = 0; round < 3; ++round)
    for (const QString &line : lines)
      store.Append(line);
  ASSERT_EQ(store.Count(), 3 * lines.size());
  for (qsizetype i = 0; i < store.Count(); ++i)
    EXPECT_EQ(store.Line(i), lines[i % lines.size()]) << "line " << i;
  EXPECT_EQ(store.Text(), (lines + lines + lines).join('\n'));
}

TEST(LogLines, ManySmallLinesFillChunkAfterChunk) {
  TLogLines store;
  for (int i = 0; i < 20000; ++i)
    store.Append(QStringLiteral("%1 sensors/t%2=%3").arg(i).arg(i % 7).arg(i % 2 ? "21.5" : "\u00b0"));
  ASSERT_EQ(store.Count(), 20000);
  for (int i : {0, 1, 4095, 4096, 12345, 19999})
    EXPECT_EQ(store.Line(i), QStringLiteral("%1 sensors/t%2=%3").arg(i).arg(i % 7).arg(i % 2 ? "21.5" : "\u00b0"));
}

TEST(LogLines, ClearEmptiesTheStoreForNewLines) {
  TLogLines store;
  store.Append(u"old");
  store.Append(QString::fromUtf8("\u20ac"));
  store.Clear();
  EXPECT_EQ(store.Count(), 0);
  EXPECT_EQ(store.Text(), "");
  store.Append(u"new");
  EXPECT_EQ(store.Text(), "new");
}

TEST(LogLines, KeepLastKeepsTheNewestBehindAFirstLine) {
  TLogLines store;
  for (int i = 0; i < 10000; ++i)
    store.Append(i % 3 ? QStringLiteral("line %1").arg(i) : QStringLiteral("\u20ac %1").arg(i));
  store.KeepLast(4, u"dropped");
  EXPECT_EQ(store.Text(), QStringList({"dropped", "\u20ac 9996", "line 9997", "line 9998", "\u20ac 9999"}).join('\n'));
  store.Append(u"next");
  EXPECT_EQ(store.Line(5), "next");
  store.KeepLast(100, u"all kept"); // more than there are: every line stays
  EXPECT_EQ(store.Count(), 7);
  EXPECT_EQ(store.Line(0), "all kept");
  EXPECT_EQ(store.Line(1), "dropped");
}

} // namespace
