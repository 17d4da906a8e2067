// vyr-cli's reach: both protocol levels against mosquitto and aedes, a
// subscription the broker refuses, verified TLS with a private authority and
// client certificates, and IPv6 (literals and names).

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "CliHarness.h"
#include "TestBroker.h"

namespace {

struct LevelCase {
  BrokerKind Kind;
  const char *Level; // -V value
};

class CliLevels : public ::testing::TestWithParam<LevelCase> {};

// vyr-cli publishes at QoS 0, 1 and 2 to a vyr-cli subscriber, both at the
// level under test: vyr-cli as publisher and as subscriber.
TEST_P(CliLevels, Qos0To2BothWays) {
  const LevelCase c = GetParam();
  auto broker = MakeBroker(c.Kind);
  const std::string subId = std::string("lsub") + (std::string(c.Level) == "mqttv311" ? "311" : "31");
  Proc sub(CliPath(), CliArgs("sub", broker->Port(), {"-V", c.Level, "-t", "lv/#", "-q", "2", "-C", "3", "-v", "-i",
                                                      subId}));
  sub.Start();
  ASSERT_TRUE(broker->WaitSubscribed(subId));
  for (int qos = 0; qos <= 2; ++qos) {
    const std::string q = std::to_string(qos);
    ProcResult pub = RunCli(CliArgs("pub", broker->Port(), {"-V", c.Level, "-t", "lv/" + q, "-q", q, "-m", "m" + q,
                                                            "-i", "lpub" + q}));
    EXPECT_EQ(pub.ExitCode, 0) << pub.Err;
  }
  ProcResult r = sub.Wait();
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out, "lv/0 m0\nlv/1 m1\nlv/2 m2\n");
  if (c.Kind == BrokerKind::Mosquitto) {
    std::ifstream in(broker->Dir() + "/mosquitto.log");
    const std::string log{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    // mosquitto names the level of each client: p1 for 3.1, p2 for 3.1.1.
    const std::string mark = std::string(" as ") + subId + (std::string(c.Level) == "mqttv311" ? " (p2," : " (p1,");
    EXPECT_NE(log.find(mark), std::string::npos) << log;
  }
}

INSTANTIATE_TEST_SUITE_P(Brokers, CliLevels,
                         ::testing::Values(LevelCase{BrokerKind::Mosquitto, "mqttv31"},
                                           LevelCase{BrokerKind::Mosquitto, "mqttv311"},
                                           LevelCase{BrokerKind::Aedes, "mqttv31"},
                                           LevelCase{BrokerKind::Aedes, "mqttv311"}),
                         [](const ::testing::TestParamInfo<LevelCase> &info) {
                           return std::string(info.param.Kind == BrokerKind::Mosquitto ? "mosquitto_" : "aedes_") +
                                  info.param.Level;
                         });

TEST(CliReach, EmptyClientIdAt311LetsTheBrokerChoose) {
  TestBroker broker;
  ProcResult r = RunCli(CliArgs("pub", broker.Port(), {"-V", "mqttv311", "-t", "auto", "-m", "x", "-q", "1"}));
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  std::ifstream in(broker.LogFile());
  const std::string log{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_NE(log.find(" as auto-"), std::string::npos) << "mosquitto names clients it chose the id for auto-...";
}

TEST(CliReach, RefusedSubscriptionIsReported) {
  const std::string dir = MakeTempDir("vyr-cli-acl");
  TestBroker broker({.ExtraConfig = SubscribeDenyConfig(dir, "closed/#")});
  struct Case {
    const char *Name;
    std::vector<std::string> Filters;
    int Exit;
  } cases[] = {
      {"one of two refused: the other still works", {"open/#", "closed/#"}, 0},
      {"every filter refused", {"closed/#"}, 3},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<std::string> args = {"-V", "mqttv311", "-C", "1", "-W", "10", "-i", "refsub"};
    for (const auto &f : c.Filters) args.insert(args.end(), {"-t", f});
    Proc sub(CliPath(), CliArgs("sub", broker.Port(), args));
    sub.Start();
    ASSERT_TRUE(sub.WaitForErr("the broker refused the subscription to closed/#"));
    if (c.Exit == 0) {
      ProcResult pub = RunCli(CliArgs("pub", broker.Port(), {"-t", "open/x", "-m", "hi"}));
      EXPECT_EQ(pub.ExitCode, 0);
    }
    ProcResult r = sub.Wait();
    EXPECT_EQ(r.ExitCode, c.Exit) << r.Err;
    EXPECT_EQ(r.Out, c.Exit == 0 ? "hi\n" : "");
  }
  RunShell("rm -rf '" + dir + "'");
}

// Certificates for the TLS matrix, made once.
struct Pki {
  std::string Dir = MakeTempDir("vyr-cli-pki");
  TestAuthority Ca{Dir};
  TestCertificate Server = Ca.Issue({"server", "vyr broker", {"localhost"}, {"127.0.0.1"}});
  TestCertificate NameOnly = Ca.Issue({"name-only", "vyr broker", {"localhost"}, {}});
  TestCertificate Expired = Ca.Issue({"expired", "vyr broker", {"localhost"}, {"127.0.0.1"}, true});
  TestCertificate Client = Ca.Issue({"client", "vyr client", {}, {}, false, true});
  TestCertificate ExpiredClient = Ca.Issue({"expired-client", "vyr client", {}, {}, true, true});
  TestAuthority OtherCa{Dir + "/other"};
  TestCertificate StrangerClient = OtherCa.Issue({"stranger", "vyr client", {}, {}, false, true});
  ~Pki() { RunShell("rm -rf '" + Dir + "'"); }
};

TEST(CliReach, TlsMatrix) {
  Pki pki;
  struct Case {
    const char *Name;
    TestCertificate Served;
    bool RequireClientCert;
    std::vector<std::string> Args;
    int Exit;
    std::string Err; // in standard error
  } cases[] = {
      {"CA given", pki.Server, false, {"--cafile", pki.Ca.CertFile()}, 0, ""},
      {"CA not given: the system store does not know it", pki.Server, false, {"--tls"}, 6,
       "not issued by a trusted authority"},
      {"name mismatch", pki.NameOnly, false, {"--cafile", pki.Ca.CertFile()}, 6, "is not valid for '127.0.0.1'"},
      {"expired", pki.Expired, false, {"--cafile", pki.Ca.CertFile()}, 6, "has expired"},
      {"insecure", pki.Expired, false, {"--tls", "--insecure"}, 0, ""},
      {"client certificate given", pki.Server, true,
       {"--cafile", pki.Ca.CertFile(), "--cert", pki.Client.CertFile, "--key", pki.Client.KeyFile}, 0, ""},
      {"client certificate required, none given", pki.Server, true, {"--cafile", pki.Ca.CertFile()}, 6,
       "requires a client certificate"},
      {"at least TLS 1.3", pki.Server, false, {"--cafile", pki.Ca.CertFile(), "--tls-version", "tlsv1.3"}, 0, ""},
      {"client certificate expired", pki.Server, true,
       {"--cafile", pki.Ca.CertFile(), "--cert", pki.ExpiredClient.CertFile, "--key", pki.ExpiredClient.KeyFile}, 6,
       "the client certificate has expired"},
      {"client certificate of an unknown authority", pki.Server, true,
       {"--cafile", pki.Ca.CertFile(), "--cert", pki.StrangerClient.CertFile, "--key", pki.StrangerClient.KeyFile}, 6,
       "not signed by an authority the broker trusts"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    TestBroker broker({.Tls = true, .TlsCert = c.Served, .ClientCA = c.RequireClientCert ? pki.Ca.CertFile() : ""});
    std::vector<std::string> args = {"-t", "tls", "-q", "1", "-m", "sealed", "-W", "20"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    ProcResult r = RunCli(CliArgs("pub", broker.TlsPort(), args));
    EXPECT_EQ(r.ExitCode, c.Exit) << r.Err;
    EXPECT_NE(r.Err.find(c.Err), std::string::npos) << r.Err;
    if (c.Exit == 6) {
      EXPECT_NE(r.Err.find("vyr-cli: TLS: "), std::string::npos) << r.Err;
    }
  }
}

// A server that speaks only TLS 1.2 against --tls-version tlsv1.3: the
// reason is the version, not an aborted connection.
TEST(CliReach, NoCommonTlsVersionSaysSo) {
  Pki pki;
  const int port = FreeLoopbackPort();
  Proc server("openssl", {"s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-cert", pki.Server.CertFile,
                          "-key", pki.Server.KeyFile, "-tls1_2"});
  server.Start("", true);
  ASSERT_TRUE(server.WaitForOutLines(1, 10000)) << "openssl s_server did not start";
  const ProcResult r = RunCli(CliArgs("pub", port, {"-t", "tls", "-m", "x", "-W", "20", "--cafile",
                                                    pki.Ca.CertFile(), "--tls-version", "tlsv1.3"}));
  EXPECT_EQ(r.ExitCode, 1) << r.Err;
  EXPECT_NE(r.Err.find("vyr-cli: TLS: there is no TLS version that both accept"), std::string::npos) << r.Err;
}

TEST(CliReach, TlsFilesThatCannotBeLoadedAreReportedBeforeConnecting) {
  Pki pki;
  struct Case {
    std::vector<std::string> Args;
    std::string Err;
  } cases[] = {
      {{"--cafile", pki.Dir + "/none.crt"}, "Error loading CA file '" + pki.Dir + "/none.crt'"},
      {{"--cert", pki.Client.CertFile, "--key", pki.Server.KeyFile}, "does not belong to the certificate"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = {"-t", "x", "-m", "y"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    ProcResult r = RunCli(CliArgs("pub", 1, args));
    EXPECT_EQ(r.ExitCode, 2) << r.Err;
    EXPECT_NE(r.Err.find(c.Err), std::string::npos) << r.Err;
  }
}

// OpenSSL is a module of its own, loaded by the first TLS connection: a
// plain connection starts without it, a TLS one loads it.
TEST(CliReach, TheTlsEngineIsLoadedOnlyForTls) {
  Pki pki;
  TestBroker broker({.Tls = true, .TlsCert = pki.Server});
  auto mapped = [](const Proc &p) {
    std::ifstream maps("/proc/" + std::to_string(p.Pid()) + "/maps");
    return std::string(std::istreambuf_iterator<char>(maps), {});
  };
  struct Case {
    const char *Name;
    int Port;
    std::vector<std::string> Tls;
    bool Loaded;
  } cases[] = {
      {"plain", broker.Port(), {}, false},
      {"TLS", broker.TlsPort(), {"--cafile", pki.Ca.CertFile()}, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string id = std::string("engine-") + (c.Loaded ? "tls" : "plain");
    std::vector<std::string> args = {"-t", "engine", "-C", "1", "-i", id};
    args.insert(args.end(), c.Tls.begin(), c.Tls.end());
    Proc sub(CliPath(), CliArgs("sub", c.Port, args));
    sub.Start();
    ASSERT_TRUE(WaitForFileText(broker.LogFile(), "Sending SUBACK to " + id + "\n")) << "never subscribed";
    const std::string maps = mapped(sub);
    EXPECT_EQ(maps.find("libssl.so") != std::string::npos, c.Loaded);
    EXPECT_EQ(maps.find("vyr-tls.so") != std::string::npos, c.Loaded);
    std::vector<std::string> pub = {"-t", "engine", "-m", "x"};
    pub.insert(pub.end(), c.Tls.begin(), c.Tls.end());
    EXPECT_EQ(RunCli(CliArgs("pub", c.Port, pub)).ExitCode, 0);
    ProcResult r = sub.Wait();
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_EQ(r.Out, "x\n");
  }
}

// A program without its TLS module says so when TLS is asked for, before
// connecting, and still connects without TLS.
TEST(CliReach, AMissingTlsModuleIsReported) {
  TestBroker broker;
  const std::string dir = MakeTempDir("vyr-cli-alone");
  ASSERT_EQ(RunShell("cp '" + CliPath() + "' '" + dir + "/vyr-cli'"), 0);
  ProcResult tls = RunProc(dir + "/vyr-cli", CliArgs("pub", broker.Port(), {"-t", "x", "-m", "y", "--tls"}));
  EXPECT_EQ(tls.ExitCode, 2) << tls.Err;
  EXPECT_NE(tls.Err.find("TLS is not available: "), std::string::npos) << tls.Err;
  EXPECT_NE(tls.Err.find("vyr-tls.so"), std::string::npos) << tls.Err;
  ProcResult plain = RunProc(dir + "/vyr-cli", CliArgs("pub", broker.Port(), {"-t", "x", "-m", "y", "-q", "1"}));
  EXPECT_EQ(plain.ExitCode, 0) << plain.Err;
  RunShell("rm -rf '" + dir + "'");
}

// Runs vyr-cli with its own view of /etc/hosts (a private mount namespace;
// the machine's file is untouched). Empty when that is not possible here.
std::string HostsWrapper(const std::string &dir, const std::string &hosts) {
  std::ofstream(dir + "/hosts") << hosts;
  const std::string script = dir + "/with-hosts.sh";
  std::ofstream(script) << "#!/bin/sh\nexec unshare -m sh -c 'mount --bind \"$0\" /etc/hosts && exec \"$@\"' '"
                        << dir << "/hosts' \"$@\"\n";
  if (RunShell("chmod +x '" + script + "' && '" + script + "' true 2>/dev/null") != 0) return {};
  return script;
}

// A broker listening on ::1 only, reached by literal, bracketed literal and a
// name that resolves to it; and a name with both families whose first address
// (::1) refuses, so the second (127.0.0.1) is taken.
TEST(CliReach, Ipv6) {
  TestBroker six({.Address = "::1"});
  TestBroker four; // 127.0.0.1 only
  const std::string dir = MakeTempDir("vyr-cli-hosts");
  const std::string wrapper = HostsWrapper(dir, "127.0.0.1 localhost\n::1 vyr-six\n::1 vyr-both\n127.0.0.1 vyr-both\n");
  struct Case {
    const char *Host;
    int Port;
    bool NeedsNames;
  } cases[] = {
      {"::1", six.Port(), false},
      {"[::1]", six.Port(), false},
      {"vyr-six", six.Port(), true},
      {"vyr-both", four.Port(), true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Host);
    if (c.NeedsNames && wrapper.empty()) {
      ADD_FAILURE() << "cannot give vyr-cli its own /etc/hosts (unshare -m)";
      continue;
    }
    std::vector<std::string> args = {"pub", "-h", c.Host, "-p", std::to_string(c.Port), "-t", "six", "-m", "x",
                                     "-q", "1", "--debug"};
    ProcResult r = c.NeedsNames ? [&] {
      args.insert(args.begin(), CliPath());
      return RunProc(wrapper, args);
    }()
                                : RunCli(args);
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_NE(r.Err.find("Connection ACCEPTED"), std::string::npos) << r.Err;
  }
  RunShell("rm -rf '" + dir + "'");
}

} // namespace

namespace {

std::size_t Occurrences(const std::string &path, const std::string &needle) {
  std::ifstream in(path);
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::size_t n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

} // namespace

// Every -t goes out in one SUBSCRIBE; the SUBACK still names each refused filter.
TEST(CliReach, AllFiltersInOneSubscribeEachRefusalByName) {
  const std::string dir = MakeTempDir("vyr-cli-acl");
  TestBroker broker({.ExtraConfig = SubscribeDenyConfig(dir, "closed/#")});
  Proc sub(CliPath(), CliArgs("sub", broker.Port(), {"-V", "mqttv311", "-C", "2", "-W", "20", "-i", "onesub", "-v", "-t",
                                                     "open/a", "-t", "closed/x", "-t", "open/b", "-t", "closed/y"}));
  sub.Start();
  ASSERT_TRUE(sub.WaitForErr("the broker refused the subscription to closed/y"));
  for (const char *topic : {"open/a", "closed/x", "open/b"})
    EXPECT_EQ(RunCli(CliArgs("pub", broker.Port(), {"-t", topic, "-m", "hi"})).ExitCode, 0);
  ProcResult r = sub.Wait();
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out, "open/a hi\nopen/b hi\n");
  EXPECT_EQ(r.Err, "vyr-cli: the broker refused the subscription to closed/x\n"
                   "vyr-cli: the broker refused the subscription to closed/y\n");
  EXPECT_EQ(Occurrences(broker.LogFile(), "Received SUBSCRIBE from onesub"), 1u);
  RunShell("rm -rf '" + dir + "'");
}

// sub -U alone takes a filter out of a kept session and prints what the rest bring.
TEST(CliReach, UnsubscribeWithoutTopicLeavesTheRestOfTheSession) {
  TestBroker broker;
  Proc first(CliPath(), CliArgs("sub", broker.Port(), {"-V", "mqttv311", "-c", "-i", "kept", "-t", "a/#", "-t", "b/#"}));
  first.Start();
  ASSERT_TRUE(WaitForFileText(broker.LogFile(), "Sending SUBACK to kept\n"));
  first.Signal(SIGTERM);
  ASSERT_EQ(first.Wait().ExitCode, 0);

  Proc second(CliPath(), CliArgs("sub", broker.Port(), {"-V", "mqttv311", "-c", "-i", "kept", "-U", "a/#", "-C", "1", "-W", "20", "-v"}));
  second.Start();
  ASSERT_TRUE(WaitForFileText(broker.LogFile(), "Sending UNSUBACK to kept\n"));
  for (const char *topic : {"a/x", "b/x"})
    EXPECT_EQ(RunCli(CliArgs("pub", broker.Port(), {"-t", topic, "-m", topic, "-q", "1"})).ExitCode, 0);
  ProcResult r = second.Wait();
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out, "b/x b/x\n");
  EXPECT_EQ(Occurrences(broker.LogFile(), "Received SUBSCRIBE from kept"), 1u);
}

namespace {

// --alpn: the names offered, in order, to a TLS server that records them
// (openssl s_server, which speaks no MQTT), and the broker's choice in the
// debug output.
TEST(CliAlpn, NamesOfferedInOrderAndTheChoiceInTheDebugOutput) {
  const std::string dir = ::testing::TempDir() + "vyr-alpn-" + std::to_string(::getpid());
  ASSERT_EQ(::system(("mkdir -p '" + dir + "'").c_str()), 0);
  const TestCertificate cert = MakeSelfSignedCertificate(dir);
  const int port = FreeLoopbackPort();
  Proc server("openssl", {"s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-cert", cert.CertFile,
                          "-key", cert.KeyFile, "-alpn", "mqtt"});
  server.Start({}, true);
  ASSERT_TRUE(server.WaitForOutLines(1, 10000)) << "openssl s_server does not listen";

  Proc pub(CliPath(), CliArgs("pub", port, {"--tls", "--insecure", "--alpn", "x-first", "--alpn", "mqtt", "-d", "-t",
                                            "alpn/t", "-m", "x"}));
  pub.Start();
  EXPECT_TRUE(pub.WaitForErr("TLS: ALPN protocol mqtt\n"));
  pub.Signal(SIGTERM);
  pub.Wait(10000);
  server.Signal(SIGTERM);
  const ProcResult served = server.Wait(10000);
  EXPECT_NE(served.Out.find("ALPN protocols advertised by the client: x-first, mqtt\n"), std::string::npos) << served.Out;
}

} // namespace
