// The screen follows the program's state without input: after each event the
// changed area is painted with no key pressed, and once it has settled it is
// what the window paints when it is exposed afresh, i.e. nothing stale stays
// on the screen. The events: received QoS 2 and QoS 1 messages, a publication
// to a subscribed topic whose acknowledgement and echo arrive together, a
// retained flood at subscribe time, and the broker going away.

#include <QRegion>
#include <functional>
#include <gtest/gtest.h>

#include "WindowSteps.h"

namespace {

const QRect Watched[] = {Area::Log, Area::Topics, Area::Status, Area::ConnectionButtons};

struct TEventCase {
  const char *Name;
  // Makes the event happen; keys may start it, none follow it.
  std::function<bool(TXvfbProgram &App, TestBroker &Broker)> Cause;
  QRect Changes; // an area that must change on its own
};

bool PublishQos(TestBroker &aBroker, const char *aQos, const char *aValue) {
  return PublishTo(aBroker, {"-t", "paint/value", "-q", aQos, "-m", aValue});
}

TEST(Repaint, EveryChangeReachesTheScreenWithoutInput) {
  TestBroker broker;
  TXvfbProgram app(VYR_MQTT_PROGRAM);
  ASSERT_TRUE(app.Start()) << app.Failure().toStdString();
  // The first picture is taken once the window has painted itself whole: a
  // loaded machine may map it before its status box is drawn.
  QImage offline;
  ASSERT_TRUE(app.WaitForStill(QRect(0, 0, 644, 511), 30, &offline));
  ASSERT_TRUE(ConnectWithKeyboard(app, broker, "Vyr-paint"));
  ASSERT_TRUE(SubscribeWithKeyboard(app, broker, "paint/#", 2));

  const TEventCase cases[] = {
      {"a QoS 2 message", [](TXvfbProgram &, TestBroker &b) { return PublishQos(b, "2", "two"); }, Area::Topics},
      {"a QoS 1 message", [](TXvfbProgram &, TestBroker &b) { return PublishQos(b, "1", "one"); }, Area::Topics},
      {"a QoS 1 publication to a subscribed topic",
       [](TXvfbProgram &a, TestBroker &) {
         // The last list line (paint/value) is selected with the keyboard, a
         // message typed, QoS 1 chosen and Publish pressed.
         return a.Keys({"alt+b", "shift+Tab", "shift+Tab", "ctrl+End"}) &&
                a.Keys({"shift+Tab", "shift+Tab", "shift+Tab", "ctrl+a"}) && a.Type("echo") &&
                a.Keys(QStringList{"Tab", "Tab"} + RadioItemKeys(1)) &&
                a.Keys({"shift+Tab", "shift+Tab", "shift+Tab", "space"});
       },
       Area::Topics},
      {"a retained flood at subscribe time",
       [](TXvfbProgram &a, TestBroker &b) {
         for (int i = 0; i < 40; ++i)
           if (!PublishTo(b, {"-t", QString("flood/%1").arg(i), "-r", "-m", QString::number(i)}))
             return false;
         return SubscribeWithKeyboard(a, b, "flood/#", 1);
       },
       Area::Topics},
  };
  for (const TEventCase &c : cases) {
    SCOPED_TRACE(c.Name);
    QImage before;
    ASSERT_TRUE(app.WaitForStill(QRect(0, 0, 644, 511), 30, &before));
    ASSERT_TRUE(c.Cause(app, broker));
    EXPECT_TRUE(app.WaitForChange(before, c.Changes, 20));
    QImage settled;
    ASSERT_TRUE(app.WaitForStill(QRect(0, 0, 644, 511), 30, &settled));
    const QImage fresh = app.ExposedShot();
    for (const QRect &area : Watched)
      EXPECT_TRUE(TXvfbProgram::SameRegion(settled, fresh, area))
          << "stale screen at " << area.x() << "," << area.y();
  }

  // The broker goes away: the status box says "Offline" again, as at start,
  // and the connection buttons change, all without input.
  const QImage online = app.Shot();
  broker.Kill();
  EXPECT_TRUE(app.WaitForMatch(offline, Area::Status, 20));
  EXPECT_TRUE(app.WaitForChange(online, Area::ConnectionButtons, 20));
}

} // namespace
