// The log box under a real X server, as a user sees it: a received message's
// line appears without any input, a long line wraps into several rows and
// unwraps into one when "Wrap lines" is unchecked, what the box shows as lines
// keep coming is what it shows when painted afresh, and "Clear Log" leaves
// the box as empty as it was.

#include <gtest/gtest.h>

#include "WindowSteps.h"

namespace {

// Bands of rows with text in the log's lines (inside its frame, left of its
// scroll bar).
int TextRows(const QImage &aShot) {
  const QRect lines = Area::Log.adjusted(3, 3, -22, -3);
  int rows = 0;
  bool inRow = false;
  for (int y = lines.top(); y <= lines.bottom(); ++y) {
    bool ink = false;
    for (int x = lines.left(); x <= lines.right() && !ink; ++x)
      ink = qGray(aShot.pixel(x, y)) < 128;
    rows += ink && !inRow;
    inRow = ink;
  }
  return rows;
}

TEST(LogBox, ALineAppearsWithoutInputWrapsUnwrapsAndIsCleared) {
  TestBroker broker;
  TXvfbProgram app(VYR_MQTT_PROGRAM);
  ASSERT_TRUE(app.Start()) << app.Failure().toStdString();
  ASSERT_TRUE(ConnectWithKeyboard(app, broker, "Vyr-logbox"));
  ASSERT_TRUE(SubscribeWithKeyboard(app, broker, "log/#", 0));
  // The focus stays on "Clear Log".
  ASSERT_TRUE(ClearLog(app));
  QImage empty;
  ASSERT_TRUE(app.WaitForStill(Area::Log, 20, &empty));
  ASSERT_EQ(TextRows(empty), 0);

  ASSERT_TRUE(PublishTo(broker, {"-t", "log/long", "-m", QString("wrap ").repeated(60)}));
  ASSERT_TRUE(app.WaitForChange(empty, Area::Log, 20)) << "the line does not appear on its own";
  QImage wrapped;
  ASSERT_TRUE(app.WaitForStill(Area::Log, 20, &wrapped));
  EXPECT_GE(TextRows(wrapped), 3);

  // "Wrap lines" is right before "Clear Log".
  ASSERT_TRUE(app.Keys({"shift+Tab", "space"}));
  ASSERT_TRUE(app.WaitForChange(wrapped, Area::Log, 20));
  QImage unwrapped;
  ASSERT_TRUE(app.WaitForStill(Area::Log, 20, &unwrapped));
  EXPECT_EQ(TextRows(unwrapped), 1);
  ASSERT_TRUE(app.Keys({"space"}));
  EXPECT_TRUE(app.WaitForMatch(wrapped, Area::Log, 20)) << "wrapped again, as before";

  // Lines enough to scroll: the view, which moves what it drew up as lines
  // arrive, and its scroll bar, which is painted only when it looks
  // different, show what a fresh paint shows.
  for (int i = 0; i < 30; ++i)
    ASSERT_TRUE(PublishTo(broker, {"-t", QString("log/%1").arg(i), "-m", QString::number(i)}));
  QImage scrolled;
  ASSERT_TRUE(app.WaitForChange(wrapped, Area::Log, 20));
  ASSERT_TRUE(app.WaitForStill(Area::Log, 20, &scrolled));
  EXPECT_TRUE(TXvfbProgram::SameRegion(scrolled, app.ExposedShot(), Area::Log)) << "stale log on the screen";

  ASSERT_TRUE(app.Keys({"Tab", "space"}));
  EXPECT_TRUE(app.WaitForMatch(empty, Area::Log, 20)) << "Clear Log leaves lines behind";
}

} // namespace
