#pragma once
// A real mosquitto broker for tests: started on 127.0.0.1 on free ports, with
// its own configuration, certificate and data folder in a temporary directory,
// stopped when the object goes away. max_queued_messages is 0 so that nothing
// is dropped under load.

#include <string>
#include <sys/types.h>

#include "TestCerts.h"

int FreeLoopbackPort();
// A TCP socket listening on 127.0.0.1 on a port the system picks (stored in
// port); throws when it cannot. The caller closes it.
int ListenOnLoopback(int backlog, int &port);
// True when something accepts TCP connections on 127.0.0.1 (or the given
// loopback address, "::1" for IPv6) at that port.
bool LoopbackPortAccepts(int port, const std::string &address = "127.0.0.1");
// A fresh temporary directory, removed by the caller (or left to the OS).
std::string MakeTempDir(const std::string &prefix);
// A file's bytes ("" when it cannot be read), and a file made of bytes.
std::string ReadFileBytes(const std::string &path);
void WriteFileBytes(const std::string &path, const std::string &bytes);

class TestBroker {
public:
  struct Options {
    bool Tls = false;          // also open a TLS listener (TlsPort)
    bool Persistence = false;  // keep sessions and queued messages across restarts
    bool ExpiredCert = false;  // serve an expired certificate on the TLS listener
    TestCertificate TlsCert;   // served on the TLS listener in place of a self-signed one
    std::string ClientCA;      // the TLS listener requires a client certificate signed by this CA
    std::string Address = "127.0.0.1"; // where both listeners listen: 127.0.0.1 or ::1
    std::string ExtraConfig;   // appended to the configuration file
  };

  TestBroker();
  explicit TestBroker(Options options);
  ~TestBroker();
  TestBroker(const TestBroker &) = delete;
  TestBroker &operator=(const TestBroker &) = delete;

  // Both wait until the listeners accept connections; throw on failure.
  void Start();
  void Stop();
  void Restart() { Stop(); Start(); }
  // Kills the broker without letting it clean up (SIGKILL).
  void Kill();

  bool Running() const { return FPid > 0; }
  int Port() const { return FPort; }
  int TlsPort() const { return FTlsPort; }
  const std::string &Dir() const { return FDir; }
  const TestCertificate &Certificate() const { return FCert; }
  std::string LogFile() const { return FDir + "/mosquitto.log"; }

private:
  void WriteConfig();

  Options FOptions;
  std::string FDir;
  TestCertificate FCert;
  int FPort = 0;
  int FTlsPort = 0;
  pid_t FPid = -1;
};

// Configuration lines (for Options::ExtraConfig) that make mosquitto refuse
// every subscription to filters matching denied and allow everything else,
// through its dynamic-security plugin (the ACL file cannot refuse a
// subscription). The plugin's own file is written into dir.
std::string SubscribeDenyConfig(const std::string &dir, const std::string &denied);

// Configuration lines (for Options::ExtraConfig) for a broker with an
// administrator (user "admin", password "adminpw") of mosquitto's
// dynamic-security plugin, everything else allowed to everyone. Its files go
// into dir.
std::string AdministeredConfig(const std::string &dir);
// Runs "mosquitto_ctrl dynsec COMMAND" as that administrator, for example
// "createClient NAME -p PASSWORD", or "disableClient NAME" (the broker then
// disconnects the user's clients, "Administrative action" at MQTT 5).
bool AdministerBroker(const TestBroker &broker, const std::string &command);

// Runs a command line through /bin/sh and returns its exit status (or -1).
int RunShell(const std::string &command);
