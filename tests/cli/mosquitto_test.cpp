// vyr-cli against a real mosquitto: TLS, credentials, persistent sessions,
// long runs of QoS 1 and 2 lines, and the exit code of every failure.

#include <gtest/gtest.h>

#include <signal.h>

#include "CliHarness.h"
#include "TestBroker.h"

namespace {

std::vector<std::string> MosquittoTlsArgs(const TestBroker &broker, std::vector<std::string> more) {
  more.insert(more.end(), {"--cafile", broker.Certificate().CertFile, "--insecure"});
  return MosquittoArgs(broker.TlsPort(), more);
}

} // namespace

TEST(CliMosquitto, TlsInBothDirections) {
  TestBroker broker({.Tls = true});
  // vyr-cli sub over TLS, fed by mosquitto_pub over TLS.
  Proc sub(CliPath(), CliArgs("sub", broker.TlsPort(), {"--tls", "--insecure", "-t", "secure/in", "-q", "1", "-C", "1", "-i", "tlssub"}));
  sub.Start();
  ASSERT_TRUE(WaitForFileText(broker.LogFile(), "Sending SUBACK to tlssub\n"));
  const std::string binary = BinaryPayload(3000);
  EXPECT_EQ(RunProc("mosquitto_pub", MosquittoTlsArgs(broker, {"-t", "secure/in", "-q", "1", "-f",
                                                                WriteFile(broker.Dir(), "payload", binary)}))
                .ExitCode,
            0);
  ProcResult r = sub.Wait();
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(HexOf(r.Out), HexOf(binary + "\n"));

  // mosquitto_sub over TLS, fed by vyr-cli pub over TLS.
  Proc msub("mosquitto_sub", MosquittoTlsArgs(broker, {"-t", "secure/out", "-q", "2", "-C", "1", "-i", "tlsmsub"}));
  msub.Start();
  ASSERT_TRUE(WaitForFileText(broker.LogFile(), "Sending SUBACK to tlsmsub\n"));
  ProcResult pub = RunCli(CliArgs("pub", broker.TlsPort(), {"--tls", "--insecure", "-t", "secure/out", "-q", "2", "-m", "sealed"}));
  EXPECT_EQ(pub.ExitCode, 0) << pub.Err;
  EXPECT_EQ(msub.Wait().Out, "sealed\n");
}

TEST(CliMosquitto, DebugPrintsTheMonitorLines) {
  TestBroker broker;
  ProcResult r = RunCli(CliArgs("pub", broker.Port(), {"-t", "dbg", "-q", "1", "-m", "x", "--debug"}));
  EXPECT_EQ(r.ExitCode, 0);
  const std::string port = std::to_string(broker.Port());
  std::string expected = "Connecting to 127.0.0.1 on Port " + port +
                         "\nConnection ACCEPTED\nMessage 1 created.\nACK Message 1 disposed of.\n";
  EXPECT_EQ(r.Err, expected);
  EXPECT_EQ(r.Out, "");
}

