// Every Send operation byte for byte, the identifier and retry count handed to
// OnSend, the will and keep-alive rules, and refusal of what the format cannot carry.
#include "EventLog.h"
#include "uMQTT.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <functional>
#include <stdexcept>

namespace {

struct TSent {
  std::vector<std::string> Packets;
  std::vector<int> IDs;
  std::vector<int> Retries;
};

// A parser whose OnSend records each packet it is given.
struct SendFixture {
  TMQTTParser P;
  TSent Sent;
  SendFixture() {
    P.OnSend = [this](TMQTTParser *sender, std::uint16_t id, std::int32_t retry, TByteStream &s) {
      EXPECT_EQ(sender, &P);
      EXPECT_EQ(s.Position(), s.Size()); // left at the end of the packet
      Sent.Packets.emplace_back(s.View());
      Sent.IDs.push_back(id);
      Sent.Retries.push_back(retry);
    };
  }
};

TTaggedStrings List(std::initializer_list<TTaggedString> entries) { return entries; }

} // namespace

TEST(Send, packet_layouts) {
  struct Case {
    const char *Name;
    std::function<void(TMQTTParser &)> Build;
    const char *Hex;
    int ID;
  };
  const Case cases[] = {
      // fixed header, remaining length, "MQIsdp", version, flags, keep-alive, client identifier
      {"connect_clean", [](TMQTTParser &p) { p.Clean = true; p.SendConnect("abc", "", "", 30, true); },
       "10 11 00 06 4D 51 49 73 64 70 03 02 00 1E 00 03 61 62 63", 0},
      {"broker_connect", [](TMQTTParser &p) { p.Clean = true; p.SendBrokerConnect("abc", "", "", 30, true); },
       "02 11 00 06 4D 51 49 73 64 70 03 02 00 1E 00 03 61 62 63", 0},
      // clean session comes from the Clean field, not from aClean
      {"connect_clean_field_wins", [](TMQTTParser &p) { p.SendConnect("abc", "", "", 30, true); },
       "10 11 00 06 4D 51 49 73 64 70 03 00 00 1E 00 03 61 62 63", 0},
      {"connect_empty_client_id", [](TMQTTParser &p) { p.SendConnect("", "", "", 10, false); },
       "10 0E 00 06 4D 51 49 73 64 70 03 00 00 0A 00 00", 0},
      // 3.1.1: "MQTT", level 4; the rest of the layout is the same
      {"connect_level_311",
       [](TMQTTParser &p) { p.ProtocolLevel = plMQTT311; p.Clean = true; p.SendConnect("abc", "", "", 30, true); },
       "10 0F 00 04 4D 51 54 54 04 02 00 1E 00 03 61 62 63", 0},
      // 3.1.1 allows an empty client identifier with a clean session
      {"connect_level_311_empty_client_id",
       [](TMQTTParser &p) { p.ProtocolLevel = plMQTT311; p.Clean = true; p.SendConnect("", "u", "", 60, true); },
       "10 0F 00 04 4D 51 54 54 04 82 00 3C 00 00 00 01 75", 0},
      // flags C2: user name, password, clean; then user "u", password "pw"
      {"connect_user_password", [](TMQTTParser &p) { p.Clean = true; p.SendConnect("c", "u", "pw", 60, true); },
       "10 16 00 06 4D 51 49 73 64 70 03 C2 00 3C 00 01 63 00 01 75 00 02 70 77", 0},
      // flags 40: password straight after the client identifier
      {"connect_password_without_user", [](TMQTTParser &p) { p.SendConnect("c", "", "pw", 60, false); },
       "10 13 00 06 4D 51 49 73 64 70 03 40 00 3C 00 01 63 00 02 70 77", 0},
      // flags 26: will retain, will QoS 0, will flag, clean; will topic "t", will message "0"
      {"connect_will_retain_qos0",
       [](TMQTTParser &p) { p.Clean = true; p.SetWill("t", "0", qtAT_MOST_ONCE, true); p.SendConnect("c", "", "", 5, true); },
       "10 15 00 06 4D 51 49 73 64 70 03 26 00 05 00 01 63 00 01 74 00 01 30", 0},
      // flags 2C: will retain, will QoS 1, will flag
      {"connect_will_retain_qos1",
       [](TMQTTParser &p) { p.SetWill("t", "0", qtAT_LEAST_ONCE, true); p.SendConnect("c", "", "", 5, false); },
       "10 15 00 06 4D 51 49 73 64 70 03 2C 00 05 00 01 63 00 01 74 00 01 30", 0},
      // flags 54: password, will QoS 2, will flag; the password follows the will message
      {"connect_will_then_password",
       [](TMQTTParser &p) { p.SetWill("t", "m", qtEXACTLY_ONCE, false); p.SendConnect("c", "", "k", 5, false); },
       "10 18 00 06 4D 51 49 73 64 70 03 54 00 05 00 01 63 00 01 74 00 01 6D 00 01 6B", 0},
      // a will with an empty message is not sent
      {"connect_will_without_message",
       [](TMQTTParser &p) { p.SetWill("t", "", qtEXACTLY_ONCE, true); p.SendConnect("c", "", "", 5, false); },
       "10 0F 00 06 4D 51 49 73 64 70 03 00 00 05 00 01 63", 0},
      {"connack", [](TMQTTParser &p) { p.SendConnAck(5); }, "20 02 00 05", 0},
      // the session-present flag exists only at 3.1.1
      {"connack_session_present_at_31", [](TMQTTParser &p) { p.SendConnAck(0, true); }, "20 02 00 00", 0},
      {"connack_session_present_at_311",
       [](TMQTTParser &p) { p.ProtocolLevel = plMQTT311; p.SendConnAck(0, true); }, "20 02 01 00", 0},
      {"suback_refused_at_311",
       [](TMQTTParser &p) { p.ProtocolLevel = plMQTT311; p.SendSubAck(12, {qtAT_LEAST_ONCE, qtSubscribeFailure}); },
       "90 04 00 0C 01 80", 12},
      // QoS 0: no identifier on the wire, yet OnSend gets 7
      {"publish_qos0", [](TMQTTParser &p) { p.SendPublish(7, "a/b", "hello", qtAT_MOST_ONCE, false, false); },
       "30 0A 00 03 61 2F 62 68 65 6C 6C 6F", 7},
      {"publish_qos1", [](TMQTTParser &p) { p.SendPublish(7, "a/b", "hello", qtAT_LEAST_ONCE, false, false); },
       "32 0C 00 03 61 2F 62 00 07 68 65 6C 6C 6F", 7},
      {"publish_qos2_dup_retain",
       [](TMQTTParser &p) { p.SendPublish(0x1234, "a", "", qtEXACTLY_ONCE, true, true); },
       "3D 05 00 01 61 12 34", 0x1234},
      {"publish_qos3_no_identifier", [](TMQTTParser &p) { p.SendPublish(9, "a", "x", qtReserved3, false, true); },
       "37 04 00 01 61 78", 9},
      {"publish_binary_payload",
       [](TMQTTParser &p) { p.SendPublish(0, "", std::string("\0\xFF", 2), qtAT_MOST_ONCE, false, false); },
       "30 04 00 00 00 FF", 0},
      {"puback", [](TMQTTParser &p) { p.SendPubAck(5); }, "40 02 00 05", 5},
      {"pubrec", [](TMQTTParser &p) { p.SendPubRec(0xBEEF); }, "50 02 BE EF", 0xBEEF},
      {"pubrel", [](TMQTTParser &p) { p.SendPubRel(5, false); }, "62 02 00 05", 5},
      {"pubrel_dup", [](TMQTTParser &p) { p.SendPubRel(5, true); }, "6A 02 00 05", 5},
      {"pubcomp", [](TMQTTParser &p) { p.SendPubComp(65535); }, "70 02 FF FF", 65535},
      {"unsuback", [](TMQTTParser &p) { p.SendUnsubAck(258); }, "B0 02 01 02", 258},
      // identifier, filter "a/#", requested QoS
      {"subscribe_one", [](TMQTTParser &p) { p.SendSubscribe(10, "a/#", qtAT_LEAST_ONCE); },
       "82 08 00 0A 00 03 61 2F 23 01", 10},
      // tags contribute only their low two bits
      {"subscribe_list",
       [](TMQTTParser &p) { p.SendSubscribe(10, List({{"a", 2}, {"b", 0x7E}, {"", 0x101}})); },
       "82 0D 00 0A 00 01 61 02 00 01 62 02 00 00 01", 10},
      {"subscribe_empty_list", [](TMQTTParser &p) { p.SendSubscribe(10, TTaggedStrings{}); }, "82 02 00 0A", 10},
      {"unsubscribe_one", [](TMQTTParser &p) { p.SendUnsubscribe(11, "a/#"); }, "A2 07 00 0B 00 03 61 2F 23", 11},
      {"unsubscribe_list", [](TMQTTParser &p) { p.SendUnsubscribe(11, List({{"a", 3}, {"bc", 1}})); },
       "A2 09 00 0B 00 01 61 00 02 62 63", 11},
      {"unsubscribe_empty_list", [](TMQTTParser &p) { p.SendUnsubscribe(11, TTaggedStrings{}); }, "A2 02 00 0B",
       11},
      {"suback", [](TMQTTParser &p) { p.SendSubAck(12, {qtAT_LEAST_ONCE, qtEXACTLY_ONCE, qtAT_MOST_ONCE}); },
       "90 05 00 0C 01 02 00", 12},
      {"suback_empty", [](TMQTTParser &p) { p.SendSubAck(12, {}); }, "90 02 00 0C", 12},
      {"pingreq", [](TMQTTParser &p) { p.SendPing(); }, "C0 00", 0},
      {"pingresp", [](TMQTTParser &p) { p.SendPingResp(); }, "D0 00", 0},
      {"disconnect", [](TMQTTParser &p) { p.SendDisconnect(); }, "E0 00", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    SendFixture f;
    c.Build(f.P);
    ASSERT_EQ(f.Sent.Packets.size(), 1u);
    EXPECT_EQ(ToHex(f.Sent.Packets[0]), c.Hex);
    EXPECT_EQ(f.Sent.IDs[0], c.ID);
    EXPECT_EQ(f.Sent.Retries[0], 0);
    EXPECT_EQ(f.P.TxStream().View(), f.Sent.Packets[0]); // the buffer keeps the last packet
  }
}

TEST(Send, long_bodies_take_longer_remaining_lengths) {
  struct Case {
    std::size_t PayloadSize;
    const char *LengthHex;
  };
  // topic "t" (3 bytes) + payload
  const Case cases[] = {{124, "7F"}, {125, "80 01"}, {16380, "FF 7F"}, {16381, "80 80 01"}};
  for (const Case &c : cases) {
    SendFixture f;
    std::string payload(c.PayloadSize, 'p');
    f.P.SendPublish(0, "t", payload, qtAT_MOST_ONCE, false, false);
    std::string expected = FromHex(std::string("30 ") + c.LengthHex + " 00 01 74") + payload;
    EXPECT_EQ(f.Sent.Packets.at(0), expected) << c.PayloadSize;
  }
}

TEST(Send, without_handler_the_packet_stays_in_the_transmit_buffer) {
  TMQTTParser p;
  p.SendPubRel(5, true);
  EXPECT_EQ(ToHex(p.TxStream().View()), "6A 02 00 05");
  p.SendPing();
  EXPECT_EQ(ToHex(p.TxStream().View()), "C0 00");
  p.Reset();
  EXPECT_TRUE(p.TxStream().Empty());
}

TEST(Send, connect_reloads_keep_alive_before_on_send) {
  SendFixture f;
  std::uint32_t countSeen = 0;
  auto record = f.P.OnSend;
  f.P.OnSend = [&](TMQTTParser *s, std::uint16_t id, std::int32_t r, TByteStream &b) {
    countSeen = s->KeepAliveCount();
    record(s, id, r, b);
  };
  f.P.SendConnect("c", "", "", 30, false);
  EXPECT_EQ(f.P.KeepAlive(), 30);
  EXPECT_EQ(countSeen, 300u);
}

TEST(Send, set_will) {
  struct Case {
    const char *Topic;
    const char *Message;
    bool Flag;
  };
  const Case cases[] = {{"t", "m", true}, {"t", "", false}, {"", "m", false}, {"", "", false}};
  for (const Case &c : cases) {
    TMQTTParser p;
    p.SetWill(c.Topic, c.Message, qtEXACTLY_ONCE, true);
    EXPECT_EQ(p.WillFlag(), c.Flag) << c.Topic << "/" << c.Message;
    EXPECT_EQ(p.WillTopic, c.Topic); // the fields keep what was given either way
    EXPECT_EQ(p.WillMessage, c.Message);
    EXPECT_EQ(p.WillQos, qtEXACTLY_ONCE);
    EXPECT_TRUE(p.WillRetain);
  }
}

TEST(Send, mon_prefixes_its_text) {
  TMQTTParser p;
  p.Mon("nobody listens"); // no handler: nothing happens
  std::vector<std::string> seen;
  p.OnMon = [&](TMQTTParser *s, std::string text) {
    EXPECT_EQ(s, &p);
    seen.push_back(text);
  };
  p.Mon("hello");
  EXPECT_EQ(seen, std::vector<std::string>{"P hello"});
}

TEST(Send, defaults_of_a_new_engine) {
  TMQTTParser p;
  EXPECT_EQ(p.KeepAlive(), 10);
  EXPECT_EQ(p.KeepAliveCount(), 0u);
  EXPECT_EQ(p.MaxRetries, 8);
  EXPECT_EQ(p.RetryTime, 60);
  EXPECT_EQ(p.WillQos, qtAT_LEAST_ONCE);
  EXPECT_FALSE(p.WillFlag());
  EXPECT_FALSE(p.Clean);
  EXPECT_EQ(p.RxMsg, mtReserved15);
  EXPECT_EQ(p.RxQos, qtAT_MOST_ONCE);
  EXPECT_EQ(p.RxState(), 0);
}

TEST(KeepAlive, counter_rules) {
  // A new engine's counter is 0: every call returns true.
  TMQTTParser fresh;
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(fresh.CheckKeepAlive());

  // KeepAlive 1: nine times true, then false once, then true until reloaded.
  TMQTTParser p;
  p.SetKeepAlive(1);
  EXPECT_EQ(p.KeepAliveCount(), 10u);
  std::string calls;
  for (int i = 0; i < 12; ++i) calls += p.CheckKeepAlive() ? 'T' : 'F';
  EXPECT_EQ(calls, "TTTTTTTTTFTT");

  // KeepAlive 0: always true.
  p.SetKeepAlive(0);
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(p.CheckKeepAlive());

  // The largest interval does not overflow the counter.
  p.SetKeepAlive(65535);
  EXPECT_EQ(p.KeepAliveCount(), 655350u);
}

TEST(Send, over_long_strings_are_refused_before_anything_is_built) {
  const std::string tooLong(65536, 's');
  const std::string longest(65535, 's');
  struct Case {
    const char *Name;
    std::function<void(TMQTTParser &)> Build;
  };
  const Case refused[] = {
      {"client_id", [&](TMQTTParser &p) { p.SendConnect(tooLong, "", "", 5, false); }},
      {"user", [&](TMQTTParser &p) { p.SendConnect("c", tooLong, "", 5, false); }},
      {"password", [&](TMQTTParser &p) { p.SendBrokerConnect("c", "", tooLong, 5, false); }},
      {"will_topic", [&](TMQTTParser &p) { p.SetWill(tooLong, "m", qtAT_MOST_ONCE, false); p.SendConnect("c", "", "", 5, false); }},
      {"will_message", [&](TMQTTParser &p) { p.SetWill("t", tooLong, qtAT_MOST_ONCE, false); p.SendConnect("c", "", "", 5, false); }},
      {"publish_topic", [&](TMQTTParser &p) { p.SendPublish(1, tooLong, "m", qtAT_LEAST_ONCE, false, false); }},
      {"subscribe", [&](TMQTTParser &p) { p.SendSubscribe(1, tooLong, qtAT_MOST_ONCE); }},
      {"subscribe_list", [&](TMQTTParser &p) { p.SendSubscribe(1, List({{"a", 0}, {tooLong, 0}})); }},
      {"unsubscribe", [&](TMQTTParser &p) { p.SendUnsubscribe(1, tooLong); }},
      {"unsubscribe_list", [&](TMQTTParser &p) { p.SendUnsubscribe(1, List({{tooLong, 0}})); }},
  };
  for (const Case &c : refused) {
    SCOPED_TRACE(c.Name);
    SendFixture f;
    f.P.SendPing(); // something in the buffer beforehand
    f.P.SetKeepAlive(9);
    EXPECT_THROW(c.Build(f.P), std::length_error);
    EXPECT_EQ(f.Sent.Packets.size(), 1u); // only the ping
    EXPECT_TRUE(f.P.TxStream().Empty());
    EXPECT_EQ(f.P.KeepAlive(), 9); // a refused CONNECT changes nothing
  }
  // 65,535 bytes is still fine.
  SendFixture f;
  f.P.SendPublish(1, longest, "m", qtAT_LEAST_ONCE, false, false);
  ASSERT_EQ(f.Sent.Packets.size(), 1u);
  EXPECT_EQ(f.Sent.Packets[0].size(), 1 + 3 + 2 + 65535 + 2 + 1u);
}

TEST(Send, packets_over_the_largest_remaining_length_are_refused) {
  // Address space for the oversized arguments without committing memory: the
  // sender must refuse before it reads any of it.
  const std::size_t size = std::size_t(MQTTMaxRemainingLength) + 16;
  void *region = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  const std::string_view huge(static_cast<const char *>(region), size);
  SendFixture f;
  EXPECT_THROW(f.P.SendPublish(1, "t", huge.substr(0, MQTTMaxRemainingLength - 4), qtAT_LEAST_ONCE, false, false),
               std::length_error);
  EXPECT_THROW(f.P.SendPublish(1, "t", huge.substr(0, MQTTMaxRemainingLength - 2), qtAT_MOST_ONCE, false, false),
               std::length_error);
  EXPECT_TRUE(f.Sent.Packets.empty());
  EXPECT_TRUE(f.P.TxStream().Empty());
  munmap(region, size);
}
