// sub -C N against the scripted broker: messages that arrive in the same read
// after the N-th are neither printed nor acknowledged, so a persistent session
// keeps them for the next run.

#include <gtest/gtest.h>

#include "CliHarness.h"
#include "ScriptedBroker.h"

namespace {

std::string Publish(int qos, std::uint16_t id, const std::string &payload) {
  return Pkt(std::uint8_t(0x30 | qos << 1), Str("c") + Id(id) + payload);
}

// Accepts the subscriber, answers its CONNECT and takes its SUBSCRIBE,
// whose identifier goes to subscribeId.
Script ConnectAndSubscribe(std::uint16_t &subscribeId) {
  return {
      AcceptStep(10000),
      ExpectCheck([](const std::string &p) { return p[0] == 0x10 ? "" : "not CONNECT: " + Hex(p); }, "CONNECT"),
      SendStep(H("20 02 00 00")),
      ExpectCheck(
          [&](const std::string &p) {
            if (std::uint8_t(p[0]) != 0x82) return "not SUBSCRIBE: " + Hex(p);
            subscribeId = std::uint16_t(std::uint8_t(p[2]) << 8 | std::uint8_t(p[3]));
            return std::string();
          },
          "SUBSCRIBE"),
  };
}

struct CountCase {
  const char *Name;
  int Qos;
  int Count;
  int Arriving;
};

class CliCount : public ::testing::TestWithParam<CountCase> {};

} // namespace

TEST_P(CliCount, OnlyTheCountedMessagesAreAcknowledged) {
  const CountCase &c = GetParam();
  ScriptedBroker broker;
  Proc sub(CliPath(), CliArgs("sub", broker.Port(),
                              {"-t", "c", "-q", std::to_string(c.Qos), "-C", std::to_string(c.Count), "-i", "counter"}));
  sub.Start();
  std::string burst;
  for (int i = 1; i <= c.Arriving; ++i) burst += Publish(c.Qos, std::uint16_t(i), "m" + std::to_string(i));
  std::uint16_t subscribeId = 0;
  Script script = ConnectAndSubscribe(subscribeId);
  ASSERT_EQ(broker.Run(script), "");
  Script rest = {SendStep(Pkt(0x90, Id(subscribeId) + std::string(1, char(c.Qos)))),
                 // Every message in one write, so they arrive in one read.
                 SendStep(burst)};
  for (int i = 1; i <= c.Count; ++i) {
    if (c.Qos == 1) rest.push_back(ExpectStep(Pkt(0x40, Id(std::uint16_t(i))), "PUBACK " + std::to_string(i)));
    if (c.Qos == 2) {
      rest.push_back(ExpectStep(Pkt(0x50, Id(std::uint16_t(i))), "PUBREC " + std::to_string(i)));
      rest.push_back(SendStep(Pkt(0x62, Id(std::uint16_t(i)))));
      rest.push_back(ExpectStep(Pkt(0x70, Id(std::uint16_t(i))), "PUBCOMP " + std::to_string(i)));
    }
  }
  // Nothing for the later messages: the next packet is the DISCONNECT.
  rest.push_back(ExpectStep(H("E0 00"), "DISCONNECT and no acknowledgement of a later message"));
  EXPECT_EQ(broker.Run(rest), "");
  ProcResult r = sub.Wait();
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  std::string printed;
  for (int i = 1; i <= c.Count; ++i) printed += "m" + std::to_string(i) + "\n";
  EXPECT_EQ(r.Out, printed);
}

INSTANTIATE_TEST_SUITE_P(Counts, CliCount,
                         ::testing::Values(CountCase{"Qos1OneOfTwo", 1, 1, 2}, CountCase{"Qos1TwoOfFive", 1, 2, 5},
                                           CountCase{"Qos2OneOfThree", 2, 1, 3}),
                         [](const auto &info) { return std::string(info.param.Name); });

// A persistent session's queued messages come before the SUBACK: a count met
// by them ends the run once the SUBACK arrives, however much later.
TEST(CliCount, CountMetBeforeTheSubAckEndsWithIt) {
  ScriptedBroker broker;
  Proc sub(CliPath(), CliArgs("sub", broker.Port(), {"-t", "c", "-q", "1", "-C", "1", "-c", "-i", "early"}));
  sub.Start();
  std::uint16_t subscribeId = 0;
  Script script = ConnectAndSubscribe(subscribeId);
  script.insert(script.end(), {
      SendStep(Publish(1, 7, "queued")),
      ExpectStep(Pkt(0x40, Id(7)), "PUBACK 7"),
      // The subscriber has printed its one message and waits for the SUBACK.
      QuietStep(300),
  });
  ASSERT_EQ(broker.Run(script), "");
  EXPECT_EQ(broker.Run({SendStep(Pkt(0x90, Id(subscribeId) + std::string(1, '\1'))),
                        ExpectStep(H("E0 00"), "DISCONNECT after the SUBACK")}),
            "");
  ProcResult r = sub.Wait();
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out, "queued\n");
}
