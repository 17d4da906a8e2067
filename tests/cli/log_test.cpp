// vyr-cli log against a real mosquitto: the window's data-file format byte for
// byte, no QoS 1 message lost across a broker restart or a stopped logger, and
// a folder that cannot be written reported, kept and resumed.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <csignal>
#include <filesystem>
#include <map>
#include <set>

#include "CliHarness.h"
#include "CodePage.h"
#include "DataFile.h"
#include "TestBroker.h"

namespace fs = std::filesystem;

namespace {

std::string ReadBytes(const fs::path &path) {
  QFile f(QString::fromStdString(path.string()));
  return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string();
}

// Lines of a data file with their time stamps checked and taken off.
std::vector<std::string> Values(const fs::path &path) {
  static const QRegularExpression stamp(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d);)");
  std::vector<std::string> values;
  std::string bytes = ReadBytes(path);
  for (std::size_t at = 0; at < bytes.size();) {
    std::size_t end = bytes.find("\r\n", at);
    EXPECT_NE(end, std::string::npos) << "a torn last line in " << path;
    if (end == std::string::npos) break;
    const std::string line = bytes.substr(at, end - at);
    const auto match = stamp.match(QString::fromLatin1(line.data(), qsizetype(line.size())));
    EXPECT_TRUE(match.hasMatch()) << line;
    values.push_back(line.substr(std::size_t(match.capturedLength())));
    at = end + 2;
  }
  return values;
}

std::string TempFolder(const std::string &name) {
  fs::path dir = fs::path(::testing::TempDir()) / ("vyr-log-" + name + "-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  return dir.string();
}

int Publish(int port, std::vector<std::string> args, const std::string &input = {}) {
  return RunProc("mosquitto_pub", MosquittoArgs(port, std::move(args)), input).ExitCode;
}

} // namespace

TEST(CliLog, WritesTheWindowsLinesByteForByte) {
  TestBroker broker;
  const std::string dir = TempFolder("format");
  Proc log(CliPath(), CliArgs("log", broker.Port(), {"-t", "home/#", "-t", "/x", "-q", "1", "-d", dir + "/made",
                                                      "-i", "logger", "--debug"}));
  log.Start();
  ASSERT_TRUE(log.WaitForErr(" disposed of.")); // SUBACK
  struct Message {
    std::string Topic, Payload;
  };
  const std::vector<Message> messages = {
      {"home/kitchen/temp", "23.5"},   {"home/kitchen/temp", "café"}, {"home/a=b", "x;y\nz"},
      {"/x", "caf\xE9"},               {"home/empty", ""},            {"home/kitchen/temp", std::string("\0", 1)},
      {"home/Ünï/cödé", "ok"},
  };
  for (const Message &m : messages)
    ASSERT_EQ(Publish(broker.Port(), {"-t", m.Topic, "-q", "1", m.Payload.empty() ? "-n" : "-s"}, m.Payload), 0);
  ASSERT_TRUE(WaitForFileText(dir + "/made/home-Ünï-cödé.csv", "ok"));
  log.Signal(SIGTERM);
  ProcResult r = log.Wait();
  EXPECT_EQ(r.ExitCode, 0) << r.Err;

  // What the window's writer makes of the same messages, after the time stamp.
  std::map<std::string, std::vector<std::string>> expected;
  const TCodePage &ansi = TCodePage::Ansi();
  for (const Message &m : messages) {
    if (m.Payload.empty()) continue; // never saved, as in the window
    const QString topic = QString::fromStdString(m.Topic);
    const std::string file = QFileInfo(DataFileName(QString::fromStdString(dir + "/made"), topic)).fileName().toStdString();
    const std::string line = DataRecord(DataValue(m.Payload, ansi), ansi, QString());
    expected[file].push_back(line.substr(1, line.size() - 3));
  }
  std::set<std::string> files;
  for (const auto &entry : fs::directory_iterator(dir + "/made"))
    if (entry.path().extension() == ".csv") files.insert(entry.path().filename().string());
  std::set<std::string> expectedFiles;
  for (const auto &[file, lines] : expected) expectedFiles.insert(file);
  EXPECT_EQ(files, expectedFiles);
  for (const auto &[file, lines] : expected) EXPECT_EQ(Values(dir + "/made/" + file), lines) << file;
  fs::remove_all(dir);
}

