// The receive side: events per packet, the drop rules, splits at any byte,
// the keep-alive reloads, a broken stream and handlers that throw.
#include "Chunking.h"
#include "EventLog.h"
#include "uMQTT.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <tuple>

using Lines = std::vector<std::string>;
using namespace EventText;

namespace {

struct ParseCase {
  const char *Name;
  std::string Hex;
  Lines Events;
};

// Each case is followed by a PINGRESP, which must come out right after the
// case's own events: the stream is still in step. Every case is fed whole,
// byte by byte and in seeded random chunks.
void RunCases(const std::vector<ParseCase> &cases, TMQTTProtocolLevel level = plMQTT31) {
  for (const ParseCase &c : cases) {
    const std::string bytes = FromHex(c.Hex) + FromHex("D0 00");
    Lines expected = c.Events;
    expected.push_back("pingresp");
    for (TDelivery how : {TDelivery::Whole, TDelivery::ByteByByte, TDelivery::Random}) {
      for (unsigned seed = 1; seed <= (how == TDelivery::Random ? 4u : 1u); ++seed) {
        SCOPED_TRACE(std::string(c.Name) + " delivery " + std::to_string(int(how)) + " seed " +
                     std::to_string(seed));
        TMQTTParser p;
        p.ProtocolLevel = level;
        p.SetKeepAlive(3);
        TEventLog log(p);
        Feed(p, bytes, how, seed, 5);
        EXPECT_EQ(log.Lines, expected);
        EXPECT_EQ(p.RxState(), 0);
        EXPECT_EQ(p.KeepAliveCount(), 30u);
      }
    }
  }
}

} // namespace

TEST(Parse, packets) {
  RunCases({
      {"pingreq", "C0 00", {"ping"}},
      {"pingresp", "D0 00", {"pingresp"}},
      {"disconnect", "E0 00", {"disconnect"}},
      {"connack", "20 02 00 04", {"connack 4"}},
      // at 3.1 the first byte is reserved: no session-present flag
      {"connack_reserved_byte_ignored", "20 02 7F 00", {"connack 0"}},
      {"publish_qos0", "30 0A 00 03 61 2F 62 68 65 6C 6C 6F", {Publish(0, "a/b", "hello", 0, false, false)}},
      {"publish_qos1", "32 0C 00 03 61 2F 62 00 07 68 65 6C 6C 6F", {Publish(7, "a/b", "hello", 1, false, false)}},
      {"publish_qos2_dup_retain", "3D 06 00 01 61 12 34 00", {Publish(0x1234, "a", std::string(1, '\0'), 2, true, true)}},
      {"publish_qos3_has_no_identifier", "36 05 00 01 61 00 07", {Publish(0, "a", std::string("\0\x07", 2), 3, false, false)}},
      {"publish_empty_payload", "32 05 00 01 61 00 09", {Publish(9, "a", "", 1, false, false)}},
      {"publish_topic_count_past_end",
       "32 06 00 09 00 07 68 69", {Publish(7, "", "hi", 1, false, false)}},
      // a byte past the end reads as 0
      {"publish_identifier_cut_short", "32 04 00 01 61 07", {Publish(0x0700, "a", "", 1, false, false)}},
      {"publish_no_room_for_identifier", "34 05 00 03 61 62 63", {Publish(0, "abc", "", 2, false, false)}},
      {"publish_long_payload", "30 81 01 00 01 74" + std::string(252, 'A'),
       {Publish(0, "t", std::string(126, '\xAA'), 0, false, false)}},
      {"puback", "40 02 00 05", {"puback 5"}},
      {"pubrec", "50 02 01 00", {"pubrec 256"}},
      {"pubrel", "62 02 00 05", {"pubrel 5"}},
      {"pubrel_header_bits_not_checked", "60 02 00 05", {"pubrel 5"}},
      {"pubcomp", "70 02 FF FF", {"pubcomp 65535"}},
      {"unsuback", "B0 02 01 02", {"unsuback 258"}},
      {"suback", "90 05 00 0A 00 01 02", {SubAck(10, {qtAT_MOST_ONCE, qtAT_LEAST_ONCE, qtEXACTLY_ONCE})}},
      {"suback_low_two_bits_only", "90 03 00 0A 80", {SubAck(10, {qtAT_MOST_ONCE})}},
      {"suback_no_grants", "90 02 00 0A", {SubAck(10, {})}},
      {"subscribe", "82 0A 00 0A 00 01 61 01 00 01 62 02", {Topics("subscribe", 10, {{"a", 1}, {"b", 2}}, true)}},
      {"subscribe_qos_low_two_bits", "82 06 00 0A 00 01 61 FE", {Topics("subscribe", 10, {{"a", 2}}, true)}},
      {"subscribe_short_trailing_entry", "82 08 00 0A 00 01 61 01 00 01",
       {Topics("subscribe", 10, {{"a", 1}}, true)}},
      {"subscribe_no_entries", "82 02 00 0A", {Topics("subscribe", 10, {}, true)}},
      {"unsubscribe", "A2 09 00 0B 00 01 61 00 02 62 63", {Topics("unsubscribe", 11, {{"a", 0}, {"bc", 0}}, false)}},
      {"unsubscribe_short_trailing_filter", "A2 06 00 0B 00 01 61 00",
       {Topics("unsubscribe", 11, {{"a", 0}}, false)}},
      {"connect", "10 11 00 06 4D 51 49 73 64 70 03 02 00 1E 00 03 61 62 63",
       {Connect("connect", "MQIsdp", 3, "abc", "", "", 30, true)}},
      {"broker_connect", "02 11 00 06 4D 51 49 73 64 70 03 00 00 1E 00 03 61 62 63",
       {Connect("brokerconnect", "MQIsdp", 3, "abc", "", "", 30, false)}},
      // flags C2: user name and password, clean session
      {"connect_user_password", "10 16 00 06 4D 51 49 73 64 70 03 C2 00 3C 00 01 63 00 01 75 00 02 70 77",
       {Connect("connect", "MQIsdp", 3, "c", "u", "pw", 60, true)}},
      // flags 2E: will retain, will QoS 1, will flag, clean; the will comes first
      {"connect_will", "10 15 00 06 4D 51 49 73 64 70 03 2E 00 05 00 01 63 00 01 74 00 01 30",
       {Will("t", "0", 1, true), Connect("connect", "MQIsdp", 3, "c", "", "", 5, true)}},
      // protocol name and version are passed on unchecked; absent strings read as empty
      {"connect_unchecked_and_short", "10 06 00 01 58 07 C0 00", {Connect("connect", "X", 7, "", "", "", 0, false)}},
      {"connect_empty_body_is_dropped", "10 00", {}},
  });
}

