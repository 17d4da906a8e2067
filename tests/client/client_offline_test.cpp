// The client's operations without a broker: identifiers, subscription records,
// local delivery, properties, enabling.

#include <gtest/gtest.h>

#include "ClientSession.h"

namespace {
TByteStream Packet(std::uint16_t id) {
  TByteStream b(std::string("\x32\x02") + char(id >> 8) + char(id & 0xFF));
  return b;
}
} // namespace

TEST(ClientOffline, PropertiesStartWithTheirDefaults) {
  TMQTTClient c;
  EXPECT_EQ(c.ClientID(), "");
  EXPECT_EQ(c.KeepAlive(), 10);
  EXPECT_EQ(c.MaxRetries(), 8);
  EXPECT_EQ(c.RetryTime(), 60u);
  EXPECT_FALSE(c.Clean());
  EXPECT_FALSE(c.Broker());
  EXPECT_FALSE(c.AutoSubscribe());
  EXPECT_FALSE(c.LocalBounce());
  EXPECT_EQ(c.Host(), "");
  EXPECT_EQ(c.Port(), 1883);
  EXPECT_FALSE(c.Enabled());
  EXPECT_FALSE(c.Online());
  EXPECT_EQ(c.Link->State(), wsClosed);
}

TEST(ClientOffline, RetrySettingsKeepTheirLow16Bits) {
  TMQTTClient c;
  c.SetMaxRetries(0x10003);
  c.SetRetryTime(0x20005);
  EXPECT_EQ(c.MaxRetries(), 3);
  EXPECT_EQ(c.RetryTime(), 5u);
  EXPECT_EQ(c.Parser->MaxRetries, 3);
  EXPECT_EQ(c.Parser->RetryTime, 5);
}

TEST(ClientOffline, NextMessageIdWrapsToOneAndSkipsIdentifiersInFlight) {
  TMQTTClient c;
  for (int i = 1; i <= 65534; ++i) ASSERT_EQ(c.NextMessageID(), i);
  EXPECT_EQ(c.NextMessageID(), 65535);
  EXPECT_EQ(c.NextMessageID(), 1) << "never 0";
  for (int i = 2; i <= 65535; ++i) c.NextMessageID();
  TByteStream a = Packet(1), b = Packet(2);
  c.InFlight->AddPacket(1, a, 0, 0);
  c.InFlight->AddPacket(2, b, 0, 0);
  EXPECT_EQ(c.NextMessageID(), 3);
}

TEST(ClientOffline, AllIdentifiersInFlightGivesNoneAndSendsNothing) {
  RecordedClient r;
  TMQTTClient &c = r.C();
  for (int id = 1; id <= 65535; ++id) {
    TByteStream b = Packet(static_cast<std::uint16_t>(id));
    c.InFlight->AddPacket(static_cast<std::uint16_t>(id), b, 0, 0);
  }
  EXPECT_EQ(c.NextMessageID(), 0);
  EXPECT_EQ(c.NextMessageID(), 0) << "asking again does not spin";
  c.Publish("t", "m", qtAT_LEAST_ONCE, false);
  c.Subscribe("s", qtAT_LEAST_ONCE);
  c.Unsubscribe("u");
  EXPECT_TRUE(c.Subscriptions.empty()) << "nothing recorded without an identifier";
  EXPECT_EQ(r.CountOf("No free message identifier: PUBLISH not sent."), 1);
  EXPECT_EQ(r.CountOf("No free message identifier: SUBSCRIBE not sent."), 1);
  EXPECT_EQ(r.CountOf("No free message identifier: UNSUBSCRIBE not sent."), 1);
  c.InFlight->DelPacket(40000); // one acknowledgement frees one identifier
  EXPECT_EQ(c.NextMessageID(), 40000);
}

TEST(ClientOffline, EveryOperationConsumesAnIdentifierAndRecordsNothingOffline) {
  RecordedClient r;
  TMQTTClient &c = r.C();
  c.Publish("t", "zero", qtAT_MOST_ONCE, false);
  c.Publish("t", "one", qtAT_LEAST_ONCE, false);
  c.Subscribe("s", qtEXACTLY_ONCE);
  c.Subscribe("", qtEXACTLY_ONCE); // nothing at all
  c.Unsubscribe("");               // nothing at all
  c.Subscribe(nullptr);
  c.Unsubscribe(nullptr);
  EXPECT_EQ(c.NextMessageID(), 4);
  EXPECT_EQ(c.InFlight->Count(), 0);
  ASSERT_EQ(c.Subscriptions.size(), 1u);
  EXPECT_EQ(static_cast<std::uint32_t>(c.Subscriptions[0].Tag), (3u << 16) + 2);
  EXPECT_TRUE(r.MonLines.empty());
}

TEST(ClientOffline, ListSubscribePositionsPast254CarryOnlyTheQos) {
  TMQTTClient c;
  TTaggedStrings list;
  for (int i = 0; i < 257; ++i) list.push_back({"f" + std::to_string(i), i % 3});
  c.Subscribe(&list);
  ASSERT_EQ(c.Subscriptions.size(), 257u);
  EXPECT_EQ(static_cast<std::uint32_t>(c.Subscriptions[254].Tag), (1u << 16) + (254u << 8) + 254 % 3);
  EXPECT_EQ(c.Subscriptions[255].Tag, 255 % 3);
  EXPECT_EQ(c.Subscriptions[256].Tag, 256 % 3);
}

TEST(ClientOffline, LocalBounceDeliversToTheFirstMatchingSubscriptionOnce) {
  struct Case {
    const char *name;
    bool bounce;
    TTaggedStrings subs;
    const char *topic;
    std::size_t deliveries;
  };
  const std::vector<Case> cases = {
      {"two matching filters, one delivery", true, {{"x/#", 1}, {"x/y", 0}}, "x/y", 1},
      {"no matching filter", true, {{"x/#", 1}}, "y", 0},
      {"bounce off", false, {{"x/#", 1}}, "x/y", 0},
      {"no subscriptions", true, {}, "x/y", 0},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.name);
    RecordedClient r;
    r.C().SetLocalBounce(k.bounce);
    r.C().Subscriptions = k.subs;
    r.C().Publish(k.topic, "b", qtEXACTLY_ONCE, true);
    ASSERT_EQ(r.Msgs.size(), k.deliveries);
    if (k.deliveries) {
      EXPECT_EQ(r.Msgs[0], (Delivery{k.topic, "b", qtEXACTLY_ONCE, false}));
    }
  }
}

TEST(ClientOffline, ActivateRaisesOnlyOnChange) {
  RecordedClient r;
  r.C().SetHost("127.0.0.1");
  r.C().SetPort(1); // never reached: disabled again before the first attempt
  r.C().Activate(false);
  EXPECT_EQ(r.EnableChanges, 0);
  r.C().Activate(true);
  r.C().Activate(true);
  EXPECT_EQ(r.EnableChanges, 1);
  EXPECT_TRUE(r.C().Enabled());
  r.C().Activate(false);
  EXPECT_EQ(r.EnableChanges, 2);
  EXPECT_FALSE(r.C().Enabled());
}
