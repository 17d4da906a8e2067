#include "DataFileNames.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include "DataFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// What one name in a folder may take on the file systems we run on.
constexpr qsizetype MaxNameBytes = 255;

qsizetype NameBytes(const QString &aName) { return QFile::encodeName(aName).size(); }

QString Stem(const QString &aTopic) {
  // A NUL would cut the path short at the system call: another file, or none.
  if (aTopic.contains(QChar(u'\0')))
    throw EDataFileError("The topic \"" + QString(aTopic).replace(QChar(u'\0'), QStringLiteral("\\0")).toStdString() +
                         "\" holds a NUL character and cannot name a data file");
  QString stem = aTopic;
  // With every "/" gone and ".csv" appended the name is one plain entry of
  // its folder: it has no separator and is never "." or "..".
  stem.replace(u'/', u'-');
  return stem;
}

// "<stem, cut to fit>~<the first aDigits hex digits of the topic's SHA-1>.csv",
// with "-<aCount>" after the digits once all 40 are taken.
QString HashedName(const QString &aTopic, const QString &aStem, int aDigits, int aCount) {
  QString tail = u'~' + QString::fromLatin1(QCryptographicHash::hash(aTopic.toUtf8(), QCryptographicHash::Sha1)
                                                 .toHex()
                                                 .left(aDigits));
  if (aCount > 0) tail += u'-' + QString::number(aCount);
  tail += QStringLiteral(".csv");
  QString stem = aStem;
  while (!stem.isEmpty() && NameBytes(stem + tail) > MaxNameBytes) {
    stem.chop(1);
    if (!stem.isEmpty() && stem.back().isHighSurrogate()) stem.chop(1);
  }
  return stem + tail;
}

QString IndexPath(const QString &aFolder) { return QDir(aFolder).filePath(QString::fromLatin1(DataIndexFile)); }

// An index that cannot be read is taken as empty: names are then given as
// if for a new folder, and the next save replaces it.
void LoadIndex(const QString &aFolder, QHash<QString, QString> &aFileOfTopic, QHash<QString, QString> &aTopicOfFile) {
  QFile file(IndexPath(aFolder));
  if (!file.open(QIODevice::ReadOnly)) return;
  const QJsonObject files = QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("files")).toObject();
  for (auto it = files.begin(); it != files.end(); ++it) {
    const QString topic = it.value().toString();
    aFileOfTopic.insert(topic, it.key());
    aTopicOfFile.insert(it.key(), topic);
  }
}

