// The client against a real mosquitto, plain and TLS, at both protocol levels.

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "ClientSession.h"
#include "TSslContext.h"
#include "TestBroker.h"

namespace {

// One client of the broker under test, plain or TLS, with its events recorded.
struct Peer : RecordedClient {
  Peer(const TestBroker &broker, bool tls, const std::string &clientId, TSslContext *ctx) {
    C().SetHost("127.0.0.1");
    C().SetPort(tls ? broker.TlsPort() : broker.Port());
    C().SetClientID(clientId);
    C().SetKeepAlive(30);
    if (tls) {
      C().Link->SetSslContext(ctx);
      C().Link->SetSslEnable(true);
    }
  }
  // Enables the client and waits for the broker to accept it.
  void Up() {
    const int before = Onlines;
    C().Activate(true);
    ASSERT_TRUE(WaitUntil([&] { return Onlines > before; })) << "not accepted by the broker";
  }
  void SubscribeAndWait(const std::string &filter, TMQTTQOSType qos) {
    C().Subscribe(filter, qos);
    ASSERT_TRUE(WaitUntil([&] { return C().InFlight->Count() == 0; })) << "no SUBACK";
  }
  bool Settled() { return C().InFlight->Count() == 0 && C().Releasables->Count() == 0; }
};

class ClientMosquitto : public testing::TestWithParam<bool> {
protected:
  bool Tls() const { return GetParam(); }
  std::unique_ptr<Peer> Make(TestBroker &broker, const std::string &id) {
    return std::make_unique<Peer>(broker, Tls(), id, &FContext);
  }
  TSslContext FContext;
};

TEST_P(ClientMosquitto, Qos0To2BothWays) {
  TestBroker broker({.Tls = true});
  auto sub = Make(broker, "vsub");
  auto pub = Make(broker, "vpub");
  sub->Up();
  pub->Up();
  sub->SubscribeAndWait("q/#", qtEXACTLY_ONCE);
  ASSERT_EQ(static_cast<std::uint32_t>(sub->C().Subscriptions[0].Tag), 0xFF02u) << "granted QoS 2";
  const std::string binary("\0\x01\xff\r\n", 5);
  pub->C().Publish("q/0", "zero", qtAT_MOST_ONCE, false);
  pub->C().Publish("q/1", binary, qtAT_LEAST_ONCE, false);
  pub->C().Publish("q/2", std::string(100000, 'z'), qtEXACTLY_ONCE, false);
  pub->C().Publish("q/e", "", qtEXACTLY_ONCE, false);
  ASSERT_TRUE(WaitUntil([&] { return sub->Msgs.size() >= 4 && sub->Settled() && pub->Settled(); }))
      << sub->Msgs.size() << " delivered; in flight " << pub->C().InFlight->Count() << "/"
      << sub->C().InFlight->Count() << ", held " << sub->C().Releasables->Count() << "; subscriber:"
      << sub->Transcript();
  const std::vector<Delivery> want = {{"q/0", "zero", qtAT_MOST_ONCE, false},
                                      {"q/1", binary, qtAT_LEAST_ONCE, false},
                                      {"q/2", std::string(100000, 'z'), qtEXACTLY_ONCE, false},
                                      {"q/e", "", qtEXACTLY_ONCE, false}};
  EXPECT_EQ(sub->Msgs, want);
  EXPECT_EQ(pub->Failures + sub->Failures, 0);
  EXPECT_TRUE(pub->Has("COMP Message 3 disposed of."));
}

TEST_P(ClientMosquitto, RetainedMessageReachesALaterSubscriber) {
  TestBroker broker({.Tls = true});
  auto pub = Make(broker, "vret");
  pub->Up();
  pub->C().Publish("r/state", "kept", qtAT_LEAST_ONCE, true);
  ASSERT_TRUE(WaitUntil([&] { return pub->Settled(); }));
  auto sub = Make(broker, "vlate");
  sub->Up();
  sub->C().Subscribe("r/#", qtAT_LEAST_ONCE);
  ASSERT_TRUE(WaitUntil([&] { return !sub->Msgs.empty(); }));
  EXPECT_EQ(sub->Msgs[0], (Delivery{"r/state", "kept", qtAT_LEAST_ONCE, true}));
}

TEST_P(ClientMosquitto, WillIsPublishedWhenTheConnectionIsCut) {
  TestBroker broker({.Tls = true});
  auto watcher = Make(broker, "vwatch");
  watcher->Up();
  watcher->SubscribeAndWait("Vyr/vwill/status", qtAT_LEAST_ONCE);
  auto will = Make(broker, "vwill");
  will->C().SetWill("Vyr/vwill/status", "0", qtAT_LEAST_ONCE, true);
  will->Up();
  will->C().Publish("Vyr/vwill/status", "1", qtAT_LEAST_ONCE, true);
  ASSERT_TRUE(WaitUntil([&] { return watcher->Msgs.size() == 1; }));
  will->Client.reset(); // the connection goes without DISCONNECT
  ASSERT_TRUE(WaitUntil([&] { return watcher->Msgs.size() == 2; })) << "no will";
  EXPECT_EQ(watcher->Msgs[1].Message, "0");
  EXPECT_EQ(watcher->Msgs[1].Topic, "Vyr/vwill/status");
}

TEST_P(ClientMosquitto, PersistentSessionGetsOfflineMessagesExactlyOnce) {
  TestBroker broker({.Tls = true, .Persistence = true});
  auto durable = Make(broker, "vdurable");
  durable->C().SetClean(false);
  durable->Up();
  durable->SubscribeAndWait("p/#", qtEXACTLY_ONCE);
  durable->C().Activate(false);
  ASSERT_TRUE(WaitUntil([&] { return durable->Offlines.size() == 1; }));

  auto pub = Make(broker, "vpubp");
  pub->Up();
  pub->C().Publish("p/1", "one", qtAT_LEAST_ONCE, false);
  pub->C().Publish("p/2", "two", qtEXACTLY_ONCE, false);
  ASSERT_TRUE(WaitUntil([&] { return pub->Settled(); }));
  pub.reset();
  broker.Restart(); // the session and its queue live on disk

  durable->Up();
  ASSERT_TRUE(WaitUntil([&] { return durable->Msgs.size() >= 2 && durable->Settled(); }));
  // Anything delivered twice would arrive within this spell.
  WaitUntil([&] { return durable->Msgs.size() > 2; }, 1500);
  const std::vector<Delivery> want = {{"p/1", "one", qtAT_LEAST_ONCE, false},
                                      {"p/2", "two", qtEXACTLY_ONCE, false}};
  EXPECT_EQ(durable->Msgs, want);
}

TEST_P(ClientMosquitto, ReconnectsByItselfAfterTheBrokerRestarts) {
  TestBroker broker({.Tls = true});
  auto c = Make(broker, "vphoenix");
  c->C().SetAutoSubscribe(true);
  c->Up();
  c->SubscribeAndWait("b/#", qtAT_LEAST_ONCE);
  broker.Restart();
  ASSERT_TRUE(WaitUntil([&] { return c->Offlines.size() == 1; }));
  EXPECT_FALSE(c->Offlines[0]) << "not a graceful close";
  ASSERT_TRUE(WaitUntil([&] { return c->Onlines == 2; }, 20000)) << "no reconnection";
  ASSERT_TRUE(WaitUntil([&] { return c->C().InFlight->Count() == 0; })) << "no SUBACK after reconnecting";
  auto pub = Make(broker, "vpubr");
  pub->Up();
  pub->C().Publish("b/x", "back", qtAT_LEAST_ONCE, false);
  ASSERT_TRUE(WaitUntil([&] { return !c->Msgs.empty(); })) << "the renewed subscription works";
  EXPECT_EQ(c->Msgs[0].Message, "back");
}

INSTANTIATE_TEST_SUITE_P(Broker, ClientMosquitto, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &info) { return info.param ? "Tls" : "Plain"; });

