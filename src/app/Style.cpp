#include "Style.h"

#include "ErrorBox.h"

#include <QApplication>
#include <QFile>
#include <QStyleFactory>

// The styles live in a static library: their resource must be registered by hand.
static void InitStyleResources()
{
  Q_INIT_RESOURCE(styles);
}

bool ApplyStyle(const QString &Name)
{
  InitStyleResources();
  QFile Sheet(QStringLiteral(":/styles/%1.qss").arg(Name));
  if (Name.isEmpty() || !Sheet.open(QIODevice::ReadOnly | QIODevice::Text)) {
    ShowErrorBox(QStringLiteral("Style '%1' not found").arg(Name));
    return false;
  }
  // The sheet draws over Fusion, which looks the same on every platform.
  if (QStyle *Base = QStyleFactory::create(QStringLiteral("Fusion")))
    QApplication::setStyle(Base);
  qApp->setStyleSheet(QString::fromUtf8(Sheet.readAll()));
  return true;
}
