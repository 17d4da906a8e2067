// vyr-cli against real brokers, side by side with mosquitto_sub and
// mosquitto_pub: every case runs against mosquitto and against aedes.

#include <gtest/gtest.h>

#include <signal.h>

#include "CliHarness.h"

namespace {

struct PayloadCase {
  const char *Name;
  std::string Bytes;
};

std::vector<PayloadCase> Payloads() {
  return {
      {"text", "hello world"},
      {"empty", ""},
      {"binary", BinaryPayload(256)},          // NUL, CR, LF and bytes above 127
      {"large binary", BinaryPayload(70000)},  // several reads and a 3-byte remaining length
  };
}

class CliInterop : public ::testing::TestWithParam<BrokerKind> {
protected:
  void SetUp() override { Broker = MakeBroker(GetParam()); }

  // A short, unique client id (aedes takes at most 23 characters).
  std::string Id(const std::string &prefix) { return prefix + std::to_string(++FIds); }

  std::unique_ptr<InteropBroker> Broker;

private:
  int FIds = 0;
};

} // namespace

TEST_P(CliInterop, CliSubPrintsWhatMosquittoPubSends) {
  for (int qos = 0; qos <= 2; ++qos)
    for (const auto &payload : Payloads()) {
      SCOPED_TRACE(std::string(payload.Name) + " at QoS " + std::to_string(qos));
      const std::string topic = "in/" + std::to_string(qos) + "/" + payload.Name;
      const std::string id = Id("vsub");
      Proc sub(CliPath(), CliArgs("sub", Broker->Port(), {"-t", topic, "-q", std::to_string(qos), "-C", "1", "-i", id}));
      sub.Start();
      ASSERT_TRUE(Broker->WaitSubscribed(id));
      std::vector<std::string> pubArgs = {"-t", topic, "-q", std::to_string(qos)};
      if (payload.Bytes.empty())
        pubArgs.push_back("-n");
      else
        pubArgs.insert(pubArgs.end(), {"-f", WriteFile(Broker->Dir(), "payload", payload.Bytes)});
      EXPECT_EQ(RunProc("mosquitto_pub", MosquittoArgs(Broker->Port(), pubArgs)).ExitCode, 0);
      ProcResult r = sub.Wait();
      ASSERT_TRUE(r.Finished);
      EXPECT_EQ(r.ExitCode, 0) << r.Err;
      EXPECT_EQ(HexOf(r.Out), HexOf(payload.Bytes + "\n"));
    }
}

TEST_P(CliInterop, MosquittoSubReceivesWhatCliPubSends) {
  for (int qos = 0; qos <= 2; ++qos)
    for (const auto &payload : Payloads()) {
      SCOPED_TRACE(std::string(payload.Name) + " at QoS " + std::to_string(qos));
      const std::string topic = "out/" + std::to_string(qos) + "/" + payload.Name;
      const std::string id = Id("msub");
      Proc sub("mosquitto_sub",
               MosquittoArgs(Broker->Port(), {"-t", topic, "-q", std::to_string(qos), "-C", "1", "-i", id, "-F", "%l %x"}));
      sub.Start();
      ASSERT_TRUE(Broker->WaitSubscribed(id));
      std::vector<std::string> pubArgs = {"-t", topic, "-q", std::to_string(qos)};
      if (payload.Bytes.empty())
        pubArgs.push_back("-n");
      else if (payload.Bytes.size() < 100)
        pubArgs.insert(pubArgs.end(), {"-m", payload.Bytes});
      else
        pubArgs.insert(pubArgs.end(), {"-f", WriteFile(Broker->Dir(), "payload", payload.Bytes)});
      ProcResult pub = RunCli(CliArgs("pub", Broker->Port(), pubArgs));
      EXPECT_EQ(pub.ExitCode, 0) << pub.Err;
      ProcResult r = sub.Wait();
      ASSERT_TRUE(r.Finished);
      EXPECT_EQ(r.Out, std::to_string(payload.Bytes.size()) + " " + HexOf(payload.Bytes) + "\n");
    }
}

TEST_P(CliInterop, EachInputLineIsOneMessage) {
  for (int qos = 0; qos <= 2; ++qos) {
    SCOPED_TRACE("QoS " + std::to_string(qos));
    // vyr-cli pub -l to mosquitto_sub: empty lines are empty messages, a last line without newline counts.
    const std::string topic = "lines/" + std::to_string(qos);
    const std::string id = Id("msub");
    Proc sub("mosquitto_sub",
             MosquittoArgs(Broker->Port(), {"-t", topic, "-q", std::to_string(qos), "-C", "4", "-i", id, "-F", "%l %p"}));
    sub.Start();
    ASSERT_TRUE(Broker->WaitSubscribed(id));
    ProcResult pub = RunCli(CliArgs("pub", Broker->Port(), {"-t", topic, "-q", std::to_string(qos), "-l"}),
                            "first\n\nthird line\nlast");
    EXPECT_EQ(pub.ExitCode, 0) << pub.Err;
    EXPECT_EQ(sub.Wait().Out, "5 first\n0 \n10 third line\n4 last\n");

    // mosquitto_pub -l to vyr-cli sub, with -v.
    const std::string vid = Id("vsub");
    Proc vsub(CliPath(), CliArgs("sub", Broker->Port(), {"-t", topic, "-q", std::to_string(qos), "-C", "3", "-v", "-i", vid}));
    vsub.Start();
    ASSERT_TRUE(Broker->WaitSubscribed(vid));
    EXPECT_EQ(RunProc("mosquitto_pub", MosquittoArgs(Broker->Port(), {"-t", topic, "-q", std::to_string(qos), "-l"}),
                      "a\nbb\nccc\n")
                  .ExitCode,
              0);
    ProcResult r = vsub.Wait();
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_EQ(r.Out, topic + " a\n" + topic + " bb\n" + topic + " ccc\n");
  }
}

