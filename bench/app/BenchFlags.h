#pragma once
// The benches' command lines: "--name value" pairs, each handed to its own
// reader; anything else ends the bench with its usage line.

#include <QString>
#include <QStringList>
#include <functional>
#include <map>

using TFlagReaders = std::map<QString, std::function<void(const QString &aValue)>>;

// Throws std::runtime_error naming the fault, or aUsage when a value is missing.
void ReadFlags(const QStringList &aArguments, const char *aUsage, const TFlagReaders &aReaders);
// The value of aFlag as a whole number above zero, or a std::runtime_error.
int PositiveNumber(const QString &aValue, const char *aFlag);
