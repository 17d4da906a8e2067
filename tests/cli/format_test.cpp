// sub's output options beside mosquitto_sub on the same messages of a real
// mosquitto: -F fields, -N, -T, several -t, -R, --retained-only and
// --remove-retained. Where the two share a meaning, the bytes must agree.

#include <gtest/gtest.h>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

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
