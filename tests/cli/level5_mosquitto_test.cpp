// vyr-cli at MQTT 5 with a real mosquitto, mosquitto's own clients beside it:
// properties published with -D reach subscribers and print through -F as
// mosquitto_sub prints them, will properties arrive with the will, rr gets its
// response, -x keeps a session, and refusals and the broker's DISCONNECT are
// printed with their reasons.

#include <gtest/gtest.h>

#include <QRegularExpression>

#include <csignal>

#include "CliHarness.h"
#include "TestBroker.h"

namespace {

std::vector<std::string> Level5(int port, std::vector<std::string> more) {
  std::vector<std::string> args = {"-V", "5", "-h", "127.0.0.1", "-p", std::to_string(port)};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

std::vector<std::string> CliLevel5(const std::string &command, int port, std::vector<std::string> more) {
  std::vector<std::string> args = Level5(port, std::move(more));
  args.insert(args.begin(), command);
  return args;
}

// The time stamp of %j is written differently by the two (ours is RFC 3339);
// a message expiry counts down at the broker, so both may see it a second apart.
std::string Masked(const std::string &text) {
  QString s = QString::fromUtf8(text.data(), qsizetype(text.size()));
  s.replace(QRegularExpression(R"("tst":"[^"]*")"), "\"tst\":T");
  s.replace(QRegularExpression(R"("message-expiry-interval":\d+)"), "\"message-expiry-interval\":E");
  s.replace(QRegularExpression(R"(E\{[ 0-9]*\})"), "E{}");
  return s.toUtf8().toStdString();
}

} // namespace

// Messages published by vyr-cli with properties of every kind a message can
// carry, and one without; each subscriber pair prints them by one format.
TEST(CliLevel5Mosquitto, PropertiesPublishedWithDPrintAsMosquittoSubPrintsThem) {
  std::unique_ptr<InteropBroker> broker = MakeBroker(BrokerKind::Mosquitto);
  const char *formats[] = {
      "[%A][%C][%D]E{%E}[%F][%P][%R][%S]|%t|%p",
      "[%5A][%-12C][%.3C][%6D]E{%05E}[%3F][%-9P][%10.5R][%-4S][%04S]",
      "%j",
      "%J",
  };
  constexpr int Count = 3;
  std::vector<std::unique_ptr<Proc>> subscribers;
  for (std::size_t i = 0; i < std::size(formats); ++i)
    for (const bool ours : {true, false}) {
      const std::string id = (ours ? "ours" : "theirs") + std::to_string(i);
      const std::vector<std::string> options = {"-t", "p/#", "-q", "2", "-C", std::to_string(Count), "-i", id, "-F",
                                                formats[i], "-D", "subscribe", "subscription-identifier", "9"};
      subscribers.push_back(ours ? std::make_unique<Proc>(CliPath(), CliLevel5("sub", broker->Port(), options))
                                 : std::make_unique<Proc>("mosquitto_sub", Level5(broker->Port(), options)));
      subscribers.back()->Start();
      ASSERT_TRUE(broker->WaitSubscribed(id));
    }
  const std::vector<std::vector<std::string>> messages = {
      {"-t", "p/a", "-q", "1", "-m", "hi", "-D", "publish", "content-type", "text/plain", "-D", "publish",
       "correlation-data", "id-1", "-D", "publish", "message-expiry-interval", "3600", "-D", "publish",
       "response-topic", "reply/to/me"},
      {"-t", "p/b", "-q", "2", "-m", R"({"a": [1, 2.50]})", "-D", "publish", "user-property", "k1", "v1", "-D",
       "publish", "user-property", "k1", "v2", "-D", "publish", "user-property", "name", "a \"quoted\" value", "-D",
       "publish", "payload-format-indicator", "1"},
      {"-t", "p/c", "-q", "0", "-m", "{}"},
  };
  // One at a time, through to every subscriber: messages of different QoS
  // may otherwise reach two subscribers in different orders.
  for (std::size_t m = 0; m < messages.size(); ++m) {
    ProcResult pub = RunCli(CliLevel5("pub", broker->Port(), messages[m]));
    ASSERT_EQ(pub.ExitCode, 0) << pub.Err;
    for (auto &s : subscribers) ASSERT_TRUE(s->WaitForOutLines(m + 1, 20000)) << m;
  }
  for (std::size_t i = 0; i < std::size(formats); ++i) {
    SCOPED_TRACE(formats[i]);
    ProcResult ours = subscribers[2 * i]->Wait(), theirs = subscribers[2 * i + 1]->Wait();
    EXPECT_EQ(ours.ExitCode, 0) << ours.Err;
    EXPECT_EQ(theirs.ExitCode, 0) << theirs.Err;
    EXPECT_EQ(std::count(ours.Out.begin(), ours.Out.end(), '\n'), Count) << ours.Out;
    EXPECT_EQ(Masked(ours.Out), Masked(theirs.Out));
    if (i == 0) {
      // The properties are there, not merely absent from both.
      EXPECT_NE(ours.Out.find("[text/plain][id-1]E{3"), std::string::npos) << ours.Out;
      EXPECT_NE(ours.Out.find("[1][k1:v1 k1:v2 name:a \"quoted\" value][][9]|p/b"), std::string::npos) << ours.Out;
      EXPECT_NE(ours.Out.find("[reply/to/me][9]|p/a|hi"), std::string::npos) << ours.Out;
    }
  }
}

// The will's properties come with the will when the connection is lost;
// mosquitto_sub, with the same options, sends the same will.
TEST(CliLevel5Mosquitto, WillPropertiesArriveWithTheWill) {
  std::unique_ptr<InteropBroker> broker = MakeBroker(BrokerKind::Mosquitto);
  Proc watcher("mosquitto_sub", Level5(broker->Port(), {"-t", "will/#", "-C", "2", "-i", "watcher", "-F",
                                                        "%t %p [%C][%D][%F][%P][%R]"}));
  watcher.Start();
  ASSERT_TRUE(broker->WaitSubscribed("watcher"));
  for (const bool ours : {true, false}) {
    const std::string id = ours ? "will-ours" : "will-theirs";
    const std::vector<std::string> options = {
        "-t", "x", "-i", id, "--will-topic", "will/" + id, "--will-payload", "gone", "-D", "will", "content-type",
        "text/plain", "-D", "will", "correlation-data", "c-1", "-D", "will", "payload-format-indicator", "1", "-D",
        "will", "user-property", "why", "lost", "-D", "will", "response-topic", "back/here"};
    Proc sub(ours ? CliPath() : "mosquitto_sub",
             ours ? CliLevel5("sub", broker->Port(), options) : Level5(broker->Port(), options));
    sub.Start();
    ASSERT_TRUE(broker->WaitSubscribed(id));
    sub.Signal(SIGKILL); // no DISCONNECT: the broker publishes the will
    sub.Wait();
  }
  ProcResult r = watcher.Wait();
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out, "will/will-ours gone [text/plain][c-1][1][why:lost][back/here]\n"
                   "will/will-theirs gone [text/plain][c-1][1][why:lost][back/here]\n");
}

// A responder made of mosquitto_sub and mosquitto_pub answers each request
// once; vyr-cli rr prints the answer as mosquitto_rr does.
TEST(CliLevel5Mosquitto, RequestAndResponseAsMosquittoRr) {
  std::unique_ptr<InteropBroker> broker = MakeBroker(BrokerKind::Mosquitto);
  const std::string port = std::to_string(broker->Port());
  // The request as it arrives: its payload, response topic and correlation data.
  Proc requests("mosquitto_sub", Level5(broker->Port(), {"-t", "req", "-C", "2", "-i", "requests", "-F", "%p|%R|%D"}));
  requests.Start();
  ASSERT_TRUE(broker->WaitSubscribed("requests"));
  std::vector<std::string> printed;
  for (const bool ours : {true, false}) {
    const std::string responder = "responder" + std::string(ours ? "1" : "2");
    Proc answer("sh", {"-c", "mosquitto_sub -V 5 -h 127.0.0.1 -p " + port + " -i " + responder +
                                 " -t req -C 1 | sed 's/^/answer to /' | mosquitto_pub -V 5 -h 127.0.0.1 -p " + port +
                                 " -t resp -l"});
    answer.Start();
    ASSERT_TRUE(broker->WaitSubscribed(responder));
    const std::vector<std::string> options = {"-t", "req", "-e", "resp", "-m", "question", "-W", "20", "-v"};
    ProcResult r = ours ? RunCli(CliLevel5("rr", broker->Port(), options))
                        : RunProc("mosquitto_rr", Level5(broker->Port(), options));
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    printed.push_back(r.Out);
    answer.Wait();
  }
  EXPECT_EQ(printed[0], "resp answer to question\n");
  EXPECT_EQ(printed[0], printed[1]);
  ProcResult seen = requests.Wait();
  static const QRegularExpression ourRequest(R"(^question\|resp\|vyr-cli-[0-9a-f]{16}\n)");
  EXPECT_TRUE(ourRequest.match(QString::fromStdString(seen.Out)).hasMatch()) << seen.Out;
}

// A response with another request's correlation data is not ours; -W gives
// up when none comes.
TEST(CliLevel5Mosquitto, RrWaitsForItsOwnCorrelationData) {
  std::unique_ptr<InteropBroker> broker = MakeBroker(BrokerKind::Mosquitto);
  Proc rr(CliPath(), CliLevel5("rr", broker->Port(),
                               {"-t", "req2", "-e", "resp2", "-m", "q", "-i", "asker", "-W", "20", "-D", "publish",
                                "correlation-data", "mine"}));
  rr.Start();
  ASSERT_TRUE(broker->WaitSubscribed("asker"));
  for (const char *data : {"other", "mine"})
    ASSERT_EQ(RunProc("mosquitto_pub", Level5(broker->Port(), {"-t", "resp2", "-m", std::string("for ") + data, "-D",
                                                               "publish", "correlation-data", data}))
                  .ExitCode,
              0);
  ProcResult r = rr.Wait();
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out, "for mine\n");
  ProcResult timedOut = RunCli(CliLevel5("rr", broker->Port(), {"-t", "nobody", "-e", "silence", "-m", "q", "-W", "1"}));
  EXPECT_EQ(timedOut.ExitCode, 4);
  EXPECT_EQ(timedOut.Out, "");
}

