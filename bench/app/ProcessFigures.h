#pragma once
// What another process costs, read from /proc: its CPU time and its memory.
// Every function returns a negative value when the process is gone.

#include <QtGlobal>

// User plus system time of all its threads, in seconds (clock-tick resolution).
double CpuSeconds(qint64 aPid);
// Time all its threads have spent running, in nanoseconds (scheduler resolution).
qint64 RunNanoseconds(qint64 aPid);
// Its peak resident memory (VmHWM) and its resident memory now (VmRSS), in MB.
double PeakMegabytes(qint64 aPid);
double ResidentMegabytes(qint64 aPid);
// The system's load average over the last minute.
double LoadAverage();

// The calling thread's time on a core and time spent runnable but waiting
// for one, both in nanoseconds since it started: a pass much longer than its
// time on a core waited for the machine, not for the program.
struct TThreadTimes {
  qint64 Running = 0;
  qint64 Waiting = 0;
};
TThreadTimes ThreadTimes();
