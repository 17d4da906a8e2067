#include "BenchFlags.h"

#include <stdexcept>
#include <string>

void ReadFlags(const QStringList &aArguments, const char *aUsage, const TFlagReaders &aReaders)
{
  for (qsizetype I = 1; I < aArguments.size(); I += 2) {
    if (I + 1 >= aArguments.size())
      throw std::runtime_error(aUsage);
    const auto Reader = aReaders.find(aArguments[I]);
    if (Reader == aReaders.end())
      throw std::runtime_error("unknown option " + aArguments[I].toStdString());
    Reader->second(aArguments[I + 1]);
  }
}

int PositiveNumber(const QString &aValue, const char *aFlag)
{
  bool Ok = false;
  const int Number = aValue.toInt(&Ok);
  if (!Ok || Number <= 0)
    throw std::runtime_error(std::string(aFlag) + " must be a positive whole number");
  return Number;
}