TEST(CliMosquitto, CredentialsAndRefusal) {
  const std::string dir = MakeTempDir("vyr-cli-pw");
  const std::string pwFile = dir + "/passwords";
  ASSERT_EQ(RunShell("touch '" + pwFile + "' && mosquitto_passwd -b '" + pwFile + "' alice 's3cr3t w0rd'"), 0);
  TestBroker broker({.ExtraConfig = "allow_anonymous false\npassword_file " + pwFile});

  struct Case {
    std::vector<std::string> Credentials;
    int Exit;
    std::string Err;
  } cases[] = {
      {{"-u", "alice", "-P", "s3cr3t w0rd"}, 0, ""},
      {{"-u", "alice", "-P", "wrong"}, 3, "vyr-cli: the broker refused the connection: NOT AUTHORISED\n"},
      {{}, 3, "vyr-cli: the broker refused the connection: NOT AUTHORISED\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.Credentials.empty() ? "anonymous" : c.Credentials[3]);
    std::vector<std::string> args = {"-t", "auth", "-q", "1", "-m", "x"};
    args.insert(args.end(), c.Credentials.begin(), c.Credentials.end());
    ProcResult r = RunCli(CliArgs("pub", broker.Port(), args));
    ASSERT_TRUE(r.Finished);
    EXPECT_EQ(r.ExitCode, c.Exit);
    EXPECT_EQ(r.Err, c.Err);
  }
  RunShell("rm -rf '" + dir + "'");
}

TEST(CliMosquitto, FailuresExitWithTheirCodes) {
  TestBroker broker({.Tls = true});
  const std::string closedPort = std::to_string(FreeLoopbackPort());
  const std::string plain = std::to_string(broker.Port());
  struct Case {
    const char *Name;
    std::vector<std::string> Args;
    int Exit;
    std::string Err; // start of standard error
  } cases[] = {
      {"nothing listening", {"sub", "-h", "127.0.0.1", "-p", closedPort, "-t", "a"}, 1,
       "vyr-cli: cannot connect to 127.0.0.1 port " + closedPort + ": Connection refused"},
      {"missing file", {"pub", "-h", "127.0.0.1", "-p", plain, "-t", "a", "-f", broker.Dir() + "/none"}, 1,
       "vyr-cli: cannot read file '" + broker.Dir() + "/none'"},
      {"TLS to a plain listener", {"sub", "-h", "127.0.0.1", "-p", plain, "--tls", "-t", "a"}, 1,
       "vyr-cli: the connection closed before the broker accepted it"},
      {"count not reached in time", {"sub", "-h", "127.0.0.1", "-p", plain, "-t", "quiet", "-C", "2", "-W", "1"}, 4,
       "vyr-cli: timed out after 1 s"},
      {"time-out without a count is the planned end", {"sub", "-h", "127.0.0.1", "-p", plain, "-t", "quiet", "-W", "1"},
       0, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.Name);
    ProcResult r = RunCli(c.Args);
    ASSERT_TRUE(r.Finished);
    EXPECT_EQ(r.ExitCode, c.Exit) << r.Err;
    EXPECT_EQ(r.Err.substr(0, c.Err.size()), c.Err);
    if (c.Err.empty()) {
      EXPECT_EQ(r.Err, "");
    }
  }
}

TEST(CliMosquitto, PersistentSessionGetsWhatWasPublishedWhileAway) {
  TestBroker broker;
  const std::vector<std::string> session = {"-t", "away/#", "-q", "2", "-c", "-i", "keeper", "-C", "1", "-v"};
  // First visit: set up the session and leave.
  Proc first(CliPath(), CliArgs("sub", broker.Port(), session));
  first.Start();
  ASSERT_TRUE(WaitForFileText(broker.LogFile(), "Sending SUBACK to keeper\n"));
  ASSERT_EQ(RunProc("mosquitto_pub", MosquittoArgs(broker.Port(), {"-t", "away/0", "-q", "1", "-m", "while here"}))
                .ExitCode,
            0);
  EXPECT_EQ(first.Wait().Out, "away/0 while here\n");
  // Published while the session has no connection.
  for (const char *qos : {"1", "2"})
    ASSERT_EQ(RunProc("mosquitto_pub",
                      MosquittoArgs(broker.Port(), {"-t", std::string("away/") + qos, "-q", qos, "-m", "missed"}))
                  .ExitCode,
              0);
  std::vector<std::string> back = session;
  back[back.size() - 2] = "2"; // -C 2
  ProcResult r = RunCli(CliArgs("sub", broker.Port(), back));
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out, "away/1 missed\naway/2 missed\n");
  // Each exactly once: nothing is left for a third visit.
  back[back.size() - 2] = "1";
  back.insert(back.end(), {"-W", "2"});
  ProcResult third = RunCli(CliArgs("sub", broker.Port(), back));
  EXPECT_EQ(third.ExitCode, 4);
  EXPECT_EQ(third.Out, "");
}

TEST(CliMosquitto, ThousandsOfLinesArriveInOrder) {
  TestBroker broker;
  for (int qos : {1, 2}) {
    SCOPED_TRACE("QoS " + std::to_string(qos));
    const int n = 3000; // far more than the publisher keeps unacknowledged at once
    std::string input, expected;
    for (int i = 0; i < n; ++i) {
      input += "line " + std::to_string(i) + "\n";
      expected += "line " + std::to_string(i) + "\n";
    }
    const std::string id = "many" + std::to_string(qos);
    Proc sub("mosquitto_sub",
             MosquittoArgs(broker.Port(), {"-t", "many", "-q", std::to_string(qos), "-C", std::to_string(n), "-i", id}));
    sub.Start();
    ASSERT_TRUE(WaitForFileText(broker.LogFile(), "Sending SUBACK to " + id + "\n"));
    ProcResult pub = RunCli(CliArgs("pub", broker.Port(), {"-t", "many", "-q", std::to_string(qos), "-l"}), input, 120000);
    EXPECT_EQ(pub.ExitCode, 0) << pub.Err;
    ProcResult r = sub.Wait(120000);
    // Compared whole; only the sizes are printed when they differ.
    EXPECT_TRUE(r.Out == expected) << r.Out.size() << " bytes received, " << expected.size() << " expected";
  }
}

TEST(CliMosquitto, InterruptedSubscriberDisconnectsCleanly) {
  TestBroker broker;
  Proc sub(CliPath(), CliArgs("sub", broker.Port(), {"-t", "x", "-i", "stopper", "--debug"}));
  sub.Start();
  ASSERT_TRUE(sub.WaitForErr("Connection ACCEPTED"));
  sub.Signal(SIGINT);
  ProcResult r = sub.Wait();
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_TRUE(WaitForFileText(broker.LogFile(), "Received DISCONNECT from stopper\n"));
}

