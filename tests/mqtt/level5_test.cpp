// MQTT 5 in the codec: every packet byte for byte and back, the property and
// reason-code tables, and malformed level-5 input ending the stream with the
// reason a DISCONNECT would carry.
#include "Chunking.h"
#include "EventLog.h"
#include "FieldReader.h"
#include "MQTTReasonCodes.h"
#include "uMQTT.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

using namespace EventText;

namespace {

// A level-5 parser whose sends are collected.
struct TLevel5 {
  TMQTTParser P;
  std::string Sent;
  TLevel5() {
    P.ProtocolLevel = plMQTT5;
    P.OnSend = [this](TMQTTParser *, std::uint16_t, std::int32_t, TByteStream &s) { Sent.append(s.View()); };
  }
};

std::vector<std::string> ParseLevel5(std::string_view bytes, TDelivery how) {
  TMQTTParser p;
  p.ProtocolLevel = plMQTT5;
  TEventLog log(p);
  Feed(p, bytes, how, 7);
  return log.Lines;
}

} // namespace

TEST(Level5, packet_layouts_and_back) {
  struct Case {
    const char *Name;
    std::function<void(TMQTTParser &)> Build;
    const char *Hex;
    std::vector<std::string> Events;
  };
  const Case cases[] = {
      // "MQTT", level 5, clean start, keep-alive 30, properties (8): session expiry 3600, receive maximum 20; "abc"
      {"connect_properties",
       [](TMQTTParser &p) {
         p.Clean = true;
         p.ConnectProperties = {NumberProperty(piSessionExpiryInterval, 3600), NumberProperty(piReceiveMaximum, 20)};
         p.SendConnect("abc", "", "", 30, true);
       },
       "10 18 00 04 4D 51 54 54 05 02 00 1E 08 11 00 00 0E 10 21 00 14 00 03 61 62 63",
       {Connect("connect", "MQTT", 5, "abc", "", "", 30, true) + " reason=0 props=[17:3600,33:20] will-props=[]"}},
      // flags: will, QoS 1, retain; no properties; "c"; will properties (5): delay 5; will topic "w", message "x"
      {"connect_will_properties",
       [](TMQTTParser &p) {
         p.SetWill("w", "x", qtAT_LEAST_ONCE, true);
         p.WillProperties = {NumberProperty(piWillDelayInterval, 5)};
         p.SendConnect("c", "", "", 10, false);
       },
       "10 1A 00 04 4D 51 54 54 05 2C 00 0A 00 00 01 63 05 18 00 00 00 05 00 01 77 00 01 78",
       {Will("w", "x", 1, true),
        Connect("connect", "MQTT", 5, "c", "", "", 10, false) + " reason=0 props=[] will-props=[24:5]"}},
      // topic "a/b", id 7, properties (11): content type "t", user property k=v; payload "hi"
      {"publish_properties",
       [](TMQTTParser &p) {
         p.SendPublish(7, "a/b", "hi", qtAT_LEAST_ONCE, false, false,
                       {TextProperty(piContentType, "t"), UserProperty("k", "v")});
       },
       "32 15 00 03 61 2F 62 00 07 0B 03 00 01 74 26 00 01 6B 00 01 76 68 69",
       {Publish(7, "a/b", "hi", 1, false, false) + " reason=0 props=[3:'t',38:'k'='v']"}},
      // an empty property block is one zero byte
      {"publish_no_properties", [](TMQTTParser &p) { p.SendPublish(0, "t", "x", qtAT_MOST_ONCE, false, false); },
       "30 05 00 01 74 00 78", {Publish(0, "t", "x", 0, false, false) + " reason=0 props=[]"}},
      // Success without properties leaves the reason out; a reason alone leaves the property length out
      {"puback_success", [](TMQTTParser &p) { p.SendReply(mtPUBACK, 1, rcSuccess); }, "40 02 00 01",
       {"puback 1 reason=0 props=[]"}},
      {"puback_no_subscribers", [](TMQTTParser &p) { p.SendReply(mtPUBACK, 1, rcNoMatchingSubscribers); },
       "40 03 00 01 10", {"puback 1 reason=16 props=[]"}},
      {"pubrec_refused_with_reason_string",
       [](TMQTTParser &p) { p.SendReply(mtPUBREC, 2, rcNotAuthorized, {TextProperty(piReasonString, "no")}); },
       "50 09 00 02 87 05 1F 00 02 6E 6F", {"pubrec 2 reason=135 props=[31:'no']"}},
      {"pubrel_as_before", [](TMQTTParser &p) { p.SendPubRel(3); }, "62 02 00 03", {"pubrel 3 reason=0 props=[]"}},
      {"pubcomp_not_found", [](TMQTTParser &p) { p.SendReply(mtPUBCOMP, 4, rcPacketIdentifierNotFound); },
       "70 03 00 04 92", {"pubcomp 4 reason=146 props=[]"}},
      // id 5, properties (3): subscription identifier 300; "a/#" with QoS 1, no local, retain as published,
      // retain handling 2
      {"subscribe_options",
       [](TMQTTParser &p) {
         p.SendSubscribe(5, TTaggedStrings{{"a/#", 0x2D}}, {NumberProperty(piSubscriptionIdentifier, 300)});
       },
       "82 0C 00 05 03 0B AC 02 00 03 61 2F 23 2D", {"subscribe 5 ['a/#':45] reason=0 props=[11:300]"}},
      {"subscribe_single_filter", [](TMQTTParser &p) { p.SendSubscribe(9, "x", qtEXACTLY_ONCE); },
       "82 07 00 09 00 00 01 78 02", {"subscribe 9 ['x':2] reason=0 props=[]"}},
      {"unsubscribe", [](TMQTTParser &p) { p.SendUnsubscribe(6, "a"); }, "A2 06 00 06 00 00 01 61",
       {"unsubscribe 6 ['a'] reason=0 props=[]"}},
      {"suback_reasons", [](TMQTTParser &p) { p.SendSubAck(5, {qtAT_LEAST_ONCE, TMQTTQOSType(rcQuotaExceeded)}); },
       "90 05 00 05 00 01 97", {"suback 5 [1,151] reason=0 reasons=[1,151] props=[]"}},
      {"unsuback_reasons", [](TMQTTParser &p) { p.SendUnsubAck(6, {rcSuccess, rcNoSubscriptionExisted}); },
       "B0 05 00 06 00 00 11", {"unsuback 6 reason=0 reasons=[0,17] props=[]"}},
      {"unsuback_plain_is_one_success", [](TMQTTParser &p) { p.SendUnsubAck(6); }, "B0 04 00 06 00 00",
       {"unsuback 6 reason=0 reasons=[0] props=[]"}},
      // session present, Success, properties (8): receive maximum 10, assigned client identifier "id"
      {"connack_properties",
       [](TMQTTParser &p) {
         p.SendConnAck(rcSuccess, true,
                       {NumberProperty(piReceiveMaximum, 10), TextProperty(piAssignedClientIdentifier, "id")});
       },
       "20 0B 01 00 08 21 00 0A 12 00 02 69 64", {"connack session-present 0 reason=0 props=[33:10,18:'id']"}},
      {"connack_refused", [](TMQTTParser &p) { p.SendConnAck(rcNotAuthorized, false); }, "20 03 00 87 00",
       {"connack 135 reason=135 props=[]"}},
      {"disconnect_normal", [](TMQTTParser &p) { p.SendDisconnect(); }, "E0 00", {"disconnect reason=0 props=[]"}},
      {"disconnect_with_will", [](TMQTTParser &p) { p.SendDisconnect(rcDisconnectWithWill); }, "E0 01 04",
       {"disconnect reason=4 props=[]"}},
      {"disconnect_reason_string",
       [](TMQTTParser &p) { p.SendDisconnect(rcMalformedPacket, {TextProperty(piReasonString, "x")}); },
       "E0 06 81 04 1F 00 01 78", {"disconnect reason=129 props=[31:'x']"}},
      // continue authentication, properties (8): method "S", data "d"
      {"auth_continue",
       [](TMQTTParser &p) {
         p.SendAuth(rcContinueAuthentication,
                    {TextProperty(piAuthenticationMethod, "S"), TextProperty(piAuthenticationData, "d")});
       },
       "F0 0A 18 08 15 00 01 53 16 00 01 64", {"auth reason=24 props=[21:'S',22:'d']"}},
      {"auth_success_bare", [](TMQTTParser &p) { p.SendAuth(rcSuccess); }, "F0 00", {"auth reason=0 props=[]"}},
      {"pings_unchanged", [](TMQTTParser &p) { p.SendPing(); p.SendPingResp(); }, "C0 00 D0 00",
       {"ping", "pingresp"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    TLevel5 s;
    c.Build(s.P);
    EXPECT_EQ(ToHex(s.Sent), ToHex(FromHex(c.Hex)));
    for (TDelivery how : {TDelivery::Whole, TDelivery::ByteByByte, TDelivery::Random})
      EXPECT_EQ(ParseLevel5(s.Sent, how), c.Events);
  }
}

// Each case is followed by a sound PINGRESP, which must not be reported: the
// stream ends at the bad packet.
TEST(Level5, malformed_input_ends_the_stream_with_a_reason) {
  struct Case {
    const char *Name;
    const char *Hex;
    int Reason;
    const char *Text;
  };
  const Case cases[] = {
      {"property_not_allowed", "40 07 00 01 00 03 23 00 01", rcMalformedPacket,
       "Topic Alias (0x23) is not allowed in PUBACK"},
      {"property_twice", "30 0D 00 01 74 08 03 00 01 61 03 00 01 62 78", rcProtocolError,
       "Content Type (0x03) appears more than once in PUBLISH"},
      {"unknown_property", "30 07 00 01 74 02 05 00 78", rcMalformedPacket, "unknown property 0x05 in PUBLISH"},
      {"property_length_past_packet", "40 05 00 01 00 09 1F", rcMalformedPacket,
       "the property length 9 runs past the end of PUBACK"},
      {"value_past_property_length", "40 08 00 01 00 03 1F 00 05 61", rcMalformedPacket,
       "the value of Reason String (0x1F) runs past the property length"},
      {"property_length_over_four_bytes", "40 08 00 01 00 FF FF FF FF 01", rcMalformedPacket,
       "the property length is not a variable byte integer"},
      {"reason_not_allowed_in_puback", "40 03 00 01 04", rcProtocolError, "reason code 0x04 is not allowed in PUBACK"},
      {"reason_not_allowed_in_suback", "90 04 00 01 00 8E", rcProtocolError,
       "reason code 0x8E is not allowed in SUBACK"},
      {"reason_not_allowed_in_connack", "20 03 00 04 00", rcProtocolError, "reason code 0x04 is not allowed in CONNACK"},
      {"receive_maximum_zero", "20 06 00 00 03 21 00 00", rcProtocolError, "Receive Maximum (0x21) cannot be 0"},
      {"maximum_qos_two", "20 05 00 00 02 24 02", rcProtocolError, "Maximum QoS (0x24) cannot be 2"},
      {"subscription_identifier_zero", "30 07 00 01 74 02 0B 00 78", rcProtocolError,
       "Subscription Identifier (0x0B) cannot be 0"},
      {"reason_string_not_utf8", "E0 06 00 04 1F 00 01 FF", rcMalformedPacket,
       "Reason String (0x1F) is not well-formed UTF-8"},
      {"connack_reserved_flags", "20 03 02 00 00", rcMalformedPacket, "CONNACK sets reserved acknowledge flags"},
      {"connack_short", "20 01 00", rcMalformedPacket, "CONNACK is shorter than its two bytes"},
      {"suback_without_codes", "90 03 00 01 00", rcMalformedPacket, "SUBACK carries no reason code"},
      {"bytes_after_properties", "40 05 00 01 00 00 AA", rcMalformedPacket, "PUBACK has bytes after its properties"},
      {"puback_without_identifier", "40 00", rcMalformedPacket, "PUBACK has no packet identifier"},
      {"publish_qos3", "36 05 00 01 74 00 78", rcMalformedPacket, "PUBLISH asks for QoS 3"},
      {"publish_topic_past_end", "30 03 00 05 74", rcMalformedPacket, "PUBLISH ends inside its topic or identifier"},
      {"pingresp_with_body", "D0 01 00", rcMalformedPacket, "PINGRESP has a body"},
      {"remaining_length_five_bytes", "30 FF FF FF FF 01", rcMalformedPacket, "remaining length runs past four bytes"},
      {"subscribe_reserved_options", "82 07 00 01 00 00 01 61 C0", rcMalformedPacket,
       "SUBSCRIBE has reserved subscription options set"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string bytes = FromHex(c.Hex) + FromHex("D0 00");
    for (TDelivery how : {TDelivery::Whole, TDelivery::ByteByByte}) {
      TMQTTParser p;
      p.ProtocolLevel = plMQTT5;
      TEventLog log(p);
      Feed(p, bytes, how);
      ASSERT_EQ(log.Lines.size(), 1u);
      EXPECT_EQ(log.Lines[0], Join({"broken ", Num(c.Reason), " ", c.Text}));
      EXPECT_TRUE(p.StreamBroken());
      EXPECT_EQ(p.BrokenReason(), c.Reason);
    }
  }
}

TEST(Level5, oversized_publish_is_skipped_with_its_properties_read) {
  TLevel5 s;
  s.P.SendPublish(3, "big", std::string(300, 'p'), qtAT_LEAST_ONCE, false, false,
                  {NumberProperty(piTopicAlias, 4), UserProperty("a", "b")});
  s.P.SendPublish(0, "", "small", qtAT_MOST_ONCE, false, false, {NumberProperty(piTopicAlias, 4)});
  for (TDelivery how : {TDelivery::Whole, TDelivery::ByteByByte, TDelivery::Random}) {
    TMQTTParser p;
    p.ProtocolLevel = plMQTT5;
    p.MaxRxLength = 100;
    TEventLog log(p);
    std::vector<std::string> skippedProps;
    p.OnPublishSkipped = [&](TMQTTParser *sender, std::uint16_t id, std::string topic, std::size_t size) {
      skippedProps.push_back(Skipped(id, topic, size, sender->RxQos) + " props=" + Props(sender->RxProperties));
    };
    Feed(p, s.Sent, how, 3, 17);
    EXPECT_EQ(skippedProps, std::vector<std::string>{Skipped(3, "big", 318, 1) + " props=[35:4,38:'a'='b']"});
    EXPECT_EQ(log.Lines, std::vector<std::string>{Publish(0, "", "small", 0, false, false) + " reason=0 props=[35:4]"});
  }
}

TEST(Level5, every_property_round_trips_through_its_table_entry) {
  for (int id = 0; id < 64; ++id) {
    const TMQTTPropertyInfo *info = PropertyInfo(std::uint8_t(id));
    if (!info) {
      EXPECT_EQ(PropertyName(std::uint8_t(id)).rfind("property 0x", 0), 0u);
      continue;
    }
    SCOPED_TRACE(info->Name);
    TMQTTProperty prop{info->ID, 0, {}, {}};
    switch (info->Type) {
    case ptByte: prop.Number = 1; break;
    case ptWord: prop.Number = 0x1234; break;
    case ptLong: prop.Number = 0x12345678; break;
    case ptVarInt: prop.Number = 268435455; break;
    case ptString: prop.Text = "caf\xC3\xA9"; break;
    case ptBinary: prop.Text = std::string("\x00\xFF", 2); break;
    case ptStringPair: prop.Text = "name", prop.Value = "value"; break;
    }
    std::uint32_t packet = 1;
    while (!(info->Packets & packet)) packet <<= 1;
    const TMQTTProperties props = {prop};
    ASSERT_EQ(CheckProperties(props, packet, "test"), "");
    TByteStream stream;
    EncodeProperties(stream, props);
    EXPECT_EQ(stream.Size(), PropertyBlockSize(props));
    TFieldReader r{stream.Data(), stream.Data() + stream.Size()};
    TMQTTPropertyViews back;
    std::string error;
    EXPECT_EQ(DecodeProperties(r, packet, "test", back, error), 0) << error;
    EXPECT_EQ(CopyProperties(back), props);
    EXPECT_EQ(r.Remaining(), 0u);
  }
}

TEST(Level5, properties_refused_before_sending) {
  struct Case {
    const char *Name;
    std::function<void(TMQTTParser &)> Send;
    const char *Error;
  };
  const Case cases[] = {
      {"not_in_that_packet",
       [](TMQTTParser &p) { p.SendReply(mtPUBACK, 1, 0, {NumberProperty(piTopicAlias, 1)}); },
       "Topic Alias (0x23) is not allowed in PUBACK"},
      {"single_property_twice",
       [](TMQTTParser &p) {
         p.SendPublish(1, "t", "", qtAT_LEAST_ONCE, false, false,
                       {TextProperty(piContentType, "a"), TextProperty(piContentType, "b")});
       },
       "Content Type (0x03) is given more than once in PUBLISH"},
      {"zero_alias",
       [](TMQTTParser &p) { p.SendPublish(0, "t", "", qtAT_MOST_ONCE, false, false, {NumberProperty(piTopicAlias, 0)}); },
       "Topic Alias (0x23) cannot be 0"},
      {"word_out_of_range",
       [](TMQTTParser &p) {
         p.ConnectProperties = {NumberProperty(piReceiveMaximum, 70000)};
         p.SendConnect("c", "", "", 1, false);
       },
       "Receive Maximum (0x21) cannot be 70000"},
      {"will_only_property_in_connect",
       [](TMQTTParser &p) {
         p.ConnectProperties = {NumberProperty(piWillDelayInterval, 1)};
         p.SendConnect("c", "", "", 1, false);
       },
       "Will Delay Interval (0x18) is not allowed in CONNECT"},
      {"reason_not_for_packet", [](TMQTTParser &p) { p.SendReply(mtPUBREL, 1, rcNotAuthorized); },
       "reason code 135 is not allowed in PUBREL"},
      {"properties_below_level_5",
       [](TMQTTParser &p) {
         p.ProtocolLevel = plMQTT311;
         p.SendPublish(0, "t", "", qtAT_MOST_ONCE, false, false, {UserProperty("a", "b")});
       },
       "PUBLISH properties need MQTT 5"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    TLevel5 s;
    try {
      c.Send(s.P);
      ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument &e) {
      EXPECT_EQ(std::string(e.what()), c.Error);
    }
    EXPECT_EQ(s.Sent, "");
  }
}

TEST(Level5, reason_texts_by_packet) {
  struct Case {
    int Code;
    TMQTTMessageType Packet;
    const char *Text;
    bool Allowed;
  };
  const Case cases[] = {
      {0x00, mtSUBACK, "Granted QoS 0", true},
      {0x00, mtDISCONNECT, "Normal disconnection", true},
      {0x00, mtPUBACK, "Success", true},
      {0x02, mtSUBACK, "Granted QoS 2", true},
      {0x87, mtPUBACK, "Not authorized", true},
      {0x97, mtSUBACK, "Quota exceeded", true},
      {0x95, mtCONNACK, "Packet too large", true},
      {0x8E, mtDISCONNECT, "Session taken over", true},
      {0x19, mtAUTH, "Re-authenticate", true},
      {0x04, mtPUBACK, "Unknown reason 0x04", false},
      {0x8E, mtCONNACK, "Unknown reason 0x8E", false},
      {0xFF, mtDISCONNECT, "Unknown reason 0xFF", false},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(ReasonText(std::uint8_t(c.Code), c.Packet), c.Text) << c.Code;
    EXPECT_EQ(ReasonAllowed(std::uint8_t(c.Code), c.Packet), c.Allowed) << c.Code;
  }
  EXPECT_EQ(ConnAckText(0x86, plMQTT5), "Bad User Name or Password");
  EXPECT_EQ(ConnAckText(4, plMQTT311), "BAD USER NAME OR PASSWORD");
}
