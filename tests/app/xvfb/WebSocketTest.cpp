// The real program started with --broker ws://... under Xvfb: it connects to
// aedes over WebSocket when Connect is pressed, shows the path in its status
// box, and receives through a subscription typed on the keyboard; the same
// with wss:// through a SOCKS5 proxy given with --proxy.

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "AedesBroker.h"
#include "ProxyServer.h"
#include "TestCerts.h"
#include "WindowSteps.h"

namespace {

QString AedesLog(const AedesBroker &aBroker) {
  return QString::fromUtf8(FileContent(QString::fromStdString(aBroker.LogFile())));
}

// Started with Args (the broker's URL among them) and the client id Vyr-ws:
// Connect pressed, a subscription to the presence topics typed; the log once
// the window's own presence message has come back.
QString ConnectAndReceive(const AedesBroker &aBroker, const QStringList &aArgs) {
  TXvfbProgram app(VYR_MQTT_PROGRAM, aArgs + QStringList{"--client-id", "Vyr-ws"});
  if (!app.Start()) {
    ADD_FAILURE() << app.Failure().toStdString();
    return {};
  }
  QImage offline;
  EXPECT_TRUE(app.WaitForStill(Area::Status, 30, &offline));
  EXPECT_TRUE(app.Keys({"alt+c"}));
  EXPECT_TRUE(WaitUntil([&] { return AedesLog(aBroker).contains("websocket /mqtt mqttv3.1\n"); }, 60))
      << AedesLog(aBroker).toStdString();
  EXPECT_TRUE(app.WaitForChange(offline, Area::Status, 30));

  // The window's own retained presence message comes back over the path.
  QImage before;
  EXPECT_TRUE(app.WaitForStill(Area::Topics, 30, &before));
  const bool typed = FocusLog(app) && app.Keys({"shift+Tab", "shift+Tab", "shift+Tab", "ctrl+a"}) &&
                     app.Type("Vyr/#") && app.Keys(QStringList{"Tab"} + RadioItemKeys(0)) &&
                     app.Keys({"shift+Tab", "shift+Tab", "space"});
  EXPECT_TRUE(typed);
  EXPECT_TRUE(WaitUntil([&] { return AedesLog(aBroker).contains("subscribed Vyr-ws Vyr/#"); }, 60));
  EXPECT_TRUE(app.WaitForChange(before, Area::Topics, 30));
  return LogText(app);
}

bool HasLine(const QString &aLog, const QString &aLine) {
  return aLog.contains(aLine + "\n") || aLog.endsWith(aLine);
}

TEST(WebSocket, BrokerUrlConnectsReceivesAndNamesThePath) {
  AedesBroker broker("ws");
  const QString url = "ws://127.0.0.1:" + QString::number(broker.Port()) + "/mqtt";
  const QString log = ConnectAndReceive(broker, {"--broker", url});
  EXPECT_TRUE(HasLine(log, "Connection path: WebSocket")) << log.toStdString();
  EXPECT_TRUE(log.contains("Vyr/Vyr-ws/status=1")) << log.toStdString();
}

TEST(WebSocket, OverTlsThroughAProxy) {
  QTemporaryDir dir;
  const TestCertificate cert = MakeSelfSignedCertificate(dir.path().toStdString());
  AedesBroker broker("wss", cert.CertFile, cert.KeyFile);
  ProxyServer proxy(dir.path().toStdString(), "microsocks");
  const QString url = "wss://localhost:" + QString::number(broker.Port()) + "/mqtt";
  const QString log = ConnectAndReceive(
      broker, {"--broker", url, "--proxy", QString::fromStdString(proxy.Url("socks5://127.0.0.1:PORT"))});
  EXPECT_TRUE(HasLine(log, "Connection path: WebSocket over TLS via proxy")) << log.toStdString();
  EXPECT_TRUE(log.contains("(WebSocket over TLS via proxy)")) << log.toStdString();
  EXPECT_TRUE(log.contains("Vyr/Vyr-ws/status=1")) << log.toStdString();
}

} // namespace
