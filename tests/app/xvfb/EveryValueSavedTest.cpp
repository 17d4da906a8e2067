// The data file as the user's record: every value received reaches its topic's
// file in arrival order, at any rate, also the QoS 1 messages the broker kept
// while the window was away, whatever the list and the log show. What a
// mosquitto_sub beside the window received is the reference.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

#include "FaultProxy.h"
#include "WindowSteps.h"

namespace {

// The values of a data file, time stamps taken off; the values here hold no
// ";", line break or quote, so each record is one line.
QStringList SavedValues(const QString &aPath) {
  QStringList values;
  for (const QString &line : QString::fromUtf8(FileContent(aPath)).split("\r\n", Qt::SkipEmptyParts))
    values << line.section(';', 1);
  return values;
}

// A mosquitto_sub on aFilter at QoS 1 printing "topic value" lines.
struct TReference {
  QProcess Sub;
  TReference(const TestBroker &aBroker, const QString &aFilter, int aCount) {
    Sub.start("mosquitto_sub", {"-h", "127.0.0.1", "-p", QString::number(aBroker.Port()), "-t", aFilter, "-q", "1",
                                "-v", "-C", QString::number(aCount), "-W", "120"});
    Sub.waitForStarted(10000);
  }
  ~TReference() {
    Sub.kill();
    Sub.waitForFinished(5000);
  }
  QStringList Values(const QString &aTopic) {
    Sub.waitForFinished(130000);
    QStringList values;
    for (const QString &line : QString::fromUtf8(Sub.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts))
      if (line.startsWith(aTopic + ' ')) values << line.mid(aTopic.size() + 1);
    return values;
  }
};

// Publishes aCount numbered values on aTopic at QoS 1, paced at about aRate
// messages a second (a tick every 10 ms writes the lines due by then).
bool PublishPaced(const TestBroker &aBroker, const QString &aTopic, int aCount, int aRate) {
  QProcess pub;
  pub.start("mosquitto_pub", {"-h", "127.0.0.1", "-p", QString::number(aBroker.Port()), "-t", aTopic, "-q", "1", "-l"});
  if (!pub.waitForStarted(10000)) return false;
  QElapsedTimer clock;
  clock.start();
  int sent = 0;
  while (sent < aCount) {
    const int due = std::min<qint64>(aCount, clock.elapsed() * aRate / 1000 + 1);
    QByteArray lines;
    for (; sent < due; ++sent) lines += QByteArray::number(sent) + '\n';
    pub.write(lines);
    pub.waitForBytesWritten(1000);
    QThread::msleep(10);
  }
  pub.closeWriteChannel();
  return pub.waitForFinished(120000) && pub.exitCode() == 0;
}

QStringList Numbers(int aCount) {
  QStringList values;
  for (int i = 0; i < aCount; ++i) values << QString::number(i);
  return values;
}

TEST(EveryValueSaved, BurstsOnOneTopicAtEveryRate) {
  TestBroker broker;
  TXvfbProgram app(VYR_MQTT_PROGRAM);
  ASSERT_TRUE(app.Start()) << app.Failure().toStdString();
  ASSERT_TRUE(ConnectWithKeyboard(app, broker, "Vyr-burst"));
  ASSERT_TRUE(CheckSaveData(app));
  ASSERT_TRUE(SubscribeWithKeyboard(app, broker, "burst/#", 1));
  struct TCase {
    int Rate, Count;
  };
  for (const TCase c : {TCase{50, 100}, TCase{500, 1000}, TCase{5000, 10000}}) {
    SCOPED_TRACE(c.Rate);
    const QString topic = QStringLiteral("burst/r%1").arg(c.Rate);
    const int subacks = BrokerLogText(broker).count("Sending SUBACK");
    TReference reference(broker, topic, c.Count);
    ASSERT_TRUE(WaitUntil([&] { return BrokerLogText(broker).count("Sending SUBACK") > subacks; }, 30));
    ASSERT_TRUE(PublishPaced(broker, topic, c.Count, c.Rate));
    const QStringList received = reference.Values(topic);
    ASSERT_EQ(received, Numbers(c.Count)) << "the reference subscriber missed values";
    const QString file = app.FilePath(QString(topic).replace('/', '-') + ".csv");
    WaitUntil([&] { return SavedValues(file).size() >= c.Count; }, 120);
    EXPECT_EQ(SavedValues(file), received);
  }
}

// A persistent session whose link is cut: the broker keeps the QoS 1 messages
// published meanwhile and delivers them together when the window is back.
TEST(EveryValueSaved, QueuedQos1MessagesDeliveredAtReconnection) {
  TestBroker broker;
  FaultProxy proxy(broker.Port());
  TXvfbProgram app(VYR_MQTT_PROGRAM);
  ASSERT_TRUE(app.Start()) << app.Failure().toStdString();
  const QString id = "Vyr-queued";
  // Clean Session "No" follows the client identifier box.
  ASSERT_TRUE(app.Keys({"alt+b", "ctrl+a"}) && app.Type("127.0.0.1") && app.Keys({"alt+n", "ctrl+a"}) &&
              app.Type(id) && app.Keys(QStringList{"Tab"} + RadioItemKeys(1)) &&
              ConnectTo(app, proxy.Port(), false));
  ASSERT_TRUE(WaitUntil([&] { return RetainedValue(broker, "Vyr/" + id + "/status") == "1"; }, 60));
  ASSERT_TRUE(CheckSaveData(app));
  ASSERT_TRUE(SubscribeWithKeyboard(app, broker, "queued/#", 1));
  const QString file = app.FilePath("queued-a.csv");
  ASSERT_TRUE(PublishTo(broker, {"-t", "queued/a", "-q", "1", "-m", "before"}));
  ASSERT_TRUE(WaitUntil([&] { return SavedValues(file) == QStringList{"before"}; }, 30));

  TReference reference(broker, "queued/#", 3);
  ASSERT_TRUE(WaitUntil([&] { return BrokerLogText(broker).count("Sending SUBACK") >= 2; }, 30));
  proxy.Cut();
  // The will says the window is gone: the broker holds its session now.
  ASSERT_TRUE(WaitUntil([&] { return RetainedValue(broker, "Vyr/" + id + "/status") == "0"; }, 60));
  for (const char *value : {"one", "two", "three"})
    ASSERT_TRUE(PublishTo(broker, {"-t", "queued/a", "-q", "1", "-m", value}));
  const QStringList received = reference.Values("queued/a");
  ASSERT_EQ(received, (QStringList{"one", "two", "three"}));
  ASSERT_TRUE(WaitUntil([&] { return SavedValues(file).size() >= 4; }, 60));
  EXPECT_EQ(SavedValues(file), QStringList{"before"} + received);
}

} // namespace
