// The window end to end with a real mosquitto on loopback, plain and TLS: the
// connection buttons, the presence topic and its will, subscribe, receive,
// publish and the data files.

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include "TListBox.h"
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "TRadioGroup.h"
#include "TestBroker.h"

namespace {

// A mosquitto_sub or mosquitto_pub run alongside the window; its output is
// read once it has finished, while the event loop keeps the window going.
struct TTool {
  QProcess Process;
  TTool(const QString &Program, const QStringList &Args)
  {
    Process.setProcessChannelMode(QProcess::SeparateChannels);
    Process.start(Program, Args);
    Process.waitForStarted(10000);
  }
  ~TTool()
  {
    if (Process.state() != QProcess::NotRunning) {
      Process.kill();
      Process.waitForFinished(5000);
    }
  }
  bool Finish(int TimeoutMs = 20000)
  {
    return WaitFor([&] { return Process.state() == QProcess::NotRunning; }, TimeoutMs);
  }
  QString Output() { return QString::fromUtf8(Process.readAllStandardOutput()); }
};

QStringList SubArgs(const TestBroker &Broker, const QString &Topic, int Count)
{
  return {"-h", "127.0.0.1", "-p", QString::number(Broker.Port()), "-t", Topic, "-v",
          "-C", QString::number(Count), "-W", "20"};
}

// The retained value of a topic, as a fresh subscriber sees it.
QString Retained(const TestBroker &Broker, const std::string &Topic)
{
  TTool Sub("mosquitto_sub", SubArgs(Broker, QString::fromStdString(Topic), 1));
  Sub.Finish();
  return Sub.Output().trimmed().section(' ', 1);
}

void Publish(const TestBroker &Broker, const QString &Topic, const QString &Message)
{
  TTool Pub("mosquitto_pub", {"-h", "127.0.0.1", "-p", QString::number(Broker.Port()), "-t", Topic, "-m", Message});
  Pub.Finish();
}

QString BrokerLog(const TestBroker &Broker)
{
  return QString::fromUtf8(FileBytes(QString::fromStdString(Broker.LogFile())));
}

bool LogHas(TfrmMain &W, const QString &Text)
{
  for (const QString &Line : LogLines(W))
    if (Line.mid(20).startsWith(Text))
      return true;
  return false;
}

int LogCount(TfrmMain &W, const QString &Text)
{
  int Count = 0;
  for (const QString &Line : LogLines(W))
    Count += Line.mid(20) == Text;
  return Count;
}

// SUBACK and UNSUBACK lines ("Message N disposed of.") seen so far.
int AcknowledgedSubscriptions(TfrmMain &W)
{
  static const QRegularExpression Line("^Status: Message \\d+ disposed of\\.$");
  int Count = 0;
  for (const QString &Text : LogLines(W))
    Count += Line.match(Text.mid(20)).hasMatch();
  return Count;
}

bool Online(TfrmMain &W)
{
  return W.sttConnection->text() != "Offline";
}

// Types the settings and clicks Connect, as a user would.
void Connect(TfrmMain &W, int Port, bool Tls)
{
  W.show();
  W.edtBroker->setText("127.0.0.1");
  W.edtPort->setText(QString::number(Port));
  W.rdgSSL->SetItemIndex(Tls ? 0 : 1);
  QTest::mouseClick(W.btnConn, Qt::LeftButton);
}

std::string PresenceTopic(TfrmMain &W)
{
  return ("Vyr/" + W.edtClientID->text() + "/status").toStdString();
}

} // namespace

TEST(WindowBroker, ConnectPlainAndTls)
{
  TestBroker Broker({.Tls = true});
  for (const bool Tls : {false, true}) {
    SCOPED_TRACE(Tls ? "TLS" : "plain");
    TErrorBoxes Boxes;
    TTestWindow W;
    Connect(*W, Tls ? Broker.TlsPort() : Broker.Port(), Tls);
    ASSERT_TRUE(WaitFor([&] { return Online(*W); }, 20000)) << W->memLog->toPlainText().toStdString();
    EXPECT_TRUE(LogHas(*W, "Status: Connecting to 127.0.0.1 on Port "));
    EXPECT_TRUE(LogHas(*W, "Status: Connection ACCEPTED"));
    EXPECT_TRUE(LogHas(*W, "Client online"));
    if (Tls) {
      EXPECT_TRUE(LogHas(*W, "TLS Connection: "));
      EXPECT_TRUE(W->sttConnection->text().startsWith("TLS")) << W->sttConnection->text().toStdString();
    } else {
      EXPECT_TRUE(LogHas(*W, "Insecure Connection"));
      EXPECT_EQ(W->sttConnection->text(), "Insecure");
    }
    EXPECT_FALSE(W->btnConn->isEnabled());
    EXPECT_TRUE(W->btnDisc->isEnabled());
    EXPECT_FALSE(W->btnAct->isEnabled());
    EXPECT_TRUE(W->btnInac->isEnabled());
    EXPECT_EQ(Retained(Broker, PresenceTopic(*W)), "1");
    EXPECT_TRUE(Boxes.Texts.isEmpty()) << Boxes.Texts.join(" | ").toStdString();
  }
}