// 3.1.1 gives the CONNACK's first byte a meaning and the SUBACK a refusal;
// everything else decodes as at 3.1.
TEST(Parse, packets_at_level_311) {
  RunCases(
      {
          {"connack_session_present", "20 02 01 00", {"connack session-present 0"}},
          {"connack_no_session", "20 02 00 00", {"connack 0"}},
          {"connack_other_flag_bits_ignored", "20 02 FE 05", {"connack 5"}},
          {"suback_refused_filter", "90 05 00 0A 01 80 02",
           {SubAck(10, {qtAT_LEAST_ONCE, qtSubscribeFailure, qtEXACTLY_ONCE})}},
          // only 0x80 is a refusal; other high bits are masked as at 3.1
          {"suback_other_codes_low_two_bits", "90 04 00 0A 81 FE", {SubAck(10, {qtAT_LEAST_ONCE, qtEXACTLY_ONCE})}},
          {"connect_311", "10 0F 00 04 4D 51 54 54 04 02 00 3C 00 03 61 62 63",
           {Connect("connect", "MQTT", 4, "abc", "", "", 60, true)}},
      },
      plMQTT311);
}

TEST(Parse, drop_rules) {
  RunCases({
      {"connack_wrong_body_size", "20 03 00 00 00", {}},
      {"connack_one_byte", "20 01 00", {}},
      {"connack_empty", "20 00", {}},
      {"puback_wrong_body_size", "40 03 00 01 02", {}},
      {"pubrec_one_byte", "50 01 00", {}},
      {"pubrel_four_bytes", "62 04 00 01 00 02", {}},
      {"pubcomp_empty", "70 00", {}},
      {"unsuback_three_bytes", "B0 03 01 02 03", {}},
      {"publish_under_four_bytes", "30 03 00 01 61", {}},
      {"publish_empty", "30 00", {}},
      {"subscribe_one_byte", "82 01 00", {}},
      {"suback_one_byte", "90 01 00", {}},
      {"unsubscribe_one_byte", "A2 01 00", {}},
      {"pingreq_with_body", "C0 01 00", {}},
      {"pingresp_with_body", "D0 02 00 00", {}},
      {"disconnect_with_body", "E0 01 00", {}},
      {"type15_empty", "F0 00", {}},
      {"type15_with_body", "FF 03 01 02 03", {}},
      {"broker_connect_empty", "00 00", {}},
      {"subscribe_empty", "80 00", {}},
      {"suback_empty", "90 00", {}},
      {"unsubscribe_empty", "A2 00", {}},
      {"unsuback_empty", "B0 00", {}},
      {"two_byte_length_body_dropped", "40 80 01" + std::string(256, '0'), {}},
  });
}

