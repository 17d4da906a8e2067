#pragma once
// The data files of received messages as both programs keep them: each value
// becomes a line of its topic's file (DataFile.h, named as DataFileNames.h
// says, the folder's index kept up to date), handed to a
// TDataFileWriter. A line that cannot be written waits and is retried on a
// timer, in order, so writing resumes by itself once the cause is gone; the
// owner hears of each new reason and of the moment everything is written.

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <map>
#include <set>
#include <string_view>

#include "CodePage.h"
#include "DataFile.h"
#include "DataFileNames.h"
#include "DataFileWriter.h"

class TDataLog : public QObject {
public:
  explicit TDataLog(std::size_t aMaxOpenFiles);
  // Saves the names given since the last save into their folders' indexes.
  ~TDataLog() override;

  void SetFolder(const QString &aFolder) { FFolder = aFolder; }
  const QString &Folder() const { return FFolder; }
  // Create the folder when it is missing, also again after it was removed.
  void SetCreateFolder(bool aCreate) { FWriter.CreateFolders = aCreate; }

  // Saves aValue as the next line of aTopic's file, in aCodePage, time-stamped
  // with the local time of aMsecsSinceEpoch.
  // Never throws: a topic that cannot name a file is reported through OnProblem
  // and its line dropped; any other failure keeps the line waiting.
  void Add(const QString &aTopic, const QString &aValue, const TCodePage &aCodePage,
           qint64 aMsecsSinceEpoch = QDateTime::currentMSecsSinceEpoch());
  // The same for a received payload, saved as DataValue gives it: no byte lost.
  void AddPayload(const QString &aTopic, std::string_view aPayload, const TCodePage &aCodePage,
                  qint64 aMsecsSinceEpoch = QDateTime::currentMSecsSinceEpoch());
  // One retry pass now; true when no line waits.
  bool Retry();
  std::size_t Waiting() const { return FWriter.Waiting(); }
  // Lets every open file go; the next line of each opens its path anew (log rotation).
  void Reopen() { FWriter.Reopen(); }

  // Raised when a line could not be written, once per file and reason.
  std::function<void(const QString &aProblem)> OnProblem;
  // Raised once the lines of aTopic are written again after aCount of its
  // values were dropped because more than the bound were waiting.
  std::function<void(const QString &aTopic, const QString &aPath, std::size_t aCount)> OnLost;

  // The most values of one topic kept waiting while its file refuses them,
  // and the most bytes; later values are dropped and counted. 0: no bound.
  std::size_t MaxWaitingLines = 0;
  std::size_t MaxWaitingBytes = 0;
  // Raised when the last waiting line has been written.
  std::function<void()> OnResumed;

  // Pause between retries.
  int RetryMs = 1000;
  // A new topic's name reaches the folder's index this much later, with those
  // of the other topics new meanwhile: a burst of new topics writes it once.
  int IndexDelayMs = 200;

private:
  void Write(const QString &aTopic, std::string_view aValue, const TCodePage &aCodePage, qint64 aMsecsSinceEpoch);
  void Report();
  void ReportLost();
  void SaveIndex();

  struct TLost {
    QString Topic;
    std::size_t Count = 0;
  };

  TDataFileWriter FWriter;
  TDataFileNames FNames;
  QTimer FIndexTimer;
  TDataStampClock FClock;
  QString FFolder;
  QTimer FRetryTimer;
  std::set<std::string> FReported;        // problems told, until their file's lines get through
  std::map<std::string, TLost> FLost;      // by path
};

// A bound on files kept open that leaves most of the process's descriptors to
// everything else, raising the soft limit towards the hard one where allowed.
std::size_t DataFilesOpenAtOnce();
