#pragma once
// What the screen shows of a topic or a value. Laying out a line of a
// megabyte keeps the window busy for minutes, so the log and the topic list
// show at most ShownChars characters of each, followed by how long the whole
// text is; the data files always get the whole value.

#include <QString>
#include <QStringView>

inline constexpr qsizetype ShownChars = 1000;

// aText itself when it has at most aLimit characters (UTF-16 code units);
// otherwise its first aLimit of them (never half a surrogate pair), "…" and
// " (N characters)" with the whole length.
QString ShownText(QStringView aText, qsizetype aLimit = ShownChars);
// aName + "=" + aValue, each part shortened as by ShownText.
QString ShownLine(QStringView aName, QStringView aValue);
// A "name=value" line (split at its first "="), shortened the same way.
QString ShownLine(const QString &aLine);
