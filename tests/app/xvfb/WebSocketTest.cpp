// The real program started with --broker ws://... under Xvfb: it connects to
// aedes over WebSocket when Connect is pressed, shows the path in its status
// box, and receives through a subscription typed on the keyboard.

#include <gtest/gtest.h>

#include "AedesBroker.h"
#include "WindowSteps.h"

namespace {

QString AedesLog(const AedesBroker &aBroker) {
  return QString::fromUtf8(FileContent(QString::fromStdString(aBroker.LogFile())));
}

TEST(WebSocket, BrokerUrlConnectsReceivesAndNamesThePath) {
  AedesBroker broker("ws");
  const QString url = "ws://127.0.0.1:" + QString::number(broker.Port()) + "/mqtt";
  TXvfbProgram app(VYR_MQTT_PROGRAM, {"--broker", url, "--client-id", "Vyr-ws"});
  ASSERT_TRUE(app.Start()) << app.Failure().toStdString();
  QImage offline;
  ASSERT_TRUE(app.WaitForStill(Area::Status, 30, &offline));
  ASSERT_TRUE(app.Keys({"alt+c"}));
  ASSERT_TRUE(WaitUntil([&] { return AedesLog(broker).contains("websocket /mqtt mqttv3.1\n"); }, 60))
      << AedesLog(broker).toStdString();
  EXPECT_TRUE(app.WaitForChange(offline, Area::Status, 30));

  // The window's own retained presence message comes back over the path.
  QImage before;
  ASSERT_TRUE(app.WaitForStill(Area::Topics, 30, &before));
  const bool typed = FocusLog(app) && app.Keys({"shift+Tab", "shift+Tab", "shift+Tab", "ctrl+a"}) &&
                     app.Type("Vyr/#") && app.Keys(QStringList{"Tab"} + RadioItemKeys(0)) &&
                     app.Keys({"shift+Tab", "shift+Tab", "space"});
  ASSERT_TRUE(typed);
  ASSERT_TRUE(WaitUntil([&] { return AedesLog(broker).contains("subscribed Vyr-ws Vyr/#"); }, 60));
  EXPECT_TRUE(app.WaitForChange(before, Area::Topics, 30));

  const QString log = LogText(app);
  EXPECT_TRUE(log.contains("Connection path: WebSocket\n") || log.endsWith("Connection path: WebSocket"))
      << log.toStdString();
  EXPECT_TRUE(log.contains("Vyr/Vyr-ws/status=1")) << log.toStdString();
}

} // namespace
