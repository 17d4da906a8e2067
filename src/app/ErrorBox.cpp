#include "ErrorBox.h"

#include <QFontMetrics>
#include <QMessageBox>
#include <QTimer>

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

void ShowModelessErrorBox(QWidget *aParent, const QString &Text, const std::function<void()> &aClosed)
{
  if (ErrorBoxHook) {
    ErrorBoxHook(Text);
    aClosed();
    return;
  }
  auto *Box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Vyr MQTT Client"), Text, QMessageBox::Ok, aParent);
  Box->setAttribute(Qt::WA_DeleteOnClose);
  Box->setWindowModality(Qt::NonModal);
  QObject::connect(Box, &QMessageBox::finished, aParent, [aParent, aClosed] {
    QTimer::singleShot(0, aParent, aClosed);
  });
  Box->show();
}

QString ElideQuotedToFit(const QString &Text, const QFontMetrics &aMetrics, int aWidth)
{
  const qsizetype First = Text.indexOf(u'"');
  const qsizetype Last = Text.lastIndexOf(u'"');
  if (First < 0 || Last <= First)
    return Text;
  const QString Quoted = Text.mid(First + 1, Last - First - 1);
  if (aMetrics.horizontalAdvance(Quoted) <= aWidth)
    return Text;
  return Text.left(First + 1) + aMetrics.elidedText(Quoted, Qt::ElideMiddle, aWidth) + Text.mid(Last);
}
