#pragma once
// A fixed collation for the list tests, so that their expected orders do not
// depend on the locale of the machine that runs them.

#include <QCollator>
#include <QLocale>

inline QCollator EnglishCollator() {
  QCollator collator{QLocale(QLocale::English, QLocale::UnitedStates)};
  collator.setCaseSensitivity(Qt::CaseInsensitive);
  return collator;
}
