// vyr-cli receiving over WebSocket against the same over plain TCP, and
// against MQTT.js's command-line client over WebSocket, side by side on one
// aedes broker that serves both: 100,000 QoS 0 messages of 100 bytes, the
// receiving process's CPU time (user + sys, from wait4). Prints the medians
// of a few rounds and the ratios.
// Usage: ws_bench [ROUNDS]

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FloodPublisher.h"
#include "TestBroker.h"

namespace {

using Clock = std::chrono::steady_clock;
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

double ReapCpu(pid_t pid) {
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid) throw std::runtime_error("wait4 failed");
  auto seconds = [](const timeval &tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

bool FileHas(const std::string &file, const std::string &needle) {
  std::ifstream in(file);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return all.find(needle) != std::string::npos;
}

long Lines(const std::string &file) {
  std::ifstream in(file);
  return std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n');
}

void WaitFor(const std::function<bool()> &cond, const char *what) {
  const auto deadline = Clock::now() + std::chrono::seconds(120);
  while (!cond()) {
    if (Clock::now() > deadline) throw std::runtime_error(std::string("timed out waiting for ") + what);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

struct Broker {
  std::string Dir = MakeTempDir("vyr-ws-bench");
  int WsPort = FreeLoopbackPort();
  int TcpPort = FreeLoopbackPort();
  pid_t Pid = -1;
  std::string Log() const { return Dir + "/aedes.log"; }
  Broker() {
    Pid = Spawn({"node", std::string(VYR_BROKERS_DIR) + "/aedes-broker.mjs", std::to_string(WsPort), "ws",
                 std::to_string(TcpPort)},
                Log());
    WaitFor([&] { return LoopbackPortAccepts(WsPort) && LoopbackPortAccepts(TcpPort); }, "aedes");
  }
  ~Broker() {
    ::kill(Pid, SIGTERM);
    ::waitpid(Pid, nullptr, 0);
    RunShell("rm -rf '" + Dir + "'");
  }
};

// One receiver: started, subscribed, flooded, its CPU once it has all.
double Round(const Broker &b, const std::vector<std::string> &argv, const std::string &id, bool killAtEnd) {
  const std::string out = b.Dir + "/out-" + id;
  const pid_t pid = Spawn(argv, out);
  WaitFor([&] { return FileHas(b.Log(), "subscribed " + id + " bench"); }, "the subscription");
  TFloodPublisher pub(b.TcpPort, "flood-" + id);
  const std::string payload(PayloadSize, 'p');
  for (int i = 0; i < Messages; ++i) pub.Publish("bench", payload);
  pub.Flush();
  pub.Disconnect();
  if (killAtEnd) {
    // MQTT.js's client has no message count: stopped once it printed them all.
    WaitFor([&] { return Lines(out) >= Messages; }, "MQTT.js to print every message");
    ::kill(pid, SIGTERM);
  }
  const double cpu = ReapCpu(pid);
  if (!killAtEnd && Lines(out) != Messages) throw std::runtime_error(id + " did not print every message");
  return cpu;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  try {
    Broker b;
    const std::string cli = VYR_CLI_PATH;
    const std::string mqttJs = std::string(VYR_BROKERS_DIR) + "/node_modules/mqtt/build/bin/mqtt.js";
    std::vector<double> tcp, ws, js;
    for (int r = 0; r < rounds; ++r) {
      const std::string n = std::to_string(r);
      tcp.push_back(Round(b, {cli, "sub", "-h", "127.0.0.1", "-p", std::to_string(b.TcpPort), "-t", "bench", "-C",
                              std::to_string(Messages), "-i", "tcp" + n},
                          "tcp" + n, false));
      ws.push_back(Round(b, {cli, "sub", "-L", "ws://127.0.0.1:" + std::to_string(b.WsPort) + "/mqtt", "-t", "bench",
                             "-C", std::to_string(Messages), "-i", "ws" + n},
                         "ws" + n, false));
      js.push_back(Round(b, {"node", mqttJs, "sub", "-h", "127.0.0.1", "-p", std::to_string(b.WsPort), "-l", "ws",
                             "-t", "bench", "-i", "js" + n},
                         "js" + n, true));
    }
    for (int r = 0; r < rounds; ++r)
      std::printf("round %d: tcp %.3f s, ws %.3f s, MQTT.js ws %.3f s\n", r + 1, tcp[r], ws[r], js[r]);
    const double t = Median(tcp), w = Median(ws), j = Median(js);
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
