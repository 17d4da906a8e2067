// The checks callers run before building a packet: each message names the field
// and the problem, and what a broker accepts passes.
#include "MQTTLimits.h"

#include <gtest/gtest.h>

#include <functional>

namespace {
using TCheck = std::function<std::string(std::string_view)>;

struct Case {
  const char *Name;
  TCheck Check;
  std::string Value;
  std::string Expected;
};

const TCheck Topic = [](std::string_view v) { return CheckTopicName("topic", v); };
const TCheck Filter = [](std::string_view v) { return CheckTopicFilter("filter", v); };
const TCheck ClientID = [](std::string_view v) { return CheckText("client ID", v); };
const TCheck Password = [](std::string_view v) { return CheckStringLength("password", v); };

const std::string Longest(65535, 'a');
const std::string TooLong(65536, 'a');
} // namespace

TEST(Limits, table_of_values_and_messages) {
  const Case cases[] = {
      {"plain topic", Topic, "sensors/t1", ""},
      {"topic of 65535 bytes", Topic, Longest, ""},
      {"topic of 65536 bytes", Topic, TooLong, "topic is 65536 bytes long; at most 65535 bytes fit in an MQTT string"},
      {"empty topic", Topic, "", "topic is empty"},
      {"topic with +", Topic, "a/+/b", "topic contains the wildcard '+' at byte 2; wildcards belong in subscriptions only"},
      {"topic with #", Topic, "a/#", "topic contains the wildcard '#' at byte 2; wildcards belong in subscriptions only"},
      {"topic of only slashes", Topic, "//", ""},
      {"two-byte UTF-8", Topic, "caf\xC3\xA9", ""},
      {"four-byte UTF-8", Topic, "\xF0\x9F\x98\x80", ""},
      {"Latin-1 byte", Topic, "caf\xE9", "topic is not valid UTF-8 at byte 3"},
      {"lone continuation byte", Topic, "a\x80", "topic is not valid UTF-8 at byte 1"},
      {"truncated sequence", Topic, "ab\xE2\x82", "topic is not valid UTF-8 at byte 2"},
      {"overlong slash", Topic, "a\xC0\xAF", "topic is not valid UTF-8 at byte 1"},
      {"surrogate", Topic, "\xED\xA0\x80", "topic is not valid UTF-8 at byte 0"},
      {"above U+10FFFF", Topic, "\xF4\x90\x80\x80", "topic is not valid UTF-8 at byte 0"},
      {"null character", Topic, std::string("a\0b", 3), "topic contains a null character at byte 1"},
      {"C0 control", Topic, "a\x01", "topic contains a control character at byte 1"},
      {"DEL", Topic, "a\x7F", "topic contains a control character at byte 1"},
      {"C1 control", Topic, "a\xC2\x80", "topic contains a control character at byte 1"},
      {"non-character U+FFFF", Topic, "a\xEF\xBF\xBF", "topic contains a Unicode non-character at byte 1"},
      {"filter #", Filter, "#", ""},
      {"filter +", Filter, "+", ""},
      {"filter a/+/b/#", Filter, "a/+/b/#", ""},
      {"filter +/+", Filter, "+/+", ""},
      {"filter /#", Filter, "/#", ""},
      {"empty filter", Filter, "", "filter is empty"},
      {"filter a+", Filter, "a+", "filter has '+' at byte 1 inside a level; a wildcard must fill a whole level"},
      {"filter +a", Filter, "+a", "filter has '+' at byte 0 inside a level; a wildcard must fill a whole level"},
      {"filter a#", Filter, "a#", "filter has '#' at byte 1 inside a level; a wildcard must fill a whole level"},
      {"filter a/#/b", Filter, "a/#/b", "filter has '#' at byte 2 before its last level; '#' may only stand last"},
      {"filter ##", Filter, "##", "filter has '#' at byte 0 inside a level; a wildcard must fill a whole level"},
      {"filter not UTF-8", Filter, "a/\xFF", "filter is not valid UTF-8 at byte 2"},
      {"filter too long", Filter, TooLong, "filter is 65536 bytes long; at most 65535 bytes fit in an MQTT string"},
      {"empty client ID", ClientID, "", ""},
      {"client ID too long", ClientID, TooLong, "client ID is 65536 bytes long; at most 65535 bytes fit in an MQTT string"},
      {"binary password", Password, "\xFF\x00\x01", ""},
      {"password too long", Password, TooLong, "password is 65536 bytes long; at most 65535 bytes fit in an MQTT string"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(c.Check(c.Value), c.Expected);
  }
}

TEST(Limits, publish_size_at_the_largest_remaining_length) {
  struct SizeCase {
    std::size_t Topic;
    std::size_t Payload;
    TMQTTQOSType Qos;
    std::string Expected;
  };
  // Remaining length = 2 + topic + (2 for an identifier) + payload <= 268,435,455.
  const SizeCase cases[] = {
      {1, 268435452, qtAT_MOST_ONCE, ""},
      {1, 268435453, qtAT_MOST_ONCE,
       "message of 268435453 bytes is too large; with this topic at most 268435452 bytes fit in one MQTT packet"},
      {1, 268435450, qtAT_LEAST_ONCE, ""},
      {1, 268435451, qtEXACTLY_ONCE,
       "message of 268435451 bytes is too large; with this topic at most 268435450 bytes fit in one MQTT packet"},
      {65535, 268369918, qtAT_MOST_ONCE, ""},
      {65535, 268369919, qtAT_MOST_ONCE,
       "message of 268369919 bytes is too large; with this topic at most 268369918 bytes fit in one MQTT packet"},
  };
  for (const SizeCase &c : cases) {
    SCOPED_TRACE(c.Payload);
    EXPECT_EQ(CheckPublishSize(c.Topic, c.Payload, c.Qos), c.Expected);
  }
}
