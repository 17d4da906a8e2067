#include "ShownText.h"

QString ShownText(QStringView aText, qsizetype aLimit)
{
  if (aText.size() <= aLimit)
    return aText.toString();
  qsizetype Cut = aLimit;
  if (Cut > 0 && aText.at(Cut - 1).isHighSurrogate())
    --Cut;
  return aText.left(Cut).toString() + QStringLiteral("\u2026 (%1 characters)").arg(aText.size());
}

QString ShownLine(QStringView aName, QStringView aValue)
{
  return ShownText(aName) + u'=' + ShownText(aValue);
}

QString ShownLine(const QString &aLine)
{
  // Short lines, nearly all of them, are shown as they are, without copies.
  if (aLine.size() <= ShownChars)
    return aLine;
  const qsizetype Equals = aLine.indexOf(u'=');
  if (Equals < 0)
    return ShownText(aLine);
  const QStringView Line(aLine);
  return ShownLine(Line.left(Equals), Line.mid(Equals + 1));
}
