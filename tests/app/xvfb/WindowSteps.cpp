#include "WindowSteps.h"

#include <QFile>
#include <QProcess>

namespace {

QString Port(const TestBroker &aBroker) { return QString::number(aBroker.Port()); }

int Run(const QString &aProgram, const QStringList &aArguments, QString *aOutput = nullptr) {
  QProcess tool;
  tool.start(aProgram, aArguments);
  if (!tool.waitForFinished(120000)) {
    tool.kill();
    tool.waitForFinished(5000);
    return -1;
  }
  if (aOutput)
    *aOutput = QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
  return tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
}

} // namespace

bool ConnectWithKeyboard(const TXvfbProgram &aApp, const TestBroker &aBroker, const QString &aClientID) {
  const bool typed = aApp.Keys({"alt+b", "ctrl+a"}) && aApp.Type("127.0.0.1") && aApp.Keys({"alt+n", "ctrl+a"}) &&
                     aApp.Type(aClientID) && ConnectTo(aApp, aBroker.Port(), false);
  return typed && WaitUntil([&] { return RetainedValue(aBroker, "Vyr/" + aClientID + "/status") == "1"; }, 60);
}

bool SubscribeWithKeyboard(const TXvfbProgram &aApp, const TestBroker &aBroker, const QString &aFilter,
                           int aQos) {
  const int before = BrokerLogText(aBroker).count("Sending SUBACK");
  // Backwards from the log box: "Use SSL", QoS, then the Topic box; this way
  // does not depend on which buttons are enabled.
  const QStringList qos = QStringList{"Tab"} + RadioItemKeys(aQos);
  const bool typed = FocusLog(aApp) && aApp.Keys({"shift+Tab", "shift+Tab", "shift+Tab", "ctrl+a"}) && aApp.Type(aFilter) &&
                     aApp.Keys(qos) && aApp.Keys({"shift+Tab", "shift+Tab", "space"});
  return typed && WaitUntil([&] { return BrokerLogText(aBroker).count("Sending SUBACK") > before; }, 60);
}

QStringList RadioItemKeys(int aItem) {
  // Left twice reaches the first item from anywhere in a row of three; the
  // arrows move the focus (and the selection only when it was on the
  // selected item), space selects the focused item.
  QStringList keys{"Left", "Left"};
  for (int i = 0; i < aItem; ++i)
    keys << "Right";
  return keys << "space";
}

bool CheckSaveData(const TXvfbProgram &aApp) {
  // "Save data" is the stop before the Broker box.
  return aApp.Keys({"alt+b", "shift+Tab", "space"});
}

bool FocusLog(const TXvfbProgram &aApp) { return aApp.Click(Area::Log.center()); }

QString LogText(const TXvfbProgram &aApp) {
  if (!FocusLog(aApp) || !aApp.Keys({"ctrl+a", "ctrl+c", "ctrl+End"}))
    return {};
  return aApp.Clipboard();
}

bool ClearLog(const TXvfbProgram &aApp) { return FocusLog(aApp) && aApp.Keys({"Tab", "Tab", "space"}); }

bool ConnectTo(const TXvfbProgram &aApp, int aPort, bool aTls) {
  return aApp.Keys({"alt+p", "ctrl+a"}) && aApp.Type(QString::number(aPort)) &&
         FocusLog(aApp) && aApp.Keys(QStringList{"shift+Tab"} + RadioItemKeys(aTls ? 0 : 1)) && aApp.Keys({"alt+c"});
}

bool PublishTo(const TestBroker &aBroker, const QStringList &aArguments) {
  return Run("mosquitto_pub", QStringList{"-h", "127.0.0.1", "-p", Port(aBroker)} + aArguments) == 0;
}

QString RetainedValue(const TestBroker &aBroker, const QString &aTopic) {
  QString out;
  // Retained values arrive at once; -W ends the wait when there is none.
  Run("mosquitto_sub", {"-h", "127.0.0.1", "-p", Port(aBroker), "-t", aTopic, "-C", "1", "-W", "2"}, &out);
  return out;
}

QString BrokerLogText(const TestBroker &aBroker) {
  return QString::fromUtf8(FileContent(QString::fromStdString(aBroker.LogFile())));
}

QByteArray FileContent(const QString &aPath) {
  QFile file(aPath);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
