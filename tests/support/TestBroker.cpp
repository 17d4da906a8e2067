#include "TestBroker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

bool LoopbackPortAccepts(int port, const std::string &address) {
  sockaddr_storage ss{};
  socklen_t len;
  if (address.find(':') != std::string::npos) {
    auto *a6 = reinterpret_cast<sockaddr_in6 *>(&ss);
    a6->sin6_family = AF_INET6;
    a6->sin6_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET6, address.c_str(), &a6->sin6_addr);
    len = sizeof *a6;
  } else {
    auto *a4 = reinterpret_cast<sockaddr_in *>(&ss);
    a4->sin_family = AF_INET;
    a4->sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &a4->sin_addr);
    len = sizeof *a4;
  }
  int fd = ::socket(ss.ss_family, SOCK_STREAM, 0);
  if (fd < 0) return false;
  bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&ss), len) == 0;
  ::close(fd);
  return ok;
}

namespace {
// A socket bound to 127.0.0.1 on a port the system picks.
int BindLoopback(sockaddr_in &addr) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("cannot bind a socket on 127.0.0.1");
  }
  return fd;
}
} // namespace

int FreeLoopbackPort() {
  sockaddr_in addr;
  ::close(BindLoopback(addr));
  return ntohs(addr.sin_port);
}

int ListenOnLoopback(int backlog, int &port) {
  sockaddr_in addr;
  const int fd = BindLoopback(addr);
  if (::listen(fd, backlog) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port = ntohs(addr.sin_port);
  return fd;
}

std::string MakeTempDir(const std::string &prefix) {
  const char *base = std::getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
  if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  return templ;
}

std::string ReadFileBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFileBytes(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

namespace {
std::string DynamicSecurityPlugin() {
  for (const char *lib : {"/usr/lib/x86_64-linux-gnu", "/usr/lib/aarch64-linux-gnu", "/usr/lib"})
    if (std::filesystem::exists(std::string(lib) + "/mosquitto_dynamic_security.so"))
      return std::string(lib) + "/mosquitto_dynamic_security.so";
  throw std::runtime_error("mosquitto's dynamic-security plugin is not installed");
}
} // namespace

std::string AdministeredConfig(const std::string &dir) {
  const std::string file = dir + "/administered.json";
  // The tool writes the administrator with a hashed password; the defaults
  // it leaves closed are opened.
  if (RunShell("mosquitto_ctrl dynsec init '" + file + "' admin adminpw >/dev/null 2>&1") != 0)
    throw std::runtime_error("mosquitto_ctrl dynsec init failed");
  std::string json = ReadFileBytes(file);
  for (const char *access : {"\"publishClientSend\":\tfalse", "\"subscribe\":\tfalse"}) {
    const std::size_t at = json.find(access);
    if (at == std::string::npos) throw std::runtime_error("unexpected dynamic-security file " + file);
    json.replace(json.find("false", at), 5, "true");
  }
  WriteFileBytes(file, json);
  return "plugin " + DynamicSecurityPlugin() + "\nplugin_opt_config_file " + file + "\n";
}

bool AdministerBroker(const TestBroker &broker, const std::string &command) {
  return RunShell("mosquitto_ctrl -h 127.0.0.1 -p " + std::to_string(broker.Port()) +
                  " -u admin -P adminpw dynsec " + command + " >/dev/null 2>&1") == 0;
}

std::string SubscribeDenyConfig(const std::string &dir, const std::string &denied) {
  const std::string plugin = DynamicSecurityPlugin();
  std::ofstream(dir + "/dynsec.json")
      << R"({"defaultACLAccess": {"publishClientSend": true, "publishClientReceive": true,)"
      << R"( "subscribe": true, "unsubscribe": true}, "clients": [],)"
      << R"( "groups": [{"groupname": "anonymous", "roles": [{"rolename": "limited"}]}],)"
      << R"( "roles": [{"rolename": "limited", "acls": [{"acltype": "subscribePattern", "topic": ")" << denied
      << R"(", "priority": 0, "allow": false}]}], "anonymousGroup": "anonymous"})";
  return "plugin " + plugin + "\nplugin_opt_config_file " + dir + "/dynsec.json\n";
}

int RunShell(const std::string &command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TestBroker::TestBroker() : TestBroker(Options{}) {}

TestBroker::TestBroker(Options options) : FOptions(std::move(options)), FDir(MakeTempDir("vyr-broker")) {
  FPort = FreeLoopbackPort();
  if (FOptions.Tls) {
    FTlsPort = FreeLoopbackPort();
    FCert = FOptions.TlsCert.CertFile.empty() ? MakeSelfSignedCertificate(FDir, FOptions.ExpiredCert)
                                              : FOptions.TlsCert;
  }
  WriteConfig();
  Start();
}

TestBroker::~TestBroker() {
  Stop();
  RunShell("rm -rf '" + FDir + "'");
}

void TestBroker::WriteConfig() {
  std::ofstream conf(FDir + "/mosquitto.conf");
  conf << "user root\n"
       << "allow_anonymous true\n"
       << "max_queued_messages 0\n"
       << "log_dest file " << FDir << "/mosquitto.log\n"
       << "log_type all\n"
       << "listener " << FPort << " " << FOptions.Address << "\n";
  if (FOptions.Tls)
    conf << "listener " << FTlsPort << " " << FOptions.Address << "\n"
         << "certfile " << FCert.CertFile << "\n"
         << "keyfile " << FCert.KeyFile << "\n";
  if (FOptions.Tls && !FOptions.ClientCA.empty())
    conf << "require_certificate true\n"
         << "cafile " << FOptions.ClientCA << "\n";
  if (FOptions.Persistence)
    conf << "persistence true\n"
         << "persistence_location " << FDir << "/\n"
         << "autosave_interval 1\n";
  conf << FOptions.ExtraConfig << "\n";
}

void TestBroker::Start() {
  if (Running()) return;
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    std::string conf = FDir + "/mosquitto.conf";
    // The broker writes its own log file; keep the test output clean.
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    ::execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char *>(nullptr));
    ::_exit(127);
  }
  FPid = pid;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!(LoopbackPortAccepts(FPort, FOptions.Address) &&
           (!FOptions.Tls || LoopbackPortAccepts(FTlsPort, FOptions.Address)))) {
    int status = 0;
    if (::waitpid(FPid, &status, WNOHANG) == FPid) {
      FPid = -1;
      throw std::runtime_error("mosquitto exited at start; see " + LogFile());
    }
    if (std::chrono::steady_clock::now() > deadline) {
      Kill();
      throw std::runtime_error("mosquitto did not start listening");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void TestBroker::Stop() {
  if (!Running()) return;
  ::kill(FPid, SIGTERM);
  int status = 0;
  ::waitpid(FPid, &status, 0);
  FPid = -1;
}

void TestBroker::Kill() {
  if (!Running()) return;
  ::kill(FPid, SIGKILL);
  int status = 0;
  ::waitpid(FPid, &status, 0);
  FPid = -1;
}