TEST(Parse, header_event_comes_with_the_first_byte) {
  TMQTTParser p;
  TEventLog log(p, true);
  p.Parse(FromHex("D0"));
  EXPECT_EQ(log.Lines, Lines{Header(13, false, 0, false)});
  EXPECT_EQ(p.RxMsg, mtPINGRESP);
  p.Parse(FromHex("00"));
  EXPECT_EQ(log.Lines, (Lines{Header(13, false, 0, false), "pingresp"}));

  // A dropped packet raises its header and nothing else.
  log.Lines.clear();
  p.Parse(FromHex("20 03 00 00 00 3B 05 00 01 61 00 02"));
  EXPECT_EQ(log.Lines, (Lines{Header(2, false, 0, false), Header(3, true, 1, true),
                              Publish(2, "a", "", 1, true, true)}));
  // The header fields stay until the next header byte.
  EXPECT_EQ(p.RxMsg, mtPUBLISH);
  EXPECT_TRUE(p.RxRetain);
}

TEST(Parse, event_comes_in_the_call_that_completes_the_packet) {
  TMQTTParser p;
  TEventLog log(p);
  for (const char *piece : {"30 0A 00", "03 61 2F 62"}) {
    p.Parse(FromHex(piece));
    EXPECT_TRUE(log.Lines.empty());
  }
  p.Parse(FromHex("68 65 6C 6C 6F"));
  EXPECT_EQ(log.Lines, Lines{Publish(0, "a/b", "hello", 0, false, false)});

  // A remaining length split between calls.
  log.Lines.clear();
  p.Parse(FromHex("30 80"));
  EXPECT_EQ(p.RxState(), 1);
  std::string body = FromHex("00 01 74") + std::string(125, 'm');
  p.Parse(FromHex("01") + body);
  EXPECT_EQ(log.Lines, Lines{Publish(0, "t", std::string(125, 'm'), 0, false, false)});
}

TEST(Parse, several_packets_in_one_chunk_keep_their_order) {
  TMQTTParser p;
  TEventLog log(p);
  p.Parse(FromHex("40 02 00 01 D0 00 50 02 00 02 30 04 00 01 61 62"));
  EXPECT_EQ(log.Lines, (Lines{"puback 1", "pingresp", "pubrec 2", Publish(0, "a", "b", 0, false, false)}));
}

TEST(Parse, stream_form_reads_from_the_position_to_the_end) {
  TMQTTParser p;
  TEventLog log(p);
  TByteStream s(FromHex("40 02 00 01 40 02 00 02"));
  s.Seek(4);
  p.Parse(s);
  EXPECT_EQ(log.Lines, Lines{"puback 2"});
  EXPECT_EQ(s.Position(), s.Size());
}

TEST(Parse, handlers_may_send_from_inside_events) {
  TMQTTParser p;
  std::vector<std::string> sent;
  p.OnSend = [&](TMQTTParser *, std::uint16_t, std::int32_t, TByteStream &s) { sent.emplace_back(s.View()); };
  p.OnPublish = [](TMQTTParser *s, std::uint16_t id, std::string, std::string) { s->SendPubAck(id); };
  p.OnPubRel = [](TMQTTParser *s, std::uint16_t id) { s->SendPubComp(id); };
  p.Parse(FromHex("32 06 00 01 61 00 07 78 62 02 00 08 32 06 00 01 61 00 09 78"));
  std::vector<std::string> expected;
  for (const char *hex : {"40 02 00 07", "70 02 00 08", "40 02 00 09"}) expected.push_back(FromHex(hex));
  EXPECT_EQ(sent, expected);
}

