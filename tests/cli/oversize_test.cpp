// A message over vyr-cli's receive limit (--max-packet-size), queued for a
// persistent session, neither blocks what is queued behind it nor passes in
// silence; without the option sub receives what pub can send.

#include <gtest/gtest.h>

#include <signal.h>

#include "CliHarness.h"
#include "TestBroker.h"

TEST(CliOversize, QueuedOverCapMessageIsSkippedReportedAndDoesNotBlock) {
  TestBroker broker;
  for (const std::string qos : {"1", "2"}) {
    SCOPED_TRACE("QoS " + qos);
    const std::string id = "bigsub" + qos;
    // 16 MiB of body and its five header bytes.
    const std::vector<std::string> args = {"-t", "big/#", "-c", "-i", id, "-C", "1", "-W", "60", "-q", qos,
                                           "--max-packet-size", "16777221"};
    // Set up the session, then leave.
    Proc first(CliPath(), CliArgs("sub", broker.Port(), args));
    first.Start();
    ASSERT_TRUE(WaitForFileText(broker.LogFile(), "Sending SUBACK to " + id + "\n"));
    first.Signal(SIGTERM);
    ASSERT_EQ(first.Wait().ExitCode, 0);
    // 17 MiB, over the 16 MiB limit, then a small one behind it.
    const std::string big = WriteFile(broker.Dir(), "big", std::string(17u << 20, 'B'));
    ASSERT_EQ(RunProc("mosquitto_pub", MosquittoArgs(broker.Port(), {"-t", "big/a", "-q", qos, "-f", big})).ExitCode, 0);
    ASSERT_EQ(RunProc("mosquitto_pub", MosquittoArgs(broker.Port(), {"-t", "big/b", "-q", qos, "-m", "behind"})).ExitCode,
              0);
    ProcResult r = RunCli(CliArgs("sub", broker.Port(), args), {}, 90000);
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_EQ(r.Out, "behind\n");
    // Body: topic (2 + 5 bytes), identifier (2) and the payload.
    EXPECT_EQ(r.Err, "vyr-cli: message on 'big/a' skipped: " + std::to_string((17u << 20) + 9) +
                         " bytes is above the limit of 16777216 bytes\n");
  }
}

// 17 MiB from vyr-cli pub reaches vyr-cli sub, as it reaches mosquitto_sub, at
// each level: sub's default limit is the protocol's own.
TEST(CliOversize, SubReceivesWhatPubSendsByDefault) {
  TestBroker broker;
  const std::string big(17u << 20, 'B');
  const std::string file = WriteFile(broker.Dir(), "big", big);
  for (const std::string level : {"mqttv31", "mqttv311", "mqttv5"}) {
    SCOPED_TRACE(level);
    const std::string id = "big17" + level;
    Proc sub(CliPath(), CliArgs("sub", broker.Port(), {"-V", level, "-t", "big17", "-C", "1", "-i", id, "-N"}));
    sub.Start();
    ASSERT_TRUE(WaitForFileText(broker.LogFile(), "Sending SUBACK to " + id + "\n"));
    const ProcResult pub = RunCli(CliArgs("pub", broker.Port(), {"-V", level, "-t", "big17", "-f", file}), {}, 90000);
    ASSERT_EQ(pub.ExitCode, 0) << pub.Err;
    const ProcResult r = sub.Wait(90000);
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_EQ(r.Out.size(), big.size());
    EXPECT_EQ(r.Out == big, true);
  }
}
