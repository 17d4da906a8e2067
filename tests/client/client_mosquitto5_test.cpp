// The client at MQTT 5 against a real mosquitto, whose configuration gives
// the limits its CONNACK announces: flow control under a long run, maximum
// packet size both ways, outgoing topic aliases, the assigned client
// identifier, session expiry across a restart, shared subscriptions and
// message properties from publisher to subscriber.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>

#include "ClientSession.h"
#include "TestBroker.h"

namespace {

struct Peer5 : RecordedClient {
  Peer5(const TestBroker &broker, const std::string &clientId) {
    C().SetHost("127.0.0.1");
    C().SetPort(broker.Port());
    C().SetClientID(clientId);
    C().SetKeepAlive(30);
    C().SetProtocolLevel(plMQTT5);
    C().SetClean(true);
    C().OnRefused = [this](TMQTTClient *, const std::string &what, std::uint8_t, const std::string &text) {
      Refusals.push_back(what + ": " + text);
    };
  }
  void Up() {
    const int before = Onlines;
    C().Activate(true);
    ASSERT_TRUE(WaitUntil([&] { return Onlines > before; })) << "not accepted by the broker" << Transcript();
  }
  void SubscribeAndWait(const std::string &filter, TMQTTQOSType qos, const TSubscribeOptions &options = {}) {
    const TTaggedStrings filters{{filter, qos}};
    C().Subscribe(&filters, options);
    ASSERT_TRUE(WaitUntil([&] { return C().InFlight->Count() == 0; })) << "no SUBACK" << Transcript();
  }
  bool Settled() { return C().InFlight->Count() == 0 && C().Releasables->Count() == 0 && C().HeldPublications() == 0; }
  std::vector<std::string> Refusals;
};

// The broker lets 20 publications be unacknowledged; 50,000 at QoS 1 and 2
// go through that window in order on each topic, none lost, and the client never has more
// than 20 out (mosquitto would disconnect it with 0x93).
TEST(ClientMosquitto5, ReceiveMaximumHoldsUnderALongRun) {
  TestBroker broker({.ExtraConfig = "max_inflight_messages 20\n"});
  Peer5 sub(broker, "v5sub"), pub(broker, "v5pub");
  sub.Up();
  sub.SubscribeAndWait("flow/#", qtEXACTLY_ONCE);
  pub.Up();
  EXPECT_EQ(pub.C().BrokerLimits().ReceiveMaximum, 20);
  constexpr int Count = 50000;
  std::size_t mostOut = 0;
  const auto out = [&] {
    std::size_t n = 0;
    for (int i = 0; i < pub.C().InFlight->Count(); ++i) n += pub.C().InFlight->GetItem(i)->Publishing ? 1 : 0;
    mostOut = std::max(mostOut, n);
    return n;
  };
  for (int i = 0; i < Count; ++i) {
    pub.C().Publish("flow/" + std::to_string(i % 2 + 1), std::to_string(i), TMQTTQOSType(i % 2 + 1), false);
    out();
  }
  ASSERT_TRUE(WaitUntil([&] { return out() == 0 && pub.Settled() && sub.Msgs.size() >= Count; }, 300000))
      << "delivered " << sub.Msgs.size() << " of " << Count;
  EXPECT_LE(mostOut, 20u);
  EXPECT_EQ(pub.Offlines.size(), 0u) << "the broker ended the connection" << pub.Transcript();
  ASSERT_EQ(sub.Msgs.size(), std::size_t(Count));
  // Order holds within a topic (one QoS each): every message once, in turn.
  std::map<std::string, int> next{{"flow/1", 0}, {"flow/2", 1}};
  for (const Delivery &d : sub.Msgs) {
    int &want = next[d.Topic];
    if (d.Message != std::to_string(want)) {
      ADD_FAILURE() << "on " << d.Topic << " message " << want << " arrived as " << d.Message;
      break;
    }
    want += 2;
  }
}

// mosquitto announces 1000 bytes: a bigger message is refused before sending
// and the one behind it still goes. Ours, 600 bytes, is announced in CONNECT:
// the broker drops a message over it rather than sending it to us.
TEST(ClientMosquitto5, MaximumPacketSizeBothWays) {
  TestBroker broker({.ExtraConfig = "max_packet_size 1000\n"});
  Peer5 sub(broker, "v5small"), pub(broker, "v5big");
  sub.C().Parser->MaxRxLength = 600;
  sub.Up();
  sub.SubscribeAndWait("size/#", qtAT_LEAST_ONCE);
  pub.Up();
  EXPECT_EQ(pub.C().BrokerLimits().MaximumPacketSize, 1000u);
  pub.C().Publish("size/a", std::string(2000, 'x'), qtAT_LEAST_ONCE, false);
  pub.C().Publish("size/b", std::string(800, 'y'), qtAT_LEAST_ONCE, false);
  pub.C().Publish("size/c", "small", qtAT_LEAST_ONCE, false);
  ASSERT_TRUE(WaitUntil([&] { return pub.Settled() && !sub.Msgs.empty(); })) << pub.Transcript();
  ASSERT_EQ(pub.Refusals.size(), 1u);
  EXPECT_NE(pub.Refusals[0].find("over the broker's maximum packet size of 1000 bytes"), std::string::npos)
      << pub.Refusals[0];
  WaitUntil([&] { return sub.Msgs.size() > 1; }, 500);
  ASSERT_EQ(sub.Msgs.size(), 1u) << "the 800-byte message is over our maximum";
  EXPECT_EQ(sub.Msgs[0].Topic, "size/c");
  EXPECT_EQ(sub.Onlines, 1) << "and the connection stays";
}

// Repeated QoS 0 topics go by alias alone (an empty topic on the wire) and
// mosquitto maps them back for the subscriber.
TEST(ClientMosquitto5, OutgoingTopicAliases) {
  TestBroker broker({.ExtraConfig = "max_topic_alias 4\n"});
  Peer5 sub(broker, "v5alsub"), pub(broker, "v5alpub");
  pub.C().UseTopicAliases = true;
  std::vector<std::string> sent;
  const auto send = pub.C().Parser->OnSend;
  pub.C().Parser->OnSend = [&](TMQTTParser *s, std::uint16_t id, std::int32_t retry, TByteStream &b) {
    sent.emplace_back(b.View());
    send(s, id, retry, b);
  };
  sub.Up();
  sub.SubscribeAndWait("alias/#", qtAT_MOST_ONCE);
  pub.Up();
  EXPECT_EQ(pub.C().BrokerLimits().TopicAliasMaximum, 4);
  for (int i = 0; i < 3; ++i) pub.C().Publish("alias/long/topic", std::to_string(i), qtAT_MOST_ONCE, false);
  ASSERT_TRUE(WaitUntil([&] { return sub.Msgs.size() == 3; })) << sub.Transcript();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(sub.Msgs[i], (Delivery{"alias/long/topic", std::to_string(i), qtAT_MOST_ONCE, false}));
  std::vector<std::string> publishes;
  std::copy_if(sent.begin(), sent.end(), std::back_inserter(publishes), [](const std::string &p) { return p[0] == 0x30; });
  ASSERT_EQ(publishes.size(), 3u);
  EXPECT_EQ(publishes[0].substr(2, 2), std::string("\x00\x10", 2)) << "the first names the topic";
  EXPECT_EQ(publishes[1].substr(2, 2), std::string("\x00\x00", 2)) << "the alias alone";
  EXPECT_EQ(publishes[2].substr(2, 2), std::string("\x00\x00", 2));
}

TEST(ClientMosquitto5, AssignedClientIdentifier) {
  TestBroker broker;
  Peer5 c(broker, "");
  c.Up();
  EXPECT_EQ(c.C().ClientID().rfind("auto-", 0), 0u) << c.C().ClientID();
  EXPECT_TRUE(c.Has("Client identifier assigned: " + c.C().ClientID())) << c.Transcript();
}

// A session with an expiry interval outlives the connection and, with
// persistence, a restart of the broker; one without ends with the connection.
TEST(ClientMosquitto5, SessionExpiryAcrossABrokerRestart) {
  struct Case {
    const char *Name;
    std::int64_t Expiry;
    bool Kept;
  };
  for (const Case c : {Case{"expiry_300", 300, true}, Case{"expiry_0", 0, false}}) {
    SCOPED_TRACE(c.Name);
    TestBroker broker({.Persistence = true});
    Peer5 durable(broker, "v5durable");
    durable.C().SetClean(false);
    durable.C().SessionExpiry = c.Expiry;
    durable.Up();
    durable.SubscribeAndWait("keep/#", qtAT_LEAST_ONCE);
    durable.C().Activate(false);
    ASSERT_TRUE(WaitUntil([&] { return durable.Offlines.size() == 1; }));
    {
      Peer5 pub(broker, "v5keep");
      pub.Up();
      pub.C().Publish("keep/1", "while away", qtAT_LEAST_ONCE, false);
      ASSERT_TRUE(WaitUntil([&] { return pub.Settled(); }));
    }
    broker.Restart();
    durable.Up();
    EXPECT_EQ(durable.C().SessionPresent(), c.Kept);
    WaitUntil([&] { return !durable.Msgs.empty(); }, c.Kept ? 15000 : 1000);
    EXPECT_EQ(durable.Msgs.size(), c.Kept ? 1u : 0u);
  }
}

// Two members of one share group: each message goes to exactly one of them.
TEST(ClientMosquitto5, SharedSubscriptionSplitsTheMessages) {
  TestBroker broker;
  Peer5 a(broker, "v5sha"), b(broker, "v5shb"), pub(broker, "v5shpub");
  a.Up();
  b.Up();
  a.SubscribeAndWait("$share/g/shared/t", qtAT_LEAST_ONCE);
  b.SubscribeAndWait("$share/g/shared/t", qtAT_LEAST_ONCE);
  pub.Up();
  constexpr int Count = 20;
  for (int i = 0; i < Count; ++i) pub.C().Publish("shared/t", std::to_string(i), qtAT_LEAST_ONCE, false);
  ASSERT_TRUE(WaitUntil([&] { return a.Msgs.size() + b.Msgs.size() >= Count && pub.Settled(); }));
  WaitUntil([&] { return a.Msgs.size() + b.Msgs.size() > Count; }, 500);
  std::map<std::string, int> seen;
  for (const auto *peer : {&a, &b})
    for (const Delivery &d : peer->Msgs) ++seen[d.Message];
  EXPECT_EQ(seen.size(), std::size_t(Count));
  for (const auto &[message, times] : seen) EXPECT_EQ(times, 1) << message;
  EXPECT_GT(a.Msgs.size(), 0u);
  EXPECT_GT(b.Msgs.size(), 0u);
}

// Every message property a publisher sets reaches the subscriber, with the
// identifier of the subscription that matched.
TEST(ClientMosquitto5, MessagePropertiesReachTheSubscriber) {
  TestBroker broker;
  Peer5 sub(broker, "v5psub"), pub(broker, "v5ppub");
  std::vector<TMQTTProperties> received;
  sub.C().OnMsg = [&](TMQTTClient *c, const std::string &, const std::string &, TMQTTQOSType, bool) {
    received.push_back(c->MessageProperties());
  };
  sub.Up();
  TSubscribeOptions options;
  options.Identifier = 42;
  sub.SubscribeAndWait("props/#", qtEXACTLY_ONCE, options);
  pub.Up();
  const TMQTTProperties sent = {NumberProperty(piPayloadFormatIndicator, 1),
                                TextProperty(piContentType, "text/plain"),
                                TextProperty(piResponseTopic, "props/reply"),
                                TextProperty(piCorrelationData, std::string("\x00\x01\xFF", 3)),
                                UserProperty("k", "v1"),
                                UserProperty("k", "v2")};
  for (int q = 0; q <= 2; ++q) pub.C().Publish("props/" + std::to_string(q), "héllo", TMQTTQOSType(q), false, sent);
  ASSERT_TRUE(WaitUntil([&] { return received.size() == 3 && sub.Settled(); })) << sub.Transcript();
  for (const TMQTTProperties &props : received) {
    for (const TMQTTProperty &p : sent)
      EXPECT_NE(std::find(props.begin(), props.end(), p), props.end()) << PropertyName(p.ID) << " " << p.Text;
    const TMQTTProperty *id = FindProperty(props, piSubscriptionIdentifier);
    ASSERT_NE(id, nullptr);
    EXPECT_EQ(id->Number, 42u);
  }
}

} // namespace