TEST_P(CliInterop, RetainedMessagesReachLateSubscribers) {
  // Retained by vyr-cli, read by mosquitto_sub (%r is the retain flag).
  ProcResult pub = RunCli(CliArgs("pub", Broker->Port(), {"-t", "kept/a", "-q", "1", "-r", "-m", "from vyr"}));
  ASSERT_EQ(pub.ExitCode, 0) << pub.Err;
  ProcResult late = RunProc("mosquitto_sub", MosquittoArgs(Broker->Port(), {"-t", "kept/a", "-C", "1", "-F", "%r %p"}));
  EXPECT_EQ(late.Out, "1 from vyr\n");

  // Retained by mosquitto_pub, read by vyr-cli.
  ASSERT_EQ(RunProc("mosquitto_pub", MosquittoArgs(Broker->Port(), {"-t", "kept/b", "-q", "2", "-r", "-m", "from mosquitto"}))
                .ExitCode,
            0);
  ProcResult ours = RunCli(CliArgs("sub", Broker->Port(), {"-t", "kept/+", "-q", "2", "-C", "2", "-v"}));
  EXPECT_EQ(ours.ExitCode, 0) << ours.Err;
  // Both retained messages, in either order.
  EXPECT_TRUE(ours.Out == "kept/a from vyr\nkept/b from mosquitto\n" ||
              ours.Out == "kept/b from mosquitto\nkept/a from vyr\n")
      << ours.Out;
}

TEST_P(CliInterop, WillIsPublishedOnlyWhenTheConnectionIsCut) {
  for (bool cut : {true, false}) {
    SCOPED_TRACE(cut ? "killed" : "ended by SIGTERM");
    const std::string willTopic = cut ? "will/cut" : "will/clean";
    const std::string watcherId = Id("watch");
    Proc watcher("mosquitto_sub", MosquittoArgs(Broker->Port(), {"-t", willTopic, "-q", "1", "-C", "1", "-i", watcherId}));
    watcher.Start();
    ASSERT_TRUE(Broker->WaitSubscribed(watcherId));

    const std::string victimId = Id("victim");
    Proc victim(CliPath(), CliArgs("sub", Broker->Port(),
                                   {"-t", "nothing", "-i", victimId, "--will-topic", willTopic, "--will-payload",
                                    "gone", "--will-qos", "1", "--debug"}));
    victim.Start();
    ASSERT_TRUE(victim.WaitForErr("Connection ACCEPTED"));
    victim.Signal(cut ? SIGKILL : SIGTERM);
    ProcResult v = victim.Wait();
    ASSERT_TRUE(v.Finished);
    if (!cut) {
      EXPECT_EQ(v.ExitCode, 0) << v.Err;
    }
    if (!cut) {
      // After a clean end the watcher's first message is this one, not the will.
      ASSERT_TRUE(Broker->WaitGone(victimId));
      EXPECT_EQ(
          RunProc("mosquitto_pub", MosquittoArgs(Broker->Port(), {"-t", willTopic, "-q", "1", "-m", "after"})).ExitCode,
          0);
    }
    EXPECT_EQ(watcher.Wait().Out, cut ? "gone\n" : "after\n");
  }
}

INSTANTIATE_TEST_SUITE_P(Brokers, CliInterop, ::testing::Values(BrokerKind::Mosquitto, BrokerKind::Aedes),
                         [](const auto &info) { return info.param == BrokerKind::Aedes ? "aedes" : "mosquitto"; });

// aedes reads MQTT 3.1 strictly: a client id above 23 characters is refused,
// and vyr-cli reports the broker's reason.
TEST(CliAedes, RefusedConnectionShowsTheReason) {
  auto broker = MakeBroker(BrokerKind::Aedes);
  ProcResult r = RunCli(CliArgs("sub", broker->Port(), {"-t", "a", "-i", "a-client-id-of-24-chars!"}));
  ASSERT_TRUE(r.Finished);
  EXPECT_EQ(r.ExitCode, 3);
  EXPECT_NE(r.Err.find("vyr-cli: the broker refused the connection: IDENTIFIER REJECTED"), std::string::npos) << r.Err;
  // 23 characters are fine.
  ProcResult ok = RunCli(CliArgs("pub", broker->Port(), {"-t", "a", "-m", "x", "-i", "a-client-id-of-23-chars"}));
  EXPECT_EQ(ok.ExitCode, 0) << ok.Err;
}
