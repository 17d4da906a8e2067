#pragma once
// Helpers for the vyr-cli tests: child processes (vyr-cli, mosquitto_sub,
// mosquitto_pub) with their output, and the two real brokers behind one face.

#include <QProcess>

#include <memory>
#include <string>
#include <vector>

struct ProcResult {
  bool Finished = false;
  int ExitCode = -1;
  std::string Out;
  std::string Err;
};

// A child process; killed when the object goes away.
class Proc {
public:
  Proc(const std::string &program, const std::vector<std::string> &args);
  ~Proc();
  // Starts the process, writes input to its standard input and closes it
  // (keepStdinOpen leaves it open for Write/CloseStdin).
  void Start(const std::string &input = {}, bool keepStdinOpen = false);
  void Write(const std::string &bytes);
  void CloseStdin();
  // Waits until standard error contains needle (that many times); false at
  // the deadline or when the process ended.
  bool WaitForErr(const std::string &needle, int timeoutMs = 20000, int times = 1);
  // Waits until standard output holds at least that many lines; false at the
  // deadline or when the process ended.
  bool WaitForOutLines(std::size_t lines, int timeoutMs);
  ProcResult Wait(int timeoutMs = 30000);
  void Signal(int sig);
  qint64 Pid() const;

private:
  void Drain();
  std::unique_ptr<QProcess> FProcess;
  std::string FOut, FErr;
};

ProcResult RunProc(const std::string &program, const std::vector<std::string> &args,
                   const std::string &input = {}, int timeoutMs = 30000);

// Path of the vyr-cli executable under test.
std::string CliPath();
ProcResult RunCli(const std::vector<std::string> &args, const std::string &input = {}, int timeoutMs = 30000);

// Waits until the file contains needle.
bool WaitForFileText(const std::string &path, const std::string &needle, int timeoutMs = 20000);

// Bytes 0..255 in a scrambled order, newlines and NULs included.
std::string BinaryPayload(std::size_t size);
std::string HexOf(const std::string &bytes); // lower case, no spaces, as mosquitto_sub prints %x
// Writes bytes to a fresh file in dir; returns its path.
std::string WriteFile(const std::string &dir, const std::string &name, const std::string &bytes);

// mosquitto or aedes on 127.0.0.1, as the interoperability tests need them.
class InteropBroker {
public:
  virtual ~InteropBroker() = default;
  virtual const char *Name() const = 0;
  virtual int Port() const = 0;
  virtual std::string Dir() const = 0;
  // True once the broker has taken the subscription of this client id.
  virtual bool WaitSubscribed(const std::string &clientId, int timeoutMs = 20000) const = 0;
  // True once the broker has dealt with the end of this client's connection.
  virtual bool WaitGone(const std::string &clientId, int timeoutMs = 20000) const = 0;
};

enum class BrokerKind { Mosquitto, Aedes };
std::unique_ptr<InteropBroker> MakeBroker(BrokerKind kind);

// Arguments that point the mosquitto command-line tools at a broker, speaking MQTT 3.1.
std::vector<std::string> MosquittoArgs(int port, std::vector<std::string> more);
// Arguments that point vyr-cli at a broker: {command, -h, -p, more...}.
std::vector<std::string> CliArgs(const std::string &command, int port, std::vector<std::string> more);
