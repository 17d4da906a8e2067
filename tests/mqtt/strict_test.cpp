// The strict reader: a PUBLISH that breaks the format's rules breaks the
// stream with its reason and raises nothing else, however it is split, at
// both levels and also when it is too large to keep; a well-formed one at the
// edge of the rules is still handed on.
#include "Chunking.h"
#include "EventLog.h"
#include "uMQTT.h"

#include <gtest/gtest.h>

using namespace EventText;

namespace {

// fixed header byte, remaining length, body.
std::string Packet(std::uint8_t first, const std::string &body) {
  std::string out(1, char(first));
  std::size_t n = body.size();
  do {
    std::uint8_t b = n % 128;
    n /= 128;
    out += char(n ? b | 0x80 : b);
  } while (n);
  return out + body;
}
std::string Str(const std::string &s) { return std::string{char(s.size() >> 8), char(s.size() & 0xFF)} + s; }
std::string Id(std::uint16_t id) { return std::string{char(id >> 8), char(id & 0xFF)}; }

struct StrictCase {
  const char *Name;
  std::string Bytes;
  const char *Reason; // empty: handed on
};

const std::vector<StrictCase> &Cases() {
  static const std::vector<StrictCase> cases = {
      {"topic_not_utf8", Packet(0x30, Str("a\xFF") + "x"), "topic is not valid UTF-8"},
      {"topic_overlong_slash", Packet(0x30, Str("a\xC0\xAF") + "x"), "topic is not valid UTF-8"},
      {"topic_surrogate", Packet(0x30, Str("\xED\xA0\x80") + "x"), "topic is not valid UTF-8"},
      {"topic_with_nul", Packet(0x30, Str(std::string("a\0b", 3)) + "x"), "topic holds a NUL character"},
      {"topic_with_plus", Packet(0x30, Str("a/+") + "x"), "topic holds a wildcard"},
      {"topic_with_hash", Packet(0x32, Str("wild-#") + Id(1) + "x"), "topic holds a wildcard"},
      {"empty_topic", Packet(0x30, Str("") + "xy"), "PUBLISH with an empty topic"},
      {"qos1_identifier_0", Packet(0x32, Str("a") + Id(0) + "x"), "QoS 1 PUBLISH with packet identifier 0"},
      {"qos2_identifier_0", Packet(0x34, Str("a") + Id(0) + "x"), "QoS 2 PUBLISH with packet identifier 0"},
      {"qos3", Packet(0x36, Str("a") + Id(3) + "x"), "PUBLISH with QoS 3"},
      {"topic_count_past_end", Packet(0x32, std::string("\x00\x09", 2) + Id(7) + "hi"),
       "topic length 9 runs past the packet's 6 bytes"},
      {"identifier_cut_short", Packet(0x32, Str("a") + "\x07"), "QoS 1 PUBLISH has no room for its packet identifier"},
      {"one_byte_body", Packet(0x30, std::string(1, '\0')), "has no room for its topic length"},
      {"large_body_bad_topic", Packet(0x30, Str("big/#") + std::string(100000, 'p')), "topic holds a wildcard"},
      // Well-formed at the edge: handed on.
      {"multibyte_topic", Packet(0x32, Str("\xC3\xA9/$x/ \xF0\x9F\x98\x80") + Id(65535) + "v"), ""},
      {"qos0_empty_payload_of_four", Packet(0x30, Str("ab")), ""},
  };
  return cases;
}

class Strict : public ::testing::TestWithParam<std::tuple<TMQTTProtocolLevel, TDelivery>> {};

TEST_P(Strict, MalformedPublishBreaksTheStream) {
  const auto [level, delivery] = GetParam();
  for (const StrictCase &c : Cases()) {
    SCOPED_TRACE(c.Name);
    TMQTTParser p;
    p.ProtocolLevel = level;
    p.Strict = true;
    TEventLog log(p);
    Feed(p, c.Bytes + "\xD0" + std::string(1, '\0'), delivery, 7, 4096);
    if (!*c.Reason) {
      ASSERT_EQ(log.Lines.size(), 2u);
      EXPECT_EQ(log.Lines[0].rfind("publish ", 0), 0u) << log.Lines[0];
      EXPECT_EQ(log.Lines[1], "pingresp");
      EXPECT_FALSE(p.StreamBroken());
      continue;
    }
    // One event, the reason; the PINGRESP after it is not read.
    ASSERT_EQ(log.Lines.size(), 1u) << log.Lines[0];
    EXPECT_EQ(log.Lines[0].rfind("broken protocol violation: ", 0), 0u) << log.Lines[0];
    EXPECT_NE(log.Lines[0].find(c.Reason), std::string::npos) << log.Lines[0];
    EXPECT_TRUE(p.StreamBroken());
  }
}

INSTANTIATE_TEST_SUITE_P(LevelsAndSplits, Strict,
                         ::testing::Combine(::testing::Values(plMQTT31, plMQTT311),
                                            ::testing::Values(TDelivery::Whole, TDelivery::ByteByByte,
                                                              TDelivery::Random)));

// A PUBLISH over MaxRxLength is passed over, not kept; a malformed one is
// still a violation, and is not acknowledged as skipped.
TEST(StrictSkipped, OversizedMalformedPublishBreaksInsteadOfBeingSkipped) {
  struct Case {
    const char *Name;
    std::string Bytes;
    const char *Event;
  };
  const std::string payload(300, 'p');
  const Case cases[] = {
      {"wildcard", Packet(0x32, Str("a/#") + Id(4) + payload),
       "broken protocol violation: PUBLISH topic holds a wildcard"},
      {"identifier_0", Packet(0x34, Str("a") + Id(0) + payload),
       "broken protocol violation: QoS 2 PUBLISH with packet identifier 0"},
      {"well_formed", Packet(0x32, Str("a") + Id(4) + payload), "skipped id=4 topic='a' size=305 qos=1"},
  };
  for (const Case &c : cases)
    for (TDelivery how : {TDelivery::Whole, TDelivery::ByteByByte}) {
      SCOPED_TRACE(c.Name);
      TMQTTParser p;
      p.Strict = true;
      p.MaxRxLength = 100;
      TEventLog log(p);
      Feed(p, c.Bytes, how);
      EXPECT_EQ(log.Lines, std::vector<std::string>{c.Event});
    }
}

// Left lenient, the parser hands such a packet on as it always did.
TEST(StrictSkipped, LenientParserHandsMalformedPublishOn) {
  TMQTTParser p;
  TEventLog log(p);
  p.Parse(Packet(0x30, Str("a/+") + "x"));
  EXPECT_EQ(log.Lines, std::vector<std::string>{Publish(0, "a/+", "x", 0, false, false)});
}

} // namespace
