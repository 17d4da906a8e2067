#include "XdoTool.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <stdexcept>

QString TXdoTool::Run(const QStringList &aArguments)
{
  QProcess Tool;
  Tool.setProcessEnvironment(FDisplay);
  Tool.start(QStringLiteral("xdotool"), aArguments);
  if (!Tool.waitForFinished(30000))
    throw std::runtime_error("xdotool does not finish");
  return QString::fromLocal8Bit(Tool.readAllStandardOutput()).trimmed();
}

QString TXdoTool::WindowOf(qint64 aPid, int aTimeoutMs)
{
  QElapsedTimer Clock;
  Clock.start();
  do {
    const QString Found =
        Run({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"), QString::number(aPid)});
    if (!Found.isEmpty())
      return Found.split(QLatin1Char('\n')).first();
    QThread::msleep(50);
  } while (!Clock.hasExpired(aTimeoutMs));
  throw std::runtime_error("the program shows no window");
}

int TXdoTool::Width(const QString &aWindow)
{
  // "WIDTH=644" among the shell-style lines.
  for (const QString &Line : Run({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), aWindow}).split('\n'))
    if (Line.startsWith(QStringLiteral("WIDTH=")))
      return Line.mid(6).toInt();
  throw std::runtime_error("xdotool gives no window width");
}

void TXdoTool::Focus(const QString &aWindow)
{
  Run({QStringLiteral("windowfocus"), QStringLiteral("--sync"), aWindow});
}

void TXdoTool::Click(const QString &aWindow, int aX, int aY)
{
  Run({QStringLiteral("mousemove"), QStringLiteral("--sync"), QStringLiteral("--window"), aWindow, QString::number(aX),
       QString::number(aY), QStringLiteral("click"), QStringLiteral("1")});
}

void TXdoTool::Retype(const QString &aText)
{
  Run({QStringLiteral("key"), QStringLiteral("ctrl+a")});
  Run({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("20"), aText});
}
