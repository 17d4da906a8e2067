#pragma once
// The per-topic data files: one line per saved message, appended to
// "<folder>/<topic with every "/" replaced by "-">.csv", written as
// "<local time stamp>;<message>" + CR LF in the code page, the file opened,
// appended and closed for every line.

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

// Appends the line for aValue to the data file of aTopic in aFolder, creating
// the file when it does not exist. Throws EDataFileError when the file cannot
// be opened or written; the file is closed in every case.
void AppendDataLine(const QString &aFolder, const QString &aTopic, const QString &aValue,
                    const TCodePage &aCodePage,
                    const QDateTime &aMoment = QDateTime::currentDateTime());
