// vyr-cli keeps serving Ctrl-C and SIGTERM while a broker floods it with
// messages faster than it can handle them.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "CliHarness.h"
#include "TestBroker.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

// A peer on 127.0.0.1 that accepts one client, accepts its CONNECT and then
// writes QoS 0 PUBLISH packets as fast as the connection takes them, until
// the client goes away.
class FloodPeer {
public:
  FloodPeer() {
    FListen = ListenOnLoopback(4, FPort);
    FThread = std::thread([this] { Run(); });
  }
  ~FloodPeer() {
    FStop = true;
    ::shutdown(FListen, SHUT_RDWR);
    FThread.join();
    ::close(FListen);
  }
  int Port() const { return FPort; }
  std::uint64_t BytesSent() const { return FSent; }

private:
  void Run() {
    const int conn = ::accept(FListen, nullptr, nullptr);
    if (conn < 0) return;
    char connect[512];
    if (::recv(conn, connect, sizeof connect, 0) > 0) {
      const char connAck[] = {0x20, 0x02, 0x00, 0x00};
      ::send(conn, connAck, sizeof connAck, MSG_NOSIGNAL);
      // "30 0B 00 03 f/l" then a 6-byte payload: 13 bytes a message.
      std::string block;
      while (block.size() < (1 << 20)) block += std::string("\x30\x0b\x00\x03" "f/l" "flood!", 13);
      while (!FStop) {
        const ssize_t n = ::send(conn, block.data(), block.size(), MSG_NOSIGNAL);
        if (n <= 0) break;
        FSent += std::uint64_t(n);
      }
    }
    ::close(conn);
  }

  int FListen = -1;
  int FPort = 0;
  std::atomic<bool> FStop{false};
  std::atomic<std::uint64_t> FSent{0};
  std::thread FThread;
};

// Starts a program with its output thrown away, so that only its own loop
// decides how fast it goes.
pid_t SpawnQuiet(const std::vector<std::string> &argv) {
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Waits for the child; its exit status, or -1 if it was still running at the deadline.
int WaitExit(pid_t pid, Clock::time_point deadline) {
  for (;;) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    if (Clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

struct SignalCase {
  const char *name;
  int signal;
};

void PrintTo(const SignalCase &c, std::ostream *os) { *os << c.name; }

class CliUnderFlood : public testing::TestWithParam<SignalCase> {};

TEST_P(CliUnderFlood, EndsPromptlyOnTheSignal) {
  FloodPeer flood;
  std::vector<std::string> argv{CliPath()};
  for (const auto &a : CliArgs("sub", flood.Port(), {"-t", "f/#", "-i", "flooded"})) argv.push_back(a);
  const pid_t pid = SpawnQuiet(argv);
  ASSERT_GT(pid, 0);
  // Well into the flood: the client is busy with a backlog that keeps growing.
  const auto floodDeadline = Clock::now() + std::chrono::seconds(20);
  while (flood.BytesSent() < (16u << 20) && Clock::now() < floodDeadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_GE(flood.BytesSent(), 16u << 20) << "the flood did not get going";
  ::kill(pid, GetParam().signal);
  // The goal is half a second; the margin is for a loaded machine.
  const int code = WaitExit(pid, Clock::now() + std::chrono::seconds(5));
  if (code == -1) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  EXPECT_EQ(code, 0) << "-1: still running 5 s after the signal";
}

INSTANTIATE_TEST_SUITE_P(Signals, CliUnderFlood,
                         testing::Values(SignalCase{"SIGTERM", SIGTERM}, SignalCase{"SIGINT", SIGINT}),
                         [](const testing::TestParamInfo<SignalCase> &info) { return std::string(info.param.name); });

} // namespace
