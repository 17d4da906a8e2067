// vyr-cli at MQTT 5: a refusal ends with the exit code of
// its kind and names the broker's reason or limit, and the rest of the run
// still happens.

#include <gtest/gtest.h>

#include "CliHarness.h"
#include "ScriptedBroker.h"
#include "TestBroker.h"

namespace {

// Over the broker's maximum packet size of 200 bytes: refused before sending;
// the lines before and after it are still delivered, and pub ends with 9.
TEST(CliLevel5Exit, PublicationOverTheBrokersLimitExitsWith9) {
  TestBroker broker({.ExtraConfig = "max_packet_size 200\n"});
  Proc watcher("mosquitto_sub", {"-h", "127.0.0.1", "-p", std::to_string(broker.Port()), "-V", "5", "-t", "big/#",
                                  "-C", "2", "-i", "watch5"});
  watcher.Start();
  ASSERT_TRUE(WaitForFileText(broker.LogFile(), "Sending SUBACK to watch5"));
  const ProcResult pub =
      RunCli(CliArgs("pub", broker.Port(), {"-V", "5", "-t", "big/t", "-q", "1", "-l"}),
             "first\n" + std::string(500, 'x') + "\nlast\n");
  EXPECT_EQ(pub.ExitCode, 9) << pub.Err;
  EXPECT_NE(pub.Err.find("PUBLISH to big/t refused: the packet of 513 bytes is over the broker's maximum packet "
                         "size of 200 bytes"),
            std::string::npos)
      << pub.Err;
  const ProcResult seen = watcher.Wait();
  EXPECT_EQ(seen.Out, "first\nlast\n");
}

// Where the broker allows topic aliases, pub sends lines to one topic by
// alias after the first; mosquitto_sub still sees every line on its topic.
TEST(CliLevel5Exit, LinesByTopicAliasArriveWhole) {
  TestBroker broker({.ExtraConfig = "max_topic_alias 10\n"});
  Proc watcher("mosquitto_sub", {"-h", "127.0.0.1", "-p", std::to_string(broker.Port()), "-V", "5", "-t", "al/#",
                                  "-C", "3", "-v", "-i", "alwatch"});
  watcher.Start();
  ASSERT_TRUE(WaitForFileText(broker.LogFile(), "Sending SUBACK to alwatch"));
  const ProcResult pub = RunCli(CliArgs("pub", broker.Port(), {"-V", "5", "-t", "al/t", "-l"}), "a\nb\nc\n");
  EXPECT_EQ(pub.ExitCode, 0) << pub.Err;
  EXPECT_EQ(watcher.Wait().Out, "al/t a\nal/t b\nal/t c\n");
}

// The broker ends the connection with DISCONNECT 0x8E and a reason string
// (mosquitto only closes the old connection, so a scripted broker says it):
// sub ends with 11 and prints both.
TEST(CliLevel5Exit, BrokerDisconnectExitsWith11) {
  ScriptedBroker broker;
  Proc sub(CliPath(), CliArgs("sub", broker.Port(), {"-V", "5", "-t", "x"}));
  sub.Start();
  const std::string failed = broker.Run({
      AcceptStep(),
      ExpectCheck([](const std::string &p) { return p[0] == 0x10 ? "" : "not CONNECT: " + Hex(p); }, "CONNECT"),
      SendStep(H("20 03 00 00 00")),
      ExpectCheck([](const std::string &p) { return std::uint8_t(p[0]) == 0x82 ? "" : "not SUBSCRIBE: " + Hex(p); },
                  "SUBSCRIBE"),
  });
  ASSERT_EQ(failed, "");
  const std::string subscribeId = broker.Received.back().substr(2, 2);
  // SUBACK granting QoS 0; DISCONNECT Session taken over, reason string "twin"
  ASSERT_EQ(broker.Run({SendStep(Pkt(0x90, subscribeId + H("00 00"))), SendStep(H("E0 09 8E 07 1F 00 04") + "twin"),
                        ExpectClosedStep()}),
            "");
  const ProcResult ended = sub.Wait(20000);
  ASSERT_TRUE(ended.Finished);
  EXPECT_EQ(ended.ExitCode, 11) << ended.Err;
  EXPECT_NE(ended.Err.find("the broker disconnected: Session taken over (twin)"), std::string::npos) << ended.Err;
}

} // namespace
