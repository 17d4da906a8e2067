#include "CliHarness.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <signal.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

#include "AedesBroker.h"
#include "TestBroker.h"

Proc::Proc(const std::string &program, const std::vector<std::string> &args)
    : FProcess(std::make_unique<QProcess>()) {
  QStringList list;
  for (const auto &a : args) list << QString::fromStdString(a);
  FProcess->setProgram(QString::fromStdString(program));
  FProcess->setArguments(list);
}

Proc::~Proc() {
  if (FProcess->state() != QProcess::NotRunning) {
    FProcess->kill();
    FProcess->waitForFinished(5000);
  }
}

void Proc::Start(const std::string &input, bool keepStdinOpen) {
  FProcess->start();
  FProcess->waitForStarted(20000);
  if (!input.empty()) Write(input);
  if (!keepStdinOpen) CloseStdin();
}

void Proc::Write(const std::string &bytes) {
  FProcess->write(bytes.data(), qint64(bytes.size()));
  FProcess->waitForBytesWritten(20000);
}

void Proc::CloseStdin() { FProcess->closeWriteChannel(); }

void Proc::Drain() {
  FOut += FProcess->readAllStandardOutput().toStdString();
  FErr += FProcess->readAllStandardError().toStdString();
}

bool Proc::WaitForErr(const std::string &needle, int timeoutMs, int times) {
  QDeadlineTimer deadline(timeoutMs);
  for (;;) {
    Drain();
    int found = 0;
    for (auto at = FErr.find(needle); at != std::string::npos; at = FErr.find(needle, at + needle.size())) ++found;
    if (found >= times) return true;
    if (FProcess->state() == QProcess::NotRunning || deadline.hasExpired()) return false;
    FProcess->waitForReadyRead(50);
  }
}

bool Proc::WaitForOutLines(std::size_t lines, int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  for (;;) {
    Drain();
    if (std::size_t(std::count(FOut.begin(), FOut.end(), '\n')) >= lines) return true;
    if (FProcess->state() == QProcess::NotRunning || deadline.hasExpired()) return false;
    FProcess->waitForReadyRead(50);
  }
}

ProcResult Proc::Wait(int timeoutMs) {
  ProcResult r;
  r.Finished = FProcess->waitForFinished(timeoutMs) || FProcess->state() == QProcess::NotRunning;
  Drain();
  if (r.Finished && FProcess->exitStatus() == QProcess::NormalExit) r.ExitCode = FProcess->exitCode();
  r.Out = FOut;
  r.Err = FErr;
  return r;
}

void Proc::Signal(int sig) { ::kill(pid_t(FProcess->processId()), sig); }

qint64 Proc::Pid() const { return FProcess->processId(); }

ProcResult RunProc(const std::string &program, const std::vector<std::string> &args, const std::string &input,
                   int timeoutMs) {
  Proc p(program, args);
  p.Start(input);
  return p.Wait(timeoutMs);
}

std::string CliPath() { return VYR_CLI_PATH; }

ProcResult RunCli(const std::vector<std::string> &args, const std::string &input, int timeoutMs) {
  return RunProc(CliPath(), args, input, timeoutMs);
}

bool WaitForFileText(const std::string &path, const std::string &needle, int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  for (;;) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (text.str().find(needle) != std::string::npos) return true;
    if (deadline.hasExpired()) return false;
    QThread::msleep(20);
  }
}

std::string BinaryPayload(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = char(i & 0xFF);
  std::mt19937 rng(4711);
  std::shuffle(bytes.begin(), bytes.end(), rng);
  return bytes;
}

std::string HexOf(const std::string &bytes) {
  static const char *digits = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::string WriteFile(const std::string &dir, const std::string &name, const std::string &bytes) {
  std::string path = dir + "/" + name;
  std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
  return path;
}

namespace {

class MosquittoInterop : public InteropBroker {
public:
  const char *Name() const override { return "mosquitto"; }
  int Port() const override { return FBroker.Port(); }
  std::string Dir() const override { return FBroker.Dir(); }
  bool WaitSubscribed(const std::string &clientId, int timeoutMs) const override {
    return WaitForFileText(FBroker.LogFile(), "Sending SUBACK to " + clientId + "\n", timeoutMs);
  }
  bool WaitGone(const std::string &clientId, int timeoutMs) const override {
    // "Client ID disconnected." or "Client ID closed its connection."
    return WaitForFileText(FBroker.LogFile(), "Client " + clientId + " ", timeoutMs);
  }

private:
  TestBroker FBroker;
};

class AedesInterop : public InteropBroker {
public:
  AedesInterop() : FDir(MakeTempDir("vyr-cli-aedes")) {}
  ~AedesInterop() override { RunShell("rm -rf '" + FDir + "'"); }
  const char *Name() const override { return "aedes"; }
  int Port() const override { return FBroker.Port(); }
  std::string Dir() const override { return FDir; }
  bool WaitSubscribed(const std::string &clientId, int timeoutMs) const override {
    return WaitForFileText(FBroker.LogFile(), "subscribed " + clientId + " ", timeoutMs);
  }
  bool WaitGone(const std::string &clientId, int timeoutMs) const override {
    return WaitForFileText(FBroker.LogFile(), "disconnected " + clientId + "\n", timeoutMs);
  }

private:
  AedesBroker FBroker;
  std::string FDir;
};

} // namespace

std::unique_ptr<InteropBroker> MakeBroker(BrokerKind kind) {
  if (kind == BrokerKind::Aedes) return std::make_unique<AedesInterop>();
  return std::make_unique<MosquittoInterop>();
}

std::vector<std::string> MosquittoArgs(int port, std::vector<std::string> more) {
  std::vector<std::string> args = {"-V", "mqttv31", "-h", "127.0.0.1", "-p", std::to_string(port)};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

std::vector<std::string> CliArgs(const std::string &command, int port, std::vector<std::string> more) {
  std::vector<std::string> args = {command, "-h", "127.0.0.1", "-p", std::to_string(port)};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}
