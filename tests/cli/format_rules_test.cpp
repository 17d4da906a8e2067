// The -F formatter on its own: what cannot be compared with mosquitto_sub on
// a live broker (level-5 properties, JSON payloads of every shape, the clock)
// and where ours deliberately differs from it.

#include <gtest/gtest.h>

#include <map>

#include "CliFormat.h"

namespace {

std::string Apply(const std::string &format, const CliMessage &m, std::string *problems = nullptr) {
  std::string error, unused;
  const std::optional<MessageFormat> f = MessageFormat::Parse(format, error);
  EXPECT_TRUE(f) << format << ": " << error;
  return f ? f->Format(m, problems ? *problems : unused) : std::string();
}

std::string Apply(const std::string &format, const std::string &payload, int qos = 0) {
  const std::string topic = "a/b";
  return Apply(format, CliMessage{topic, payload, qos, false, 7, {1700000000, 5}, {}});
}

} // namespace

// mosquitto_sub 2.0 prints the hex of only the first half of the payload once
// a width is given; ours prints all of it, cut to the whole bytes that fit in
// the width as %p is cut.
TEST(CliFormatRules, HexWithAWidthShowsThePayloadCutToTheWidth) {
  struct Case {
    const char *Format;
    const char *Payload;
    const char *Expected;
  } cases[] = {
      {"%010x", "ab", "0000006162"},   {"%-6x|", "ab", "6162  |"},   {"%6X", "\xff", "    FF"},
      {"%3x", "abcd", " 61"},          {"%4x", "abcdefgh", "6162"},  {"%010x", "abcdefgh", "6162636465"},
      {"%x", "abcdefgh", "6162636465666768"}, {"%.2x", "abc", "616263"},
  };
  for (const Case &c : cases) EXPECT_EQ(Apply(c.Format, c.Payload), c.Expected) << c.Format << " " << c.Payload;
}

// The properties of a level-5 message come in through CliMessage::Property.
TEST(CliFormatRules, PropertyConversionsTakeWhatTheMessageCarries) {
  const std::map<char, std::string> props = {{'A', "3"},  {'C', "text/plain"}, {'D', std::string("\x01\0", 2)},
                                             {'E', "42"}, {'F', "1"},          {'P', "k:v"},
                                             {'R', "reply/to"}, {'S', "7"}};
  const std::string topic = "t", payload = "p";
  CliMessage m{topic, payload, 1, false, 9, {}, [&](char c, std::string &text) {
                 const auto it = props.find(c);
                 if (it == props.end()) return false;
                 text = it->second;
                 return true;
               }};
  static const char expected[] = "[00003][text/plain  ][text][\x01\0][00042][  1][k:v][     reply][7   ]";
  EXPECT_EQ(Apply("[%05A][%-12C][%.4C][%D][%05E][%3F][%P][%10.5R][%-4S]", m),
            std::string(expected, sizeof expected - 1));
  // Without them: nothing, padded where a width is given, except the response topic.
  CliMessage bare{topic, payload, 1, false, 9, {}, {}};
  EXPECT_EQ(Apply("[%A][%05E][%3C][%4R][%5D][%5P]", bare), "[][00000][   ][][][]");
}

// %J as mosquitto_sub prints it (each expectation taken from mosquitto_sub 2.0).
TEST(CliFormatRules, JsonPayloadIsPrintedAgainCompactly) {
  const std::pair<std::string, std::string> valid[] = {
      {R"({ "b" : [1, 2.50, true,null], "c":"\u00e9\u20ac\/" })", R"({"b":[1,2.5,true,null],"c":"é€/"})"},
      {"01", "1"},
      {"5.", "5"},
      {"1.e5", "100000"},
      {"1E2", "100"},
      {"-0.0", "-0"},
      {"1e999", "null"},
      {"1e-400", "0"},
      {"0.30000000000000004", "0.3"},
      {"0.1234567890123456789", "0.12345678901234568"},
      {"123456789012345678", "1.2345678901234568e+17"},
      {"[1.5e300]", "[1.5e+300]"},
      {" [] ", "[]"},
      {"{}", "{}"},
      {"\"\x01\\b\\f\\\"\"", R"("\u0001\b\f\"")"},
      {"\"\xff\"", "\"\xff\""},
      {"\"\\ud83d\\ude00\"", "\"\xF0\x9F\x98\x80\""},
      {"\xEF\xBB\xBF{\"a\" :1}", R"({"a":1})"},
      {std::string(1000, '[') + std::string(1000, ']'), std::string(1000, '[') + std::string(1000, ']')},
  };
  for (const auto &[payload, json] : valid) {
    SCOPED_TRACE(payload.substr(0, 40));
    std::string problems;
    const std::string topic = "t";
    EXPECT_EQ(Apply("%J", CliMessage{topic, payload, 0, false, 0, {}, {}}, &problems),
              R"({"tst":"1970-01-01T00:00:00.000000Z","topic":"t","qos":0,"retain":0,"payloadlen":)" +
                  std::to_string(payload.size()) + ",\"payload\":" + json + "}");
    EXPECT_EQ(problems, "");
  }
  const std::string refused[] = {"5 abc", "{\"a\":1}x", "+5",  ".5",   "-",    "1e",     "tru",
                                 "\"\\ud83d\"", "[", "\"a",  "{\"a\" 1}", "[1 2]", "\"\\x\"", "0x10",
                                 "--1", "[1,]", "{,}", " ",  std::string(1001, '[') + std::string(1001, ']')};
  for (const std::string &payload : refused) {
    SCOPED_TRACE(payload.substr(0, 40));
    std::string problems;
    const std::string topic = "x/y";
    EXPECT_EQ(Apply("<%J>", CliMessage{topic, payload, 0, false, 0, {}, {}}, &problems), "<>");
    EXPECT_EQ(problems, "Error: Message payload is not valid JSON on topic x/y.\n");
  }
}

TEST(CliFormatRules, JsonOfTheMessage) {
  struct Case {
    const char *Name;
    std::string Payload;
    int Qos;
    const char *Tail; // after "payloadlen"
  } cases[] = {
      {"text at QoS 0 has no message id", "a\tb", 0, R"(3,"payload":"a\tb"})"},
      {"QoS 1 carries its message id", "x", 1, R"(1,"mid":7,"payload":"x"})"},
      {"empty is null", "", 2, R"(0,"mid":7,"payload":null})"},
      {"not UTF-8 goes as base64", std::string("\xff\0", 2), 0, R"(2,"payload_base64":"/wA="})"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(Apply("%j", c.Payload, c.Qos),
              std::string(R"({"tst":"2023-11-14T22:13:20.000000Z","topic":"a/b","qos":)") + std::to_string(c.Qos) +
                  R"(,"retain":0,"payloadlen":)" + c.Tail)
        << c.Name;
}

TEST(CliFormatRules, TimeFieldsReadOneClock) {
  EXPECT_EQ(Apply("@s.@N|%U|@@|%%", "p"), "1700000000.000000005|1700000000.000000005|@|%");
}