TEST(Parse, keep_alive_reloads_on_every_received_packet) {
  struct Case {
    const char *Name;
    const char *Hex;
  };
  const Case cases[] = {{"pingresp", "D0 00"},           {"dropped_empty", "20 00"},
                        {"connack", "20 02 00 00"},      {"dropped_body", "20 03 00 00 00"},
                        {"type15", "F0 01 00"},          {"publish", "30 04 00 01 61 62"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    TMQTTParser p;
    p.SetKeepAlive(2);
    const std::string bytes = FromHex(c.Hex);
    // Run the counter down, then feed the header and the length: the complete
    // length reloads it.
    for (int i = 0; i < 5; ++i) p.CheckKeepAlive();
    EXPECT_EQ(p.KeepAliveCount(), 15u);
    p.Parse(bytes.substr(0, 1));
    EXPECT_EQ(p.KeepAliveCount(), 15u); // a header byte alone changes nothing
    p.Parse(bytes.substr(1, 1));
    EXPECT_EQ(p.KeepAliveCount(), 20u);
    // And the end of a body reloads it again.
    for (int i = 0; i < 5; ++i) p.CheckKeepAlive();
    p.Parse(bytes.substr(2));
    EXPECT_EQ(p.KeepAliveCount(), bytes.size() > 2 ? 20u : 15u);
  }
  // A handler that changes KeepAlive sees its value win, reloaded after the body.
  TMQTTParser p;
  p.OnConnAck = [](TMQTTParser *s, std::uint8_t) { s->SetKeepAlive(7); };
  p.Parse(FromHex("20 02 00 00"));
  EXPECT_EQ(p.KeepAliveCount(), 70u);
}

TEST(Parse, reset_starts_over_at_a_fixed_header) {
  TMQTTParser p;
  TEventLog log(p);
  p.SetKeepAlive(4);
  p.ClientID = "me";
  p.Parse(FromHex("32 0C 00 03 61"));
  EXPECT_EQ(p.RxState(), 2);
  p.Reset();
  EXPECT_EQ(p.RxState(), 0);
  EXPECT_EQ(p.RxMsg, mtReserved15);
  EXPECT_EQ(p.RxQos, qtAT_MOST_ONCE);
  EXPECT_FALSE(p.RxDup || p.RxRetain);
  EXPECT_EQ(p.KeepAlive(), 4);
  EXPECT_EQ(p.ClientID, "me");
  // The rest of the cut-off packet is not continued: the new bytes are a fresh packet.
  p.Parse(FromHex("40 02 00 05"));
  EXPECT_EQ(log.Lines, Lines{"puback 5"});
}

TEST(Parse, broken_stream) {
  struct Case {
    const char *Name;
    std::int32_t Cap;
    const char *Hex;
    bool Broken;
  };
  const Case cases[] = {
      {"fifth_length_byte", 0, "30 FF FF FF FF 01", true},
      {"fifth_length_byte_even_if_zero", 0, "30 80 80 80 80 00", true},
      // A PUBLISH over the cap is passed over instead (next test); any other packet breaks.
      {"largest_length_above_default_cap", 0, "90 FF FF FF 7F", true},
      {"above_a_small_cap", 100, "90 65", true},
      {"at_a_small_cap", 100, "90 64", false},
      {"default_cap_exactly", 0, "90 80 80 80 08", false},
      {"one_above_default_cap", 0, "90 81 80 80 08", true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    TMQTTParser p;
    if (c.Cap) p.MaxRxLength = c.Cap;
    TEventLog log(p);
    p.Parse(FromHex(c.Hex));
    EXPECT_EQ(p.StreamBroken(), c.Broken);
    EXPECT_EQ(log.Lines.size(), c.Broken ? 1u : 0u);
    if (!c.Broken) continue;
    EXPECT_EQ(log.Lines[0].rfind("broken ", 0), 0u);
    EXPECT_EQ(p.RxState(), 3);
    // Nothing more is read, whatever comes.
    p.Parse(FromHex("D0 00 40 02 00 01"));
    EXPECT_EQ(log.Lines.size(), 1u);
    // Until Reset.
    p.Reset();
    EXPECT_FALSE(p.StreamBroken());
    p.Parse(FromHex("D0 00"));
    EXPECT_EQ(log.Lines.back(), "pingresp");
  }
}

TEST(Parse, publish_over_the_cap_is_skipped_with_its_topic_and_identifier) {
  using namespace EventText;
  struct Case {
    const char *Name;
    std::uint8_t First;
    std::string Head; // topic and identifier
    int Id;
    std::size_t Piece; // bytes per Parse call
  };
  const std::string topic = std::string("\x00\x03", 2) + "a/b";
  const std::string id = std::string("\x01\x02", 2);
  const Case cases[] = {
      {"qos0_whole", 0x30, topic, 0, 1 << 20},
      {"qos1_whole", 0x32, topic + id, 258, 1 << 20},
      {"qos2_in_pieces", 0x34, topic + id, 258, 7},
      {"qos1_byte_by_byte", 0x3A, topic + id, 258, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    TMQTTParser p;
    p.MaxRxLength = 100;
    TEventLog log(p);
    const std::string body = c.Head + std::string(101 - c.Head.size(), 'x');
    const std::string stream = std::string(1, char(c.First)) + "\x65" + body + FromHex("40 02 00 07");
    for (std::size_t at = 0; at < stream.size(); at += c.Piece) p.Parse(stream.substr(at, c.Piece));
    EXPECT_FALSE(p.StreamBroken());
    EXPECT_EQ(log.Lines, (Lines{Skipped(c.Id, "a/b", 101, (c.First >> 1) & 3), "puback 7"}));
  }
}

TEST(Parse, largest_length_accepted_when_the_cap_allows_it) {
  // With the cap at the protocol's limit the announcement alone allocates
  // nothing: the parser just waits for body bytes.
  TMQTTParser p;
  p.MaxRxLength = MQTTMaxRemainingLength;
  TEventLog log(p);
  p.Parse(FromHex("30 FF FF FF 7F 00 01 74"));
  EXPECT_FALSE(p.StreamBroken());
  EXPECT_EQ(p.RxState(), 2);
  EXPECT_TRUE(log.Lines.empty());
}

TEST(Parse, throwing_handler_leaves_the_parser_in_step) {
  struct Case {
    const char *Name;
    const char *Hex;
    int ThrowAt; // which event throws (0-based)
    Lines Events;
  };
  // Three packets in one chunk.
  const char *three = "40 02 00 01 32 06 00 01 61 00 02 78 D0 00";
  const Lines all = {"header", "puback 1", "header", Publish(2, "a", "x", 1, false, false), "header", "pingresp"};
  std::vector<Case> cases;
  for (int at = 0; at < int(all.size()); ++at) cases.push_back({all[at].c_str(), three, at, all});
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.ThrowAt) + " " + c.Name);
    TMQTTParser p;
    p.SetKeepAlive(1);
    TEventLog log(p, true);
    int seen = 0;
    // Wrap every recorder so that event number ThrowAt throws after being recorded.
    auto wrap = [&](auto &event) {
      auto inner = event;
      event = [&seen, inner, at = c.ThrowAt](auto... args) {
        inner(args...);
        if (seen++ == at) throw std::runtime_error("handler failed");
      };
    };
    wrap(p.OnHeader);
    wrap(p.OnPubAck);
    wrap(p.OnPublish);
    wrap(p.OnPingResp);
    EXPECT_THROW(p.Parse(FromHex(c.Hex)), std::runtime_error);
    EXPECT_EQ(seen, c.ThrowAt + 1);
    // A completed packet has set the state back to a fixed header and reloaded keep-alive.
    if (c.ThrowAt % 2 == 1) {
      EXPECT_EQ(p.RxState(), 0);
      EXPECT_EQ(p.KeepAliveCount(), 10u);
    }
    // An empty call parses what was left over; nothing is lost or repeated.
    p.Parse(std::string_view{});
    Lines shown;
    for (const std::string &line : log.Lines) shown.push_back(line.rfind("header", 0) == 0 ? "header" : line);
    EXPECT_EQ(shown, c.Events);
  }
}

