// The client at MQTT 3.1.1 against a scripted broker on 127.0.0.1: the CONNECT
// it sends, the CONNACK's session-present flag and return-code texts, refused
// subscriptions, and the re-send rule (never on a timer, once after every
// accepted reconnection).

#include <gtest/gtest.h>

#include "ClientSession.h"
#include "ScriptedBroker.h"

namespace {

std::string Connect311(const std::string &clientId, std::uint8_t flags) {
  return Pkt(0x10, Str("MQTT") + "\x04" + std::string(1, static_cast<char>(flags)) + Id(0) + Str(clientId));
}
std::string Ack(std::uint8_t first, std::uint16_t id) { return Pkt(first, Id(id)); }
std::string Publish(std::uint8_t first, const std::string &topic, std::uint16_t id, const std::string &payload) {
  return Pkt(first, Str(topic) + Id(id) + payload);
}

class Level311 : public testing::Test {
protected:
  Level311() {
    C().SetHost("127.0.0.1");
    C().SetPort(Broker.Port());
    C().SetClientID("tc");
    C().SetKeepAlive(0);
    C().SetProtocolLevel(plMQTT311);
  }
  TMQTTClient &C() { return R.C(); }
  // Accept, the CONNECT, the given CONNACK, online.
  Script Online(const std::string &connAck = H("20 02 00 00"), const std::string &clientId = "tc",
                std::uint8_t flags = 0) {
    return {AcceptStep(), ExpectStep(Connect311(clientId, flags), "3.1.1 CONNECT"), SendStep(connAck),
            UntilStep([this] { return C().Online(); }, "online")};
  }
  // The client leaves and comes back on a new connection.
  Script Reconnect() {
    return {DoStep([this] { C().Activate(false); }), ExpectStep(H("E0 00")), ExpectClosedStep(),
            DoStep([this] { C().Activate(true); })};
  }
  void Run(const Script &script) {
    C().Activate(true);
    const std::string failure = Broker.Run(script);
    ASSERT_EQ(failure, "") << "monitor lines:" << R.Transcript();
  }
  ScriptedBroker Broker;
  RecordedClient R;
};

Script operator+(Script a, const Script &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(Level311, ConnAckSessionPresentIsReadAndReported) {
  struct Case {
    const char *ConnAck;
    bool Present;
    const char *Line;
  };
  const Case cases[] = {{"20 02 01 00", true, "Session present."}, {"20 02 00 00", false, "No session present."}};
  Script s;
  for (const Case &c : cases) s = s + Online(H(c.ConnAck)) + Script{DoStep([this, c] {
                                    EXPECT_EQ(C().SessionPresent(), c.Present) << c.ConnAck;
                                    EXPECT_TRUE(R.Has(c.Line)) << c.ConnAck;
                                  })} + Reconnect();
  Run(s + Online());
  EXPECT_EQ(R.MissingInOrder({"Connection ACCEPTED", "Session present.", "Connection ACCEPTED",
                              "No session present."}),
            "");
}

TEST_F(Level311, RefusedConnAckUsesThe311Texts) {
  Run({AcceptStep(), ExpectStep(Connect311("tc", 0)), SendStep(H("20 02 00 05")), ExpectStep(H("E0 00")),
       ExpectClosedStep()});
  EXPECT_TRUE(R.Has("Connection NOT AUTHORIZED")) << R.Transcript();
  EXPECT_FALSE(C().Enabled());
}

TEST_F(Level311, EmptyClientIdWithCleanSessionIsSentEmpty) {
  C().SetClientID("");
  C().SetClean(true);
  Run(Online(H("20 02 00 00"), "", 0x02));
  EXPECT_EQ(C().ClientID(), "") << "the broker chose the identifier";
}

TEST_F(Level311, EmptyClientIdWithoutCleanSessionStillGetsOne) {
  C().SetClientID("");
  Run({AcceptStep(), ExpectCheck(
                         [](const std::string &p) -> std::string {
                           return p.find("CID") != std::string::npos ? "" : "no generated identifier: " + Hex(p);
                         },
                         "CONNECT with a generated identifier")});
  EXPECT_EQ(C().ClientID().rfind("CID", 0), 0u);
}

TEST_F(Level311, RefusedSubscriptionIsMarkedAndReported) {
  std::vector<std::string> refused;
  C().OnSubRefused = [&](TMQTTClient *, const std::string &topic) { refused.push_back(topic); };
  TTaggedStrings topics{{"ok/#", 1}, {"denied/#", 2}};
  Run(Online() + Script{DoStep([&] { C().Subscribe(&topics); }),
                        ExpectStep(Pkt(0x82, Id(1) + Str("ok/#") + "\x01" + Str("denied/#") + "\x02")),
                        SendStep(H("90 04 00 01 01 80")),
                        UntilStep([this] { return C().InFlight->Count() == 0; }, "SUBACK handled")});
  EXPECT_EQ(refused, std::vector<std::string>{"denied/#"});
  EXPECT_TRUE(R.Has("Subscription to denied/# refused.")) << R.Transcript();
  EXPECT_FALSE(R.Has("Subscription to ok/# refused."));
  ASSERT_EQ(C().Subscriptions.size(), 2u);
  EXPECT_EQ(static_cast<std::uint32_t>(C().Subscriptions[0].Tag), 0xFF01u);
  EXPECT_EQ(static_cast<std::uint32_t>(C().Subscriptions[1].Tag), 0xFF82u);
}

// Nothing goes out again while the connection lives, however short the retry
// time; after the reconnection every unacknowledged packet goes out once, in
// its first order: the PUBLISH with DUP, the received one as PUBREL, the
// SUBSCRIBE as it was.
TEST_F(Level311, UnacknowledgedPacketsAreResentOnlyAfterReconnecting) {
  C().SetRetryTime(1);
  Run(Online() +
      Script{DoStep([this] {
               C().Publish("a", "1", qtAT_LEAST_ONCE, false);
               C().Publish("b", "2", qtEXACTLY_ONCE, false);
               C().Subscribe("s/#", qtAT_LEAST_ONCE);
             }),
             ExpectStep(Publish(0x32, "a", 1, "1")), ExpectStep(Publish(0x34, "b", 2, "2")),
             ExpectStep(Pkt(0x82, Id(3) + Str("s/#") + "\x01")), SendStep(Ack(0x50, 2)),
             ExpectStep(Ack(0x62, 2), "PUBREL"), QuietStep(1000)} +
      Reconnect() + Online() +
      Script{ExpectStep(Publish(0x3A, "a", 1, "1"), "PUBLISH again, with DUP"),
             ExpectStep(Ack(0x62, 2), "PUBREL again, without DUP"),
             ExpectStep(Pkt(0x82, Id(3) + Str("s/#") + "\x01"), "SUBSCRIBE again, as it was"),
             SendStep(Ack(0x40, 1) + Ack(0x70, 2) + H("90 03 00 03 01")),
             UntilStep([this] { return C().InFlight->Count() == 0; }, "all acknowledged"), QuietStep(500)});
  EXPECT_EQ(Broker.Received.size(), 10u) << "nothing else was sent";
  EXPECT_FALSE(R.Has("Re-issuing Message 1 Retry 1"));
  EXPECT_EQ(R.MissingInOrder({"Re-sending Message 1.", "Re-sending PUBREL Message 2.", "Re-sending Message 3."}),
            "");
}

// A parked entry (an owner's window of messages in flight) stays out of the
// re-send at the CONNACK; unparked online, it goes out at once, once.
TEST_F(Level311, ParkedPacketsWaitUntilUnparked) {
  Run(Online() +
      Script{DoStep([this] {
               C().Publish("a", "1", qtAT_LEAST_ONCE, false);
               C().Publish("b", "2", qtAT_LEAST_ONCE, false);
             }),
             ExpectStep(Publish(0x32, "a", 1, "1")), ExpectStep(Publish(0x32, "b", 2, "2")),
             DoStep([this] { C().InFlight->GetPacket(2)->Parked = true; })} +
      Reconnect() + Online() +
      Script{ExpectStep(Publish(0x3A, "a", 1, "1"), "only the unparked PUBLISH again"), QuietStep(500),
             DoStep([this] { C().Unpark(C().InFlight->GetPacket(2)); }),
             ExpectStep(Publish(0x3A, "b", 2, "2"), "the parked one once let go"),
             SendStep(Ack(0x40, 1) + Ack(0x40, 2)),
             UntilStep([this] { return C().InFlight->Count() == 0; }, "all acknowledged"), QuietStep(300)});
  EXPECT_EQ(Broker.Received.size(), 7u) << "nothing else was sent";
}

} // namespace
