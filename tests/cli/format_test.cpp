// sub's output options beside mosquitto_sub on the same messages of a real
// mosquitto: -F fields, -N, -T, several -t, -R, --retained-only and
// --remove-retained. Where the two share a meaning, the bytes must agree.

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDeadlineTimer>
#include <QThread>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <fstream>

#include "CliHarness.h"

namespace {

class CliFormat : public ::testing::Test {
protected:
  void SetUp() override {
    // Retained messages: one text, one binary (not UTF-8), one with a newline.
    Retain("r/text", "hé \"quoted\"");
    Retain("r/bin", Binary);
    Retain("r/lines", "a\nb");
  }
  void Retain(const std::string &topic, const std::string &payload) {
    ASSERT_EQ(RunProc("mosquitto_pub", MosquittoArgs(Broker->Port(), {"-t", topic, "-r", "-q", "1", "-s"}), payload)
                  .ExitCode,
              0);
  }
  // Both tools with the same options; returns {ours, theirs}.
  std::pair<std::string, std::string> Both(const std::vector<std::string> &options) {
    ProcResult ours = RunCli(CliArgs("sub", Broker->Port(), options));
    ProcResult theirs = RunProc("mosquitto_sub", MosquittoArgs(Broker->Port(), options));
    EXPECT_EQ(ours.ExitCode, 0) << ours.Err;
    EXPECT_EQ(theirs.ExitCode, 0) << theirs.Err;
    return {ours.Out, theirs.Out};
  }

  const std::string Binary = std::string("\xFF\x00\x01 z", 5);
  std::unique_ptr<InteropBroker> Broker = MakeBroker(BrokerKind::Mosquitto);
};

} // namespace