// A persistent session: a message published while the broker was restarting
// and the logger was still away arrives after it reconnects; a logger
// stopped in the middle of a stream and started again misses nothing.
TEST(CliLog, NoQos1MessageLostAcrossRestartsAndStops) {
  TestBroker broker({.Persistence = true});
  const std::string dir = TempFolder("restart");
  const auto args = CliArgs("log", broker.Port(), {"-t", "seq/#", "-q", "1", "-c", "-i", "keeper", "-d", dir, "--debug"});
  auto log = std::make_unique<Proc>(CliPath(), args);
  log->Start();
  ASSERT_TRUE(log->WaitForErr(" disposed of."));
  ASSERT_EQ(Publish(broker.Port(), {"-t", "seq/a", "-q", "1", "-m", "before"}), 0);
  ASSERT_TRUE(WaitForFileText(dir + "/seq-a.csv", "before"));
  broker.Restart();
  ASSERT_TRUE(log->WaitForErr("vyr-cli: connection lost"));
  ASSERT_EQ(Publish(broker.Port(), {"-t", "seq/a", "-q", "1", "-m", "while away"}), 0);
  ASSERT_TRUE(WaitForFileText(dir + "/seq-a.csv", "while away", 30000));

  // 2,000 numbered messages over 20 topics; the logger is stopped half-way.
  std::string lines;
  for (int i = 0; i < 2000; ++i) lines += std::to_string(i) + "\n";
  Proc pub("mosquitto_pub", MosquittoArgs(broker.Port(), {"-t", "seq/n", "-q", "1", "-l"}));
  pub.Start(lines);
  ASSERT_TRUE(WaitForFileText(dir + "/seq-n.csv", ";500\r\n"));
  log->Signal(SIGTERM);
  ProcResult stopped = log->Wait();
  EXPECT_EQ(stopped.ExitCode, 0) << stopped.Err;
  EXPECT_EQ(pub.Wait().ExitCode, 0);
  log = std::make_unique<Proc>(CliPath(), args);
  log->Start();
  ASSERT_TRUE(WaitForFileText(dir + "/seq-n.csv", ";1999\r\n"));
  log->Signal(SIGTERM);
  EXPECT_EQ(log->Wait().ExitCode, 0);

  EXPECT_EQ(Values(dir + "/seq-a.csv"), (std::vector<std::string>{"before", "while away"}));
  std::set<int> seen;
  for (const std::string &v : Values(dir + "/seq-n.csv")) seen.insert(std::stoi(v));
  EXPECT_EQ(seen.size(), 2000u) << "every number, duplicates at most";
  fs::remove_all(dir);
}

// A data file that cannot be opened is reported with the system's reason; its
// lines wait in order and follow by themselves once the cause is gone, while
// other topics are written meanwhile. A removed folder is made again.
TEST(CliLog, UnwritableFilesAreReportedKeptAndResumed) {
  TestBroker broker;
  const std::string dir = TempFolder("blocked");
  fs::create_directories(dir + "/b.csv"); // a folder where b's file belongs
  Proc log(CliPath(), CliArgs("log", broker.Port(), {"-t", "#", "-q", "1", "-d", dir, "-i", "blocked", "--debug"}));
  log.Start();
  ASSERT_TRUE(log.WaitForErr(" disposed of."));
  ASSERT_EQ(Publish(broker.Port(), {"-t", "b", "-q", "1", "-m", "1"}), 0);
  ASSERT_TRUE(log.WaitForErr("vyr-cli: Cannot open the data file \"" + dir + "/b.csv\": Is a directory; 1 line(s) kept"));
  ASSERT_EQ(Publish(broker.Port(), {"-t", "b", "-q", "1", "-m", "2"}), 0);
  ASSERT_EQ(Publish(broker.Port(), {"-t", "other", "-q", "1", "-m", "o"}), 0);
  ASSERT_TRUE(WaitForFileText(dir + "/other.csv", ";o\r\n"));
  fs::remove(dir + "/b.csv");
  ASSERT_TRUE(log.WaitForErr("vyr-cli: data files written again"));
  EXPECT_EQ(Values(dir + "/b.csv"), (std::vector<std::string>{"1", "2"}));

  fs::remove_all(dir);
  ASSERT_EQ(Publish(broker.Port(), {"-t", "b", "-q", "1", "-m", "3"}), 0);
  ASSERT_TRUE(WaitForFileText(dir + "/b.csv", ";3\r\n"));
  log.Signal(SIGTERM);
  ProcResult r = log.Wait();
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  fs::remove_all(dir);
}

// Lines that still cannot be written when the logger is told to stop are not
// lost silently: it says how many and exits with 1.
TEST(CliLog, StoppedWithLinesWaitingSaysSo) {
  TestBroker broker;
  const std::string dir = TempFolder("stuck");
  fs::create_directories(dir + "/s.csv");
  Proc log(CliPath(), CliArgs("log", broker.Port(), {"-t", "s", "-d", dir, "-i", "stuck", "--debug"}));
  log.Start();
  ASSERT_TRUE(log.WaitForErr(" disposed of."));
  ASSERT_EQ(Publish(broker.Port(), {"-t", "s", "-m", "1"}), 0);
  ASSERT_TRUE(log.WaitForErr("Is a directory"));
  log.Signal(SIGTERM);
  ProcResult r = log.Wait();
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_NE(r.Err.find("vyr-cli: 1 received line(s) could not be written and are lost"), std::string::npos) << r.Err;
  fs::remove_all(dir);
}
