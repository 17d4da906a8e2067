#include "AedesBroker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "TestBroker.h"

namespace {

void StopChild(pid_t pid, int sig) {
  ::kill(pid, sig);
  int status = 0;
  ::waitpid(pid, &status, 0);
}

} // namespace

AedesBroker::AedesBroker() : AedesBroker("tcp") {}

AedesBroker::AedesBroker(const std::string &mode, const std::string &certFile, const std::string &keyFile, int port) {
  const std::string script = std::string(VYR_BROKERS_DIR) + "/aedes-broker.mjs";
  if (::access((std::string(VYR_BROKERS_DIR) + "/node_modules/aedes").c_str(), R_OK) != 0)
    throw std::runtime_error("aedes is not installed: run npm install in " VYR_BROKERS_DIR);
  FDir = MakeTempDir("vyr-aedes");
  FPort = port ? port : FreeLoopbackPort();
  const std::string portText = std::to_string(FPort);
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int log = ::open((FDir + "/aedes.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(log, STDOUT_FILENO);
    if (mode == "tcp")
      ::execlp("node", "node", script.c_str(), portText.c_str(), static_cast<char *>(nullptr));
    else
      ::execlp("node", "node", script.c_str(), portText.c_str(), mode.c_str(), certFile.c_str(), keyFile.c_str(),
               static_cast<char *>(nullptr));
    ::_exit(127);
  }
  FPid = pid;
  // Node takes a while to start on a loaded machine.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!LoopbackPortAccepts(FPort)) {
    int status = 0;
    if (::waitpid(FPid, &status, WNOHANG) == FPid) {
      FPid = -1;
      throw std::runtime_error("aedes exited at start");
    }
    if (std::chrono::steady_clock::now() > deadline) {
      StopChild(FPid, SIGKILL);
      FPid = -1;
      throw std::runtime_error("aedes did not start listening");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

AedesBroker::~AedesBroker() {
  if (FPid > 0) StopChild(FPid, SIGTERM);
  RunShell("rm -rf '" + FDir + "'");
}
