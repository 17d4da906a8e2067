#pragma once
// A real proxy program on 127.0.0.1 on a free port, in the foreground, stopped
// with the object: tinyproxy (HTTP CONNECT, "tinyproxy-auth" with the user
// bob and the password secret), microsocks (SOCKS5, "microsocks-auth" with the
// user al and the password pw) or "dante" (a SOCKS5 server whose rules refuse
// every connection).

#include <string>
#include <sys/types.h>

class ProxyServer {
public:
  // Configuration and logs go to dir. Throws std::runtime_error when the
  // program does not start listening.
  ProxyServer(const std::string &dir, const std::string &kind);
  ~ProxyServer();
  ProxyServer(const ProxyServer &) = delete;
  ProxyServer &operator=(const ProxyServer &) = delete;

  int Port() const { return FPort; }
  // Url with PORT replaced by the proxy's port.
  std::string Url(std::string url) const;

private:
  int FPort;
  pid_t FPid = -1;
};