TEST(CliMosquitto, StandardInputAsOneMessageToSeveralFilters) {
  TestBroker broker;
  // -s sends all of standard input, binary or empty, as one message; sub takes several filters.
  Proc sub(CliPath(), CliArgs("sub", broker.Port(), {"-t", "multi/a", "-t", "multi/b", "-q", "1", "-C", "2", "-v",
                                                     "-i", "twofilters"}));
  sub.Start();
  ASSERT_TRUE(WaitForFileText(broker.LogFile(), "twofilters 1 multi/b\n"));
  const std::string binary = BinaryPayload(1000);
  ProcResult a = RunCli(CliArgs("pub", broker.Port(), {"-t", "multi/a", "-q", "1", "-s"}), binary);
  EXPECT_EQ(a.ExitCode, 0) << a.Err;
  ProcResult b = RunCli(CliArgs("pub", broker.Port(), {"-t", "multi/b", "-q", "1", "-s"}), "");
  EXPECT_EQ(b.ExitCode, 0) << b.Err;
  ProcResult r = sub.Wait();
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  // -v shows the empty message as mosquitto_sub does.
  EXPECT_EQ(HexOf(r.Out), HexOf("multi/a " + binary + "\nmulti/b (null)\n"));
}

TEST(CliMosquitto, SubscriberReconnectsAfterABrokerRestart) {
  TestBroker broker;
  Proc sub(CliPath(), CliArgs("sub", broker.Port(), {"-t", "again", "-q", "1", "-C", "2", "-i", "stayer", "--debug"}));
  sub.Start();
  ASSERT_TRUE(sub.WaitForErr(" disposed of.")); // SUBACK
  auto publish = [&](const std::string &text) {
    return RunProc("mosquitto_pub", MosquittoArgs(broker.Port(), {"-t", "again", "-q", "1", "-m", text})).ExitCode;
  };
  ASSERT_EQ(publish("before"), 0);
  broker.Restart();
  ASSERT_TRUE(sub.WaitForErr("vyr-cli: connection lost"));
  // The client tries again after six seconds and subscribes anew.
  ASSERT_TRUE(sub.WaitForErr(" disposed of.", 30000, 2));
  ASSERT_EQ(publish("after"), 0);
  ProcResult r = sub.Wait();
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out, "before\nafter\n");
}

TEST(CliMosquitto, PublisherStopsWhenTheBrokerGoesAway) {
  TestBroker broker;
  Proc pub(CliPath(), CliArgs("pub", broker.Port(), {"-t", "gone", "-q", "1", "-l", "--debug"}));
  pub.Start("first line\n", /*keepStdinOpen=*/true);
  ASSERT_TRUE(pub.WaitForErr("ACK Message 1 disposed of."));
  broker.Kill();
  ProcResult r = pub.Wait();
  ASSERT_TRUE(r.Finished);
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_NE(r.Err.find("vyr-cli: connection lost"), std::string::npos) << r.Err;
}

// --repeat: the message N times, beyond the QoS 2 in-flight window too, and
// --repeat-delay spaces them out.
TEST(CliMosquitto, RepeatPublishesTheMessageNTimes) {
  auto broker = MakeBroker(BrokerKind::Mosquitto);
  struct Case {
    std::vector<std::string> Options;
    int Times;
  };
  const Case cases[] = {{{"-q", "2", "--repeat", "50"}, 50}, {{"-q", "1", "--repeat", "3", "--repeat-delay", "0.2"}, 3}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Times);
    const std::string id = "rep" + std::to_string(c.Times);
    Proc sub("mosquitto_sub", MosquittoArgs(broker->Port(), {"-t", "rep", "-q", "2", "-C", std::to_string(c.Times),
                                                             "-F", "%U", "-i", id}));
    sub.Start();
    ASSERT_TRUE(broker->WaitSubscribed(id));
    std::vector<std::string> args = {"-t", "rep", "-m", "again"};
    args.insert(args.end(), c.Options.begin(), c.Options.end());
    ProcResult pub = RunCli(CliArgs("pub", broker->Port(), args));
    EXPECT_EQ(pub.ExitCode, 0) << pub.Err;
    ProcResult r = sub.Wait();
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    std::vector<double> times;
    for (std::size_t at = 0, nl; (nl = r.Out.find('\n', at)) != std::string::npos; at = nl + 1)
      times.push_back(std::stod(r.Out.substr(at, nl - at)));
    ASSERT_EQ(int(times.size()), c.Times);
    if (c.Times == 3) {
      EXPECT_GE(times.back() - times.front(), 0.35) << "two pauses of 0.2 s";
    }
  }
}
