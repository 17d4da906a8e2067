// Soak: vyr-cli publishers and persistent subscribers at QoS 0, 1 and 2, and
// mosquitto_pub and mosquitto_sub beside them on topics of their own, run
// for a while (10 minutes unless --duration SEC says otherwise) through our
// fault proxy to a mosquitto with persistence, with a fault every 30 s
// (--fault-every SEC) in turn: broker SIGKILLed and restarted, links cut,
// links stalled for 8 s, subscribers SIGKILLed and restarted. Prints, per
// tool and QoS, messages sent, lost and duplicated, and for each process the
// peak memory and the open file descriptors at start and at end. With
// --debug the publishers write their monitor lines, and the broker's log is
// kept beside them, in the folder printed at the end.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "FaultProxy.h"
#include "TestBroker.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

pid_t Spawn(const std::vector<std::string> &argv, int stdinFd, const std::string &stdoutFile) {
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (stdinFd >= 0) posix_spawn_file_actions_adddup2(&fa, stdinFd, STDIN_FILENO);
  posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, stdoutFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, (stdoutFile + ".err").c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0].c_str(), &fa, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

int OpenFds(pid_t pid) {
  int n = 0;
  if (DIR *d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (dirent *e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n;
}

long PeakKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

struct Stream {
  bool Vyr; // vyr-cli, else mosquitto's clients
  int Qos;
  std::string Name, Topic, SubId, PubId, OutFile;
  pid_t Sub = -1, Pub = -1;
  int PubIn = -1; // write end of the publisher's standard input
  long Sent = 0;
  int SubFdsStart = 0, PubFdsStart = 0, SubFdsEnd = 0, PubFdsEnd = 0;
  long SubPeak = 0, PubPeak = 0;
};

// Both tools take the same flags here; mosquitto's speak MQTT 3.1 like ours.
std::vector<std::string> Tool(const Stream &s, bool sub, int port, std::vector<std::string> more) {
  std::vector<std::string> a = s.Vyr ? std::vector<std::string>{VYR_CLI_PATH, sub ? "sub" : "pub"}
                                     : std::vector<std::string>{sub ? "mosquitto_sub" : "mosquitto_pub", "-V", "mqttv31"};
  for (const std::string &arg : {std::string("-h"), std::string("127.0.0.1"), std::string("-p"), std::to_string(port),
                                 std::string("-q"), std::to_string(s.Qos), std::string("-c")})
    a.push_back(arg);
  a.insert(a.end(), more.begin(), more.end());
  return a;
}

void StartSub(Stream &s, int port) {
  s.Sub = Spawn(Tool(s, true, port, {"-t", s.Topic, "-i", s.SubId}), -1, s.OutFile);
}

void Stop(pid_t pid, int sig) {
  if (pid <= 0) return;
  ::kill(pid, sig);
  ::waitpid(pid, nullptr, 0);
}

} // namespace

int main(int argc, char **argv) {
  int duration = 600, faultEvery = 30, rate = 50; // messages per second and stream
  bool debug = false;
  for (int i = 1; i < argc; ++i) {
    const bool valued = i + 1 < argc;
    if (!std::strcmp(argv[i], "--debug")) debug = true;
    if (valued && !std::strcmp(argv[i], "--duration")) duration = std::atoi(argv[++i]);
    else if (valued && !std::strcmp(argv[i], "--fault-every")) faultEvery = std::atoi(argv[++i]);
    else if (valued && !std::strcmp(argv[i], "--rate")) rate = std::atoi(argv[++i]);
  }
  ::signal(SIGPIPE, SIG_IGN);
  TestBroker broker({.Persistence = true, .ExtraConfig = "autosave_on_changes true\n"});
  FaultProxy proxy(broker.Port());
  const int port = proxy.Port();
  const std::string dir = MakeTempDir("vyr-soak");

  std::vector<Stream> streams;
  for (const bool vyr : {true, false})
    for (int q = 0; q <= 2; ++q) {
      const std::string n = (vyr ? "vyr" : "mosq") + std::to_string(q);
      streams.push_back({vyr, q, n, "soak/" + n, "sub" + n, "pub" + n, dir + "/sub" + n + ".out"});
    }
  for (Stream &s : streams) StartSub(s, port);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  for (Stream &s : streams) {
    // Close-on-exec: a write end inherited by a later child (another
    // publisher, a restarted subscriber) would keep the input from ever ending.
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return 1;
    std::vector<std::string> args{"-t", s.Topic, "-i", s.PubId, "-l"};
    if (debug && s.Vyr) args.push_back("--debug");
    s.Pub = Spawn(Tool(s, false, port, args), p[0], dir + "/pub" + s.Name + ".out");
    ::close(p[0]);
    s.PubIn = p[1];
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  for (Stream &s : streams) {
    s.SubFdsStart = OpenFds(s.Sub);
    s.PubFdsStart = OpenFds(s.Pub);
  }

  const auto start = Clock::now();
  auto nextFault = start + std::chrono::seconds(faultEvery);
  int faults = 0;
  const char *names[] = {"broker killed", "links cut", "links stalled 8 s", "subscribers killed"};
  while (Clock::now() - start < std::chrono::seconds(duration)) {
    for (Stream &s : streams) {
      std::string lines;
      for (int i = 0; i < rate / 10; ++i) lines += std::to_string(s.Sent++) + "\n";
      [[maybe_unused]] ssize_t n = ::write(s.PubIn, lines.data(), lines.size());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (Clock::now() < nextFault) continue;
    const int kind = faults++ % 4;
    std::printf("%4lld s: %s\n",
                (long long)std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count(), names[kind]);
    std::fflush(stdout);
    switch (kind) {
    case 0:
      broker.Kill();
      std::this_thread::sleep_for(std::chrono::seconds(1));
      broker.Start();
      break;
    case 1:
      proxy.Cut();
      break;
    case 2:
      proxy.Stall();
      std::this_thread::sleep_for(std::chrono::seconds(8));
      proxy.Resume();
      break;
    case 3:
      for (Stream &s : streams) {
        s.SubPeak = std::max(s.SubPeak, PeakKiB(s.Sub));
        Stop(s.Sub, SIGKILL);
        StartSub(s, port);
      }
      break;
    }
    nextFault = Clock::now() + std::chrono::seconds(faultEvery);
  }

  // The end: publishers finish what is in flight, subscribers catch up.
  for (Stream &s : streams) {
    s.PubPeak = PeakKiB(s.Pub);
    s.PubFdsEnd = OpenFds(s.Pub);
    ::close(s.PubIn);
  }
  // A publisher still busy a minute after its input ended is stopped (and said so).
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  for (Stream &s : streams) {
    while (::waitpid(s.Pub, nullptr, WNOHANG) == 0) {
      if (Clock::now() > deadline) {
        std::printf("%s publisher still running a minute after its input ended; stopped\n", s.Name.c_str());
        Stop(s.Pub, SIGTERM);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  std::this_thread::sleep_for(std::chrono::seconds(10));
  std::printf("\n%d faults in %d s; %d messages a second per stream\n", faults, duration, rate);
  std::printf("stream     sent    lost  duplicated   sub peak KiB  pub peak KiB  sub fds start/end  pub fds start/end\n");
  for (Stream &s : streams) {
    s.SubPeak = std::max(s.SubPeak, PeakKiB(s.Sub));
    s.SubFdsEnd = OpenFds(s.Sub);
    Stop(s.Sub, SIGTERM);
    std::map<std::string, int> seen;
    std::ifstream in(s.OutFile);
    for (std::string line; std::getline(in, line);) ++seen[line];
    long lost = 0, dup = 0;
    for (long n = 0; n < s.Sent; ++n) {
      auto it = seen.find(std::to_string(n));
      if (it == seen.end())
        ++lost;
      else
        dup += it->second - 1;
    }
    std::printf("%-6s %8ld %7ld %11ld %14ld %13ld %10d/%-7d %10d/%-7d\n", s.Name.c_str(), s.Sent, lost, dup,
                s.SubPeak, s.PubPeak, s.SubFdsStart, s.SubFdsEnd, s.PubFdsStart, s.PubFdsEnd);
  }
  if (debug) {
    RunShell("cp '" + broker.LogFile() + "' '" + dir + "/'");
    std::printf("publishers' monitor lines and the broker's log: %s\n", dir.c_str());
  }
  return 0;
}
