#include "TlsServers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "TestBroker.h"

bool WaitForListener(int port, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    ::close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TOpenSslServer::TOpenSslServer(const TestCertificate &cert, const std::vector<std::string> &extraArgs,
                               const std::string &outputFile)
    : FPort(FreeLoopbackPort()) {
  std::vector<std::string> args = {"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(FPort),
                                   "-cert",    cert.CertFile, "-key",  cert.KeyFile, "-rev"};
  if (outputFile.empty()) args.push_back("-quiet");
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  FPid = ::fork();
  if (FPid < 0) throw std::runtime_error("fork failed");
  if (FPid == 0) {
    int null = ::open("/dev/null", O_RDWR);
    int out = outputFile.empty() ? null : ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(null, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::execvp("openssl", argv.data());
    ::_exit(127);
  }
  // The probe connections above are harmless: the reversing server just
  // sees a client that goes away before its handshake.
  if (!WaitForListener(FPort, 20000)) throw std::runtime_error("openssl s_server did not start");
}

TOpenSslServer::~TOpenSslServer() {
  if (FPid > 0) {
    ::kill(FPid, SIGTERM);
    int status;
    ::waitpid(FPid, &status, 0);
  }
}