// -x: a session kept for a minute holds a QoS 1 message for the next run; one
// kept for 0 seconds ends with the connection.
TEST(CliLevel5Mosquitto, SessionExpiryKeepsOrEndsTheSession) {
  std::unique_ptr<InteropBroker> broker = MakeBroker(BrokerKind::Mosquitto);
  for (const std::string expiry : {"60", "0"}) {
    SCOPED_TRACE(expiry);
    const std::string id = "kept" + expiry;
    const std::vector<std::string> options = {"-t", "s/" + expiry, "-q", "1", "-c", "-i", id, "-x", expiry};
    std::vector<std::string> first = options;
    first.insert(first.end(), {"-W", "1"});
    ASSERT_EQ(RunCli(CliLevel5("sub", broker->Port(), first)).ExitCode, 0);
    ASSERT_EQ(RunProc("mosquitto_pub", Level5(broker->Port(), {"-t", "s/" + expiry, "-q", "1", "-m", "queued"}))
                  .ExitCode,
              0);
    std::vector<std::string> second = options;
    second.insert(second.end(), {"-C", "1", "-W", "3"});
    ProcResult r = RunCli(CliLevel5("sub", broker->Port(), second));
    EXPECT_EQ(r.Out, expiry == "60" ? "queued\n" : "") << r.Err;
  }
}

