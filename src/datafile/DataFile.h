#pragma once
// The per-topic data files, the one definition both programs write: one line
// per saved message, appended to "<folder>/<topic with every "/" replaced by
// "-">.csv", written as "<local time stamp>;<message>" + CR LF in the code page.

#include <QDateTime>
#include <QString>
#include <stdexcept>

#include "CodePage.h"

// A data line that could not be written; what() is a text for an error box (UTF-8).
class EDataFileError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The data file of a topic in aFolder. A topic that cannot be a file name
// there (one holding a NUL character) is refused with EDataFileError.
QString DataFileName(const QString &aFolder, const QString &aTopic);

// aMoment as "yyyy-mm-ddThh:nn:ss.zzz" followed by "Z" when its offset from
// UTC is zero, otherwise by "+hh:mm" or "-hh:mm" (the offset in effect at
// that instant).
QString DataTimeStamp(const QDateTime &aMoment);

// The bytes of the data line for aValue with the time stamp aStamp, CR LF included.
std::string DataLine(const QString &aValue, const TCodePage &aCodePage, const QString &aStamp);

// DataTimeStamp for a stream of moments in local time, as messages arrive:
// the date, time and UTC offset are worked out once per second of the clock
// and only the milliseconds per call. Asking the system for the local offset
// reads the time zone file's status every time, which at thousands of
// messages per second would cost more than writing their lines. The offset
// cannot change within a second, and a change of the system's time zone is
// seen from the next second on.
class TDataStampClock {
public:
  QString Stamp(qint64 aMsecsSinceEpoch);

private:
  qint64 FSecond = 0;
  QString FHead; // "yyyy-MM-ddTHH:mm:ss." of FSecond; empty until the first stamp
  QString FTail; // its offset: "Z" or "+hh:mm"
};
