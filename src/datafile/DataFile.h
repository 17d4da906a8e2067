#pragma once
// The per-topic data files, the one definition both programs write: one record
// per saved message, appended to "<folder>/<topic with every "/" replaced by
// "-">.csv" (another name where that one is taken: DataFileNames.h), written as "<local time stamp>;<message>" + CR LF in the code page.
// A message holding a line break or a ";", or starting with a double quote,
// is written as one quoted field (inner quotes doubled), so that a CSV reader
// told that ";" separates fields gets one record per message; any other
// message is written as it is, as it always was.

#include <QDateTime>
#include <QString>
#include <stdexcept>
#include <string>
#include <string_view>

#include "CodePage.h"

// A data line that could not be written; what() is a text for an error box (UTF-8).
class EDataFileError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The data file that holds aTopic's values in aFolder, as the folder's index
// says (DataFileNames.h), or the name it would be given now when the index
// does not know it. Reads the index file each time: the entry point for
// readers of the files; the writers keep theirs in a TDataFileNames. A topic
// that cannot be a file name (one holding a NUL character) is refused with
// EDataFileError.
QString DataFileName(const QString &aFolder, const QString &aTopic);

// aMoment as "yyyy-mm-ddThh:nn:ss.zzz" followed by "Z" when its offset from
// UTC is zero, otherwise by "+hh:mm" or "-hh:mm" (the offset in effect at
// that instant).
QString DataTimeStamp(const QDateTime &aMoment);

// The bytes of the data line for aValue with the time stamp aStamp, CR LF included.
std::string DataLine(const QString &aValue, const TCodePage &aCodePage, const QString &aStamp);
// The same for a message already in the file's bytes (DataValue).
std::string DataRecord(std::string_view aValue, const TCodePage &aCodePage, const QString &aStamp);

// The bytes a received payload is saved as: its text in the code page
// (DecodeReceivedMessage) when the code page gives back exactly that text, and
// otherwise the payload's own bytes, unchanged. So no byte is lost: a payload
// that is not valid text (binary data, malformed UTF-8) or holds characters
// the code page lacks is kept as it came. With a UTF-8 code page every
// payload is written byte for byte.
std::string DataValue(std::string_view aPayload, const TCodePage &aCodePage);

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