// Which version of a folder's index is on disk: every save replaces the file.
TIndexStamp StampOf(const QString &aFolder) {
  struct stat st {};
  if (::stat(QFile::encodeName(IndexPath(aFolder)).constData(), &st) != 0) return {};
  return {std::uint64_t(st.st_dev), std::uint64_t(st.st_ino), std::int64_t(st.st_size),
          std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

// The exclusive flock on the folder's index lock file, for as long as it
// lives (none when the file cannot be opened: saving then fails on its own).
class TIndexLock {
public:
  explicit TIndexLock(const QString &aFolder)
      : FFd(::open(QFile::encodeName(QDir(aFolder).filePath(QString::fromLatin1(DataIndexLockFile))).constData(),
                   O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666)) {
    if (FFd >= 0)
      while (::flock(FFd, LOCK_EX) != 0 && errno == EINTR) {
      }
  }
  ~TIndexLock() {
    if (FFd >= 0) ::close(FFd);
  }
  TIndexLock(const TIndexLock &) = delete;
  TIndexLock &operator=(const TIndexLock &) = delete;

private:
  int FFd;
};

// The name of aTopic's file: the one it has, or a new one no other topic holds.
QString NameFor(const QString &aTopic, QHash<QString, QString> &aFileOfTopic, QHash<QString, QString> &aTopicOfFile,
                bool &aGiven) {
  aGiven = false;
  if (const auto it = aFileOfTopic.constFind(aTopic); it != aFileOfTopic.constEnd()) return *it;
  const QString stem = Stem(aTopic);
  QString name = stem + QStringLiteral(".csv");
  for (int digits = 8, count = 0; aTopicOfFile.contains(name) || NameBytes(name) > MaxNameBytes;) {
    name = HashedName(aTopic, stem, digits, count);
    if (digits < 40)
      digits += 4;
    else
      ++count;
  }
  aFileOfTopic.insert(aTopic, name);
  aTopicOfFile.insert(name, aTopic);
  aGiven = true;
  return name;
}

} // namespace

TDataFileNames::TFolder &TDataFileNames::Folder(const QString &aFolder) {
  auto it = FFolders.find(aFolder);
  if (it == FFolders.end()) {
    it = FFolders.insert(aFolder, {});
    it->Read = StampOf(aFolder);
    LoadIndex(aFolder, it->FileOfTopic, it->TopicOfFile);
  }
  return *it;
}

// Takes in the names other writers of the folder gave (loggers of one shared
// subscription group, the window): what they saved stands. A topic of ours
// whose file another gave to its own topic first gets a name of its own.
void TDataFileNames::Merge(const QString &aFolder, TFolder &aInto) {
  aInto.Read = StampOf(aFolder);
  QHash<QString, QString> fileOfTopic, topicOfFile;
  LoadIndex(aFolder, fileOfTopic, topicOfFile);
  QStringList renamed;
  for (auto it = topicOfFile.constBegin(); it != topicOfFile.constEnd(); ++it) {
    const auto ours = aInto.TopicOfFile.constFind(it.key());
    if (ours != aInto.TopicOfFile.constEnd() && *ours == *it) continue;
    if (ours != aInto.TopicOfFile.constEnd() && aInto.FileOfTopic.value(*ours) == it.key()) {
      renamed.append(*ours);
      aInto.FileOfTopic.remove(*ours);
    }
    aInto.TopicOfFile.insert(it.key(), *it);
    if (!aInto.FileOfTopic.contains(*it)) aInto.FileOfTopic.insert(*it, it.key());
  }
  bool given = false;
  for (const QString &topic : renamed) NameFor(topic, aInto.FileOfTopic, aInto.TopicOfFile, given);
  aInto.Unsaved = aInto.TopicOfFile.size() != topicOfFile.size();
}

QString TDataFileNames::FileFor(const QString &aFolder, const QString &aTopic) {
  TFolder &folder = Folder(aFolder);
  // A new topic: another writer of the folder may have named it, or taken
  // the name it would get, since the index was last read.
  if (!folder.FileOfTopic.contains(aTopic) && StampOf(aFolder) != folder.Read) Merge(aFolder, folder);
  bool given = false;
  const QString name = NameFor(aTopic, folder.FileOfTopic, folder.TopicOfFile, given);
  folder.Unsaved = folder.Unsaved || given;
  return QDir(aFolder).filePath(name);
}

bool TDataFileNames::Unsaved() const {
  for (const TFolder &folder : FFolders)
    if (folder.Unsaved) return true;
  return false;
}

QString TDataFileNames::Save() {
  QString problem;
  for (auto it = FFolders.begin(); it != FFolders.end(); ++it) {
    // The folder comes with the first data file written in it; its index
    // follows.
    if (!it->Unsaved || !QFileInfo(it.key()).isDir()) continue;
    // Several writers may save one index: each adds its names to what the
    // others saved, one at a time, so that none is lost.
    const TIndexLock lock(it.key());
    Merge(it.key(), *it);
    if (!it->Unsaved) continue;
    QJsonObject files;
    for (auto entry = it->TopicOfFile.constBegin(); entry != it->TopicOfFile.constEnd(); ++entry)
      files.insert(entry.key(), entry.value());
    QSaveFile file(IndexPath(it.key()));
    if (file.open(QIODevice::WriteOnly) &&
        file.write(QJsonDocument(QJsonObject{{QStringLiteral("files"), files}}).toJson()) >= 0 && file.commit()) {
      it->Unsaved = false;
      it->Read = StampOf(it.key());
    } else if (problem.isEmpty()) {
      problem = QStringLiteral("Cannot write the index of data files \"%1\": %2").arg(file.fileName(), file.errorString());
    }
  }
  return problem;
}

QString DataFileName(const QString &aFolder, const QString &aTopic) {
  QHash<QString, QString> fileOfTopic, topicOfFile;
  LoadIndex(aFolder, fileOfTopic, topicOfFile);
  bool given = false;
  return QDir(aFolder).filePath(NameFor(aTopic, fileOfTopic, topicOfFile, given));
}
