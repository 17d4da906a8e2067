#pragma once
// One topic, one file. A topic's data file keeps its plain name (the topic
// with every "/" replaced by "-", + ".csv") unless that name already belongs
// to another topic (coll/a and coll-a) or is longer than the file system's
// 255 bytes. Then it gets "<the plain name, cut to fit>~<hash>.csv", the hash
// the first hex digits of the SHA-1 of the topic: stable, and distinct from
// every name already given. Which topic owns which file is kept in the data
// folder's index, DataIndexFile, read when the folder is first used and
// replaced whole (written aside, then renamed over the old one), so names
// survive restarts and a reader can tell each file's topic. Several writers
// of one folder (loggers of a shared subscription, the window) merge their
// names into it under a lock, and read what the others named before they
// name a new topic.

#include <QHash>
#include <QStringList>

#include <cstdint>
#include <QString>

// In every data folder: {"files": {"<file name>": "<topic>", ...}}, UTF-8.
inline constexpr char DataIndexFile[] = "index.json";
// Beside it: the file whose flock writers of one folder take to save the index.
inline constexpr char DataIndexLockFile[] = "index.json.lock";

// One version of an index file on disk.
struct TIndexStamp {
  std::uint64_t Device = 0, Inode = 0;
  std::int64_t Size = -1, ModifiedNs = 0;
  bool operator==(const TIndexStamp &) const = default;
};

class TDataFileNames {
public:
  // The path of aTopic's data file in aFolder, given to it now if it has
  // none yet. Throws EDataFileError for a topic that cannot name a file.
  QString FileFor(const QString &aFolder, const QString &aTopic);

  // True when a name was given that the index file does not hold yet.
  bool Unsaved() const;
  // Writes the index of each folder that has unsaved names; "" or the first
  // problem ("Cannot write the index of data files "<path>": <reason>").
  QString Save();

private:
  struct TFolder {
    QHash<QString, QString> FileOfTopic; // file names, without the folder
    QHash<QString, QString> TopicOfFile;
    bool Unsaved = false;
    TIndexStamp Read; // the index on disk when last read or written here
  };
  TFolder &Folder(const QString &aFolder);
  void Merge(const QString &aFolder, TFolder &aInto);
  QHash<QString, TFolder> FFolders;
};
