// The client at MQTT 5 against a scripted broker on 127.0.0.1: the CONNECT it
// sends, what it does with the limits a CONNACK announces, flow control by
// receive maximum, reason codes on acknowledgements, incoming topic aliases
// and the broker's DISCONNECT.

#include <gtest/gtest.h>

#include <stdexcept>

#include "ClientSession.h"
#include "ScriptedBroker.h"

namespace {

// Properties every level-5 CONNECT of this client carries by default: receive
// maximum 10000 (the bound on held QoS 2 messages), maximum packet size 16 MiB + 5.
const std::string DefaultConnectProps = H("08 21 27 10 27 01 00 00 05");

std::string Connect5(const std::string &clientId, std::uint8_t flags, const std::string &props = DefaultConnectProps) {
  return Pkt(0x10, Str("MQTT") + "\x05" + std::string(1, static_cast<char>(flags)) + Id(0) + props + Str(clientId));
}
std::string Publish5(std::uint8_t first, const std::string &topic, std::uint16_t id, const std::string &props,
                     const std::string &payload) {
  return Pkt(first, Str(topic) + (id ? Id(id) : "") + props + payload);
}

class Level5 : public testing::Test {
protected:
  Level5() {
    C().SetHost("127.0.0.1");
    C().SetPort(Broker.Port());
    C().SetClientID("tc");
    C().SetKeepAlive(0);
    C().SetProtocolLevel(plMQTT5);
    C().SetClean(true);
    C().OnRefused = [this](TMQTTClient *, const std::string &what, std::uint8_t reason, const std::string &text) {
      Refusals.push_back(what + " " + std::to_string(reason) + " " + text);
    };
  }
  TMQTTClient &C() { return R.C(); }
  Script Online(const std::string &connAck = H("20 03 00 00 00")) {
    return {AcceptStep(), ExpectStep(Connect5("tc", 0x02), "level-5 CONNECT"), SendStep(connAck),
            UntilStep([this] { return C().Online(); }, "online")};
  }
  void Run(const Script &script) {
    C().Activate(true);
    const std::string failure = Broker.Run(script);
    ASSERT_EQ(failure, "") << "monitor lines:" << R.Transcript();
  }
  ScriptedBroker Broker;
  RecordedClient R;
  std::vector<std::string> Refusals;
};

Script operator+(Script a, const Script &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(Level5, ConnectCarriesSessionAndLimitProperties) {
  C().SetClean(false);
  C().TopicAliasMaximum = 4;
  C().ConnectUserProperties = {UserProperty("a", "b")};
  // session expiry: a session that is not clean lasts; our limits; topic alias maximum 4; user property a=b
  const std::string props = H("17 11 FF FF FF FF 21 27 10 27 01 00 00 05 22 00 04 26 00 01 61 00 01 62");
  Run({AcceptStep(), ExpectStep(Connect5("tc", 0, props))});
}

// A CONNACK announcing limits: a request over them is refused before sending,
// naming the limit, and what comes after it still goes out.
TEST_F(Level5, RequestsOverTheBrokersLimitsAreRefusedBeforeSending) {
  // maximum packet size 30, maximum QoS 1, no retain, no wildcards, no shared subscriptions;
  // assigned client identifier "auto-7"
  const std::string connAck =
      Pkt(0x20, H("00 00") + H("16 27 00 00 00 1E 24 01 25 00 28 00 2A 00 12 00 06") + "auto-7");
  Run(Online(connAck) + Script{DoStep([this] {
                                 C().Publish("t", std::string(40, 'x'), qtAT_MOST_ONCE, false);
                                 C().Publish("t", "q2", qtEXACTLY_ONCE, false);
                                 C().Publish("t", "kept", qtAT_MOST_ONCE, true);
                                 C().Subscribe("a/#", qtAT_LEAST_ONCE);
                                 C().Subscribe("$share/g/a", qtAT_LEAST_ONCE);
                                 C().Publish("t", "after", qtAT_MOST_ONCE, false);
                               }),
                               ExpectStep(Publish5(0x30, "t", 0, H("00"), "after"), "the message behind them")});
  EXPECT_EQ(Refusals, (std::vector<std::string>{
                          "PUBLISH to t 0 the packet of 46 bytes is over the broker's maximum packet size of 30 bytes",
                          "PUBLISH to t 0 QoS 2 is over the broker's maximum QoS of 1",
                          "PUBLISH to t 0 the broker does not support retained messages",
                          "SUBSCRIBE to a/# 0 the broker does not support wildcard subscriptions",
                          "SUBSCRIBE to $share/g/a 0 the broker does not support shared subscriptions"}));
  EXPECT_EQ(C().ClientID(), "auto-7");
  EXPECT_EQ(Broker.Received.size(), 2u) << "CONNECT and the last PUBLISH only";
}

TEST_F(Level5, ReceiveMaximumHoldsPublicationsUntilAcknowledged) {
  Run(Online(Pkt(0x20, H("00 00 03 21 00 01"))) +
      Script{DoStep([this] {
               C().Publish("a", "1", qtAT_LEAST_ONCE, false);
               C().Publish("b", "2", qtAT_LEAST_ONCE, false);
               C().Publish("c", "3", qtEXACTLY_ONCE, false);
             }),
             ExpectStep(Publish5(0x32, "a", 1, H("00"), "1")), QuietStep(300),
             DoStep([this] { EXPECT_EQ(C().HeldPublications(), 2u); }), SendStep(H("40 02 00 01")),
             ExpectStep(Publish5(0x32, "b", 2, H("00"), "2"), "second after the first PUBACK"),
             SendStep(H("40 02 00 02")), ExpectStep(Publish5(0x34, "c", 3, H("00"), "3"))});
  EXPECT_EQ(Broker.Received.size(), 4u);
}

TEST_F(Level5, ErrorReasonsEndTheExchangeAsRefused) {
  std::vector<std::string> subRefused;
  C().OnSubRefused = [&](TMQTTClient *, const std::string &topic) { subRefused.push_back(topic); };
  Run(Online() + Script{DoStep([this] {
                          C().Publish("a", "1", qtAT_LEAST_ONCE, false);
                          C().Publish("b", "2", qtEXACTLY_ONCE, false);
                          C().Subscribe("s", qtAT_LEAST_ONCE);
                        }),
                        ExpectStep(Publish5(0x32, "a", 1, H("00"), "1")),
                        ExpectStep(Publish5(0x34, "b", 2, H("00"), "2")), ExpectStep(Pkt(0x82, Id(3) + H("00") + Str("s") + "\x01")),
                        // PUBACK not authorized with reason string "no"; PUBREC quota exceeded; SUBACK not authorized
                        SendStep(H("40 09 00 01 87 05 1F 00 02 6E 6F") + H("50 03 00 02 97") + H("90 04 00 03 00 87")),
                        UntilStep([this] { return C().InFlight->Count() == 0; }, "all ended"), QuietStep(300)});
  EXPECT_EQ(Refusals, (std::vector<std::string>{"PUBACK 1 135 Not authorized (no)", "PUBREC 2 151 Quota exceeded"}));
  EXPECT_EQ(subRefused, std::vector<std::string>{"s"});
  EXPECT_TRUE(R.Has("Subscription to s refused: Not authorized.")) << R.Transcript();
  EXPECT_EQ(Broker.Received.size(), 4u) << "no PUBREL for the refused PUBREC, nothing re-sent";
}

TEST_F(Level5, IncomingTopicAliasesAndPropertiesAreDelivered) {
  C().TopicAliasMaximum = 2;
  std::vector<std::string> props;
  C().OnMsg = [&](TMQTTClient *c, const std::string &topic, const std::string &msg, TMQTTQOSType, bool) {
    R.Msgs.push_back({topic, msg, qtAT_MOST_ONCE, false});
    std::string line;
    for (const TMQTTProperty &p : c->MessageProperties()) line += std::to_string(p.ID) + "=" + p.Text + p.Value + ";";
    props.push_back(line);
  };
  const std::string props22 = H("0B 21 27 10 27 01 00 00 05 22 00 02");
  Run({AcceptStep(), ExpectStep(Connect5("tc", 0x02, props22)), SendStep(H("20 03 00 00 00")),
       UntilStep([this] { return C().Online(); }, "online"),
       // alias 1 set with topic "a/b" and content type "t"; then used alone
       SendStep(Publish5(0x30, "a/b", 0, H("07 23 00 01 03 00 01 74"), "1") + Publish5(0x30, "", 0, H("03 23 00 01"), "2")),
       UntilStep([this] { return R.Msgs.size() == 2; }, "two deliveries"),
       SendStep(Publish5(0x30, "", 0, H("03 23 00 02"), "3")), ExpectStep(H("E0 01 94"), "DISCONNECT Topic Alias invalid"),
       ExpectClosedStep()});
  ASSERT_EQ(R.Msgs.size(), 2u);
  EXPECT_EQ(R.Msgs[1].Topic, "a/b");
  EXPECT_EQ(props, (std::vector<std::string>{"3=t;", ""}));
}

TEST_F(Level5, BrokerDisconnectReasonIsReported) {
  std::vector<std::string> reasons;
  C().OnBrokerDisconnect = [&](TMQTTClient *, std::uint8_t code, const std::string &text) {
    reasons.push_back(std::to_string(code) + " " + text);
  };
  Run(Online() + Script{SendStep(H("E0 06 8E 04 1F 00 01 78")), DropStep(),
                        UntilStep([this] { return !C().Online(); }, "offline")});
  EXPECT_EQ(reasons, std::vector<std::string>{"142 Session taken over (x)"});
  EXPECT_TRUE(R.Has("Broker disconnected: Session taken over (x)")) << R.Transcript();
}

TEST_F(Level5, MalformedPacketIsAnsweredWithDisconnect) {
  // a PUBACK carrying a topic alias: a property PUBACK may not carry
  Run(Online() + Script{SendStep(H("40 07 00 01 00 03 23 00 01")), ExpectStep(H("E0 01 81"), "DISCONNECT Malformed"),
                        ExpectClosedStep()});
}

TEST_F(Level5, OwnDisconnectCarriesTheWillRequest) {
  C().DisconnectWithWill = true;
  Run(Online() + Script{DoStep([this] { C().Activate(false); }), ExpectStep(H("E0 01 04")), ExpectClosedStep()});
}

// Subscription options and identifier go on the wire for every filter of the
// request; options a broker must refuse are refused before sending; every
// filter an UNSUBACK refuses is named with its reason.
TEST_F(Level5, SubscribeOptionsAndUnsubscribeReasons) {
  TSubscribeOptions options;
  options.NoLocal = true;
  options.RetainAsPublished = true;
  options.RetainHandling = 2;
  options.Identifier = 300;
  const TTaggedStrings filters{{"a/b", 1}, {"c", 2}};
  const TTaggedStrings unsubscribed{{"a/b", 0}, {"c", 0}, {"z", 0}};
  Run(Online() +
      Script{DoStep([&] {
               C().Subscribe(&filters, options);
               TSubscribeOptions badHandling;
               badHandling.RetainHandling = 3;
               const TTaggedStrings x{{"x", 0}}, shared{{"$share/g/t", 0}};
               C().Subscribe(&x, badHandling);
               C().Subscribe(&shared, options);
               C().Unsubscribe(&unsubscribed);
             }),
             // identifier 300 as a variable byte integer; options 0x2D and 0x2E: QoS, no local,
             // retain as published, retain handling 2
             ExpectStep(Pkt(0x82, Id(1) + H("03 0B AC 02") + Str("a/b") + "-" + Str("c") + "."), "SUBSCRIBE"),
             ExpectStep(Pkt(0xA2, Id(2) + H("00") + Str("a/b") + Str("c") + Str("z")), "UNSUBSCRIBE"),
             // success, no subscription existed, not authorized
             SendStep(H("B0 06 00 02 00 00 11 87")), UntilStep([this] { return C().InFlight->Count() == 1; }, "UNSUBACK")});
  EXPECT_EQ(Refusals, (std::vector<std::string>{"SUBSCRIBE to x 0 retain handling 3 is not 0, 1 or 2",
                                                "SUBSCRIBE to $share/g/t 0 no local cannot be set on a shared subscription",
                                                "UNSUBSCRIBE from z 135 Not authorized"}));
  EXPECT_TRUE(R.Has("Unsubscribed from c: No subscription existed.")) << R.Transcript();
}

TEST_F(Level5, WillPropertiesGoWithTheWill) {
  C().SetWill("w", "gone", qtAT_LEAST_ONCE, false);
  C().SetWillProperties({NumberProperty(piWillDelayInterval, 5), TextProperty(piContentType, "t")});
  EXPECT_THROW(C().SetWillProperties({NumberProperty(piTopicAlias, 1)}), std::invalid_argument);
  EXPECT_EQ(C().WillProperties().size(), 2u) << "a refused list leaves the properties as they were";
  // will flag, will QoS 1, clean start; will properties: delay 5 s, content type "t"
  Run({AcceptStep(), ExpectStep(Pkt(0x10, Str("MQTT") + "\x05\x0E" + Id(0) + DefaultConnectProps + Str("tc") +
                                              H("09 18 00 00 00 05 03 00 01 74") + Str("w") + Str("gone")),
                                "CONNECT with the will's properties")});
}

} // namespace