TEST(WindowBroker, DisconnectLeavesTheWillAndTheClientReconnects)
{
  TestBroker Broker;
  TTestWindow W;
  Connect(*W, Broker.Port(), false);
  ASSERT_TRUE(WaitFor([&] { return Online(*W); }, 20000));
  const std::string Topic = PresenceTopic(*W);
  TTool Watch("mosquitto_sub", SubArgs(Broker, QString::fromStdString(Topic), 3));
  // The watcher has subscribed once it has the retained "1".
  ASSERT_TRUE(WaitFor([&] { return Watch.Process.peek(4096).contains(" 1"); }));
  QTest::mouseClick(W->btnDisc, Qt::LeftButton);
  EXPECT_TRUE(WaitFor([&] { return !Online(*W); }));
  EXPECT_TRUE(LogHas(*W, "Client offline"));
  EXPECT_TRUE(W->btnConn->isEnabled());
  EXPECT_TRUE(W->btnAct->isEnabled());
  // The broker got no DISCONNECT and publishes the will; six seconds later the
  // client is back by itself and announces "1" again.
  ASSERT_TRUE(WaitFor([&] { return LogCount(*W, "Client online") == 2; }, 25000));
  ASSERT_TRUE(Watch.Finish());
  const QString Topicq = QString::fromStdString(Topic);
  EXPECT_EQ(Watch.Output().split('\n', Qt::SkipEmptyParts),
            QStringList({Topicq + " 1", Topicq + " 0", Topicq + " 1"}));
  EXPECT_FALSE(BrokerLog(Broker).contains("Received DISCONNECT from " + W->edtClientID->text()));
}

TEST(WindowBroker, InactivePublishesZeroBeforeDisconnect)
{
  TestBroker Broker;
  TTestWindow W;
  Connect(*W, Broker.Port(), false);
  ASSERT_TRUE(WaitFor([&] { return Online(*W); }, 20000));
  QTest::mouseClick(W->btnInac, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return !Online(*W); }));
  EXPECT_FALSE(W->mqt->Enabled());
  EXPECT_EQ(Retained(Broker, PresenceTopic(*W)), "0");
  const QString Id = W->edtClientID->text();
  QString Log;
  ASSERT_TRUE(WaitFor([&] {
    Log = BrokerLog(Broker);
    return Log.contains("Received DISCONNECT from " + Id);
  }));
  const qsizetype Zero = Log.lastIndexOf(QString("Received PUBLISH from %1 (d0, q0, r1, m0, 'Vyr/%1/status'").arg(Id));
  ASSERT_GE(Zero, 0) << Log.toStdString();
  EXPECT_LT(Zero, Log.indexOf("Received DISCONNECT from " + Id));
  // A client that was deactivated does not come back.
  RunLoop(500);
  EXPECT_EQ(LogCount(*W, "Client online"), 1);
  // Active brings it back with the settings of the last Connect.
  QTest::mouseClick(W->btnAct, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return Online(*W); }, 20000));
  EXPECT_EQ(Retained(Broker, PresenceTopic(*W)), "1");
}

