// Input the protocol cannot carry, or a broker would drop the connection for,
// is refused before vyr-cli connects: a message that names the problem and
// exit code 2 (1 for input that cannot be read). A plain listener on
// loopback stands where the broker would be and must see no connection.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "CliHarness.h"
#include "TestBroker.h"

namespace {

const std::string Long(65536, 'a');
const std::string Longest(65535, 'a');

// A listening socket on 127.0.0.1 that only counts who connects.
class Listener {
public:
  Listener() {
    FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(FFd, reinterpret_cast<sockaddr *>(&addr), len) != 0 || ::listen(FFd, 16) != 0 ||
        ::getsockname(FFd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
      ADD_FAILURE() << "no listening socket";
    FPort = ntohs(addr.sin_port);
  }
  ~Listener() { ::close(FFd); }
  int Port() const { return FPort; }
  bool Connected() const {
    pollfd p{FFd, POLLIN, 0};
    return ::poll(&p, 1, 100) > 0;
  }

private:
  int FFd = -1;
  int FPort = 0;
};

// The child's arguments as raw bytes: QProcess would pass them through
// QString, turning bytes that are not UTF-8 into U+FFFD. sh's printf makes
// every byte from an octal escape.
ProcResult RunCliRaw(const std::vector<std::string> &args) {
  std::string command = "exec '" + CliPath() + "'";
  for (const std::string &a : args) {
    command += " \"$(printf '";
    char octal[8];
    for (unsigned char c : a) {
      std::snprintf(octal, sizeof octal, "\\%03o", c);
      command += octal;
    }
    command += "')\"";
  }
  return RunProc("sh", {"-c", command});
}

struct LimitCase {
  const char *Name;
  std::vector<std::string> Args;
  int Exit;
  std::string Message;
  // Run as a user without root's powers over file modes (when the test runs as root).
  bool Unprivileged = false;
};

} // namespace

TEST(CliLimits, RefusedBeforeConnecting) {
  Listener listener;
  const int port = listener.Port();
  const std::string dir = ::testing::TempDir();
  const std::string unreadable = WriteFile(dir, "unreadable.bin", "x");
  ::chmod(unreadable.c_str(), 0);
  const bool root = ::geteuid() == 0;
  const std::string bigFile = dir + "/big.bin";
  {
    // Sparse: one byte past what a packet to topic "t" can carry.
    FILE *f = std::fopen(bigFile.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(::ftruncate(::fileno(f), 268435453), 0);
    std::fclose(f);
  }
  std::vector<LimitCase> cases = {
      {"long filter", {"sub", "-t", Long}, 2, "the filter is 65536 bytes long; at most 65535 bytes fit"},
      {"long topic", {"pub", "-t", Long, "-m", "x"}, 2, "the topic is 65536 bytes long"},
      {"long client id", {"sub", "-t", "a", "-i", Long}, 2, "the client id is 65536 bytes long"},
      {"long user name", {"sub", "-t", "a", "-u", Long}, 2, "the user name is 65536 bytes long"},
      {"long password", {"sub", "-t", "a", "-u", "u", "-P", Long}, 2, "the password is 65536 bytes long"},
      {"long will topic", {"sub", "-t", "a", "--will-topic", Long, "--will-payload", "x"}, 2,
       "the will topic is 65536 bytes long"},
      {"long will payload", {"sub", "-t", "a", "--will-topic", "w", "--will-payload", Long}, 2,
       "the will payload is 65536 bytes long"},
      {"topic not UTF-8", {"pub", "-t", "caf\xE9", "-m", "x"}, 2, "the topic is not valid UTF-8 at byte 3"},
      {"filter not UTF-8", {"sub", "-t", "a/\xFF"}, 2, "the filter is not valid UTF-8 at byte 2"},
      {"control character", {"pub", "-t", "a\x01", "-m", "x"}, 2, "the topic contains a control character"},
      {"# inside", {"sub", "-t", "a/#/b"}, 2, "the filter has '#' at byte 2 before its last level"},
      {"+ in a level", {"sub", "-t", "a+"}, 2, "the filter has '+' at byte 1 inside a level"},
      {"bad -T", {"sub", "-t", "a", "-T", "x#"}, 2, "the filter has '#' at byte 1 inside a level"},
      {"bad -U", {"log", "-t", "a", "-U", ""}, 2, "the filter is empty"},
      {"-f folder", {"pub", "-t", "t", "-f", dir}, 2, "is not a regular file"},
      {"-f missing", {"pub", "-t", "t", "-f", dir + "/none"}, 1, "No such file or directory"},
      {"-f too large", {"pub", "-t", "t", "-f", bigFile}, 2,
       "message of 268435453 bytes is too large; with this topic at most 268435452 bytes fit"},
  };
  cases.push_back({"-f unreadable", {"pub", "-t", "t", "-f", unreadable}, 1, "Permission denied", true});
  for (const LimitCase &c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<std::string> args = CliArgs(c.Args[0], port, {c.Args.begin() + 1, c.Args.end()});
    const bool ascii = std::all_of(args.begin(), args.end(), [](const std::string &a) {
      return std::all_of(a.begin(), a.end(), [](char ch) { return (unsigned char)ch < 0x80; });
    });
    std::vector<std::string> asNobody{"--reuid=65534", "--regid=65534", "--clear-groups", CliPath()};
    asNobody.insert(asNobody.end(), args.begin(), args.end());
    ProcResult r = root && c.Unprivileged ? RunProc("setpriv", asNobody) : ascii ? RunCli(args) : RunCliRaw(args);
    ASSERT_TRUE(r.Finished);
    EXPECT_EQ(r.ExitCode, c.Exit);
    EXPECT_NE(r.Err.find(c.Message), std::string::npos) << r.Err.substr(0, 300);
    EXPECT_EQ(r.Out, "");
  }
  EXPECT_FALSE(listener.Connected()) << "nothing may connect";
  std::remove(bigFile.c_str());
}

// What fits exactly is still sent: the limits are not off by one.
TEST(CliLimits, LongestStringsAreAccepted) {
  TestBroker broker;
  ProcResult r = RunCli(CliArgs("pub", broker.Port(), {"-t", Longest, "-m", "x", "-i", Longest, "-q", "1"}));
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
}

TEST(CliLimits, ClosedStandardInputEndsCleanly) {
  TestBroker broker;
  for (const char *source : {"-l", "-s"}) {
    SCOPED_TRACE(source);
    // sh closes descriptor 0 for the program (<&-).
    const std::string command = "exec '" + CliPath() + "' pub -h 127.0.0.1 -p " + std::to_string(broker.Port()) +
                                " -t t -q 1 " + source + " <&-";
    ProcResult r = RunProc("sh", {"-c", command}, {}, 20000);
    ASSERT_TRUE(r.Finished) << "it must not wait for ever";
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
  }
}

// pub -l takes a line only up to what one packet can carry: a longer one ends
// the run with 2 and its line number, after the lines before it went out, and
// without reading on to the end of it.
TEST(CliLimits, OverlongInputLineIsRefusedWithItsNumber) {
  TestBroker broker;
  Proc sub("mosquitto_sub", MosquittoArgs(broker.Port(), {"-t", "long/t", "-q", "1", "-C", "2"}));
  sub.Start();
  ASSERT_TRUE(WaitForFileText(broker.LogFile(), "Sending SUBACK to "));
  // 300 MB of one line after two short ones; the most a packet carries is 268,435,455 bytes.
  const std::string command = "{ printf 'ok\\nsecond\\n'; head -c 300000000 /dev/zero | tr '\\\\000' x; } | exec '" +
                              CliPath() + "' pub -h 127.0.0.1 -p " + std::to_string(broker.Port()) +
                              " -t long/t -q 1 -l";
  const ProcResult r = RunProc("sh", {"-c", command}, {}, 120000);
  ASSERT_TRUE(r.Finished);
  EXPECT_EQ(r.ExitCode, 2) << r.Err.substr(0, 300);
  EXPECT_NE(r.Err.find("line 3 of standard input is longer than"), std::string::npos) << r.Err.substr(0, 300);
  const ProcResult got = sub.Wait(20000);
  EXPECT_EQ(got.Out, "ok\nsecond\n");
}
