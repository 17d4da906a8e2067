#include "DataLog.h"

#include <QFile>

#include <sys/resource.h>

#include <algorithm>


TDataLog::TDataLog(std::size_t aMaxOpenFiles) : FWriter(aMaxOpenFiles) {
  FRetryTimer.setSingleShot(true);
  connect(&FRetryTimer, &QTimer::timeout, this, [this] { Retry(); });
  FIndexTimer.setSingleShot(true);
  connect(&FIndexTimer, &QTimer::timeout, this, [this] { SaveIndex(); });
}

TDataLog::~TDataLog() {
  OnProblem = nullptr; // the owner may be gone already
  SaveIndex();
}

void TDataLog::SaveIndex() {
  const QString problem = FNames.Save();
  if (FNames.Unsaved()) FIndexTimer.start(problem.isEmpty() ? IndexDelayMs : RetryMs);
  if (!problem.isEmpty() && FReported.insert(problem.toStdString()).second && OnProblem) OnProblem(problem);
}

void TDataLog::Add(const QString &aTopic, const QString &aValue, const TCodePage &aCodePage,
                   qint64 aMsecsSinceEpoch) {
  Write(aTopic, aCodePage.FromUnicode(aValue), aCodePage, aMsecsSinceEpoch);
}

void TDataLog::AddPayload(const QString &aTopic, std::string_view aPayload, const TCodePage &aCodePage,
                          qint64 aMsecsSinceEpoch) {
  Write(aTopic, DataValue(aPayload, aCodePage), aCodePage, aMsecsSinceEpoch);
}

void TDataLog::Write(const QString &aTopic, std::string_view aValue, const TCodePage &aCodePage,
                     qint64 aMsecsSinceEpoch) {
  std::string path;
  try {
    path = QFile::encodeName(FNames.FileFor(FFolder, aTopic)).toStdString();
  } catch (const EDataFileError &e) {
    if (OnProblem) OnProblem(QString::fromUtf8(e.what()));
    return;
  }
  if (FNames.Unsaved() && !FIndexTimer.isActive()) FIndexTimer.start(IndexDelayMs);
  if (MaxWaitingLines > 0 || MaxWaitingBytes > 0) {
    const auto [lines, bytes] = FWriter.WaitingIn(path);
    if ((MaxWaitingLines > 0 && lines >= MaxWaitingLines) || (MaxWaitingBytes > 0 && bytes >= MaxWaitingBytes)) {
      TLost &lost = FLost[path];
      lost.Topic = aTopic;
      ++lost.Count;
      return;
    }
  }
  if (!FWriter.Append(path, DataRecord(aValue, aCodePage, FClock.Stamp(aMsecsSinceEpoch)))) Report();
}

bool TDataLog::Retry() {
  const bool hadWaiting = FWriter.Waiting() > 0;
  if (FWriter.Retry()) {
    FReported.clear();
    ReportLost();
    if (hadWaiting && OnResumed) OnResumed();
    return true;
  }
  ReportLost();
  Report();
  return false;
}

void TDataLog::Report() {
  if (!FRetryTimer.isActive()) FRetryTimer.start(RetryMs);
  // The writer's problem names the file and the reason: each pair is told once.
  if (FWriter.Problem().empty() || !FReported.insert(FWriter.Problem()).second) return;
  if (OnProblem) OnProblem(QString::fromLocal8Bit(FWriter.Problem()));
}

void TDataLog::ReportLost() {
  for (auto it = FLost.begin(); it != FLost.end();) {
    if (FWriter.WaitingIn(it->first).first > 0) {
      ++it;
      continue;
    }
    const TLost lost = it->second;
    const QString path = QFile::decodeName(QByteArray::fromStdString(it->first));
    it = FLost.erase(it);
    if (OnLost) OnLost(lost.Topic, path, lost.Count);
  }
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
