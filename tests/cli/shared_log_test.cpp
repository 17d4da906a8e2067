// Loggers that share one stream: three "vyr-cli log" in one $share group on
// one data folder, under a load of 100,000 QoS 1 messages over 1,000 topics.
// A clean stop leaves every message in the files once, each on a whole line;
// a member killed mid-run shows what the broker guarantees then, beside three
// mosquitto_sub in the same place.

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <thread>

#include "CliHarness.h"
#include "DataFileNames.h"
#include "TestBroker.h"

namespace fs = std::filesystem;

namespace {

constexpr int Topics = 1000;
constexpr int PerTopic = 100;
constexpr long Total = long(Topics) * PerTopic;
const std::string Group = "$share/loggers/load/#";

// Topic load/T carries the values T*100 .. T*100+99, each once, at QoS 1.
std::unique_ptr<Proc> StartPublisher(int port) {
  const std::string script = "seq 0 " + std::to_string(Topics - 1) +
                             " | xargs -P 4 -I{} sh -c 'seq $(({}*" + std::to_string(PerTopic) + ")) $(({}*" +
                             std::to_string(PerTopic) + "+" + std::to_string(PerTopic - 1) +
                             ")) | mosquitto_pub -V mqttv311 -h 127.0.0.1 -p " + std::to_string(port) +
                             " -q 1 -t load/{} -l'";
  auto p = std::make_unique<Proc>("sh", std::vector<std::string>{"-c", script});
  p->Start();
  return p;
}

std::uintmax_t FolderBytes(const std::string &dir) {
  std::uintmax_t n = 0;
  std::error_code ec;
  for (const auto &e : fs::directory_iterator(dir, ec)) n += e.file_size(ec);
  return n;
}

// Waits until the broker has had nothing to log for quietMs: every message is
// delivered and acknowledged.
void WaitQuiet(const TestBroker &broker, int quietMs = 3000) {
  std::uintmax_t last = 0;
  auto since = std::chrono::steady_clock::now();
  const auto deadline = since + std::chrono::minutes(4);
  while (std::chrono::steady_clock::now() < deadline) {
    std::error_code ec;
    const std::uintmax_t now = fs::file_size(broker.LogFile(), ec);
    if (now != last) {
      last = now;
      since = std::chrono::steady_clock::now();
    } else if (std::chrono::steady_clock::now() - since > std::chrono::milliseconds(quietMs))
      return;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

struct Tally {
  long Lines = 0;
  long Torn = 0;       // lines that are not one whole record
  long Missing = 0;    // values never written
  long Duplicates = 0; // writes beyond the first of a value
};

void CountValue(const std::string &text, std::vector<int> &seen, Tally &t) {
  ++t.Lines;
  char *end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < 0 || v >= Total)
    ++t.Torn;
  else
    ++seen[std::size_t(v)];
}

void Finish(std::vector<int> &seen, Tally &t) {
  for (int n : seen) {
    if (n == 0) ++t.Missing;
    if (n > 1) t.Duplicates += n - 1;
  }
}

// Every line of every data file: a time stamp, ";", the value (quoted or not), CR LF.
Tally TallyFolder(const std::string &dir) {
  static const QRegularExpression line(R"re(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d);"?([0-9]*)"?$)re");
  std::vector<int> seen(Total);
  Tally t;
  for (const auto &e : fs::directory_iterator(dir)) {
    if (e.path().extension() != ".csv") continue; // the folder's index of names is no data file
    std::ifstream in(e.path(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    for (std::size_t at = 0; at < bytes.size();) {
      std::size_t end = bytes.find("\r\n", at);
      const std::string text = bytes.substr(at, (end == std::string::npos ? bytes.size() : end) - at);
      const auto m = line.match(QString::fromLatin1(text.data(), qsizetype(text.size())));
      if (end == std::string::npos || !m.hasMatch()) {
        ++t.Lines;
        ++t.Torn;
      } else
        CountValue(m.captured(2).toStdString(), seen, t);
      at = end == std::string::npos ? bytes.size() : end + 2;
    }
  }
  Finish(seen, t);
  return t;
}

Tally TallyOutputs(const std::vector<std::string> &outputs) {
  std::vector<int> seen(Total);
  Tally t;
  for (const std::string &out : outputs)
    for (std::size_t at = 0; at < out.size();) {
      const std::size_t end = out.find('\n', at);
      if (end == std::string::npos) {
        ++t.Lines;
        ++t.Torn;
        break;
      }
      CountValue(out.substr(at, end - at), seen, t);
      at = end + 1;
    }
  Finish(seen, t);
  return t;
}

std::string TempFolder(const std::string &name) {
  const fs::path dir = fs::path(::testing::TempDir()) / ("vyr-share-" + name + "-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir.string();
}

// The folder's index of names: file -> topic.
std::map<std::string, std::string> IndexOf(const std::string &dir) {
  const std::string bytes = ReadFileBytes(dir + "/" + DataIndexFile);
  const QJsonObject files =
      QJsonDocument::fromJson(QByteArray::fromStdString(bytes)).object().value(QStringLiteral("files")).toObject();
  std::map<std::string, std::string> index;
  for (auto it = files.begin(); it != files.end(); ++it) index[it.key().toStdString()] = it.value().toString().toStdString();
  return index;
}

// Records in the folder's data files.
std::size_t TallyRecords(const std::string &dir) {
  std::size_t records = 0;
  for (const auto &e : fs::directory_iterator(dir))
    if (e.path().extension() == ".csv") {
      const std::string bytes = ReadFileBytes(e.path().string());
      records += std::size_t(std::count(bytes.begin(), bytes.end(), '\n'));
    }
  return records;
}

std::vector<std::unique_ptr<Proc>> StartLoggers(const TestBroker &broker, const std::string &dir) {
  std::vector<std::unique_ptr<Proc>> loggers;
  for (int i = 0; i < 3; ++i) {
    const std::string id = "logger" + std::to_string(i);
    loggers.push_back(std::make_unique<Proc>(
        CliPath(), CliArgs("log", broker.Port(), {"-V", "mqttv311", "-t", Group, "-q", "1", "-i", id, "-d", dir})));
    loggers.back()->Start();
  }
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(WaitForFileText(broker.LogFile(), "Sending SUBACK to logger" + std::to_string(i) + "\n"));
  return loggers;
}

void Print(const char *who, const Tally &t) {
  std::cout << "  " << who << ": " << t.Lines << " lines, " << t.Missing << " of " << Total << " messages lost ("
            << 100.0 * double(t.Missing) / double(Total) << " %), " << t.Duplicates << " duplicates, " << t.Torn
            << " torn lines\n";
}

} // namespace

TEST(CliSharedLog, ThreeLoggersInOneGroupWriteEveryMessageOnce) {
  TestBroker broker;
  const std::string dir = TempFolder("clean");
  auto loggers = StartLoggers(broker, dir);
  auto publisher = StartPublisher(broker.Port());
  ASSERT_EQ(publisher->Wait(600000).ExitCode, 0);
  WaitQuiet(broker);
  for (auto &l : loggers) l->Signal(SIGTERM);
  for (auto &l : loggers) {
    ProcResult r = l->Wait();
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
  }
  // The broker shared the stream: each member had part of it.
  std::ifstream in(broker.LogFile());
  const std::string log{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  for (int i = 0; i < 3; ++i)
    EXPECT_NE(log.find("Sending PUBLISH to logger" + std::to_string(i) + " "), std::string::npos) << i;
  const Tally t = TallyFolder(dir);
  EXPECT_EQ(t.Torn, 0);
  EXPECT_EQ(t.Missing, 0);
  EXPECT_EQ(t.Duplicates, 0);
  EXPECT_EQ(t.Lines, Total);
  // Whichever member saved the folder's index last, it names every topic's file.
  const std::map<std::string, std::string> index = IndexOf(dir);
  EXPECT_EQ(index.size(), std::size_t(Topics));
  for (int n = 0; n < Topics; ++n) {
    const auto it = index.find("load-" + std::to_string(n) + ".csv");
    EXPECT_TRUE(it != index.end() && it->second == "load/" + std::to_string(n)) << n;
  }
  fs::remove_all(dir);
}

// Two loggers of one group name their topics in one folder: its index keeps
// every name whichever member saved last, and a topic whose plain name the
// other member already gave to another topic (idx/c/1 and idx/c-1) gets a
// file of its own.
TEST(CliSharedLog, LoggersOfOneFolderKeepEveryNameInItsIndex) {
  TestBroker broker;
  const std::string dir = TempFolder("index");
  std::vector<std::unique_ptr<Proc>> loggers;
  for (int i = 0; i < 2; ++i) {
    const std::string id = "namer" + std::to_string(i);
    loggers.push_back(std::make_unique<Proc>(
        CliPath(), CliArgs("log", broker.Port(), {"-V", "mqttv311", "-t", "$share/names/idx/#", "-q", "1", "-i", id,
                                                  "-d", dir})));
    loggers.back()->Start();
    ASSERT_TRUE(WaitForFileText(broker.LogFile(), "Sending SUBACK to " + id + "\n"));
  }
  std::map<std::string, std::string> values; // topic -> value
  const auto publish = [&](const std::string &topic, const std::string &value) {
    values[topic] = value;
    EXPECT_EQ(RunProc("mosquitto_pub", MosquittoArgs(broker.Port(), {"-t", topic, "-q", "1", "-m", value})).ExitCode, 0);
  };
  const auto waitFor = [](const std::function<bool()> &done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return done();
  };
  publish("idx/c/1", "first");
  ASSERT_TRUE(waitFor([&] { return IndexOf(dir).count("idx-c-1.csv") == 1; }));
  publish("idx/c-1", "second");
  for (int i = 0; i < 20; ++i) publish("idx/" + std::to_string(i), "value " + std::to_string(i));
  EXPECT_TRUE(waitFor([&] { return TallyRecords(dir) == values.size(); }));
  for (auto &l : loggers) l->Signal(SIGTERM);
  for (auto &l : loggers) {
    const ProcResult r = l->Wait();
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
  }
  const std::string log = ReadFileBytes(broker.LogFile());
  for (const char *id : {"namer0", "namer1"})
    EXPECT_NE(log.find(std::string("Sending PUBLISH to ") + id + " "), std::string::npos) << id << " had a share";

  const std::map<std::string, std::string> index = IndexOf(dir);
  EXPECT_EQ(index.size(), values.size());
  for (const auto &[topic, value] : values) {
    SCOPED_TRACE(topic);
    const auto named = std::find_if(index.begin(), index.end(), [&](const auto &e) { return e.second == topic; });
    ASSERT_NE(named, index.end()) << "no file in the index";
    const std::string bytes = ReadFileBytes(dir + "/" + named->first);
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 1) << bytes;
    EXPECT_TRUE(bytes.size() > value.size() + 3 && bytes.substr(bytes.size() - value.size() - 3) == ";" + value + "\r\n")
        << bytes;
  }
  EXPECT_EQ(index.at("idx-c-1.csv"), "idx/c/1");
  fs::remove_all(dir);
}

// What a member killed with SIGKILL costs, for ours and for mosquitto_sub: the
// figures are printed; no line may be torn, and what the survivors received
// after the kill is all there.
TEST(CliSharedLog, KilledMemberFiguresBesideMosquittoSub) {
  Tally ours, theirs;
  {
    TestBroker broker;
    const std::string dir = TempFolder("killed");
    auto loggers = StartLoggers(broker, dir);
    auto publisher = StartPublisher(broker.Port());
    // A third of the way through.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(4);
    while (FolderBytes(dir) < std::uintmax_t(Total / 3 * 30) && publisher->Pid() > 0 &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    loggers[0]->Signal(SIGKILL);
    ASSERT_EQ(publisher->Wait(600000).ExitCode, 0);
    WaitQuiet(broker);
    for (std::size_t i = 1; i < loggers.size(); ++i) loggers[i]->Signal(SIGTERM);
    for (std::size_t i = 1; i < loggers.size(); ++i) EXPECT_EQ(loggers[i]->Wait().ExitCode, 0);
    ours = TallyFolder(dir);
    fs::remove_all(dir);
  }
  {
    TestBroker broker;
    // Into files: a pipe nobody reads while the test waits would stall them.
    const std::string dir = TempFolder("mosquitto-sub");
    std::vector<std::unique_ptr<Proc>> subs;
    std::vector<std::string> files;
    for (int i = 0; i < 3; ++i) {
      const std::string id = "msub" + std::to_string(i);
      files.push_back(dir + "/" + id + ".out");
      subs.push_back(std::make_unique<Proc>(
          "sh", std::vector<std::string>{"-c", "exec mosquitto_sub -V mqttv311 -h 127.0.0.1 -p " +
                                                   std::to_string(broker.Port()) + " -t '" + Group + "' -q 1 -i " + id +
                                                   " > '" + files.back() + "'"}));
      subs.back()->Start();
      ASSERT_TRUE(WaitForFileText(broker.LogFile(), "Sending SUBACK to " + id + "\n"));
    }
    auto publisher = StartPublisher(broker.Port());
    // A third of the way through: a third of the lines of six bytes or less each.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(4);
    std::error_code ec;
    while (fs::file_size(files[0], ec) < std::uintmax_t(Total / 9 * 5) && publisher->Pid() > 0 &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    subs[0]->Signal(SIGKILL);
    ASSERT_EQ(publisher->Wait(600000).ExitCode, 0);
    WaitQuiet(broker);
    std::vector<std::string> outputs;
    for (std::size_t i = 0; i < subs.size(); ++i) {
      subs[i]->Signal(SIGTERM);
      subs[i]->Wait();
      std::ifstream in(files[i], std::ios::binary);
      outputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    theirs = TallyOutputs(outputs);
    fs::remove_all(dir);
  }
  std::cout << "One of three members of $share/loggers killed with SIGKILL a third of the way through " << Total
            << " QoS 1 messages over " << Topics << " topics:\n";
  Print("vyr-cli log (data files)", ours);
  Print("mosquitto_sub (standard output)", theirs);
  EXPECT_EQ(ours.Torn, 0);
  EXPECT_GT(ours.Lines, Total / 2);
  EXPECT_GT(theirs.Lines, Total / 2);
}
