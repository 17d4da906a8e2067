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
      {"café;a\nb", *windows, "2024-05-07T14:03:09.045-03:00;\"caf\xE9;a\nb\"\r\n"},
      {"café", *utf8, "2024-05-07T14:03:09.045-03:00;caf\xC3\xA9\r\n"},
      {"", *windows, "2024-05-07T14:03:09.045-03:00;\r\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Line);
    EXPECT_EQ(DataLine(c.Value, c.CodePage, DataTimeStamp(moment)), c.Line);
  }
}

// Values a CSV reader would split or end early are one quoted field; all
// others stay exactly as they always were written.
TEST(DataFile, records_quote_only_values_a_csv_reader_would_misread) {
  const auto utf8 = TCodePage::Utf8();
  struct Case {
    std::string Value, Written;
  };
  const Case cases[] = {
      {"23.5", "23.5"},
      {"a \"quoted\" word", "a \"quoted\" word"}, // an inner quote alone is not a field's quote
      {"", ""},
      {std::string("\0x", 2), std::string("\0x", 2)},
      {"a;b", "\"a;b\""},
      {"line1\nline2", "\"line1\nline2\""},
      {"a\r\nb", "\"a\r\nb\""},
      {"cr\r", "\"cr\r\""},
      {"\"starts", "\"\"\"starts\""},
      {"\"x\";\"y\"", "\"\"\"x\"\";\"\"y\"\"\""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Value);
    EXPECT_EQ(DataRecord(c.Value, *utf8, "T"), "T;" + c.Written + "\r\n");
  }
}

// A payload is saved as its text in the code page when that is exact, and as
// its own bytes otherwise: nothing is replaced or lost.
TEST(DataFile, saved_values_keep_every_payload_byte) {
  const auto windows = TCodePage::Windows1252();
  const auto utf8 = TCodePage::Utf8();
  struct Case {
    const char *Name;
    std::string Payload;
    const TCodePage &CodePage;
    std::string Saved;
  };
  const Case cases[] = {
      {"UTF-8 text in UTF-8", "caf\xC3\xA9", *utf8, "caf\xC3\xA9"},
      {"malformed UTF-8 kept as it came", "caf\xE9", *utf8, "caf\xE9"},
      {"binary kept as it came", std::string("\x00\xFF\xFE\x80\x01", 5), *utf8, std::string("\x00\xFF\xFE\x80\x01", 5)},
      {"a real U+FFFD stays", "\xEF\xBF\xBD", *utf8, "\xEF\xBF\xBD"},
      {"8-bit text in its code page", "caf\xE9", *windows, "caf\xE9"},
      {"UTF-8 text in the code page's spelling", "caf\xC3\xA9", *windows, "caf\xE9"},
      {"a character the code page lacks: the payload's bytes", "\xCE\xA9", *windows, "\xCE\xA9"},
      {"a real U+FFFD the code page lacks", "a\xEF\xBF\xBD", *windows, "a\xEF\xBF\xBD"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(DataValue(c.Payload, c.CodePage), c.Saved);
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
