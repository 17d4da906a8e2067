#include "ProxyServer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "TestBroker.h"

namespace {

std::string WriteConfig(const std::string &dir, const std::string &name, const std::string &text) {
  const std::string path = dir + "/" + name;
  WriteFileBytes(path, text);
  return path;
}

} // namespace

ProxyServer::ProxyServer(const std::string &dir, const std::string &kind) : FPort(FreeLoopbackPort()) {
  const std::string port = std::to_string(FPort);
  std::vector<std::string> argv;
  if (kind == "tinyproxy" || kind == "tinyproxy-auth") {
    argv = {"tinyproxy", "-d", "-c",
            WriteConfig(dir, kind + ".conf",
                        "Port " + port + "\nListen 127.0.0.1\nTimeout 60\nMaxClients 20\n" +
                            (kind == "tinyproxy-auth" ? "BasicAuth bob secret\n" : ""))};
  } else if (kind == "microsocks") {
    argv = {"microsocks", "-i", "127.0.0.1", "-p", port};
  } else if (kind == "microsocks-auth") {
    argv = {"microsocks", "-i", "127.0.0.1", "-p", port, "-u", "al", "-P", "pw"};
  } else if (kind == "dante") {
    argv = {"danted", "-f",
            WriteConfig(dir, "dante.conf",
                        "logoutput: " + dir + "/dante.log\ninternal: 127.0.0.1 port = " + port +
                            "\nexternal: 127.0.0.1\nsocksmethod: none\nclientmethod: none\n"
                            "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                            "socks block { from: 0.0.0.0/0 to: 0.0.0.0/0 }\n"),
            "-p", dir + "/dante.pid"};
  } else {
    throw std::runtime_error("no proxy of the kind '" + kind + "'");
  }
  FPid = ::fork();
  if (FPid < 0) throw std::runtime_error("fork failed");
  if (FPid == 0) {
    const int log = ::open((dir + "/" + kind + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(log, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
    std::vector<char *> args;
    for (auto &a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!LoopbackPortAccepts(FPort)) {
    int status = 0;
    if (::waitpid(FPid, &status, WNOHANG) == FPid || std::chrono::steady_clock::now() > deadline) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
      FPid = -1;
      throw std::runtime_error(kind + " did not start listening");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

ProxyServer::~ProxyServer() {
  if (FPid <= 0) return;
  ::kill(FPid, SIGTERM);
  // A proxy busy closing its tunnels gets a moment, then no more.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (::waitpid(FPid, nullptr, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string ProxyServer::Url(std::string url) const {
  if (const auto at = url.find("PORT"); at != std::string::npos) url.replace(at, 4, std::to_string(FPort));
  return url;
}
