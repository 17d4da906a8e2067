// vyr-cli against mosquitto_sub and mosquitto_pub, side by side on the same
// mosquitto: wall time and the client process's CPU time (user + sys, from
// wait4) for
//   - 100,000 QoS 0 messages of 64 bytes received by "sub -C", and 30,000 at
//     QoS 1 (each written out before its PUBACK; mosquitto_pub -l at QoS 1
//     stops short of 100,000),
//   - 50,000 QoS 1 publications of 64 bytes by "pub -l", with each tool's
//     own in-flight limit and with both at 20.
//   - one "pub -q 1 -m" from start to exit, beside one mosquitto_pub (median of 20),
//   - "log" writing 100,000 QoS 0 messages over 1,000 topics to their data
//     files, beside "mosquitto_sub -v" writing the same to one file.
//   - first, "sub -C" at MQTT 5 beside itself at 3.1.1 and beside
//     "mosquitto_sub -V 5": 100,000 QoS 0 and 50,000 QoS 1 messages
//     ("cli_bench levels" stops after these).
// Each run is repeated and the median printed, with the ratios ours/theirs.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FloodPublisher.h"
#include "TestBroker.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int SubMessages = 100000;
constexpr int Sub1Messages = 30000;
constexpr int PubMessages = 50000;
constexpr int PayloadSize = 64;
constexpr int Rounds = 5; // the machine is shared: medians of several runs
constexpr int OneShotRounds = 20;
constexpr int LogMessages = 100000;
constexpr int LogTopics = 1000;

struct Child {
  pid_t Pid = -1;
};

// Starts a program with standard input and output redirected to files ("" keeps them).
Child Spawn(const std::vector<std::string> &argv, const std::string &in, const std::string &out) {
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (!in.empty()) ::dup2(::open(in.c_str(), O_RDONLY), STDIN_FILENO);
    if (!out.empty()) ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  return {pid};
}

struct Finished {
  int Status = -1;
  double CpuSeconds = 0; // user + sys of the child
  Clock::time_point At;
};

Finished Reap(Child child) {
  Finished f;
  rusage usage{};
  if (::wait4(child.Pid, &f.Status, 0, &usage) != child.Pid) throw std::runtime_error("wait4 failed");
  f.At = Clock::now();
  auto seconds = [](const timeval &tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; };
  f.CpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  if (!WIFEXITED(f.Status) || WEXITSTATUS(f.Status) != 0)
    throw std::runtime_error("client " + std::to_string(child.Pid) + " failed with status " + std::to_string(f.Status));
  return f;
}

bool LogHas(const std::string &file, const std::string &needle) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line))
    if (line.find(needle) != std::string::npos) return true;
  return false;
}

