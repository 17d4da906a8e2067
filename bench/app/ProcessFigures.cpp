#include "ProcessFigures.h"

#include <cstdio>

#include <QDir>
#include <QFile>
#include <QList>
#include <unistd.h>

namespace {

QByteArray ReadProcFile(const QString &aPath)
{
  QFile File(aPath);
  // Files under /proc report no size: read until the end.
  return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
}

// "VmHWM:     1234 kB" -> 1234 / 1024.
double StatusMegabytes(qint64 aPid, const QByteArray &aField)
{
  const QByteArray Status = ReadProcFile(QStringLiteral("/proc/%1/status").arg(aPid));
  for (const QByteArray &Line : Status.split('\n'))
    if (Line.startsWith(aField + ':'))
      return Line.mid(aField.size() + 1).trimmed().split(' ').first().toDouble() / 1024.0;
  return -1;
}

} // namespace

double CpuSeconds(qint64 aPid)
{
  const QByteArray Stat = ReadProcFile(QStringLiteral("/proc/%1/stat").arg(aPid));
  // The command name in parentheses may hold spaces: count fields after it.
  const qsizetype End = Stat.lastIndexOf(')');
  if (End < 0)
    return -1;
  const QList<QByteArray> Fields = Stat.mid(End + 2).split(' ');
  // Fields 14 and 15 of the line (utime, stime) are 11 and 12 after the name.
  if (Fields.size() < 13)
    return -1;
  return double(Fields[11].toLongLong() + Fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

qint64 RunNanoseconds(qint64 aPid)
{
  const QStringList Tasks = QDir(QStringLiteral("/proc/%1/task").arg(aPid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
  if (Tasks.isEmpty())
    return -1;
  qint64 Total = 0;
  for (const QString &Task : Tasks)
    Total += ReadProcFile(QStringLiteral("/proc/%1/task/%2/schedstat").arg(aPid).arg(Task)).split(' ').first().toLongLong();
  return Total;
}

double PeakMegabytes(qint64 aPid)
{
  return StatusMegabytes(aPid, "VmHWM");
}

double ResidentMegabytes(qint64 aPid)
{
  return StatusMegabytes(aPid, "VmRSS");
}

double LoadAverage()
{
  return ReadProcFile(QStringLiteral("/proc/loadavg")).split(' ').first().toDouble();
}

TThreadTimes ThreadTimes()
{
  TThreadTimes Times;
  if (FILE *Stat = std::fopen("/proc/thread-self/schedstat", "r")) {
    long long Running = 0, Waiting = 0;
    if (std::fscanf(Stat, "%lld %lld", &Running, &Waiting) == 2)
      Times = {Running, Waiting};
    std::fclose(Stat);
  }
  return Times;
}
