#include "LogBox.h"

#include <QPlainTextEdit>

void AppendLogLine(QPlainTextEdit *aLog, const QString &aLine)
{
  aLog->setUndoRedoEnabled(false);
  aLog->appendPlainText(aLine);
  aLog->setUndoRedoEnabled(true);
}
