#pragma once
// The data files of received messages as both programs keep them: each value
// becomes a line of its topic's file (DataFile.h), handed to a
// TDataFileWriter. A line that cannot be written waits and is retried on a
// timer, in order, so writing resumes by itself once the cause is gone; the
// owner hears of each new reason and of the moment everything is written.

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

#include "CodePage.h"
#include "DataFile.h"
#include "DataFileWriter.h"

class TDataLog : public QObject {
public:
  explicit TDataLog(std::size_t aMaxOpenFiles);

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
  // One retry pass now; true when no line waits.
  bool Retry();
  std::size_t Waiting() const { return FWriter.Waiting(); }
  // Lets every open file go; the next line of each opens its path anew (log rotation).
  void Reopen() { FWriter.Reopen(); }

  // Raised when a line could not be written, once per different reason.
  std::function<void(const QString &aProblem)> OnProblem;
  // Raised when the last waiting line has been written.
  std::function<void()> OnResumed;

  // Pause between retries.
  int RetryMs = 1000;

private:
  void Report();

  TDataFileWriter FWriter;
  TDataStampClock FClock;
  QString FFolder;
  QTimer FRetryTimer;
  std::string FReported;
};

// A bound on files kept open that leaves most of the process's descriptors to
// everything else, raising the soft limit towards the hard one where allowed.
std::size_t DataFilesOpenAtOnce();
