// vyr-cli log as a months-long service: its memory is bounded while a topic
// cannot be written (it stops reading, the broker keeps the messages), SIGHUP
// follows logrotate's rotation, a symbolic link in the folder is never
// written through, and one folder has one logger.

#include <gtest/gtest.h>

#include <QThread>

#include <algorithm>
#include <csignal>
#include <functional>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "CliHarness.h"
#include "TestBroker.h"

namespace fs = std::filesystem;

namespace {

std::size_t LineCount(const std::string &path) {
  const std::string bytes = ReadFileBytes(path);
  return std::size_t(std::count(bytes.begin(), bytes.end(), '\n'));
}

// Resident memory of a process, in KiB.
long RssKiB(qint64 pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

std::string Folder(const std::string &name) {
  const fs::path dir = fs::path(MakeTempDir("vyr-logsvc")) / name;
  fs::create_directories(dir);
  return dir.string();
}

int Publish(int port, const std::string &topic, const std::string &value) {
  return RunProc("mosquitto_pub", MosquittoArgs(port, {"-t", topic, "-q", "1", "-m", value})).ExitCode;
}

bool Subscribed(const TestBroker &broker, const std::string &clientId) {
  return WaitForFileText(broker.LogFile(), "Sending SUBACK to " + clientId + "\n");
}

bool WaitUntil(const std::function<bool()> &cond, int timeoutMs) {
  for (int waited = 0; !cond(); waited += 50) {
    if (waited > timeoutMs) return false;
    QThread::msleep(50);
  }
  return true;
}

// Finding 5: while a topic's file cannot be written (a folder in its place),
// 60 MB of messages pass the logger; it holds at most --backlog lines and
// leaves the rest with the broker, and writes every one once the way is clear.
TEST(CliLogService, BacklogIsBoundedAndEveryMessageIsWrittenLater) {
  constexpr int Count = 60000;
  TestBroker broker;
  const std::string dir = Folder("backlog");
  fs::create_directory(dir + "/bl-t.csv");
  Proc log(CliPath(), CliArgs("log", broker.Port(), {"-t", "bl/#", "-q", "1", "-c", "-i", "blog", "-d", dir,
                                                      "--backlog", "1000"}));
  log.Start();
  ASSERT_TRUE(Subscribed(broker, "blog"));
  const long before = RssKiB(log.Pid());
  std::string input;
  for (int n = 0; n < Count; ++n) {
    std::string line = std::to_string(n) + ":";
    line.resize(1000, 'v');
    input += line + "\n";
  }
  Proc pub("mosquitto_pub", MosquittoArgs(broker.Port(), {"-t", "bl/t", "-q", "1", "-l"}));
  pub.Start(input);
  long peak = before;
  ProcResult published;
  for (bool done = false; !done;) { // one sample per pass
    peak = std::max(peak, RssKiB(log.Pid()));
    QThread::msleep(100);
    published = pub.Wait(1);
    done = published.Finished;
  }
  EXPECT_EQ(published.ExitCode, 0) << published.Err;
  QThread::msleep(500);
  peak = std::max(peak, RssKiB(log.Pid()));
  ASSERT_TRUE(log.WaitForErr("the bound of --backlog", 20000));
  // 60 MB passed; a logger that kept them all would have grown by as much.
  EXPECT_LT(peak - before, 30 * 1024) << "RSS grew from " << before << " to " << peak << " KiB";

  fs::remove(dir + "/bl-t.csv");
  EXPECT_TRUE(WaitUntil([&] { return LineCount(dir + "/bl-t.csv") >= std::size_t(Count); }, 120000))
      << LineCount(dir + "/bl-t.csv") << " lines";
  log.Signal(SIGTERM);
  const ProcResult r = log.Wait();
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  // Each message once, in order (QoS 1 may repeat one after a reconnection; there is none here).
  std::istringstream lines(ReadFileBytes(dir + "/bl-t.csv"));
  int expected = 0;
  for (std::string line; std::getline(lines, line) && expected < Count; ++expected) {
    const std::size_t semi = line.find(';');
    ASSERT_NE(semi, std::string::npos);
    ASSERT_EQ(line.substr(semi + 1, std::to_string(expected).size() + 1), std::to_string(expected) + ":")
        << "line " << expected;
  }
  EXPECT_EQ(expected, Count);
  EXPECT_EQ(r.Err.find("the bound of --backlog"), r.Err.rfind("the bound of --backlog")) << "said once:\n" << r.Err;
}

// Without --backlog the bound is 10,000 lines, as the help and the manual
// page say: the logger stops there, and writes the rest once it can.
TEST(CliLogService, BacklogDefaultsToTenThousandLines) {
  constexpr int Count = 10050;
  TestBroker broker;
  const std::string dir = Folder("backlog-default");
  fs::create_directory(dir + "/bd-t.csv");
  Proc log(CliPath(), CliArgs("log", broker.Port(), {"-t", "bd/#", "-q", "1", "-c", "-i", "bdlog", "-d", dir}));
  log.Start();
  ASSERT_TRUE(Subscribed(broker, "bdlog"));
  std::string input;
  for (int n = 0; n < Count; ++n) input += std::to_string(n) + "\n";
  const ProcResult published =
      RunProc("mosquitto_pub", MosquittoArgs(broker.Port(), {"-t", "bd/t", "-q", "1", "-l"}), input, 120000);
  EXPECT_EQ(published.ExitCode, 0) << published.Err;
  ASSERT_TRUE(log.WaitForErr("10000 line(s) held, the bound of --backlog", 60000));
  fs::remove(dir + "/bd-t.csv");
  EXPECT_TRUE(WaitUntil([&] { return LineCount(dir + "/bd-t.csv") >= std::size_t(Count); }, 120000))
      << LineCount(dir + "/bd-t.csv") << " lines";
  log.Signal(SIGTERM);
  const ProcResult r = log.Wait();
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(LineCount(dir + "/bd-t.csv"), std::size_t(Count));
}

// logrotate's "create" mode renames the file, makes a new one and sends
// SIGHUP: the logger lives on and writes to the new file.
TEST(CliLogService, SighupFollowsLogrotateCreate) {
  TestBroker broker;
  const std::string dir = Folder("rotate");
  const std::string conf = Folder("rotate-conf") + "/vyr.conf";
  Proc log(CliPath(), CliArgs("log", broker.Port(), {"-t", "rot/#", "-q", "1", "-i", "rotlog", "-d", dir}));
  log.Start();
  ASSERT_TRUE(Subscribed(broker, "rotlog"));
  ASSERT_EQ(Publish(broker.Port(), "rot/x", "before"), 0);
  ASSERT_TRUE(WaitForFileText(dir + "/rot-x.csv", "before"));
  std::ofstream(conf) << dir << "/*.csv {\n  create 0600\n  rotate 3\n  missingok\n  postrotate\n    kill -HUP "
                      << log.Pid() << "\n  endscript\n}\n";
  const ProcResult rotated = RunProc("logrotate", {"-f", "-s", conf + ".state", conf});
  ASSERT_EQ(rotated.ExitCode, 0) << rotated.Err;
  ASSERT_TRUE(fs::exists(dir + "/rot-x.csv.1"));
  ASSERT_EQ(Publish(broker.Port(), "rot/x", "after"), 0);
  ASSERT_TRUE(WaitForFileText(dir + "/rot-x.csv", "after"));
  EXPECT_EQ(ReadFileBytes(dir + "/rot-x.csv.1").find("after"), std::string::npos);
  EXPECT_NE(ReadFileBytes(dir + "/rot-x.csv.1").find("before"), std::string::npos);
  EXPECT_EQ(ReadFileBytes(dir + "/rot-x.csv").find("before"), std::string::npos);
  log.Signal(SIGTERM);
  const ProcResult r = log.Wait();
  EXPECT_EQ(r.ExitCode, 0) << "SIGHUP must not end the logger: " << r.Err;
}

// Finding 7: D/evil.csv -> a file outside; a publisher must not append to it.
TEST(CliLogService, SymlinkInTheFolderIsNeverWrittenThrough) {
  TestBroker broker;
  const std::string dir = Folder("links");
  const std::string victim = Folder("outside") + "/victim.conf";
  std::ofstream(victim) << "setting=1\n";
  fs::create_symlink(victim, dir + "/evil.csv");
  Proc log(CliPath(), CliArgs("log", broker.Port(), {"-t", "#", "-q", "1", "-i", "linklog", "-d", dir}));
  log.Start();
  ASSERT_TRUE(Subscribed(broker, "linklog"));
  for (const char *value : {"forged", "again"})
    ASSERT_EQ(Publish(broker.Port(), "evil", value), 0);
  ASSERT_TRUE(log.WaitForErr("a symbolic link is in its place"));
  QThread::msleep(1500); // a retry passes
  log.Signal(SIGTERM);
  const ProcResult r = log.Wait();
  EXPECT_EQ(ReadFileBytes(victim), "setting=1\n");
  EXPECT_EQ(r.Err.find("symbolic link"), r.Err.rfind("symbolic link")) << "reported once:\n" << r.Err;
  EXPECT_NE(r.Err.find("2 received line(s) could not be written and are lost"), std::string::npos) << r.Err;
  EXPECT_NE(r.ExitCode, 0);
}

// Finding 8: a second logger on the folder would write every line twice.
// Loggers that share one $share group split the messages and may share it.
TEST(CliLogService, OneLoggerPerFolderUnlessTheyShareAGroup) {
  TestBroker broker;
  const std::string dir = Folder("one");
  struct Case {
    const char *Name;
    std::vector<std::string> First, Second;
    bool SecondRefused;
  };
  const Case cases[] = {
      {"plain_twice", {"-t", "one/#"}, {"-t", "one/#"}, true},
      {"plain_then_group", {"-t", "one/#"}, {"-t", "$share/g/one/#"}, true},
      {"group_then_plain", {"-t", "$share/g/one/#"}, {"-t", "one/#"}, true},
      {"other_groups", {"-t", "$share/g/one/#"}, {"-t", "$share/h/one/#"}, true},
      {"one_group", {"-t", "$share/g/one/#"}, {"-t", "$share/g/one/#"}, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    auto args = [&](std::vector<std::string> topics, const std::string &id) {
      topics.insert(topics.end(), {"-V", "mqttv311", "-i", id, "-d", dir});
      return CliArgs("log", broker.Port(), topics);
    };
    Proc first(CliPath(), args(c.First, std::string("first-") + c.Name));
    first.Start();
    ASSERT_TRUE(Subscribed(broker, std::string("first-") + c.Name));
    Proc second(CliPath(), args(c.Second, std::string("second-") + c.Name));
    second.Start();
    if (c.SecondRefused) {
      const ProcResult r = second.Wait(10000);
      EXPECT_EQ(r.ExitCode, 1) << r.Err;
      EXPECT_NE(r.Err.find("another vyr-cli log writes to the data folder"), std::string::npos) << r.Err;
    } else {
      EXPECT_TRUE(Subscribed(broker, std::string("second-") + c.Name));
      second.Signal(SIGTERM);
      EXPECT_EQ(second.Wait().ExitCode, 0);
    }
    first.Signal(SIGTERM);
    EXPECT_EQ(first.Wait().ExitCode, 0);
  }
}

} // namespace
