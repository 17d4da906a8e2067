// vyr-cli over WebSocket (-L ws:// and wss://) to aedes served by the ws
// package, plain and over TLS with the certificate checked; refused upgrades
// from a real HTTP server; and the URL forms -L takes.

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "AedesBroker.h"
#include "CliHarness.h"
#include "TestBroker.h"
#include "TestCerts.h"

namespace {

class CliWebSocket : public ::testing::TestWithParam<const char *> {
protected:
  static void SetUpTestSuite() {
    Dir = new std::string(MakeTempDir("vyr-cli-ws"));
    TestAuthority ca(*Dir);
    Ca = new std::string(ca.CertFile());
    const TestCertificate server = ca.Issue({"server", "localhost", {"localhost"}, {"127.0.0.1"}});
    Ws = new AedesBroker("ws");
    Wss = new AedesBroker("wss", server.CertFile, server.KeyFile);
  }
  static void TearDownTestSuite() {
    delete Ws;
    delete Wss;
    RunShell("rm -rf '" + *Dir + "'");
    delete Dir;
    delete Ca;
  }
  bool Tls() const { return std::string(GetParam()) == "wss"; }
  const AedesBroker &Broker() const { return Tls() ? *Wss : *Ws; }
  // -L with the broker's URL, and the CA for wss.
  std::vector<std::string> Args(const std::string &command, std::vector<std::string> more,
                                const std::string &path = "/mqtt") const {
    std::vector<std::string> args = {command, "-L",
                                     std::string(GetParam()) + "://127.0.0.1:" + std::to_string(Broker().Port()) + path};
    if (Tls()) args.insert(args.end(), {"--cafile", *Ca});
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  std::string Id(const std::string &stem) { return stem + std::to_string(++FIds) + GetParam(); }

  static std::string *Dir;
  static std::string *Ca;
  static AedesBroker *Ws;
  static AedesBroker *Wss;
  int FIds = 0;
};
std::string *CliWebSocket::Dir;
std::string *CliWebSocket::Ca;
AedesBroker *CliWebSocket::Ws;
AedesBroker *CliWebSocket::Wss;

// Both directions at each QoS: one vyr-cli publishes, another receives, both
// over WebSocket; binary payloads larger than one TLS record included.
TEST_P(CliWebSocket, MessagesBothWaysAtEachQos) {
  const std::string big = BinaryPayload(70000);
  for (int qos = 0; qos <= 2; ++qos) {
    SCOPED_TRACE("QoS " + std::to_string(qos));
    const std::string topic = std::string("ws/") + GetParam() + "/" + std::to_string(qos);
    const std::string id = Id("wsub");
    Proc sub(CliPath(), Args("sub", {"-t", topic, "-q", std::to_string(qos), "-C", "2", "-i", id, "-V", "mqttv311"}));
    sub.Start();
    ASSERT_TRUE(WaitForFileText(Broker().LogFile(), "subscribed " + id + " "));
    ProcResult small = RunCli(Args("pub", {"-t", topic, "-q", std::to_string(qos), "-m", "hello over ws"}));
    EXPECT_EQ(small.ExitCode, 0) << small.Err;
    ProcResult large = RunCli(Args("pub", {"-t", topic, "-q", std::to_string(qos), "-f",
                                           WriteFile(*Dir, "big", big)}));
    EXPECT_EQ(large.ExitCode, 0) << large.Err;
    ProcResult r = sub.Wait();
    ASSERT_TRUE(r.Finished);
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_TRUE(r.Out == "hello over ws\n" + big + "\n") << r.Out.size() << " bytes";
  }
}

// The path and the protocol name reach the server: mqttv3.1 at MQTT 3.1,
// mqtt at 3.1.1; extra header lines are sent.
TEST_P(CliWebSocket, PathAndProtocolByLevel) {
  struct Case {
    const char *Level;
    const char *Path;
    const char *Protocol;
  } cases[] = {{"mqttv31", "/mqtt", "mqttv3.1"}, {"mqttv311", "/deep/path?x=1", "mqtt"}};
  for (auto &c : cases) {
    SCOPED_TRACE(c.Level);
    ProcResult r = RunCli(Args("pub", {"-t", "p", "-m", "x", "-V", c.Level, "--ws-header", "X-Test: yes"}, c.Path));
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_TRUE(WaitForFileText(Broker().LogFile(), std::string("websocket ") + c.Path + " " + c.Protocol + "\n"));
  }
}

TEST_P(CliWebSocket, DebugNamesThePath) {
  ProcResult r = RunCli(Args("pub", {"-t", "p", "-m", "x", "-d"}));
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_NE(r.Err.find(Tls() ? "(WebSocket over TLS)" : "(WebSocket)"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("WebSocket: HTTP/1.1 101 Switching Protocols, protocol mqttv3.1"), std::string::npos) << r.Err;
}

INSTANTIATE_TEST_SUITE_P(Schemes, CliWebSocket, ::testing::Values("ws", "wss"),
                         [](const auto &info) { return std::string(info.param); });

// A web server that is no WebSocket endpoint: its status line is the reason.
TEST(CliWebSocketRefused, HttpServerStatusLineIsTheReason) {
  const std::string dir = MakeTempDir("vyr-cli-http");
  const int port = FreeLoopbackPort();
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::chdir(dir.c_str()) != 0) ::_exit(126);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDERR_FILENO);
    ::execlp("python3", "python3", "-m", "http.server", "--bind", "127.0.0.1", std::to_string(port).c_str(),
             static_cast<char *>(nullptr));
    ::_exit(127);
  }
  for (int i = 0; i < 500 && !LoopbackPortAccepts(port); ++i) ::usleep(20000);
  ProcResult r = RunCli({"pub", "-L", "ws://127.0.0.1:" + std::to_string(port) + "/mqtt", "-t", "a", "-m", "x"});
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
  RunShell("rm -rf '" + dir + "'");
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_NE(r.Err.find("WebSocket: the server refused the WebSocket upgrade: HTTP/1.0 404 File not found"),
            std::string::npos)
      << r.Err;
}

