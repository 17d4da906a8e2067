// The window at MQTT 5 (--protocol 5) with a real mosquitto whose
// dynamic-security plugin refuses some subscriptions and disconnects a user
// on an administrator's word: the list line says why a subscription was
// refused, the log why the broker disconnected; "Clean Session" No keeps the
// session for --session-expiry seconds.

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "StartConnection.h"
#include "StartOptions.h"
#include "TRadioGroup.h"
#include "TestBroker.h"

namespace {

int LogCount(TfrmMain &W, const QString &Text)
{
  int Count = 0;
  for (const QString &Line : LogLines(W))
    Count += Line.mid(20) == Text;
  return Count;
}

bool LogHasLine(TfrmMain &W, const QString &Text) { return LogCount(W, Text) > 0; }

qsizetype BrokerLogCount(const TestBroker &Broker, const QString &Text)
{
  return QString::fromUtf8(FileBytes(QString::fromStdString(Broker.LogFile()))).count(Text);
}

// A window with these start options, connected as user victim.
void Connect(TfrmMain &W, const TestBroker &Broker, const QStringList &Options)
{
  const TStartOptions Start = ParseStartOptions(QStringList{"--protocol", "5", "--broker", "127.0.0.1", "--port",
                                                            QString::number(Broker.Port()), "--ssl", "no", "--user",
                                                            "victim"} + Options);
  ASSERT_EQ(Start.Error.toStdString(), "");
  ASSERT_EQ(ApplyStartOptions(W, Start).toStdString(), "");
  W.show();
  W.edtPW->setText("secret");
  QTest::mouseClick(W.btnConn, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return LogHasLine(W, "Client online"); }, 20000))
      << LogLines(W).join('\n').toStdString() << FileBytes(QString::fromStdString(Broker.LogFile())).toStdString();
}

void Subscribe(TfrmMain &W, const QString &Filter, int Qos = 0)
{
  W.edtTopic->setText(Filter);
  W.rdgQosSub->SetItemIndex(Qos);
  QTest::mouseClick(W.btnSubs, Qt::LeftButton);
}

struct TAdministeredBroker {
  QTemporaryDir Dir;
  std::unique_ptr<TestBroker> Broker;
  TAdministeredBroker()
  {
    Broker = std::make_unique<TestBroker>(TestBroker::Options{.ExtraConfig = AdministeredConfig(Dir.path().toStdString())});
    for (const char *Command : {"createClient victim -p secret", "createRole closed",
                                "addRoleACL closed subscribePattern closed/# deny 5", "addClientRole victim closed"})
      EXPECT_TRUE(AdministerBroker(*Broker, Command)) << Command;
  }
};

} // namespace

TEST(WindowLevel5, RefusedSubscriptionAndBrokerDisconnectSayWhy)
{
  TAdministeredBroker Admin;
  TTestWindow W;
  ASSERT_NO_FATAL_FAILURE(Connect(*W, *Admin.Broker, {}));
  Subscribe(*W, "closed/x");
  Subscribe(*W, "open/x");
  EXPECT_TRUE(WaitFor([&] {
    return ShownTopics(*W) == QStringList({"closed/x=[refused: Not authorized]", "open/x=[subscribed]"});
  })) << ShownTopics(*W).join('\n').toStdString() << LogLines(*W).join('\n').toStdString()
     << FileBytes(QString::fromStdString(Admin.Broker->LogFile())).toStdString();
  EXPECT_TRUE(LogHasLine(*W, "Status: Subscription to closed/x refused: Not authorized."));

  ASSERT_TRUE(AdministerBroker(*Admin.Broker, "disableClient victim"));
  EXPECT_TRUE(WaitFor([&] { return LogHasLine(*W, "Status: Broker disconnected: Administrative action"); }, 20000));
}

// "Clean Session" No with --session-expiry 60 finds the session again after
// the client was away, with what was published meanwhile; with 0 the session
// ends with the connection. Yes starts a new session each time.
TEST(WindowLevel5, CleanSessionAndSessionExpiry)
{
  TAdministeredBroker Admin;
  struct Case {
    const char *Name;
    int CleanItem; // 0 Yes, 1 No
    const char *Expiry;
    bool Kept;
  } Cases[] = {{"kept a minute", 1, "60", true}, {"kept no time", 1, "0", false}, {"clean", 0, "60", false}};
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    TTestWindow W;
    const QString Id = QStringLiteral("Vyr-expiry-%1").arg(C.Name).replace(' ', '-');
    W->edtClientID->setText(Id);
    W->rdgClean->SetItemIndex(C.CleanItem);
    ASSERT_NO_FATAL_FAILURE(Connect(*W, *Admin.Broker, {"--session-expiry", C.Expiry}));
    const QString Filter = QStringLiteral("queued/%1").arg(Id);
    Subscribe(*W, Filter, 1);
    ASSERT_TRUE(WaitFor([&] { return ShownTopics(*W).contains(Filter + "=[subscribed]"); }));
    const QString Acknowledged = "Sending SUBACK to " + Id + "\n";
    ASSERT_TRUE(WaitFor([&] { return BrokerLogCount(*Admin.Broker, Acknowledged) == 1; }));
    QTest::mouseClick(W->btnInac, Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return W->sttConnection->text() == "Offline"; }, 20000));
    ASSERT_EQ(RunShell("mosquitto_pub -V 5 -h 127.0.0.1 -p " + std::to_string(Admin.Broker->Port()) + " -q 1 -t " +
                       Filter.toStdString() + " -m meanwhile"),
              0);
    QTest::mouseClick(W->btnAct, Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return LogCount(*W, "Client online") == 2; }, 20000));
    const QString Value = Filter + "=meanwhile";
    if (C.Kept)
      EXPECT_TRUE(WaitFor([&] { return ShownTopics(*W).contains(Value); }, 20000)) << ShownTopics(*W).join('\n').toStdString();
    else {
      // Something published once the window has subscribed again is seen; the earlier one never.
      ASSERT_TRUE(WaitFor([&] { return BrokerLogCount(*Admin.Broker, Acknowledged) == 2; }));
      ASSERT_EQ(RunShell("mosquitto_pub -V 5 -h 127.0.0.1 -p " + std::to_string(Admin.Broker->Port()) + " -q 1 -t " +
                         Filter.toStdString() + " -m later"),
                0);
      EXPECT_TRUE(WaitFor([&] { return ShownTopics(*W).contains(Filter + "=later"); }, 20000))
          << ShownTopics(*W).join('\n').toStdString() << LogLines(*W).join('\n').toStdString();
      EXPECT_FALSE(ShownTopics(*W).contains(Value));
    }
  }
}
