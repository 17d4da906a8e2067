#include "XvfbServer.h"

#include <QElapsedTimer>
#include <stdexcept>

TXvfbServer::TXvfbServer()
{
  // The server writes its display number to standard output once it is ready.
  FServer.setProcessChannelMode(QProcess::SeparateChannels);
  FServer.setStandardErrorFile(QProcess::nullDevice());
  FServer.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                          QStringLiteral("0"), QStringLiteral("1024x768x24"),
                                          QStringLiteral("-nolisten"), QStringLiteral("tcp")});
  if (!FServer.waitForStarted(10000))
    throw std::runtime_error("Xvfb does not start");
  QByteArray Number;
  QElapsedTimer Clock;
  Clock.start();
  while (!Number.contains('\n')) {
    if (Clock.hasExpired(20000) || FServer.state() != QProcess::Running)
      throw std::runtime_error("Xvfb gives no display number");
    FServer.waitForReadyRead(1000);
    Number += FServer.readAllStandardOutput();
  }
  FDisplay = QStringLiteral(":") + QString::fromLatin1(Number.trimmed());
}

TXvfbServer::~TXvfbServer()
{
  FServer.terminate();
  if (!FServer.waitForFinished(5000))
    FServer.kill();
  FServer.waitForFinished(5000);
}

QProcessEnvironment TXvfbServer::Environment() const
{
  QProcessEnvironment Env = QProcessEnvironment::systemEnvironment();
  Env.insert(QStringLiteral("DISPLAY"), FDisplay);
  Env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
  return Env;
}
