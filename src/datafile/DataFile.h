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

// The bytes of the data line for aValue at aMoment, CR LF included.
std::string DataLine(const QString &aValue, const TCodePage &aCodePage,
                     const QDateTime &aMoment = QDateTime::currentDateTime());
