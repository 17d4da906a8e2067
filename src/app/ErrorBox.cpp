#include "ErrorBox.h"

#include <QMessageBox>

std::function<void(const QString &Text)> ErrorBoxHook;

void ShowErrorBox(const QString &Text)
{
  if (ErrorBoxHook) {
    ErrorBoxHook(Text);
    return;
  }
  QMessageBox Box(QMessageBox::Critical, QStringLiteral("Vyr MQTT Client"), Text, QMessageBox::Ok);
  Box.exec();
}
