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
