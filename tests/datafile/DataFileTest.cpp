#include "DataFile.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QTimeZone>
#include <ctime>
#include <gtest/gtest.h>

namespace {

TEST(DataFile, file_names_replace_slashes_and_stay_in_the_folder) {
  struct Case {
    QString Topic, File;
  };
  const Case cases[] = {
      {"home/kitchen/temp", "home-kitchen-temp.csv"},
      {"/x", "-x.csv"},
      {"a=b", "a=b.csv"},
      {"..", "...csv"},
      {"../../etc/passwd", "..-..-etc-passwd.csv"},
      {"a\\b c", "a\\b c.csv"},
      {"", ".csv"},
      {"Ünï/cödé", "Ünï-cödé.csv"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Topic.toStdString());
    const QString path = DataFileName("/data/dir", c.Topic);
    EXPECT_EQ(path, "/data/dir/" + c.File);
    EXPECT_EQ(QFileInfo(path).absolutePath(), "/data/dir");
  }
}

TEST(DataFile, topic_with_nul_is_refused) {
  const QString topic = QStringLiteral("a") + QChar(u'\0') + QStringLiteral("b");
  try {
    DataFileName("/data", topic);
    FAIL() << "no error";
  } catch (const EDataFileError &e) {
    EXPECT_STREQ(e.what(), "The topic \"a\\0b\" holds a NUL character and cannot name a data file");
  }
}

TEST(DataFile, time_stamps_carry_milliseconds_and_the_offset_in_effect) {
  struct Case {
    const char *Zone;
    qint64 UtcMs; // milliseconds since the epoch
    const char *Stamp;
  };
  const Case cases[] = {
      {"UTC", 1715090589045, "2024-05-07T14:03:09.045Z"},
      {"America/Sao_Paulo", 1715101389045, "2024-05-07T14:03:09.045-03:00"},
      {"Asia/Kolkata", 1715101389045, "2024-05-07T22:33:09.045+05:30"},
      {"America/St_Johns", 1715090589000, "2024-05-07T11:33:09.000-02:30"},
      {"Europe/Berlin", 1704067199999, "2024-01-01T00:59:59.999+01:00"},
      // The hour that repeats when daylight saving time ends: each pass keeps
      // its own offset, so the two readings of 01:30 name different instants.
      {"America/New_York", 1730611800000, "2024-11-03T01:30:00.000-04:00"},
      {"America/New_York", 1730615400000, "2024-11-03T01:30:00.000-05:00"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Stamp);
    const QTimeZone zone(c.Zone);
    ASSERT_TRUE(zone.isValid());
    EXPECT_EQ(DataTimeStamp(QDateTime::fromMSecsSinceEpoch(c.UtcMs, zone)), c.Stamp);
  }
}

TEST(DataFile, lines_are_written_in_the_code_page_with_crlf) {
  const auto windows = TCodePage::Windows1252();
  const auto utf8 = TCodePage::Utf8();
  const QDateTime moment = QDateTime::fromMSecsSinceEpoch(1715101389045, QTimeZone("America/Sao_Paulo"));
  struct Case {
    QString Value;
    const TCodePage &CodePage;
    std::string Line;
  };
  const Case cases[] = {
      {"23.5", *windows, "2024-05-07T14:03:09.045-03:00;23.5\r\n"},
      {"café;a\nb", *windows, "2024-05-07T14:03:09.045-03:00;caf\xE9;a\nb\r\n"},
      {"café", *utf8, "2024-05-07T14:03:09.045-03:00;caf\xC3\xA9\r\n"},
      {"", *windows, "2024-05-07T14:03:09.045-03:00;\r\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Line);
    EXPECT_EQ(DataLine(c.Value, c.CodePage, DataTimeStamp(moment)), c.Line);
  }
}

// The test program runs with TZ three hours behind UTC.
TEST(DataFile, the_stamp_clock_gives_local_time) {
  TDataStampClock clock;
  const QString stamp = clock.Stamp(QDateTime::currentMSecsSinceEpoch());
  EXPECT_TRUE(QRegularExpression(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}-03:00$)").match(stamp).hasMatch())
      << stamp.toStdString();
}

// The clock works a second out once and then only adds milliseconds: run
// through moments in order, across seconds, a leap back to the old year and
// both ends of daylight saving time, it must agree with DataTimeStamp.
TEST(DataFile, the_stamp_clock_agrees_with_the_time_stamp_across_seconds_and_offset_changes) {
  const QByteArray savedZone = qgetenv("TZ");
  qputenv("TZ", "America/New_York");
  tzset();
  const qint64 moments[] = {
      1710054000000, 1710054000999, 1710054001000, // 2024-03-10 02:00 EST becomes 03:00 EDT
      1710053999999, 1704067199999, 1704067200000, // back in time, to the turn of the year
      1730611800000, 1730613599999, 1730613600000, // 2024-11-03: 01:59:59.999 EDT, then 01:00 EST
      1730615400000, 1730615400001, -1,            // the second 01:30, and the moment before 1970
  };
  TDataStampClock clock;
  for (qint64 ms : moments) {
    SCOPED_TRACE(ms);
    EXPECT_EQ(clock.Stamp(ms), DataTimeStamp(QDateTime::fromMSecsSinceEpoch(ms)));
  }
  qputenv("TZ", savedZone);
  tzset();
}

} // namespace