TEST_F(CliFormat, SharedFieldsAndOptionsPrintTheSameBytes) {
  struct Case {
    const char *Name;
    std::vector<std::string> Options;
  };
  const Case cases[] = {
      {"payload fields", {"-t", "r/#", "-C", "3", "-F", "%t|%p|%x|%X|%l|%q|%r|%m|%%|\\t|\\\\"}},
      {"QoS 1 fields", {"-t", "r/#", "-q", "1", "-C", "3", "-F", "%t %q %r %l"}},
      {"no newline", {"-t", "r/#", "-C", "3", "-N", "-F", "[%t]"}},
      {"no newline, raw", {"-t", "r/text", "-C", "1", "-N"}},
      {"filtered out", {"-t", "r/#", "-T", "r/bin", "-T", "r/lines", "-C", "1", "-v"}},
      {"several -t", {"-t", "r/text", "-t", "r/lines", "-C", "2", "-v"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    auto [ours, theirs] = Both(c.Options);
    EXPECT_FALSE(ours.empty());
    EXPECT_EQ(HexOf(ours), HexOf(theirs)) << ours << "\n---\n" << theirs;
  }
}

TEST_F(CliFormat, TimeAndJsonFields) {
  ProcResult r = RunCli(CliArgs("sub", Broker->Port(), {"-t", "r/#", "-C", "3", "-F", "%I %U %j"}));
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  const QStringList lines = QString::fromUtf8(r.Out.data(), qsizetype(r.Out.size())).split('\n', Qt::SkipEmptyParts);
  // One line per message: %p is not part of the format, and %j escapes the newline.
  ASSERT_EQ(lines.size(), 3) << r.Out;
  static const QRegularExpression shape(R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d{4}) (\d{10}\.\d{9}) (\{.*\})$)");
  std::map<std::string, QJsonObject> byTopic;
  for (const QString &line : lines) {
    const auto m = shape.match(line);
    ASSERT_TRUE(m.hasMatch()) << line.toStdString();
    const QJsonObject json = QJsonDocument::fromJson(m.captured(3).toUtf8()).object();
    ASSERT_FALSE(json.isEmpty()) << line.toStdString();
    EXPECT_TRUE(QRegularExpression(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z$)").match(json["tst"].toString()).hasMatch());
    EXPECT_EQ(json["qos"].toInt(), 0);
    EXPECT_EQ(json["retain"].toInt(), 1);
    byTopic[json["topic"].toString().toStdString()] = json;
  }
  EXPECT_EQ(byTopic["r/text"]["payload"].toString(), QString::fromUtf8("hé \"quoted\""));
  EXPECT_EQ(byTopic["r/lines"]["payload"].toString(), "a\nb");
  EXPECT_EQ(byTopic["r/bin"]["payloadlen"].toInt(), 5);
  EXPECT_FALSE(byTopic["r/bin"].contains("payload"));
  EXPECT_EQ(QByteArray::fromBase64(byTopic["r/bin"]["payload_base64"].toString().toLatin1()).toStdString(), Binary);
}

// -R and --retained-only need a live message after the retained ones.
TEST_F(CliFormat, RetainedOptionsAgreeWithMosquittoSub) {
  struct Case {
    const char *Name;
    const char *Id;
    std::vector<std::string> Options;
  };
  const Case cases[] = {
      {"skip retained", "R", {"-t", "r/#", "-R", "-C", "1", "-v"}},
      {"retained only", "only", {"-t", "r/#", "--retained-only", "-v"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    // Ids of their own per case: the broker's log still holds the earlier ones.
    const std::string ourId = std::string("ours-") + c.Id, theirId = std::string("theirs-") + c.Id;
    std::vector<std::string> ours = c.Options, theirs = c.Options;
    ours.insert(ours.end(), {"-i", ourId});
    theirs.insert(theirs.end(), {"-i", theirId});
    Proc cli(CliPath(), CliArgs("sub", Broker->Port(), ours));
    Proc mosq("mosquitto_sub", MosquittoArgs(Broker->Port(), theirs));
    cli.Start();
    mosq.Start();
    ASSERT_TRUE(Broker->WaitSubscribed(ourId));
    ASSERT_TRUE(Broker->WaitSubscribed(theirId));
    ASSERT_EQ(RunProc("mosquitto_pub", MosquittoArgs(Broker->Port(), {"-t", "r/live", "-m", "live"})).ExitCode, 0);
    ProcResult a = cli.Wait(), b = mosq.Wait();
    EXPECT_EQ(a.ExitCode, 0) << a.Err;
    EXPECT_NE(a.Out.find(c.Name == std::string("skip retained") ? "r/live live" : "r/text"), std::string::npos) << a.Out;
    EXPECT_EQ(HexOf(a.Out), HexOf(b.Out)) << a.Out << "\n---\n" << b.Out;
  }
}

TEST_F(CliFormat, RemoveRetainedClearsWhatItSees) {
  ProcResult r = RunCli(CliArgs("sub", Broker->Port(), {"-t", "r/#", "--remove-retained", "-C", "3", "-q", "1"}));
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  // A new subscriber gets nothing retained any more.
  ProcResult after = RunProc("mosquitto_sub", MosquittoArgs(Broker->Port(), {"-t", "r/#", "-W", "1", "-v"}));
  EXPECT_EQ(after.Out, "");
}

namespace {

// Two subscribers, ours and mosquitto_sub, on the same options.
struct SubscriberPair {
  std::string Name;
  std::unique_ptr<Proc> Ours, Theirs;
};

// Digits stand for a clock reading; the %j/%J time stamp is written differently
// by the two (ours is UTC, RFC 3339), so it goes as a whole.
std::string MaskTime(const std::string &text, bool digits) {
  static const QRegularExpression stamp(R"("tst":"[^"]*")");
  QString s = QString::fromLatin1(text.data(), qsizetype(text.size())).replace(stamp, "\"tst\":T");
  if (digits) s.replace(QRegularExpression("[0-9]"), "d");
  return s.toLatin1().toStdString();
}

} // namespace

// Every conversion, flag, width, precision, escape and time field on the same
// messages of every kind: QoS 0, 1 and 2, retained, empty, binary, UTF-8 and
// JSON. mosquitto_sub's output is the reference, byte for byte.
TEST_F(CliFormat, FormatsPrintWhatMosquittoSubPrints) {
  struct Case {
    const char *Name;
    std::vector<std::string> Options;
    bool MaskDigits = false; // the clock's digits differ between the two
  };
  // Binary payloads are left out of %j: mosquitto_sub cuts them at the first
  // NUL and writes bytes that are not JSON, ours carries them as payload_base64.
  const std::vector<std::string> noBinary = {"-T", "r/bin", "-T", "live/bin"};
  std::vector<Case> cases = {
      {"fields", {"-F", "%t|%p|%l|%m|%q|%r|%x|%X|%%|"}},
      {"flags, widths and precisions",
       {"-F", "[%-20t][%20t][%5.3t][%.0t][%10.4p][%-12p][%012p][%08l][%-8l][%5m][%05m][%-05m][%5q][%5r][%5%]"}},
      {"level-5 fields of a message without properties",
       {"-F", "[%A][%C][%D][%E][%F][%P][%R][%S][%5A][%05E][%-3F][%04S][%6.2C][%5R][%5D][%5P]"}},
      {"escapes", {"-F", "\\\\|\\0|\\a|\\e|\\n|\\r|\\t|\\v|@@|%t"}},
      {"time fields", {"-F", "@Y-@m-@dT@H:@M:@S.@N @s @j|%I|%25.10I|%U|%t"}, true},
      {"JSON of the message", {"-F", "%j"}, true},
      {"JSON of the message with its payload as JSON", {"-F", "%J"}, true},
      {"verbose, empty payload as (null)", {"-v"}},
      {"verbose, no newline", {"-v", "-N"}},
  };
  for (Case &c : cases)
    if (c.Options.size() > 1 && c.Options[1] == "%j") c.Options.insert(c.Options.end(), noBinary.begin(), noBinary.end());

  std::vector<SubscriberPair> pairs;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const bool skipsBinary = cases[i].Options.size() > 2 && cases[i].Options[2] == "-T";
    std::vector<std::string> options = {"-t", "r/#", "-t", "live/#", "-q", "2", "-C", skipsBinary ? "7" : "9"};
    options.insert(options.end(), cases[i].Options.begin(), cases[i].Options.end());
    std::vector<std::string> ours = options, theirs = options;
    ours.insert(ours.end(), {"-i", "ours" + std::to_string(i)});
    theirs.insert(theirs.end(), {"-i", "theirs" + std::to_string(i)});
    pairs.push_back({cases[i].Name, std::make_unique<Proc>(CliPath(), CliArgs("sub", Broker->Port(), ours)),
                     std::make_unique<Proc>("mosquitto_sub", MosquittoArgs(Broker->Port(), theirs))});
    pairs.back().Ours->Start();
    pairs.back().Theirs->Start();
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    ASSERT_TRUE(Broker->WaitSubscribed("ours" + std::to_string(i)));
    ASSERT_TRUE(Broker->WaitSubscribed("theirs" + std::to_string(i)));
  }
  struct Message {
    const char *Topic;
    const char *Qos;
    std::string Payload;
  };
  const Message messages[] = {
      {"live/utf8", "0", "grüße ✓ \"q\"\t"},
      {"live/bin", "1", Binary},
      {"live/text", "2", "hello world, a longer text"},
      {"live/empty", "1", ""},
      {"live/json", "2", R"({ "b" : [1, 2.50, true,null], "c":"\u00e9\/", "n": -0.0, "e": 1.5e300, "i": 01 })"},
      {"live/jsontext", "0", "\"\\ud83d\\ude00\" "},
  };
  // Each message is through at every subscriber (acknowledged, or sent at QoS 0)
  // before the next goes out: messages of different QoS may otherwise reach
  // two subscribers in different orders.
  const auto logCount = [&](const std::string &needle) {
    std::ifstream in(Broker->Dir() + "/mosquitto.log");
    const std::string log{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::size_t n = 0;
    for (auto at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) ++n;
    return n;
  };
  std::size_t acknowledged = 3; // the retained messages, kept at QoS 1
  for (const Message &m : messages) {
    std::vector<std::string> args = {"-t", m.Topic, "-q", m.Qos};
    args.push_back(m.Payload.empty() ? "-n" : "-s");
    ASSERT_EQ(RunProc("mosquitto_pub", MosquittoArgs(Broker->Port(), args), m.Payload).ExitCode, 0);
    acknowledged += std::string(m.Qos) != "0";
    for (std::size_t i = 0; i < cases.size(); ++i)
      for (const std::string id : {"ours" + std::to_string(i), "theirs" + std::to_string(i)}) {
        QDeadlineTimer deadline(20000);
        while (std::string(m.Qos) == "0"
                   ? logCount("Sending PUBLISH to " + id + " (d0, q0, r0, m0, '" + m.Topic + "'") == 0
                   : logCount("Received PUBACK from " + id + " ") + logCount("Received PUBCOMP from " + id + " ") <
                         acknowledged) {
          ASSERT_FALSE(deadline.hasExpired()) << m.Topic << " to " << id;
          QThread::msleep(20);
        }
      }
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].Name);
    ProcResult ours = pairs[i].Ours->Wait(), theirs = pairs[i].Theirs->Wait();
    ASSERT_TRUE(ours.Finished);
    EXPECT_EQ(ours.ExitCode, 0) << ours.Err;
    EXPECT_EQ(theirs.ExitCode, 0) << theirs.Err;
    EXPECT_FALSE(ours.Out.empty());
    const std::string a = MaskTime(ours.Out, cases[i].MaskDigits), b = MaskTime(theirs.Out, cases[i].MaskDigits);
    EXPECT_EQ(HexOf(a), HexOf(b)) << a << "\n---\n" << b;
    // What %J cannot print is said on standard error, in the same words.
    EXPECT_EQ(ours.Err, theirs.Err);
  }
}

// A format mosquitto_sub refuses is refused before connecting (port 1 has no
// broker: an attempt would end in exit code 1), saying what and where.
TEST(CliFormatRefused, InvalidFormatsAreRefusedLikeMosquittoSubRefusesThem) {
  struct Case {
    const char *Format;
    const char *Problem;
  };
  const Case cases[] = {
      {"%t %Z", "invalid conversion '%Z' at character 5 of the format"},
      {"ends with %", "incomplete conversion '%' at character 11 of the format"},
      {"%-08", "incomplete conversion '%-08' at character 1 of the format"},
      {"%5.", "incomplete conversion '%5.' at character 1 of the format"},
      {"%0-5l", "invalid conversion '%0-' at character 3 of the format"},
      {"%--5l", "invalid conversion '%--' at character 3 of the format"},
      {"%+5l", "invalid conversion '%+' at character 2 of the format"},
      {"%@", "invalid conversion '%@' at character 2 of the format"},
      {"at @", "incomplete conversion '@' at character 4 of the format"},
      {"a\\qb", "invalid escape '\\q' at character 2 of the format"},
      {"tail\\", "incomplete escape '\\' at character 5 of the format"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Format);
    ProcResult ours = RunCli({"sub", "-h", "127.0.0.1", "-p", "1", "-t", "a", "-F", c.Format});
    EXPECT_EQ(ours.ExitCode, 2);
    EXPECT_EQ(ours.Err, std::string("vyr-cli: -F: ") + c.Problem + "\nRun 'vyr-cli --help' for the options.\n");
    ProcResult theirs = RunProc("mosquitto_sub", {"-h", "127.0.0.1", "-p", "1", "-t", "a", "-F", c.Format});
    EXPECT_EQ(theirs.ExitCode, 1);
    EXPECT_EQ(theirs.Err.rfind("Error: In", 0), 0u) << theirs.Err; // "Invalid ..." or "Incomplete ..."
    EXPECT_EQ(ours.Out + theirs.Out, "");
  }
}
