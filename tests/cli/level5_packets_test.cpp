// vyr-cli's MQTT 5 options beside mosquitto_sub's: the same -D, -x and
// subscription options give the same properties in CONNECT (and its will),
// SUBSCRIBE, UNSUBSCRIBE and DISCONNECT. Both clients run against the scripted
// broker, which keeps every packet; a level-5 parser reads them back.

#include <gtest/gtest.h>

#include <algorithm>

#include "CliHarness.h"
#include "ScriptedBroker.h"
#include "uMQTT.h"

namespace {

struct Packets {
  TMQTTProperties Connect, Will, Subscribe, Unsubscribe, Disconnect;
  std::vector<int> Options; // the options byte of each SUBSCRIBE filter
  std::string WillTopic, WillMessage;
};

Packets Decode(const std::vector<std::string> &received) {
  Packets seen;
  TMQTTParser parser;
  parser.ProtocolLevel = plMQTT5;
  parser.OnConnect = [&](auto &&...) {
    seen.Connect = CopyProperties(parser.RxProperties);
    seen.Will = CopyProperties(parser.RxWillProperties);
  };
  parser.OnSetWill = [&](TMQTTParser *, std::string topic, std::string message, TMQTTQOSType, bool) {
    seen.WillTopic = topic;
    seen.WillMessage = message;
  };
  parser.OnSubscribe = [&](TMQTTParser *, std::uint16_t, const TTaggedStrings &filters) {
    seen.Subscribe = CopyProperties(parser.RxProperties);
    for (const auto &f : filters) seen.Options.push_back(f.Tag);
  };
  parser.OnUnsubscribe = [&](TMQTTParser *, std::uint16_t, const TTaggedStrings &) {
    seen.Unsubscribe = CopyProperties(parser.RxProperties);
  };
  parser.OnDisconnect = [&](TMQTTParser *) { seen.Disconnect = CopyProperties(parser.RxProperties); };
  for (const std::string &p : received) parser.Parse(p);
  return seen;
}

std::uint16_t PacketId(const std::string &p) { return std::uint16_t(std::uint8_t(p[2]) << 8 | std::uint8_t(p[3])); }

// One client's run: CONNECT, its SUBSCRIBE (and UNSUBSCRIBE with -U)
// answered, one message, then its DISCONNECT.
Packets RunClient(const std::string &program, std::vector<std::string> args, bool unsubscribes) {
  ScriptedBroker broker;
  const std::string port = std::to_string(broker.Port());
  if (program == "mosquitto_sub")
    args.insert(args.begin(), {"-h", "127.0.0.1", "-p", port});
  else
    args.insert(args.begin(), {"sub", "-h", "127.0.0.1", "-p", port});
  Proc client(program, args);
  client.Start();
  std::uint16_t subscribeId = 0, unsubscribeId = 0;
  const auto take = [&](const std::string &p) -> std::string {
    if (std::uint8_t(p[0]) == 0x82 && !subscribeId) subscribeId = PacketId(p);
    else if (std::uint8_t(p[0]) == 0xA2 && !unsubscribeId) unsubscribeId = PacketId(p);
    else return "neither SUBSCRIBE nor UNSUBSCRIBE: " + Hex(p);
    return {};
  };
  Script first = {AcceptStep(10000),
                  ExpectCheck([](const std::string &p) { return p[0] == 0x10 ? "" : "not CONNECT: " + Hex(p); }, "CONNECT"),
                  SendStep(H("20 03 00 00 00")), ExpectCheck(take, "SUBSCRIBE")};
  if (unsubscribes) first.push_back(ExpectCheck(take, "UNSUBSCRIBE"));
  EXPECT_EQ(broker.Run(first), "") << program;
  Script rest = {SendStep(Pkt(0x90, Id(subscribeId) + H("00 00")))};
  if (unsubscribes) rest.push_back(SendStep(Pkt(0xB0, Id(unsubscribeId) + H("00 00"))));
  rest.push_back(SendStep(Pkt(0x30, Str("a") + H("00") + "x")));
  rest.push_back(ExpectCheck([](const std::string &p) { return p[0] == char(0xE0) ? "" : "not DISCONNECT: " + Hex(p); },
                             "DISCONNECT"));
  EXPECT_EQ(broker.Run(rest), "") << program;
  ProcResult r = client.Wait();
  EXPECT_EQ(r.ExitCode, 0) << program << ": " << r.Err;
  EXPECT_EQ(r.Out, "x\n") << program;
  return Decode(broker.Received);
}

// In order of identifier; user properties keep their order among themselves.
TMQTTProperties Sorted(TMQTTProperties props) {
  std::stable_sort(props.begin(), props.end(), [](const auto &a, const auto &b) { return a.ID < b.ID; });
  return props;
}

// Each client announces its own receive maximum (and ours its packet size)
// unless told: those are compared only where the case gives them.
TMQTTProperties Compared(TMQTTProperties props, const std::vector<std::string> &options) {
  const auto given = [&](const char *name) { return std::find(options.begin(), options.end(), name) != options.end(); };
  if (!given("receive-maximum")) std::erase_if(props, [](const TMQTTProperty &p) { return p.ID == piReceiveMaximum; });
  if (!given("maximum-packet-size"))
    std::erase_if(props, [](const TMQTTProperty &p) { return p.ID == piMaximumPacketSize; });
  return Sorted(props);
}

} // namespace

