// pub -c and its session file, as an operator meets it: a file of another run
// or a damaged one is left as it is and the run stops with 8 (or, asked to,
// moves it aside and goes on); a second pub on the same file is refused; a
// SIGKILL at any moment loses nothing, since the file follows the exchanges
// in flight and goes only with the last of them.

#include <gtest/gtest.h>


#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "CliHarness.h"
#include "FaultProxy.h"
#include "ScriptedBroker.h"
#include "TestBroker.h"

namespace fs = std::filesystem;

namespace {

std::string Field(const std::string &name, const std::string &value) {
  return name + " " + std::to_string(value.size()) + " " + value + "\n";
}
std::string SessionText(const std::string &host, int port, const std::string &packet) {
  return "vyr-mqtt session 1\n" + Field("host", host) + Field("port", std::to_string(port)) + Field("client", "dev1") +
         Field("packet", "5 publishing") + Field("bytes", packet) + "end\n";
}
// The earlier run's QoS 1 message, identifier 5.
const std::string OldPublish = Pkt(0x32, Str("s/t") + Id(5) + "old");


std::vector<std::string> PubArgs(const std::string &file, std::vector<std::string> more) {
  std::vector<std::string> args{"-V", "mqttv311", "-t", "s/t", "-q", "1", "-c", "-i", "dev1", "--session-file", file,
                                "-W", "10"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

Step ExpectConnect() {
  return ExpectCheck([](const std::string &p) { return p[0] == 0x10 ? "" : "not CONNECT: " + Hex(p); }, "CONNECT");
}

// The earlier run's message, re-sent (with or without DUP).
Step ExpectOldPublish(const std::string &what) {
  return ExpectCheck(
      [](const std::string &p) {
        return (p[0] & 0xF0) == 0x30 && p.find("old") != std::string::npos ? "" : "not the old PUBLISH: " + Hex(p);
      },
      what);
}

struct RefusedCase {
  const char *Name;
  std::function<void(const std::string &path, int port)> Prepare;
  const char *Said;
};

// Nothing is sent, the file stays exactly as it was, and the reason is given.
TEST(CliSessionGuard, FilesThatDoNotFitTheRunAreLeftAndTheRunStops) {
  const RefusedCase cases[] = {
      {"OtherHost",
       [](const std::string &p, int port) { WriteFileBytes(p, SessionText("localhost", port, OldPublish)); },
       "saved for dev1 at localhost:"},
      {"OtherPort",
       [](const std::string &p, int port) { WriteFileBytes(p, SessionText("127.0.0.1", port + 1, OldPublish)); },
       "saved for dev1 at 127.0.0.1:"},
      {"Truncated",
       [](const std::string &p, int port) {
         WriteFileBytes(p, SessionText("127.0.0.1", port, OldPublish).substr(0, 70));
       },
       "not a complete session file"},
      {"RandomBytes", [](const std::string &p, int) { WriteFileBytes(p, std::string("\x01\x02\xff\x00zz", 6)); },
       "not a complete session file"},
      {"WrongVersion", [](const std::string &p, int) { WriteFileBytes(p, "vyr-mqtt session 7\n"); }, "not a complete"},
      {"HugeLength", [](const std::string &p, int) { WriteFileBytes(p, "vyr-mqtt session 1\nhost 999999999999 x"); },
       "not a complete"},
      {"StoredQos3",
       [](const std::string &p, int port) {
         WriteFileBytes(p, SessionText("127.0.0.1", port, Pkt(0x36, Str("s/t") + Id(5) + "x")));
       },
       "PUBLISH with QoS 3"},
      {"StoredConnect",
       [](const std::string &p, int port) {
         WriteFileBytes(p, SessionText("127.0.0.1", port, Pkt(0x10, Str("MQTT") + "\x04\x02" + Id(60) + Str("x"))));
       },
       "not one whole PUBLISH"},
      {"EmptyFolder", [](const std::string &p, int) { fs::create_directory(p); }, "not a regular file"},
      {"Fifo", [](const std::string &p, int) { ::mkfifo(p.c_str(), 0600); }, "not a regular file"},
      {"Symlink", [](const std::string &p, int) { fs::create_symlink("/etc/hostname", p); }, "symbolic link"},
  };
  for (const RefusedCase &c : cases) {
    SCOPED_TRACE(c.Name);
    ScriptedBroker broker;
    const std::string dir = MakeTempDir("vyr-sess-guard");
    const std::string path = dir + "/dev1.session";
    c.Prepare(path, broker.Port());
    const bool regular = fs::is_regular_file(fs::symlink_status(path));
    const std::string before = regular ? ReadFileBytes(path) : std::string();
    const ProcResult r = RunCli(CliArgs("pub", broker.Port(), PubArgs(path, {"-m", "new"})), {}, 20000);
    ASSERT_TRUE(r.Finished);
    EXPECT_EQ(r.ExitCode, 8) << r.Err;
    EXPECT_NE(r.Err.find("session file not used: " + path), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find(c.Said), std::string::npos) << r.Err;
    EXPECT_EQ(broker.Connections(), 0) << "nothing is sent";
    ASSERT_TRUE(fs::exists(fs::symlink_status(path))) << "left where it was";
    if (regular) EXPECT_EQ(ReadFileBytes(path), before) << "left as it was";
  }
}

// --session-move-aside keeps the old file under a new name and goes on.
TEST(CliSessionGuard, MoveAsideKeepsTheOldFileAndPublishes) {
  ScriptedBroker broker;
  const std::string path = MakeTempDir("vyr-sess-guard") + "/dev1.session";
  const std::string foreign = SessionText("localhost", broker.Port(), OldPublish);
  WriteFileBytes(path, foreign);
  Proc pub(CliPath(), CliArgs("pub", broker.Port(), PubArgs(path, {"-m", "new", "--session-move-aside"})));
  pub.Start();
  ASSERT_EQ(broker.Run({AcceptStep(10000), ExpectConnect(), SendStep(H("20 02 00 00")),
                        ExpectStep(Pkt(0x32, Str("s/t") + Id(1) + "new"), "the new PUBLISH only"),
                        SendStep(Pkt(0x40, Id(1))), ExpectStep(H("E0 00"), "DISCONNECT")}),
            "");
  const ProcResult r = pub.Wait();
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_NE(r.Err.find("moved to " + path + ".unused-1"), std::string::npos) << r.Err;
  EXPECT_EQ(ReadFileBytes(path + ".unused-1"), foreign);
  EXPECT_FALSE(fs::exists(path)) << "nothing left in flight";
}

// While one pub holds the file, a second is refused and the first's
// message stays saved.
TEST(CliSessionGuard, SecondProcessOnTheFileIsRefused) {
  ScriptedBroker broker;
  const std::string path = MakeTempDir("vyr-sess-guard") + "/dev1.session";
  Proc first(CliPath(), CliArgs("pub", broker.Port(), PubArgs(path, {"-m", "first"})));
  first.Start();
  ASSERT_EQ(broker.Run({AcceptStep(10000), ExpectConnect(), SendStep(H("20 02 00 00")),
                        ExpectStep(Pkt(0x32, Str("s/t") + Id(1) + "first"), "PUBLISH, left unacknowledged"),
                        UntilStep([&] { return fs::exists(path); }, "the session file", 5000)}),
            "");
  const ProcResult second = RunCli(CliArgs("pub", broker.Port(), PubArgs(path, {"-m", "second"})), {}, 20000);
  EXPECT_EQ(second.ExitCode, 8) << second.Err;
  EXPECT_NE(second.Err.find("in use by another process"), std::string::npos) << second.Err;
  first.Signal(SIGKILL);
  first.Wait();
  EXPECT_NE(ReadFileBytes(path).find("first"), std::string::npos) << "the first run's message is kept";
}

// SIGKILL while the earlier run's message is being finished: it is still in
// the file, and the next run finishes it before its own; only then does the
// file go.
TEST(CliSessionGuard, KilledWhileResumingLosesNothing) {
  ScriptedBroker broker;
  const std::string path = MakeTempDir("vyr-sess-guard") + "/dev1.session";
  WriteFileBytes(path, SessionText("127.0.0.1", broker.Port(), OldPublish));
  {
    Proc pub(CliPath(), CliArgs("pub", broker.Port(), PubArgs(path, {"-m", "new"})));
    pub.Start();
    ASSERT_EQ(broker.Run({AcceptStep(10000), ExpectConnect(), SendStep(H("20 02 00 00")),
                          ExpectOldPublish("the old PUBLISH again"),
                          QuietStep(300)}),
              "");
    pub.Signal(SIGKILL);
    pub.Wait();
  }
  ASSERT_NE(ReadFileBytes(path).find("old"), std::string::npos) << "the message was lost with the killed run";
  Proc pub(CliPath(), CliArgs("pub", broker.Port(), PubArgs(path, {"-m", "new"})));
  pub.Start();
  ASSERT_EQ(broker.Run({AcceptStep(10000), ExpectConnect(), SendStep(H("20 02 00 00")),
                        ExpectOldPublish("the old PUBLISH first"),
                        SendStep(Pkt(0x40, Id(5))),
                        ExpectCheck(
                            [](const std::string &p) { return p.find("new") != std::string::npos ? "" : Hex(p); },
                                    "then the new one"),
                        SendStep(Pkt(0x40, Id(1))), ExpectStep(H("E0 00"), "DISCONNECT")}),
            "");
  const ProcResult r = pub.Wait();
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_FALSE(fs::exists(path)) << "every exchange finished";
}

// Renames into place (rewrites) and removals of a file, seen through inotify
// on its folder from the moment of construction. Creations are watched too:
// the system may merge events that follow each other alike, and each
// rewrite creates its temporary file first.
class TFileChanges {
public:
  explicit TFileChanges(const std::string &path)
      : FName(fs::path(path).filename().string()), FFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (FFd >= 0) ::inotify_add_watch(FFd, fs::path(path).parent_path().c_str(), IN_CREATE | IN_MOVED_TO | IN_DELETE);
  }
  ~TFileChanges() {
    if (FFd >= 0) ::close(FFd);
  }
  bool Watching() const { return FFd >= 0; }
  // Takes in the events so far.
  void Read() {
    alignas(inotify_event) char buffer[64 * 1024];
    for (ssize_t n; (n = ::read(FFd, buffer, sizeof buffer)) > 0;)
      for (char *at = buffer; at < buffer + n;) {
        const auto *e = reinterpret_cast<const inotify_event *>(at);
        if (e->len > 0 && FName == e->name && (e->mask & (IN_MOVED_TO | IN_DELETE)))
          ++(e->mask & IN_MOVED_TO ? Rewrites : Removals);
        at += sizeof(inotify_event) + e->len;
      }
  }
  int Rewrites = 0, Removals = 0;

private:
  std::string FName;
  int FFd;
};

// The packet identifier of a QoS 1 or 2 PUBLISH.
std::string PublishId(const std::string &p) {
  std::size_t at = 1;
  while (at < p.size() && (std::uint8_t(p[at]) & 0x80)) ++at; // the remaining length
  ++at;
  const std::size_t topic = at + 2 <= p.size() ? (std::uint8_t(p[at]) << 8 | std::uint8_t(p[at + 1])) : p.size();
  return at + 2 + topic + 2 <= p.size() ? p.substr(at + 2 + topic, 2) : std::string();
}

// A flood of exchanges that move in one pass of the event loop costs one
// rewrite of the session file, not one per message: the broker answers each
// window of publications with all their PUBACKs in one write, and the file
// is rewritten at most once per such answer (and once for the first
// publication), then removed with the last exchange.
TEST(CliSessionGuard, FileIsRewrittenOncePerPassNotPerMessage) {
  constexpr int Count = 200;
  ScriptedBroker broker;
  const std::string path = MakeTempDir("vyr-sess-guard") + "/dev1.session";
  TFileChanges changes(path);
  ASSERT_TRUE(changes.Watching()) << std::strerror(errno);
  std::string lines;
  for (int n = 0; n < Count; ++n) lines += "m" + std::to_string(n) + "\n";
  std::vector<std::string> args = PubArgs(path, {"-l"});
  *(std::find(args.begin(), args.end(), "-W") + 1) = "60"; // room for the rounds below on a busy machine
  Proc pub(CliPath(), CliArgs("pub", broker.Port(), args));
  pub.Start(lines);
  ASSERT_EQ(broker.Run({AcceptStep(10000), ExpectConnect(), SendStep(H("20 02 00 00"))}), "");
  const auto publications = [&] {
    return int(std::count_if(broker.Received.begin(), broker.Received.end(),
                             [](const std::string &p) { return (p[0] & 0xF0) == 0x30; }));
  };
  int acknowledged = 0, answers = 0;
  while (acknowledged < Count) {
    ASSERT_TRUE(broker.WaitFor([&] { return publications() > acknowledged; }, 20000)) << acknowledged << " acknowledged";
    // The rest of the window: whatever comes before a short silence.
    for (int seen = 0; seen != publications();) {
      seen = publications();
      broker.WaitFor([&] { return publications() != seen; }, 300);
    }
    std::string answer;
    int n = 0;
    for (const std::string &p : broker.Received)
      if ((p[0] & 0xF0) == 0x30 && n++ >= acknowledged) answer += Pkt(0x40, PublishId(p));
    acknowledged = n;
    ++answers;
    ASSERT_EQ(broker.Run({SendStep(answer)}), "");
  }
  EXPECT_TRUE(broker.WaitFor([&] { return broker.Received.back() == H("E0 00"); }, 20000)) << "no DISCONNECT";
  const ProcResult r = pub.Wait();
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  changes.Read();
  std::cout << Count << " QoS 1 messages acknowledged in " << answers << " answers: the session file was rewritten "
            << changes.Rewrites << " times and removed " << changes.Removals << " time(s)\n";
  EXPECT_GE(changes.Rewrites, 1) << "the exchanges in flight were never saved";
  EXPECT_LE(changes.Rewrites, answers + 1);
  EXPECT_LT(answers, Count / 4) << "the windows grew, so that many exchanges move in one pass";
  EXPECT_EQ(changes.Removals, 1);
  EXPECT_FALSE(fs::exists(path));
}

// Through a real mosquitto: a QoS 1 publisher killed with messages in a
// stalled link; the next run delivers them, and the subscriber has every
// line at least once.
TEST(CliSessionGuard, KilledPublisherLosesNothingThroughMosquitto) {
  TestBroker broker({.Persistence = true});
  FaultProxy proxy(broker.Port());
  const std::string file = broker.Dir() + "/pub.session";
  const std::vector<std::string> args{"-t", "g/t", "-q", "1", "-c", "-i", "killedpub", "-l", "--session-file", file};
  Proc sub("mosquitto_sub", MosquittoArgs(broker.Port(), {"-t", "g/t", "-q", "1", "-c", "-i", "guardsub"}));
  sub.Start();
  ASSERT_TRUE(WaitForFileText(broker.LogFile(), "Sending SUBACK to guardsub\n"));
  std::string lines;
  for (int n = 0; n < 10; ++n) lines += "line-" + std::to_string(n) + "\n";
  const std::size_t half = lines.find("line-5");
  Proc first(CliPath(), CliArgs("pub", proxy.Port(), args));
  first.Start("", true);
  first.Write(lines.substr(0, half));
  ASSERT_TRUE(sub.WaitForOutLines(5, 20000));
  proxy.Stall();
  first.Write(lines.substr(half));
  // Killed once it has taken the last line, which is then in its session file.
  EXPECT_TRUE(WaitForFileText(file, "line-9", 20000));
  first.Signal(SIGKILL);
  first.Wait();
  ASSERT_TRUE(fs::exists(file)) << "the messages in flight were not saved";
  proxy.Resume();
  const ProcResult second = RunCli(CliArgs("pub", proxy.Port(), args), "", 60000);
  EXPECT_EQ(second.ExitCode, 0) << second.Err;
  EXPECT_FALSE(fs::exists(file));
  sub.WaitForOutLines(10, 20000);
  sub.Signal(SIGTERM);
  std::istringstream out(sub.Wait(10000).Out);
  std::map<int, int> seen;
  for (std::string line; std::getline(out, line);) ++seen[std::stoi(line.substr(5))];
  for (int n = 0; n < 10; ++n) EXPECT_GE(seen[n], 1) << "message " << n << " lost";
}

} // namespace
