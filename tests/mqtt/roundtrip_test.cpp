// Every packet TMQTTParser can build parses back to the fields it was built
// from: every QoS/DUP/RETAIN combination, empty and 65,535-byte strings, fed
// whole, byte by byte and in seeded random chunkings.
#include "Chunking.h"
#include "EventLog.h"
#include "uMQTT.h"

#include <gtest/gtest.h>

#include <functional>

using namespace EventText;

namespace {

struct TBuilt {
  std::string Bytes;            // every packet, back to back
  std::vector<std::string> Events; // what the receiver must report, in order
};

class RoundTrip : public ::testing::Test {
protected:
  TMQTTParser Sender;
  TBuilt Built;

  RoundTrip() {
    Sender.OnSend = [this](TMQTTParser *, std::uint16_t, std::int32_t, TByteStream &s) {
      Built.Bytes.append(s.View());
    };
  }
  // Builds one packet and notes the event it must come back as (none when
  // the parser drops such a body).
  void Add(const std::function<void()> &build, std::vector<std::string> events) {
    build();
    for (std::string &e : events) Built.Events.push_back(std::move(e));
  }
  void CheckAllDeliveries() {
    ASSERT_FALSE(Built.Events.empty());
    struct Way {
      TDelivery How;
      unsigned Seed;
      std::size_t MaxChunk;
    };
    const Way ways[] = {{TDelivery::Whole, 0, 0},          {TDelivery::ByteByByte, 0, 0},
                        {TDelivery::Random, 1, 7},         {TDelivery::Random, 2, 100},
                        {TDelivery::Random, 3, 1460},      {TDelivery::Random, 4, 70000}};
    for (const Way &w : ways) {
      SCOPED_TRACE("delivery " + std::to_string(int(w.How)) + " seed " + std::to_string(w.Seed));
      TMQTTParser receiver;
      TEventLog log(receiver);
      Feed(receiver, Built.Bytes, w.How, w.Seed, w.MaxChunk);
      EXPECT_EQ(log.Lines, Built.Events);
      EXPECT_EQ(receiver.RxState(), 0);
    }
  }
};

const std::string Longest(65535, 'L');
const std::string Binary("\0\x01\x7F\x80\xFF", 5);

} // namespace

TEST_F(RoundTrip, publish_every_flag_combination) {
  const std::string topics[] = {"", "a/b", "\xC3\xA9t\xC3\xA9", Longest};
  const std::string payloads[] = {"", "x", Binary, std::string(70000, 'P')};
  std::uint16_t id = 1;
  for (int qos = 0; qos < 4; ++qos)
    for (bool dup : {false, true})
      for (bool retain : {false, true})
        for (const std::string &topic : topics)
          for (const std::string &payload : payloads) {
            bool withID = qos == 1 || qos == 2;
            std::size_t body = 2 + topic.size() + (withID ? 2 : 0) + payload.size();
            std::vector<std::string> events;
            if (body >= 4) events.push_back(Publish(withID ? id : 0, topic, payload, qos, dup, retain));
            Add([&] { Sender.SendPublish(id, topic, payload, TMQTTQOSType(qos), dup, retain); }, events);
            id = std::uint16_t(id * 7 + 1);
          }
  CheckAllDeliveries();
}

TEST_F(RoundTrip, connect_every_parameter_combination) {
  const std::string strings[] = {"", "x", Longest};
  for (bool broker : {false, true})
    for (bool clean : {false, true})
      for (const std::string &user : strings)
        for (const std::string &pass : strings)
          for (int willQos = 0; willQos < 4; ++willQos) // retain alternates with the QoS
            for (bool willRetain : {willQos % 2 == 0})
              for (const std::string &willTopic : {std::string(), std::string("w/t"), Longest}) {
                const std::string clientID = pass.empty() ? Longest : "id" + pass.substr(0, 1);
                Sender.Clean = clean;
                Sender.SetWill(willTopic, "bye", TMQTTQOSType(willQos), willRetain);
                std::vector<std::string> events;
                if (!willTopic.empty()) events.push_back(Will(willTopic, "bye", willQos & 3, willRetain));
                events.push_back(Connect(broker ? "brokerconnect" : "connect", "MQIsdp", 3, clientID, user, pass,
                                         600 + willQos, clean));
                Add(
                    [&] {
                      if (broker)
                        Sender.SendBrokerConnect(clientID, user, pass, std::uint16_t(600 + willQos), clean);
                      else
                        Sender.SendConnect(clientID, user, pass, std::uint16_t(600 + willQos), clean);
                    },
                    events);
              }
  CheckAllDeliveries();
}

TEST_F(RoundTrip, acknowledgements_and_empty_packets) {
  for (std::uint16_t id : {0, 1, 255, 256, 0x1234, 65535}) {
    Add([&] { Sender.SendPubAck(id); }, {Id("puback", id)});
    Add([&] { Sender.SendPubRec(id); }, {Id("pubrec", id)});
    Add([&] { Sender.SendPubRel(id, false); }, {Id("pubrel", id)});
    Add([&] { Sender.SendPubRel(id, true); }, {Id("pubrel", id)});
    Add([&] { Sender.SendPubComp(id); }, {Id("pubcomp", id)});
    Add([&] { Sender.SendUnsubAck(id); }, {Id("unsuback", id)});
  }
  for (int code : {0, 1, 5, 6, 255}) Add([&] { Sender.SendConnAck(std::uint8_t(code)); }, {Id("connack", code)});
  Add([&] { Sender.SendPing(); }, {"ping"});
  Add([&] { Sender.SendPingResp(); }, {"pingresp"});
  Add([&] { Sender.SendDisconnect(); }, {"disconnect"});
  CheckAllDeliveries();
}

TEST_F(RoundTrip, subscriptions) {
  const TTaggedStrings lists[] = {
      {},
      {{"a/#", 1}},
      {{"", 0}, {"x/+/y", 2}, {Longest, 3}},
      {{"tags", 0x7FFFFFFD}, {"negative", -1}}, // only the low two bits travel
  };
  std::uint16_t id = 40;
  for (const TTaggedStrings &list : lists) {
    TTaggedStrings requested = list, untagged = list;
    for (TTaggedString &t : requested) t.Tag &= 3;
    for (TTaggedString &t : untagged) t.Tag = 0;
    Add([&] { Sender.SendSubscribe(id, list); }, {Topics("subscribe", id, requested, true)});
    Add([&] { Sender.SendUnsubscribe(id, list); }, {Topics("unsubscribe", id, untagged, false)});
    ++id;
  }
  for (int q = 0; q < 4; ++q)
    for (const std::string &topic : {std::string(), std::string("s/#"), Longest}) {
      Add([&] { Sender.SendSubscribe(id, topic, TMQTTQOSType(q)); },
          {Topics("subscribe", id, {{topic, q}}, true)});
      Add([&] { Sender.SendUnsubscribe(id, topic); }, {Topics("unsubscribe", id, {{topic, 0}}, false)});
    }
  const std::vector<TMQTTQOSType> grants[] = {
      {}, {qtAT_MOST_ONCE}, {qtEXACTLY_ONCE, qtAT_LEAST_ONCE, qtReserved3}, std::vector<TMQTTQOSType>(300, qtAT_LEAST_ONCE)};
  for (const auto &g : grants) Add([&] { Sender.SendSubAck(id, g); }, {SubAck(id, g)});
  CheckAllDeliveries();
}
