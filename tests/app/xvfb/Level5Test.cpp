// The real window at MQTT 5 (--protocol 5) under Xvfb, driven by the
// keyboard, against a mosquitto whose dynamic-security plugin refuses
// subscriptions to closed/# for the user and disconnects the user on an
// administrator's word: the log, copied through the clipboard, says why.

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "WindowSteps.h"

namespace {

TEST(Level5, RefusalAndDisconnectReasonsReachTheLog) {
  QTemporaryDir dir;
  TestBroker broker({.ExtraConfig = AdministeredConfig(dir.path().toStdString())});
  for (const char *command : {"createClient victim -p secret", "createRole closed",
                              "addRoleACL closed subscribePattern closed/# deny 5", "addClientRole victim closed"})
    ASSERT_TRUE(AdministerBroker(broker, command)) << command;
  TXvfbProgram app(VYR_MQTT_PROGRAM, {"--protocol", "5", "--user", "victim"});
  ASSERT_TRUE(app.Start()) << app.Failure().toStdString();
  ASSERT_TRUE(app.Keys({"alt+w", "ctrl+a"}) && app.Type("secret"));
  ASSERT_TRUE(ConnectWithKeyboard(app, broker, "Vyr-five"));
  EXPECT_TRUE(BrokerLogText(broker).contains("as Vyr-five (p5, c1, k30, u'victim')")) << "MQTT 5 on the wire";

  QImage before;
  ASSERT_TRUE(app.WaitForStill(Area::Topics, 30, &before));
  ASSERT_TRUE(SubscribeWithKeyboard(app, broker, "closed/x", 0));
  // The list line changes to say so (its text is checked in the window's own tests).
  EXPECT_TRUE(app.WaitForChange(before, Area::Topics, 30));
  ASSERT_TRUE(AdministerBroker(broker, "disableClient victim"));
  QString log;
  EXPECT_TRUE(WaitUntil(
      [&] {
        log = LogText(app);
        return log.contains("Status: Broker disconnected: Administrative action");
      },
      60))
      << log.toStdString();
  EXPECT_TRUE(log.contains("Status: Subscription to closed/x refused: Not authorized.")) << log.toStdString();
  // Disabled, the next attempt is refused with the reason's name.
  EXPECT_TRUE(WaitUntil([&] { return LogText(app).contains("Status: Connection Not authorized"); }, 60));
}

} // namespace