// Refusals name the broker's reason: a subscription the broker's access
// control refuses, and a DISCONNECT when an administrator disables the user.
TEST(CliLevel5Mosquitto, RefusalsAndTheBrokersDisconnectSayWhy) {
  const std::string dir = MakeTempDir("vyr-cli-level5-acl");
  {
    TestBroker broker({.ExtraConfig = SubscribeDenyConfig(dir, "closed/#")});
    ProcResult refused = RunCli(CliLevel5("sub", broker.Port(), {"-t", "closed/x", "-W", "10"}));
    EXPECT_EQ(refused.ExitCode, 3);
    EXPECT_NE(refused.Err.find("the broker refused the subscription to closed/x: Not authorized"), std::string::npos)
        << refused.Err;
  }
  TestBroker broker({.ExtraConfig = AdministeredConfig(dir)});
  ASSERT_TRUE(AdministerBroker(broker, "createClient victim -p secret"));
  Proc sub(CliPath(), CliLevel5("sub", broker.Port(), {"-t", "open/x", "-i", "victim1", "-u", "victim", "-P", "secret"}));
  sub.Start();
  ASSERT_TRUE(WaitForFileText(broker.LogFile(), "Sending SUBACK to victim1\n"));
  ASSERT_TRUE(AdministerBroker(broker, "disableClient victim"));
  EXPECT_TRUE(sub.WaitForErr("the broker disconnected: Administrative action\n"));
  EXPECT_EQ(sub.Wait().ExitCode, 11);
  // Disabled, it is refused when it comes again, with the reason.
  ProcResult r =
      RunCli(CliLevel5("sub", broker.Port(), {"-t", "open/x", "-i", "victim1", "-u", "victim", "-P", "secret"}));
  EXPECT_EQ(r.ExitCode, 3);
  EXPECT_NE(r.Err.find("the broker refused the connection: Not authorized"), std::string::npos) << r.Err;
  RunShell("rm -rf '" + dir + "'");
}
