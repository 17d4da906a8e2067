// One topic, one file: plain names where they are free, a stable hashed name
// where another topic holds the plain one or it is too long, and an index in
// the folder that keeps them across restarts.
#include "DataFileNames.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include "DataFile.h"

namespace {

QString Hash8(const QString &aTopic) {
  return QString::fromLatin1(QCryptographicHash::hash(aTopic.toUtf8(), QCryptographicHash::Sha1).toHex().left(8));
}

QJsonObject IndexFiles(const QString &aFolder) {
  QFile file(QDir(aFolder).filePath(DataIndexFile));
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QJsonDocument::fromJson(file.readAll()).object().value("files").toObject();
}

TEST(DataFileNames, plain_names_stay_and_collisions_and_long_names_get_a_hash) {
  QTemporaryDir dir;
  const QString longTopic = "long/" + QString(300, u'x');
  const QString longWide = "wide/" + QString(200, QChar(0x00E9)); // two bytes each in UTF-8
  struct Case {
    QString Topic, Name;
  };
  const Case cases[] = {
      {"coll/a", "coll-a.csv"},
      {"coll-a", "coll-a~" + Hash8("coll-a") + ".csv"},
      {"home/temp", "home-temp.csv"},
      {"Home/Temp", "Home-Temp.csv"},
      {"coll/a", "coll-a.csv"}, // the same topic keeps its file
      {longTopic, ("long-" + QString(300, u'x')).left(255 - 13) + "~" + Hash8(longTopic) + ".csv"},
      {longWide, "wide-" + QString(118, QChar(0x00E9)) + "~" + Hash8(longWide) + ".csv"},
  };
  TDataFileNames names;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Topic.left(20).toStdString());
    const QString path = names.FileFor(dir.path(), c.Topic);
    EXPECT_EQ(path, QDir(dir.path()).filePath(c.Name));
    EXPECT_LE(QFile::encodeName(QFileInfo(path).fileName()).size(), 255);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::Append)) << "the file system takes the name";
  }
  EXPECT_TRUE(names.Unsaved());
  EXPECT_EQ(names.Save(), "");
  EXPECT_FALSE(names.Unsaved());

  // The index names each file's topic, and nothing is left beside it but
  // the file its writers lock.
  const QJsonObject files = IndexFiles(dir.path());
  EXPECT_EQ(files.size(), 6);
  for (const Case &c : cases) EXPECT_EQ(files.value(c.Name).toString(), c.Topic);
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).filter(".json"),
            (QStringList{DataIndexFile, DataIndexLockFile}));

  // After a restart the files keep their topics whatever arrives first, and
  // the readers' lookup agrees.
  TDataFileNames again;
  for (auto it = std::rbegin(cases); it != std::rend(cases); ++it) {
    EXPECT_EQ(again.FileFor(dir.path(), it->Topic), QDir(dir.path()).filePath(it->Name));
    EXPECT_EQ(DataFileName(dir.path(), it->Topic), QDir(dir.path()).filePath(it->Name));
  }
  EXPECT_FALSE(again.Unsaved()) << "nothing new to save";
  // A topic the index does not know: the name it would be given.
  EXPECT_EQ(DataFileName(dir.path(), "new/one"), QDir(dir.path()).filePath("new-one.csv"));
}

// A hashed name that is itself taken (another topic's plain name) takes more
// digits of the hash.
TEST(DataFileNames, a_taken_hashed_name_takes_more_digits) {
  QTemporaryDir dir;
  TDataFileNames names;
  const QString squatter = "coll-a~" + Hash8("coll-a");
  EXPECT_EQ(names.FileFor(dir.path(), "coll/a"), dir.filePath("coll-a.csv"));
  EXPECT_EQ(names.FileFor(dir.path(), squatter), dir.filePath(squatter + ".csv"));
  const QString name = QFileInfo(names.FileFor(dir.path(), "coll-a")).fileName();
  EXPECT_EQ(name,
            "coll-a~" + QCryptographicHash::hash("coll-a", QCryptographicHash::Sha1).toHex().left(12) + ".csv");
}

// Two writers of one folder (two loggers of a shared subscription, or one
// and the window): each keeps the names the other saved, and a topic that
// would take the file another writer gave first gets a name of its own.
TEST(DataFileNames, writers_of_one_folder_merge_their_names) {
  QTemporaryDir dir;
  TDataFileNames first, second;
  EXPECT_EQ(first.FileFor(dir.path(), "a/1"), dir.filePath("a-1.csv"));
  EXPECT_EQ(second.FileFor(dir.path(), "b/1"), dir.filePath("b-1.csv"));
  EXPECT_EQ(first.FileFor(dir.path(), "coll/a"), dir.filePath("coll-a.csv"));
  ASSERT_EQ(first.Save(), "");
  // Named after the first saved: the second sees coll-a.csv taken.
  EXPECT_EQ(second.FileFor(dir.path(), "coll-a"), dir.filePath("coll-a~" + Hash8("coll-a") + ".csv"));
  ASSERT_EQ(second.Save(), "");
  EXPECT_FALSE(second.Unsaved());
  // Named before either saved: both take b-2.csv for different topics; the
  // first to save keeps it and the other's topic moves to a name of its own.
  EXPECT_EQ(first.FileFor(dir.path(), "b/2"), dir.filePath("b-2.csv"));
  EXPECT_EQ(second.FileFor(dir.path(), "b-2"), dir.filePath("b-2.csv"));
  ASSERT_EQ(second.Save(), "");
  ASSERT_EQ(first.Save(), "");
  EXPECT_EQ(first.FileFor(dir.path(), "b/2"), dir.filePath("b-2~" + Hash8("b/2") + ".csv"));
  ASSERT_EQ(first.Save(), "");
  ASSERT_EQ(second.Save(), "");

  const QJsonObject files = IndexFiles(dir.path());
  const std::pair<QString, QString> expected[] = {
      {"a-1.csv", "a/1"}, {"b-1.csv", "b/1"}, {"coll-a.csv", "coll/a"},
      {"coll-a~" + Hash8("coll-a") + ".csv", "coll-a"}, {"b-2.csv", "b-2"}, {"b-2~" + Hash8("b/2") + ".csv", "b/2"},
  };
  for (const auto &[name, topic] : expected) EXPECT_EQ(files.value(name).toString(), topic) << name.toStdString();
  EXPECT_EQ(files.size(), int(std::size(expected)));
  // A third writer started now finds every name.
  TDataFileNames third;
  for (const auto &[name, topic] : expected) EXPECT_EQ(third.FileFor(dir.path(), topic), dir.filePath(name));
  EXPECT_FALSE(third.Unsaved());
}

TEST(DataFileNames, an_index_that_cannot_be_written_is_reported_and_saved_later) {
  QTemporaryDir dir;
  TDataFileNames names;
  names.FileFor(dir.path(), "a");
  // A folder where the index belongs: no one can replace it with a file.
  ASSERT_TRUE(QDir(dir.path()).mkdir(DataIndexFile));
  const QString problem = names.Save();
  EXPECT_TRUE(problem.startsWith("Cannot write the index of data files \"" + dir.filePath(DataIndexFile) + "\": "))
      << problem.toStdString();
  EXPECT_TRUE(names.Unsaved());
  ASSERT_TRUE(QDir(dir.path()).rmdir(DataIndexFile));
  EXPECT_EQ(names.Save(), "");
  EXPECT_EQ(IndexFiles(dir.path()).value("a.csv").toString(), "a");
}

} // namespace
