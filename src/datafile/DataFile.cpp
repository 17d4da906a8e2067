#include "DataFile.h"

#include <QDir>

QString DataTimeStamp(const QDateTime &aMoment) {
  QString stamp = aMoment.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"));
  const int offset = aMoment.offsetFromUtc();
  if (offset == 0)
    return stamp + u'Z';
  const int minutes = (offset < 0 ? -offset : offset) / 60;
  return stamp + (offset < 0 ? u'-' : u'+') + QStringLiteral("%1:%2")
                                                    .arg(minutes / 60, 2, 10, QChar(u'0'))
                                                    .arg(minutes % 60, 2, 10, QChar(u'0'));
}

std::string DataLine(const QString &aValue, const TCodePage &aCodePage, const QString &aStamp) {
  return DataRecord(aCodePage.FromUnicode(aValue), aCodePage, aStamp);
}

std::string DataRecord(std::string_view aValue, const TCodePage &aCodePage, const QString &aStamp) {
  std::string record = aCodePage.FromUnicode(aStamp + u';');
  // The bytes looked for are ASCII, which no code page of ours uses inside a
  // multi-byte character.
  const bool quoted = (!aValue.empty() && aValue.front() == '"') || aValue.find_first_of(";\r\n") != std::string_view::npos;
  if (!quoted) {
    record.append(aValue);
  } else {
    record.reserve(record.size() + aValue.size() + 4);
    record += '"';
    for (const char c : aValue) {
      if (c == '"') record += '"';
      record += c;
    }
    record += '"';
  }
  record += "\r\n";
  return record;
}

std::string DataValue(std::string_view aPayload, const TCodePage &aCodePage) {
  const QString text = DecodeReceivedMessage(aPayload, aCodePage);
  std::string bytes = aCodePage.FromUnicode(text);
  if (bytes == aPayload) return bytes;
  // UTF-8 text saved in an 8-bit code page is the same characters in the
  // file's own encoding, as long as the code page has every one of them.
  const QByteArray payload = QByteArray::fromRawData(aPayload.data(), qsizetype(aPayload.size()));
  const QString characters = QString::fromUtf8(payload);
  if (characters.toUtf8() == payload && aCodePage.ToUnicode(bytes) == characters) return bytes;
  return std::string(aPayload);
}

QString TDataStampClock::Stamp(qint64 aMsecsSinceEpoch) {
  qint64 second = aMsecsSinceEpoch / 1000;
  int millisecond = int(aMsecsSinceEpoch % 1000);
  if (millisecond < 0) { // before 1970: the second starts below the moment
    --second;
    millisecond += 1000;
  }
  if (FHead.isEmpty() || second != FSecond) {
    const QString whole = DataTimeStamp(QDateTime::fromMSecsSinceEpoch(second * 1000));
    const qsizetype dot = whole.indexOf(u'.');
    FHead = whole.left(dot + 1);
    FTail = whole.mid(dot + 4);
    FSecond = second;
  }
  QString stamp = FHead;
  stamp += QChar(u'0' + millisecond / 100);
  stamp += QChar(u'0' + millisecond / 10 % 10);
  stamp += QChar(u'0' + millisecond % 10);
  return stamp + FTail;
}