TEST(CliLevel5Packets, PropertiesOfEveryCommandGoOutAsMosquittoSubSendsThem) {
  struct Case {
    const char *Name;
    std::vector<std::string> Options;
    bool Unsubscribes = false;
  };
  const Case cases[] = {
      {"connect",
       {"-x", "120", "-D", "connect", "user-property", "a", "b", "-D", "connect", "user-property", "a", "c", "-D",
        "connect", "request-response-information", "1", "-D", "connect", "request-problem-information", "0", "-D",
        "connect", "topic-alias-maximum", "5", "-D", "connect", "receive-maximum", "20", "-D", "connect",
        "maximum-packet-size", "5000"}},
      {"will",
       {"--will-topic", "w/t", "--will-payload", "bye", "-D", "will", "content-type", "text/plain", "-D", "will",
        "will-delay-interval", "3", "-D", "will", "user-property", "k", "v", "-D", "will", "message-expiry-interval",
        "60", "-D", "will", "payload-format-indicator", "1", "-D", "will", "response-topic", "r/t", "-D", "will",
        "correlation-data", "cd"}},
      {"subscribe",
       {"-q", "1", "--retain-as-published", "-D", "subscribe", "user-property", "s", "1", "-D", "subscribe",
        "subscription-identifier", "42"}},
      {"unsubscribe", {"-U", "u/#", "-D", "unsubscribe", "user-property", "u", "1"}, true},
      {"disconnect",
       {"-x", "60", "-D", "disconnect", "session-expiry-interval", "30", "-D", "disconnect", "user-property", "d",
        "1"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<std::string> args = {"-V", "5", "-t", "a", "-C", "1", "-i", "same-id"};
    args.insert(args.end(), c.Options.begin(), c.Options.end());
    const Packets ours = RunClient(CliPath(), args, c.Unsubscribes);
    const Packets theirs = RunClient("mosquitto_sub", args, c.Unsubscribes);
    EXPECT_EQ(Compared(ours.Connect, c.Options), Compared(theirs.Connect, c.Options));
    EXPECT_EQ(Sorted(ours.Will), Sorted(theirs.Will));
    EXPECT_EQ(ours.WillTopic + "|" + ours.WillMessage, theirs.WillTopic + "|" + theirs.WillMessage);
    EXPECT_EQ(Sorted(ours.Subscribe), Sorted(theirs.Subscribe));
    EXPECT_EQ(ours.Options, theirs.Options);
    EXPECT_EQ(ours.Unsubscribe, theirs.Unsubscribe);
    EXPECT_EQ(ours.Disconnect, theirs.Disconnect);
  }
  // What the case asked for is there at all (not two empty lists agreeing).
  const Packets asked = RunClient(CliPath(),
                            {"-V", "5", "-t", "a", "-C", "1", "-x", "60", "-D", "subscribe", "subscription-identifier",
                             "42", "-D", "disconnect", "user-property", "d", "1"},
                            false);
  ASSERT_NE(FindProperty(asked.Connect, piSessionExpiryInterval), nullptr);
  EXPECT_EQ(FindProperty(asked.Connect, piSessionExpiryInterval)->Number, 60u);
  ASSERT_NE(FindProperty(asked.Subscribe, piSubscriptionIdentifier), nullptr);
  EXPECT_EQ(FindProperty(asked.Subscribe, piSubscriptionIdentifier)->Number, 42u);
  EXPECT_EQ(asked.Disconnect, TMQTTProperties{UserProperty("d", "1")});
}

// mosquitto_sub has no --no-local or --retain-handling: the options byte of
// each filter is checked against the protocol's layout (QoS in bits 0-1, no
// local bit 2, retain as published bit 3, retain handling bits 4-5).
TEST(CliLevel5Packets, SubscriptionOptionsGoInEachFiltersOptionsByte) {
  struct Case {
    std::vector<std::string> Options;
    int Byte;
  } cases[] = {
      {{"-q", "2"}, 0x02},
      {{"-q", "1", "--no-local"}, 0x05},
      {{"--retain-as-published"}, 0x08},
      {{"--retain-handling", "1"}, 0x10},
      {{"-q", "1", "--no-local", "--retain-as-published", "--retain-handling", "2"}, 0x2D},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = {"-V", "5", "-t", "a", "-C", "1"};
    args.insert(args.end(), c.Options.begin(), c.Options.end());
    EXPECT_EQ(RunClient(CliPath(), args, false).Options, std::vector<int>{c.Byte}) << c.Byte;
  }
}

// The level-5 options without -V select level 5, as -D does for
// mosquitto_sub; with another level they are refused before connecting.
TEST(CliLevel5Packets, Level5OptionsNeedLevel5) {
  const Packets implied = RunClient(CliPath(), {"-t", "a", "-C", "1", "--no-local"}, false);
  EXPECT_EQ(implied.Options, std::vector<int>{0x04});
  struct Case {
    std::vector<std::string> Args;
    std::string Error;
  } cases[] = {
      {{"sub", "-V", "311", "-t", "a", "-x", "5"}, "need MQTT 5"},
      {{"sub", "-V", "mqttv31", "-t", "a", "-D", "connect", "user-property", "a", "b"}, "need MQTT 5"},
      {{"sub", "-t", "a", "-D", "connect", "user-property", "a"}, "-D connect user-property takes a NAME and a VALUE"},
      {{"sub", "-t", "a", "-D", "publish", "bogus", "1"}, "unknown property 'bogus'"},
      {{"sub", "-t", "a", "-D", "connect", "content-type", "x"}, "content-type is not a property of connect"},
      {{"pub", "-t", "a", "-m", "x", "-D", "publish", "subscription-identifier", "3"},
       "subscription-identifier is not a property of publish"},
      {{"pub", "-t", "a", "-m", "x", "-D", "puback", "reason-string", "x"}, "'puback' is not a command"},
      {{"pub", "-t", "a", "-m", "x", "-D", "publish", "payload-format-indicator", "2"}, "from 0 to 1, not '2'"},
      {{"pub", "-t", "a", "-m", "x", "-D", "publish", "message-expiry-interval", "-1"}, "not '-1'"},
      {{"pub", "-t", "a", "-m", "x", "-D", "publish", "content-type", "a", "-D", "publish", "content-type", "b"},
       "given more than once"},
      {{"sub", "-t", "a", "--retain-handling", "3"}, "the retain handling must be a whole number from 0 to 2"},
      {{"sub", "-t", "a", "-x", "4294967296"}, "session expiry interval"},
      {{"rr", "-t", "q", "-m", "x"}, "give the topic to wait for the response on with -e"},
      {{"rr", "-V", "311", "-t", "q", "-e", "r", "-m", "x"}, "rr needs MQTT 5"},
  };
  for (const Case &c : cases) {
    ProcResult r = RunCli(c.Args);
    EXPECT_EQ(r.ExitCode, 2) << c.Error;
    EXPECT_NE(r.Err.find(c.Error), std::string::npos) << r.Err;
  }
}

// A refused connection is printed with the reason's name and the broker's reason string.
TEST(CliLevel5Packets, RefusedConnectionSaysWhy) {
  ScriptedBroker broker;
  Proc sub(CliPath(), CliArgs("sub", broker.Port(), {"-V", "5", "-t", "a"}));
  sub.Start();
  EXPECT_EQ(broker.Run({AcceptStep(10000),
                        ExpectCheck([](const std::string &p) { return p[0] == 0x10 ? "" : "not CONNECT: " + Hex(p); },
                                    "CONNECT"),
                        SendStep(Pkt(0x20, H("00 87 0A 1F") + Str("go away")))}),
            "");
  ProcResult r = sub.Wait();
  EXPECT_EQ(r.ExitCode, 3);
  EXPECT_EQ(r.Err, "vyr-cli: the broker refused the connection: Not authorized (go away)\n");
}