std::string ReadFile(const std::string &path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class ClientMosquittoLevel : public testing::TestWithParam<TMQTTProtocolLevel> {
protected:
  std::unique_ptr<Peer> Make(TestBroker &broker, const std::string &id) {
    auto peer = std::make_unique<Peer>(broker, false, id, nullptr);
    peer->C().SetProtocolLevel(GetParam());
    return peer;
  }
  // mosquitto's log names the level of each client: p1 for 3.1, p2 for 3.1.1.
  static std::string LogMark(const std::string &clientId) {
    return " as " + clientId + (GetParam() == plMQTT311 ? " (p2," : " (p1,");
  }
};

TEST_P(ClientMosquittoLevel, Qos0To2BothWays) {
  TestBroker broker;
  auto a = Make(broker, "va");
  auto b = Make(broker, "vb");
  a->Up();
  b->Up();
  a->SubscribeAndWait("to/a/#", qtEXACTLY_ONCE);
  b->SubscribeAndWait("to/b/#", qtEXACTLY_ONCE);
  for (int q = 0; q <= 2; ++q) {
    a->C().Publish("to/b/" + std::to_string(q), "from a", TMQTTQOSType(q), false);
    b->C().Publish("to/a/" + std::to_string(q), "from b", TMQTTQOSType(q), false);
  }
  ASSERT_TRUE(WaitUntil([&] { return a->Msgs.size() >= 3 && b->Msgs.size() >= 3 && a->Settled() && b->Settled(); }))
      << a->Transcript() << b->Transcript();
  for (int q = 0; q <= 2; ++q) {
    EXPECT_EQ(a->Msgs[q], (Delivery{"to/a/" + std::to_string(q), "from b", TMQTTQOSType(q), false}));
    EXPECT_EQ(b->Msgs[q], (Delivery{"to/b/" + std::to_string(q), "from a", TMQTTQOSType(q), false}));
  }
  const std::string log = ReadFile(broker.LogFile());
  EXPECT_NE(log.find(LogMark("va")), std::string::npos) << log;
  EXPECT_NE(log.find(LogMark("vb")), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Broker, ClientMosquittoLevel, testing::Values(plMQTT31, plMQTT311),
                         [](const testing::TestParamInfo<TMQTTProtocolLevel> &info) {
                           return info.param == plMQTT311 ? "MQTT311" : "MQTT31";
                         });

// An ACL that refuses one branch: at 3.1.1 mosquitto refuses that filter in
// its SUBACK (0x80), and the client marks and reports it.
TEST(ClientMosquitto311, SubscriptionRefusedByAnAcl) {
  const std::string aclDir = MakeTempDir("vyr-acl");
  TestBroker broker({.ExtraConfig = SubscribeDenyConfig(aclDir, "closed/#")});
  Peer c(broker, false, "vacl", nullptr);
  c.C().SetProtocolLevel(plMQTT311);
  std::vector<std::string> refused;
  c.C().OnSubRefused = [&](TMQTTClient *, const std::string &topic) { refused.push_back(topic); };
  c.Up();
  TTaggedStrings topics{{"open/#", 1}, {"closed/#", 1}};
  c.C().Subscribe(&topics);
  ASSERT_TRUE(WaitUntil([&] { return c.C().InFlight->Count() == 0; })) << c.Transcript();
  EXPECT_EQ(refused, std::vector<std::string>{"closed/#"});
  ASSERT_EQ(c.C().Subscriptions.size(), 2u);
  EXPECT_EQ(static_cast<std::uint32_t>(c.C().Subscriptions[0].Tag), 0xFF01u);
  EXPECT_EQ(static_cast<std::uint32_t>(c.C().Subscriptions[1].Tag), 0xFF81u);
  EXPECT_TRUE(c.Has("Subscription to closed/# refused.")) << c.Transcript();
  RunShell("rm -rf '" + aclDir + "'");
}

} // namespace
