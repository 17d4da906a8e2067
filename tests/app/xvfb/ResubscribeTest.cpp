// Subscriptions survive the broker's restart: after the client has
// reconnected by itself (clean session, so the broker forgot everything), a
// message on the subscribed filter reaches the screen, without input, and its
// data file.

#include <gtest/gtest.h>

#include "WindowSteps.h"

namespace {

TEST(Resubscribe, TheBrokerRestartsAndMessagesKeepArriving) {
  TestBroker broker;
  TXvfbProgram app(VYR_MQTT_PROGRAM);
  ASSERT_TRUE(app.Start()) << app.Failure().toStdString();
  ASSERT_TRUE(ConnectWithKeyboard(app, broker, "Vyr-resub"));
  ASSERT_TRUE(CheckSaveData(app));
  ASSERT_TRUE(SubscribeWithKeyboard(app, broker, "keep/#", 1));
  const QString dataFile = app.FilePath("keep-a.csv");
  ASSERT_TRUE(PublishTo(broker, {"-t", "keep/a", "-q", "1", "-m", "first"}));
  ASSERT_TRUE(WaitUntil([&] { return FileContent(dataFile).endsWith(";first\r\n"); }, 30));

  broker.Restart();
  // The client comes back six seconds after the close and subscribes again.
  ASSERT_TRUE(WaitUntil([&] { return BrokerLogText(broker).count("Received SUBSCRIBE from Vyr-resub") == 2; }, 60))
      << BrokerLogText(broker).toStdString();
  QImage before;
  ASSERT_TRUE(app.WaitForStill(Area::Topics, 30, &before));
  ASSERT_TRUE(PublishTo(broker, {"-t", "keep/a", "-q", "1", "-m", "second"}));
  EXPECT_TRUE(WaitUntil([&] { return FileContent(dataFile).endsWith(";second\r\n"); }, 30));
  EXPECT_TRUE(app.WaitForChange(before, Area::Topics, 30));
}

} // namespace