TEST(Parse, throwing_handler_then_reset_drops_the_rest) {
  TMQTTParser p;
  TEventLog log(p);
  p.OnPubAck = [](TMQTTParser *, std::uint16_t) { throw std::runtime_error("no"); };
  EXPECT_THROW(p.Parse(FromHex("40 02 00 01 D0 00")), std::runtime_error);
  p.Reset();
  p.Parse(FromHex("E0 00"));
  EXPECT_EQ(log.Lines, Lines{"disconnect"});
}

TEST(Parse, leftover_after_a_throw_comes_before_new_bytes) {
  TMQTTParser p;
  TEventLog log(p);
  auto record = p.OnPubAck;
  bool thrown = false;
  p.OnPubAck = [&](TMQTTParser *s, std::uint16_t id) {
    record(s, id);
    if (!thrown) {
      thrown = true;
      throw std::runtime_error("once");
    }
  };
  EXPECT_THROW(p.Parse(FromHex("40 02 00 01 40 02")), std::runtime_error);
  p.Parse(FromHex("00 02 40 02 00 03"));
  EXPECT_EQ(log.Lines, (Lines{"puback 1", "puback 2", "puback 3"}));
}

TEST(Parse, publish_split_into_two_calls_at_every_byte) {
  struct Case {
    const char *Name;
    const char *Hex;
    std::string Event;
  };
  const Case cases[] = {
      {"qos1", "32 0C 00 03 61 2F 62 00 07 68 65 6C 6C 6F", Publish(7, "a/b", "hello", 1, false, false)},
      {"qos0", "30 0A 00 03 61 2F 62 68 65 6C 6C 6F", Publish(0, "a/b", "hello", 0, false, false)},
      {"topic_count_past_end", "32 06 00 09 00 07 68 69", Publish(7, "", "hi", 1, false, false)},
      {"identifier_cut_short", "32 04 00 01 61 07", Publish(0x0700, "a", "", 1, false, false)},
      {"no_payload", "34 07 00 03 61 62 63 00 01", Publish(1, "abc", "", 2, false, false)},
  };
  for (const Case &c : cases) {
    const std::string bytes = FromHex(c.Hex) + FromHex("D0 00");
    for (std::size_t at = 1; at < bytes.size(); ++at) {
      SCOPED_TRACE(std::string(c.Name) + " split at " + std::to_string(at));
      TMQTTParser p;
      TEventLog log(p);
      p.Parse(std::string_view(bytes).substr(0, at));
      p.Parse(std::string_view(bytes).substr(at));
      EXPECT_EQ(log.Lines, (Lines{c.Event, "pingresp"}));
    }
  }
}