TEST(WindowBroker, SubscribeReceivePublishAndSave)
{
  TestBroker Broker;
  TTestWindow W;
  W->chkSave->setChecked(true);
  Connect(*W, Broker.Port(), false);
  ASSERT_TRUE(WaitFor([&] { return Online(*W); }, 20000));
  W->edtTopic->setText("sensors/#");
  W->rdgQosSub->SetItemIndex(1);
  ASSERT_TRUE(W->btnSubs->isEnabled());
  QTest::mouseClick(W->btnSubs, Qt::LeftButton);
  EXPECT_EQ(ShownTopics(*W), QStringList("sensors/#=[subscribed]"));
  // The SUBACK has come back once its packet is disposed of.
  ASSERT_TRUE(WaitFor([&] { return AcknowledgedSubscriptions(*W) == 1; }));

  Publish(Broker, "sensors/t1", "21.5");
  ASSERT_TRUE(WaitFor([&] { return ShownTopics(*W).size() == 2; }));
  EXPECT_EQ(ShownTopics(*W), QStringList({"sensors/#=[subscribed]", "sensors/t1=21.5"}));
  EXPECT_TRUE(LogHas(*W, "sensors/t1=21.5"));
  EXPECT_TRUE(FileBytes(W.Data.filePath("sensors-t1.csv")).endsWith(";21.5\r\n"));

  // Publish to the selected line; the message comes back through the subscription.
  TTool Watch("mosquitto_sub", SubArgs(Broker, "sensors/t1", 1));
  ASSERT_TRUE(WaitFor([&] { return BrokerLog(Broker).count("Received SUBSCRIBE") >= 2; }));
  const QRect Row = W->lbxTopic->visualRect(W->lbxTopic->model()->index(1, 0));
  QTest::mouseClick(W->lbxTopic->viewport(), Qt::LeftButton, {}, Row.center());
  W->edtMessage->setText("22");
  W->rdgQosPub->SetItemIndex(2);
  ASSERT_TRUE(W->btnPub->isEnabled());
  QTest::mouseClick(W->btnPub, Qt::LeftButton);
  ASSERT_TRUE(Watch.Finish());
  EXPECT_EQ(Watch.Output().trimmed(), "sensors/t1 22");
  ASSERT_TRUE(WaitFor([&] { return ShownTopics(*W).contains("sensors/t1=22"); }));
  EXPECT_EQ(FileBytes(W.Data.filePath("sensors-t1.csv")).count("\r\n"), 2);

  // Unsubscribe the filter: later messages no longer arrive.
  const QRect Filter = W->lbxTopic->visualRect(W->lbxTopic->model()->index(0, 0));
  QTest::mouseClick(W->lbxTopic->viewport(), Qt::LeftButton, {}, Filter.center());
  ASSERT_TRUE(W->btnUnsub->isEnabled());
  QTest::mouseClick(W->btnUnsub, Qt::LeftButton);
  EXPECT_EQ(ShownTopics(*W), QStringList("sensors/t1=22"));
  ASSERT_TRUE(WaitFor([&] { return BrokerLog(Broker).contains("Received UNSUBSCRIBE"); }));
  ASSERT_TRUE(WaitFor([&] { return AcknowledgedSubscriptions(*W) == 2; }));
  Publish(Broker, "sensors/t2", "x");
  RunLoop(500);
  EXPECT_EQ(ShownTopics(*W), QStringList("sensors/t1=22"));
}

TEST(WindowBroker, ConnectWhileOnlineEndsTheOldSessionGracefully)
{
  TestBroker Broker;
  TTestWindow W;
  Connect(*W, Broker.Port(), false);
  ASSERT_TRUE(WaitFor([&] { return Online(*W); }, 20000));
  W->UpdateTopic("old", QString("1"));
  // Editing a box while online enables Connect again.
  const QString Port = W->edtPort->text();
  W->edtPort->clear();
  W->edtPort->setText(Port);
  ASSERT_TRUE(W->btnConn->isEnabled());
  QTest::mouseClick(W->btnConn, Qt::LeftButton);
  EXPECT_EQ(ShownTopics(*W), QStringList()) << "Connect empties the topic list";
  ASSERT_TRUE(WaitFor([&] { return LogCount(*W, "Client online") == 2; }, 20000));
  EXPECT_EQ(LogCount(*W, "Client offline"), 1);
  EXPECT_TRUE(BrokerLog(Broker).contains("Received DISCONNECT from " + W->edtClientID->text()));
  EXPECT_EQ(Retained(Broker, PresenceTopic(*W)), "1");
}

TEST(WindowBroker, PresenceTopicFollowsTheClientIdBoxAndClosingPublishesZero)
{
  TestBroker Broker;
  TTestWindow W;
  W->edtClientID->setText("Vyr-42");
  Connect(*W, Broker.Port(), false);
  ASSERT_TRUE(WaitFor([&] { return Online(*W); }, 20000));
  EXPECT_EQ(Retained(Broker, "Vyr/Vyr-42/status"), "1");

  // Edited while online: Inactive announces "0" on the topic of the new text.
  W->edtClientID->setText("Vyr-43");
  QTest::mouseClick(W->btnInac, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return !Online(*W); }));
  EXPECT_EQ(Retained(Broker, "Vyr/Vyr-43/status"), "0");
  EXPECT_EQ(Retained(Broker, "Vyr/Vyr-42/status"), "1") << "the old session ended with DISCONNECT: no will";

  // Closing the window publishes "0" itself (the client is torn down with the window).
  W->edtClientID->setText("Vyr-44");
  QTest::mouseClick(W->btnConn, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return Online(*W); }, 20000));
  EXPECT_EQ(Retained(Broker, "Vyr/Vyr-44/status"), "1");
  W->close();
  ASSERT_TRUE(WaitFor([&] {
    return BrokerLog(Broker).count("Received PUBLISH from Vyr-44 (d0, q0, r1, m0, 'Vyr/Vyr-44/status'") == 2;
  }));
  EXPECT_EQ(Retained(Broker, "Vyr/Vyr-44/status"), "0");
}
