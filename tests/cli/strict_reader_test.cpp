// What a broker sends is checked before it is believed: a scripted broker
// sends each kind of malformed PUBLISH to vyr-cli and to mosquitto_sub, at
// MQTT 3.1 and 3.1.1. Both close the connection without acknowledging or
// printing anything and end with a protocol error; vyr-cli says what was
// wrong. log, a service, stays up, writes nothing and says it once.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "CliHarness.h"
#include "ScriptedBroker.h"

namespace fs = std::filesystem;

namespace {

struct Malformed {
  const char *Name;
  std::string Bytes;
  const char *Reason; // in vyr-cli's message
  // mosquitto_sub (2.0) ends with a protocol error too; it takes topics
  // that are not UTF-8 or hold NUL or a wildcard (and acknowledges them).
  bool MosquittoRejects = true;
};

const std::vector<Malformed> &Cases() {
  static const std::vector<Malformed> cases = {
      {"TopicNotUtf8", Pkt(0x30, Str("a\xFF") + "x"), "PUBLISH topic is not valid UTF-8", false},
      {"TopicWithNul", Pkt(0x30, Str(std::string("a\0b", 3)) + "x"), "PUBLISH topic holds a NUL character", false},
      {"TopicWithWildcard", Pkt(0x32, Str("wild-#") + Id(1) + "x"), "PUBLISH topic holds a wildcard", false},
      {"EmptyTopic", Pkt(0x30, Str("") + "xy"), "PUBLISH with an empty topic"},
      {"Qos1Identifier0", Pkt(0x32, Str("a") + Id(0) + "x"), "QoS 1 PUBLISH with packet identifier 0"},
      {"Qos2Identifier0", Pkt(0x34, Str("a") + Id(0) + "x"), "QoS 2 PUBLISH with packet identifier 0"},
      {"Qos3", Pkt(0x36, Str("a") + Id(3) + "x"), "PUBLISH with QoS 3"},
      {"TopicLengthPastPacket", Pkt(0x32, H("00 09") + Id(7) + "{\"a\""),
       "PUBLISH topic length 9 runs past the packet's 8 bytes"},
      {"IdentifierCutShort", Pkt(0x32, Str("a") + "\x07"), "QoS 1 PUBLISH has no room for its packet identifier"},
      {"FiveLengthBytes", H("30 80 80 80 80 01"), "remaining length runs past four bytes"},
  };
  return cases;
}

// The client's CONNECT and SUBSCRIBE answered, then the malformed packet; the
// client must close without sending anything more (no acknowledgement, no
// DISCONNECT). Empty on success, else what went wrong.
std::string RunMalformed(ScriptedBroker &broker, const std::string &bad, int acceptMs = 10000) {
  const std::string failed = broker.Run({
      AcceptStep(acceptMs),
      ExpectCheck([](const std::string &p) { return p[0] == 0x10 ? "" : "not CONNECT: " + Hex(p); }, "CONNECT"),
      SendStep(H("20 02 00 00")),
      ExpectCheck([](const std::string &p) { return std::uint8_t(p[0]) == 0x82 ? "" : "not SUBSCRIBE: " + Hex(p); },
                  "SUBSCRIBE"),
  });
  if (!failed.empty()) return failed;
  const std::string subscribeId = broker.Received.back().substr(2, 2);
  return broker.Run({SendStep(Pkt(0x90, subscribeId + "\x01")), SendStep(bad), ExpectClosedStep()});
}

class CliStrictReader : public ::testing::TestWithParam<std::tuple<const char *, std::size_t>> {};

TEST_P(CliStrictReader, MalformedPublishEndsSubWithAProtocolError) {
  const auto [level, index] = GetParam();
  const Malformed &c = Cases()[index];
  const bool v311 = std::string(level) == "mqttv311";

  struct Client {
    std::string Program;
    std::vector<std::string> Args;
  };
  const auto clients = [&](int port) {
    return std::vector<Client>{
        {CliPath(), CliArgs("sub", port, {"-V", level, "-t", "#", "-q", "2", "-F", "%j", "-i", "strict"})},
        {"mosquitto_sub", {"-V", v311 ? "mqttv311" : "mqttv31", "-h", "127.0.0.1", "-p", std::to_string(port), "-t",
                           "#", "-q", "2", "-F", "%j", "-i", "strict"}},
    };
  };
  for (int which = 0; which < (c.MosquittoRejects ? 2 : 1); ++which) {
    ScriptedBroker broker;
    const Client client = clients(broker.Port())[std::size_t(which)];
    SCOPED_TRACE(client.Program);
    Proc sub(client.Program, client.Args);
    sub.Start();
    EXPECT_EQ(RunMalformed(broker, c.Bytes), "");
    const ProcResult r = sub.Wait(20000);
    ASSERT_TRUE(r.Finished);
    EXPECT_EQ(r.Out, "") << "nothing of a malformed packet is printed";
    if (which == 0) {
      EXPECT_EQ(r.ExitCode, 7) << r.Err;
      EXPECT_NE(r.Err.find(std::string("vyr-cli: protocol error: ") + c.Reason), std::string::npos) << r.Err;
    } else {
      EXPECT_NE(r.ExitCode, 0) << r.Err;
      EXPECT_NE(r.Err.find("protocol error"), std::string::npos) << r.Err;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, CliStrictReader,
                         ::testing::Combine(::testing::Values("mqttv31", "mqttv311"),
                                            ::testing::Range(std::size_t(0), Cases().size())),
                         [](const auto &info) {
                           return std::string(std::get<0>(info.param)) + "_" +
                                  Cases()[std::get<1>(info.param)].Name;
                         });

// log keeps running: it writes no file for the bad topic, says why once, and
// comes back after the usual wait; the same fault again is not reported anew.
TEST(CliStrictReaderLog, LogReportsOnceWritesNothingAndReconnects) {
  const fs::path dir = fs::path(::testing::TempDir()) / ("vyr-strict-log-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  ScriptedBroker broker;
  Proc log(CliPath(), CliArgs("log", broker.Port(), {"-t", "#", "-q", "1", "-d", dir.string(), "-i", "strictlog"}));
  log.Start();
  const std::string bad = Pkt(0x32, Str("wild-#") + Id(1) + "x");
  for (int connection = 0; connection < 2; ++connection) {
    SCOPED_TRACE(connection);
    // The second connection comes after the reconnection delay.
    ASSERT_EQ(RunMalformed(broker, bad, 15000), "");
  }
  log.Signal(SIGTERM);
  const ProcResult r = log.Wait();
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  const std::string said = "vyr-cli: protocol error: PUBLISH topic holds a wildcard; reconnecting";
  const std::size_t first = r.Err.find(said);
  EXPECT_NE(first, std::string::npos) << r.Err;
  EXPECT_EQ(r.Err.find(said, first + 1), std::string::npos) << "reported once while it lasts:\n" << r.Err;
  EXPECT_EQ(r.Err.find("connection lost"), std::string::npos) << r.Err;
  EXPECT_TRUE(fs::is_empty(dir)) << "no data file for a malformed topic";
  fs::remove_all(dir);
}

} // namespace