// A receiver of views sees the same fields as one of copies, for bodies that
// arrive whole and in pieces, and OnPublish is not raised beside it.
TEST(Parse, publish_views_match_the_copies) {
  const std::string packets[] = {FromHex("30 07 00 03 61 2F 62 68 69"), FromHex("32 08 00 01 74 01 02 78 79 7A"),
                                 FromHex("34 05 00 01 74 00 09")};
  for (const std::string &packet : packets)
    for (std::size_t piece : {packet.size(), std::size_t(1), std::size_t(3)}) {
      SCOPED_TRACE(ToHex(packet) + " in pieces of " + std::to_string(piece));
      std::vector<std::tuple<std::uint16_t, std::string, std::string>> copies, views;
      TMQTTParser copying, viewing;
      copying.OnPublish = [&](TMQTTParser *, std::uint16_t id, std::string t, std::string m) {
        copies.emplace_back(id, t, m);
      };
      viewing.OnPublish = [&](TMQTTParser *, std::uint16_t, std::string, std::string) { ADD_FAILURE(); };
      viewing.OnPublishView = [&](TMQTTParser *, std::uint16_t id, std::string_view t, std::string_view m) {
        views.emplace_back(id, std::string(t), std::string(m));
      };
      for (std::size_t at = 0; at < packet.size(); at += piece) {
        copying.Parse(std::string_view(packet).substr(at, piece));
        viewing.Parse(std::string_view(packet).substr(at, piece));
      }
      ASSERT_EQ(copies.size(), 1u);
      EXPECT_EQ(views, copies);
    }
}
