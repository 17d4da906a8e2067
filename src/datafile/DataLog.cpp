#include "DataLog.h"

#include <QFile>

#include <sys/resource.h>

#include <algorithm>


TDataLog::TDataLog(std::size_t aMaxOpenFiles) : FWriter(aMaxOpenFiles) {
  FRetryTimer.setSingleShot(true);
  connect(&FRetryTimer, &QTimer::timeout, this, [this] { Retry(); });
}

void TDataLog::Add(const QString &aTopic, const QString &aValue, const TCodePage &aCodePage,
                   qint64 aMsecsSinceEpoch) {
  std::string path;
  try {
    path = QFile::encodeName(DataFileName(FFolder, aTopic)).toStdString();
  } catch (const EDataFileError &e) {
    if (OnProblem) OnProblem(QString::fromUtf8(e.what()));
    return;
  }
  if (!FWriter.Append(path, DataLine(aValue, aCodePage, FClock.Stamp(aMsecsSinceEpoch)))) Report();
}

bool TDataLog::Retry() {
  const bool hadWaiting = FWriter.Waiting() > 0;
  if (FWriter.Retry()) {
    FReported.clear();
    if (hadWaiting && OnResumed) OnResumed();
    return true;
  }
  Report();
  return false;
}

void TDataLog::Report() {
  if (!FRetryTimer.isActive()) FRetryTimer.start(RetryMs);
  if (FWriter.Problem() == FReported) return;
  FReported = FWriter.Problem();
  if (OnProblem) OnProblem(QString::fromLocal8Bit(FReported));
}

std::size_t DataFilesOpenAtOnce() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 64;
  constexpr rlim_t Wanted = 4096;
  if (limit.rlim_cur < Wanted && limit.rlim_cur != RLIM_INFINITY) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? Wanted : std::min(Wanted, limit.rlim_max);
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  // A quarter stays for sockets, the event loop and whatever a library opens.
  const rlim_t usable = limit.rlim_cur == RLIM_INFINITY ? Wanted : limit.rlim_cur;
  return std::clamp<std::size_t>(std::size_t(usable - usable / 4), 16, 3072);
}