TEST(CliUrl, WrongUrlsAreUsageErrors) {
  struct Case {
    std::vector<std::string> Args;
    std::string Error;
  } cases[] = {
      {{"sub", "-L", "http://h/t"}, "-L takes mqtt://, mqtts://, ws:// or wss:// URLs, not 'http://'"},
      {{"sub", "-L", "mqtt://h"}, "-L mqtt://h names no topic: give mqtt://host/topic"},
      {{"sub", "-L", "ws://h:99999/"}, "the port must be a number from 1 to 65535, not '99999'"},
      {{"sub", "-L", "ws://:80/"}, "names no host"},
      {{"sub", "-L", "localhost", "-t", "a"}, "is not a URL"},
      {{"sub", "-t", "a", "--ws-header", "X: y"}, "--ws-header applies to WebSocket"},
      {{"sub", "-L", "ws://h/", "-t", "a", "--ws-header", "no colon"}, "--ws-header takes 'Name: value'"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.Args[2]);
    ProcResult r = RunCli(c.Args);
    EXPECT_EQ(r.ExitCode, 2);
    EXPECT_NE(r.Err.find(c.Error), std::string::npos) << r.Err;
  }
}

// mosquitto's -L: user, password, host, port and topic from one URL.
TEST(CliUrl, MqttUrlCarriesCredentialsAndTopic) {
  TestBroker broker;
  const std::string port = std::to_string(broker.Port());
  Proc sub(CliPath(), {"sub", "-L", "mqtt://alice:se:cret@127.0.0.1:" + port + "/url/topic", "-C", "1", "-v", "-i",
                       "urlsub"});
  sub.Start();
  ASSERT_TRUE(WaitForFileText(broker.LogFile(), "Sending SUBACK to urlsub\n"));
  EXPECT_TRUE(WaitForFileText(broker.LogFile(), "u'alice'"));
  EXPECT_EQ(RunProc("mosquitto_pub", MosquittoArgs(broker.Port(), {"-t", "url/topic", "-m", "m"})).ExitCode, 0);
  ProcResult r = sub.Wait();
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out, "url/topic m\n");
}

}  // namespace

namespace {

// A broker that goes away over WebSocket: the subscriber says so, connects
// again as it does over TCP, subscribes again and receives.
TEST(CliWebSocketRestart, SubscriberReconnectsAfterTheBrokerRestarts) {
  auto broker = std::make_unique<AedesBroker>("ws");
  const int port = broker->Port();
  const std::string url = "ws://127.0.0.1:" + std::to_string(port) + "/mqtt";
  Proc sub(CliPath(), {"sub", "-L", url, "-t", "again", "-q", "1", "-C", "1", "-i", "wsagain"});
  sub.Start();
  ASSERT_TRUE(WaitForFileText(broker->LogFile(), "subscribed wsagain again"));
  broker.reset();
  ASSERT_TRUE(sub.WaitForErr("connection lost"));
  broker = std::make_unique<AedesBroker>("ws", "", "", port);
  ASSERT_TRUE(WaitForFileText(broker->LogFile(), "subscribed wsagain again", 30000));
  ProcResult pub = RunCli({"pub", "-L", url, "-t", "again", "-q", "1", "-m", "after the restart"});
  EXPECT_EQ(pub.ExitCode, 0) << pub.Err;
  ProcResult r = sub.Wait();
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out, "after the restart\n");
  EXPECT_NE(r.Err.find("reconnecting"), std::string::npos) << r.Err;
}

}  // namespace
