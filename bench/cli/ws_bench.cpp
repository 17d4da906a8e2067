// vyr-cli receiving over WebSocket against the same over plain TCP, and
// against MQTT.js's command-line client over WebSocket, side by side from one
// stand-in broker that writes the messages as fast as each receiver takes
// them: 100,000 QoS 0 messages of 100 bytes, the receiving process's CPU time
// (user + sys, from wait4) and how often it gave up the processor (voluntary
// context switches: its wake-ups). Prints every round, the medians and the
// ratios.
//
// A live broker hands a fast receiver its messages a few at a time, and how
// few depends on how the two are scheduled on a loaded machine: the same
// receiver then costs several times more from one run to the next, and the
// ratio of two such figures tells nothing. Here the receiver always finds the
// socket full, so its CPU is what receiving costs it.
// Usage: ws_bench [ROUNDS]

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "StreamServer.h"
#include "TestBroker.h"

namespace {

constexpr int Messages = 100000;
constexpr int PayloadSize = 100;

pid_t Spawn(const std::vector<std::string> &argv, const std::string &out) {
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  return pid;
}

struct TCost {
  double Cpu = 0;     // seconds, user + sys
  long WakeUps = 0;   // voluntary context switches
};

TCost Reap(pid_t pid) {
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid) throw std::runtime_error("wait4 failed");
  auto seconds = [](const timeval &tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; };
  return {seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_nvcsw};
}

long Lines(const std::string &file) {
  std::ifstream in(file);
  return std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n');
}

// One receiver: started, served every message, its cost once it has all.
// MQTT.js's client has no message count: it is stopped once it printed them.
TCost Round(TStreamServer &server, bool webSocket, const std::vector<std::string> &argv, const std::string &out,
            bool killAtEnd) {
  server.Serve(webSocket);
  const pid_t pid = Spawn(argv, out);
  if (killAtEnd) {
    while (Lines(out) < Messages) ::usleep(20000);
    ::kill(pid, SIGTERM);
  }
  const TCost cost = Reap(pid);
  server.Wait();
  if (Lines(out) != Messages) throw std::runtime_error(argv[0] + " did not print every message");
  return cost;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  try {
    TStreamServer server("bench", std::string(PayloadSize, 'p'), Messages);
    const std::string dir = MakeTempDir("vyr-ws-bench");
    const std::string cli = VYR_CLI_PATH, port = std::to_string(server.Port());
    const std::string mqttJs = std::string(VYR_BROKERS_DIR) + "/node_modules/mqtt/build/bin/mqtt.js";
    const std::string count = std::to_string(Messages);
    std::vector<TCost> tcp, ws, js;
    for (int r = 0; r < rounds; ++r) {
      tcp.push_back(Round(server, false, {cli, "sub", "-h", "127.0.0.1", "-p", port, "-t", "bench", "-C", count},
                          dir + "/tcp", false));
      ws.push_back(Round(server, true,
                         {cli, "sub", "-L", "ws://127.0.0.1:" + port + "/mqtt", "-t", "bench", "-C", count},
                         dir + "/ws", false));
      js.push_back(Round(server, true,
                         {"node", mqttJs, "sub", "-h", "127.0.0.1", "-p", port, "-l", "ws", "-t", "bench"},
                         dir + "/js", true));
      std::printf("round %d: CPU tcp %.3f s, ws %.3f s, MQTT.js ws %.3f s (ratio ws/tcp %.2f); wake-ups %ld, %ld, "
                  "%ld\n",
                  r + 1, tcp[r].Cpu, ws[r].Cpu, js[r].Cpu, ws[r].Cpu / tcp[r].Cpu, tcp[r].WakeUps, ws[r].WakeUps,
                  js[r].WakeUps);
      std::fflush(stdout);
    }
    RunShell("rm -rf '" + dir + "'");
    auto cpu = [](const std::vector<TCost> &v) {
      std::vector<double> out;
      for (const TCost &c : v) out.push_back(c.Cpu);
      return Median(out);
    };
    const double t = cpu(tcp), w = cpu(ws), j = cpu(js);
    std::printf("%d QoS 0 messages of %d bytes received, median CPU of %d rounds:\n", Messages, PayloadSize, rounds);
    std::printf("  vyr-cli over TCP        %.3f s\n", t);
    std::printf("  vyr-cli over WebSocket  %.3f s\n", w);
    std::printf("  MQTT.js over WebSocket  %.3f s\n", j);
    std::printf("  ratio ws/tcp (vyr-cli)  %.2f\n", w / t);
    std::printf("  ratio vyr-cli/MQTT.js   %.2f\n", w / j);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "ws_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
