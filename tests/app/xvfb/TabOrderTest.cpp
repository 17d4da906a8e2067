// Tab and Shift+Tab under a real X server: the log box, which has the focus at
// start, stays editable and lets Tab through, and Tab alone walks the
// window's controls in their order, far enough to connect.

#include <gtest/gtest.h>

#include "WindowSteps.h"

namespace {

TEST(TabOrder, TabLeavesTheLogAndWalksTheControlsToConnect) {
  TestBroker broker;
  TXvfbProgram app(VYR_MQTT_PROGRAM);
  ASSERT_TRUE(app.Start()) << app.Failure().toStdString();

  // The log has the focus at start; Tab moves on to "Wrap lines".
  ASSERT_TRUE(app.Keys({"Tab"}));
  QImage empty;
  ASSERT_TRUE(app.WaitForStill(Area::Log, 20, &empty));
  // Back into the log, which takes typed text, and out again.
  ASSERT_TRUE(app.Keys({"shift+Tab"}) && app.Type("note") && app.Keys({"Tab"}));
  ASSERT_TRUE(app.WaitForChange(empty, Area::Log, 20)) << "the typed text is not in the log";
  // "Clear Log" is next: pressing it leaves the log as it was at start.
  ASSERT_TRUE(app.Keys({"Tab", "space"}));
  EXPECT_TRUE(app.WaitForMatch(empty, Area::Log, 20)) << "Tab did not reach Clear Log";

  // From "Clear Log": Retain, Message, QoS, the list, Save data (Publish and
  // Unsubscribe are disabled), then the connection boxes in their order.
  const QString id = "Vyr-tab";
  ASSERT_TRUE(app.Keys({"Tab", "Tab", "Tab", "Tab", "Tab", "Tab", "ctrl+a"}) && app.Type("127.0.0.1"));
  ASSERT_TRUE(app.Keys({"Tab", "ctrl+a"}) && app.Type(QString::number(broker.Port())));
  ASSERT_TRUE(app.Keys({"Tab", "Tab", "Tab", "ctrl+a"}) && app.Type(id));
  // Clean Session, Connect, the Topic box (Disconnect, Active, Inactive and
  // Subscribe are disabled), QoS, then "Use SSL": No.
  ASSERT_TRUE(app.Keys({"Tab", "Tab", "Tab", "Tab", "Tab", "Right"}));
  // Back to Connect and press it.
  ASSERT_TRUE(app.Keys({"shift+Tab", "shift+Tab", "shift+Tab", "space"}));
  EXPECT_TRUE(WaitUntil([&] { return RetainedValue(broker, "Vyr/" + id + "/status") == "1"; }, 60))
      << "the keys did not reach the connection controls in tab order";
}

} // namespace