void WaitForLog(const std::string &file, const std::string &needle) {
  auto deadline = Clock::now() + std::chrono::seconds(30);
  while (!LogHas(file, needle)) {
    if (Clock::now() > deadline) throw std::runtime_error("broker never logged: " + needle);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string MakeLines(const std::string &path, int count) {
  std::ofstream out(path, std::ios::binary);
  for (int i = 0; i < count; ++i) {
    std::string line = "message " + std::to_string(i) + " ";
    line.resize(PayloadSize, 'x');
    out << line << '\n';
  }
  return path;
}

long FileSize(const std::string &path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? long(st.st_size) : -1;
}

struct Sample {
  double Wall = 0;
  double Cpu = 0;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Figures {
  double Wall, Cpu;
};

Figures Medians(const std::vector<Sample> &samples) {
  std::vector<double> wall, cpu;
  for (const auto &s : samples) {
    wall.push_back(s.Wall);
    cpu.push_back(s.Cpu);
  }
  return {Median(wall), Median(cpu)};
}

std::vector<std::string> Target(const TestBroker &broker) {
  return {"-h", "127.0.0.1", "-p", std::to_string(broker.Port())};
}

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// One subscriber receives SubMessages from mosquitto_pub; the clock runs from
// the publisher's start to the subscriber's exit.
// Both subscribers speak the protocol level given (-V).
Sample RunSub(const TestBroker &broker, bool ours, int round, const std::string &input, int qos, int messages,
              const std::string &level = "mqttv31") {
  const std::string id = std::string(ours ? "bench-vyr-" : "bench-mosq-") + level + "-" + std::to_string(round);
  const std::string topic = "bench/sub/" + id;
  const std::string out = broker.Dir() + "/received";
  const std::string count = std::to_string(messages), q = std::to_string(qos);
  std::vector<std::string> argv =
      Join({ours ? VYR_CLI_PATH : "mosquitto_sub"},
           Join(ours ? std::vector<std::string>{"sub", "-V", level} : std::vector<std::string>{"-V", level},
                Join(Target(broker), {"-t", topic, "-q", q, "-C", count, "-i", id})));
  Child sub = Spawn(argv, "", out);
  WaitForLog(broker.LogFile(), id + " " + q + " " + topic);
  auto start = Clock::now();
  Child pub =
      Spawn(Join({"mosquitto_pub", "-V", "mqttv31"}, Join(Target(broker), {"-t", topic, "-q", q, "-l"})), input, "");
  Finished done = Reap(sub);
  Reap(pub);
  if (FileSize(out) != long(messages) * (PayloadSize + 1))
    throw std::runtime_error("subscriber output has the wrong size: " + std::to_string(FileSize(out)));
  return {std::chrono::duration<double>(done.At - start).count(), done.CpuSeconds};
}

// One publisher sends PubMessages lines at QoS 1 and exits once all are acknowledged.
Sample RunPub(const TestBroker &broker, bool ours, const std::string &input, const std::vector<std::string> &extra) {
  const std::vector<std::string> args = Join(Target(broker), Join({"-t", "bench/pub", "-q", "1", "-l"}, extra));
  std::vector<std::string> argv =
      ours ? Join({VYR_CLI_PATH, "pub"}, args) : Join({"mosquitto_pub", "-V", "mqttv31"}, args);
  auto start = Clock::now();
  Finished done = Reap(Spawn(argv, input, ""));
  return {std::chrono::duration<double>(done.At - start).count(), done.CpuSeconds};
}

void Report(const char *what, int messages, const std::vector<Sample> &ours, const std::vector<Sample> &theirs,
            const char *theirName) {
  Figures o = Medians(ours), t = Medians(theirs);
  auto perMsg = [messages](double cpu) { return cpu / messages * 1e6; };
  std::printf("%s (%d messages of %d bytes, median of %d runs)\n", what, messages, PayloadSize, Rounds);
  std::printf("  %-14s wall %7.3f s  %8.0f msg/s  CPU %6.3f s  %6.2f us/msg\n", "vyr-cli", o.Wall, messages / o.Wall,
              o.Cpu, perMsg(o.Cpu));
  std::printf("  %-14s wall %7.3f s  %8.0f msg/s  CPU %6.3f s  %6.2f us/msg\n", theirName, t.Wall, messages / t.Wall,
              t.Cpu, perMsg(t.Cpu));
  std::printf("  ratio ours/theirs: wall %.2f, CPU per message %.2f\n\n", o.Wall / t.Wall, o.Cpu / t.Cpu);
}

Sample RunOneShot(const TestBroker &broker, bool ours) {
  const std::vector<std::string> args = Join(Target(broker), {"-t", "bench/one", "-q", "1", "-m", "21.5"});
  std::vector<std::string> argv =
      ours ? Join({VYR_CLI_PATH, "pub"}, args) : Join({"mosquitto_pub", "-V", "mqttv31"}, args);
  auto start = Clock::now();
  Finished done = Reap(Spawn(argv, "", ""));
  return {std::chrono::duration<double>(done.At - start).count(), done.CpuSeconds};
}

bool Exists(const std::string &path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// LogMessages over LogTopics, then one message on bench/log/end: over one
// connection at QoS 0 they arrive in order, so the end shows that all arrived.
// The clock runs from the first message to the end being on disk.
Sample RunLog(const TestBroker &broker, bool ours, int round) {
  const std::string id = std::string(ours ? "log-vyr-" : "log-mosq-") + std::to_string(round);
  const std::string dir = broker.Dir() + "/" + id;
  const std::string out = dir + ".txt";
  std::vector<std::string> argv =
      ours ? Join({VYR_CLI_PATH, "log"}, Join(Target(broker), {"-t", "bench/log/#", "-i", id, "-d", dir}))
           : Join({"mosquitto_sub", "-V", "mqttv31"},
                  Join(Target(broker), {"-t", "bench/log/#", "-i", id, "-v", "-C", std::to_string(LogMessages + 1)}));
  Child sub = Spawn(argv, "", ours ? "" : out);
  WaitForLog(broker.LogFile(), id + " 0 bench/log/#");
  auto start = Clock::now();
  TFloodPublisher flood(broker.Port(), "flood-" + id);
  for (int i = 0; i < LogMessages; ++i)
    flood.Publish("bench/log/" + std::to_string(i % LogTopics), std::to_string(20 + i % 10) + "." + std::to_string(i % 7));
  flood.Publish("bench/log/end", "1");
  flood.Flush();
  flood.Disconnect();
  Finished done;
  if (ours) {
    while (!Exists(dir + "/bench-log-end.csv")) std::this_thread::sleep_for(std::chrono::microseconds(200));
    auto end = Clock::now();
    ::kill(sub.Pid, SIGTERM);
    done = Reap(sub);
    done.At = end;
    long lines = 0;
    for (int t = 0; t < LogTopics; ++t) {
      std::ifstream in(dir + "/bench-log-" + std::to_string(t) + ".csv");
      for (std::string line; std::getline(in, line);) ++lines;
    }
    if (lines != LogMessages) throw std::runtime_error("log wrote " + std::to_string(lines) + " lines");
  } else
    done = Reap(sub);
  return {std::chrono::duration<double>(done.At - start).count(), done.CpuSeconds};
}

} // namespace

// vyr-cli sub at MQTT 5 beside itself at 3.1.1 and beside mosquitto_sub -V 5,
// for QoS 0 and QoS 1, each kind of run alternating with the others.
void CompareLevels(const TestBroker &broker) {
  constexpr int Qos0Messages = 100000, Qos1Messages = 50000;
  for (const auto &[qos, messages] : {std::pair{0, Qos0Messages}, std::pair{1, Qos1Messages}}) {
    const std::string input = MakeLines(broker.Dir() + "/levels-input", messages);
    std::vector<Sample> ours5, ours311, theirs5;
    for (int round = 0; round < Rounds; ++round)
      for (int turn = 0; turn < 3; ++turn)
        switch ((turn + round) % 3) {
        case 0: ours5.push_back(RunSub(broker, true, round, input, qos, messages, "mqttv5")); break;
        case 1: ours311.push_back(RunSub(broker, true, round, input, qos, messages, "mqttv311")); break;
        case 2: theirs5.push_back(RunSub(broker, false, round, input, qos, messages, "mqttv5")); break;
        }
    const Figures o5 = Medians(ours5), o311 = Medians(ours311), t5 = Medians(theirs5);
    std::printf("QoS %d messages received by sub -C, by level (%d messages of %d bytes, median of %d runs)\n", qos,
                messages, PayloadSize, Rounds);
    std::printf("  %-22s wall %7.3f s  CPU %6.3f s\n", "vyr-cli -V 5", o5.Wall, o5.Cpu);
    std::printf("  %-22s wall %7.3f s  CPU %6.3f s\n", "vyr-cli -V 311", o311.Wall, o311.Cpu);
    std::printf("  %-22s wall %7.3f s  CPU %6.3f s\n", "mosquitto_sub -V 5", t5.Wall, t5.Cpu);
    std::printf("  CPU ratio 5/3.1.1 %.2f (goal at most 1.1), vyr-cli/mosquitto_sub at 5 %.2f (goal at most 1.0)\n\n",
                o5.Cpu / o311.Cpu, o5.Cpu / t5.Cpu);
  }
}

// "cli_bench levels" runs only the comparison of protocol levels.
int main(int argc, char **argv) {
  try {
    // Only subscription lines in the log: the benchmark waits on them, and
    // nothing else slows the broker down.
    TestBroker broker({.ExtraConfig = "log_type none\nlog_type subscribe"});
    CompareLevels(broker);
    if (argc > 1 && std::string(argv[1]) == "levels") return 0;
    const std::string subInput = MakeLines(broker.Dir() + "/sub-input", SubMessages);
    const std::string pubInput = MakeLines(broker.Dir() + "/pub-input", PubMessages);
    const std::string sub1Input = MakeLines(broker.Dir() + "/sub1-input", Sub1Messages);

    std::vector<Sample> subOurs, subTheirs, sub1Ours, sub1Theirs, pubOurs, pubTheirs, pub20Ours, pub20Theirs;
    for (int round = 0; round < Rounds; ++round) {
      // Alternate who goes first so that neither always meets a warmer machine.
      for (bool ours : {round % 2 == 0, round % 2 != 0})
        (ours ? subOurs : subTheirs).push_back(RunSub(broker, ours, round, subInput, 0, SubMessages));
      for (bool ours : {round % 2 == 0, round % 2 != 0})
        (ours ? sub1Ours : sub1Theirs).push_back(RunSub(broker, ours, round, sub1Input, 1, Sub1Messages));
      for (bool ours : {round % 2 == 0, round % 2 != 0})
        (ours ? pubOurs : pubTheirs).push_back(RunPub(broker, ours, pubInput, {}));
      // The same with both limited to 20 unacknowledged messages (mosquitto_pub's default).
      for (bool ours : {round % 2 == 0, round % 2 != 0})
        (ours ? pub20Ours : pub20Theirs).push_back(RunPub(broker, ours, pubInput, {"-M", "20"}));
    }
    Report("QoS 0 messages received by sub -C", SubMessages, subOurs, subTheirs, "mosquitto_sub");
    Report("QoS 1 messages received by sub -C", Sub1Messages, sub1Ours, sub1Theirs, "mosquitto_sub");
    Report("QoS 1 publications sent by pub -l", PubMessages, pubOurs, pubTheirs, "mosquitto_pub");
    Report("QoS 1 publications sent by pub -l -M 20", PubMessages, pub20Ours, pub20Theirs, "mosquitto_pub");

    std::vector<Sample> oneOurs, oneTheirs;
    for (int round = 0; round < OneShotRounds; ++round)
      for (bool ours : {round % 2 == 0, round % 2 != 0}) (ours ? oneOurs : oneTheirs).push_back(RunOneShot(broker, ours));
    Figures o = Medians(oneOurs), t = Medians(oneTheirs);
    std::printf("One pub -q 1 -m, start to exit (median of %d runs)\n", OneShotRounds);
    std::printf("  %-14s wall %7.4f s  CPU %6.4f s\n", "vyr-cli", o.Wall, o.Cpu);
    std::printf("  %-14s wall %7.4f s  CPU %6.4f s\n", "mosquitto_pub", t.Wall, t.Cpu);
    std::printf("  ratio ours/theirs: wall %.2f (goal at most 1.5)\n\n", o.Wall / t.Wall);

    std::vector<Sample> logOurs, logTheirs;
    for (int round = 0; round < Rounds; ++round)
      for (bool ours : {round % 2 == 0, round % 2 != 0}) (ours ? logOurs : logTheirs).push_back(RunLog(broker, ours, round));
    o = Medians(logOurs);
    t = Medians(logTheirs);
    std::printf("%d QoS 0 messages over %d topics to disk (median of %d runs)\n", LogMessages, LogTopics, Rounds);
    std::printf("  %-22s wall %7.3f s  CPU %6.3f s\n", "vyr-cli log (files)", o.Wall, o.Cpu);
    std::printf("  %-22s wall %7.3f s  CPU %6.3f s\n", "mosquitto_sub -v (one)", t.Wall, t.Cpu);
    std::printf("  ratio ours/theirs: wall %.2f (goal at most 1.5)\n", o.Wall / t.Wall);
    return 0;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "cli_bench: %s\n", e.what());
    return 1;
  }
}
