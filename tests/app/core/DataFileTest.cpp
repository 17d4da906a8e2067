#include "DataFile.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimeZone>
#include <gtest/gtest.h>

namespace {

QByteArray ReadAll(const QString &aPath) {
  QFile file(aPath);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

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

TEST(DataFile, lines_are_appended_in_the_code_page_with_crlf) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const auto windows = TCodePage::Windows1252();
  const QDateTime moment = QDateTime::fromMSecsSinceEpoch(1715101389045, QTimeZone("America/Sao_Paulo"));
  AppendDataLine(dir.path(), "home/kitchen/temp", "23.5", *windows, moment);
  AppendDataLine(dir.path(), "home/kitchen/temp", "café;a\nb", *windows, moment.addMSecs(1));
  AppendDataLine(dir.path(), "/x", "1", *TCodePage::Utf8(), moment);
  AppendDataLine(dir.path(), "/x", "café", *TCodePage::Utf8(), moment);

  EXPECT_EQ(ReadAll(dir.filePath("home-kitchen-temp.csv")),
            QByteArray("2024-05-07T14:03:09.045-03:00;23.5\r\n"
                       "2024-05-07T14:03:09.046-03:00;caf\xE9;a\nb\r\n"));
  EXPECT_EQ(ReadAll(dir.filePath("-x.csv")),
            QByteArray("2024-05-07T14:03:09.045-03:00;1\r\n"
                       "2024-05-07T14:03:09.045-03:00;caf\xC3\xA9\r\n"));
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 2);
}

TEST(DataFile, existing_files_are_appended_to_not_truncated) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  {
    QFile old(dir.filePath("t.csv"));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("earlier\r\n");
  }
  AppendDataLine(dir.path(), "t", "v", *TCodePage::Utf8(),
                 QDateTime::fromMSecsSinceEpoch(1715090589045, QTimeZone::utc()));
  EXPECT_EQ(ReadAll(dir.filePath("t.csv")), QByteArray("earlier\r\n2024-05-07T14:03:09.045Z;v\r\n"));
}

// The test program runs with TZ three hours behind UTC.
TEST(DataFile, local_time_is_the_default_moment) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  AppendDataLine(dir.path(), "local", "1", *TCodePage::Utf8());
  const QString line = QString::fromLatin1(ReadAll(dir.filePath("local.csv")));
  EXPECT_TRUE(QRegularExpression(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}-03:00;1\r\n$)").match(line).hasMatch())
      << line.toStdString();
}

TEST(DataFile, unwritable_files_raise_a_clear_error) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  ASSERT_TRUE(QDir(dir.path()).mkdir("busy.csv")); // a folder where the file should be
  struct Case {
    QString Folder, Topic, Message;
  };
  const Case cases[] = {
      {dir.filePath("missing"), "t", "Cannot open the data file \"" + dir.filePath("missing/t.csv") + "\": "},
      {dir.path(), "busy", "Cannot open the data file \"" + dir.filePath("busy.csv") + "\": "},
      {dir.path(), QString(300, u'x'), "Cannot open the data file \"" + dir.filePath(QString(300, u'x') + ".csv") + "\": "},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Message.toStdString());
    try {
      AppendDataLine(c.Folder, c.Topic, "v", *TCodePage::Utf8());
      ADD_FAILURE() << "no error";
    } catch (const EDataFileError &e) {
      const std::string text = e.what();
      EXPECT_EQ(text.substr(0, c.Message.toStdString().size()), c.Message.toStdString());
      EXPECT_GT(text.size(), c.Message.toStdString().size()); // the system's reason follows
    }
  }
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 0);
}

} // namespace
