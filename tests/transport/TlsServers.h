#pragma once
// External TLS servers for the transport tests: "openssl s_server" in its
// line-reversing mode, on a free loopback port with a given certificate.

#include <sys/types.h>

#include <string>
#include <vector>

#include "TestCerts.h"

class TOpenSslServer {
public:
  // extraArgs are added to the command line; with outputFile set, the
  // server's output goes there (else it is discarded).
  explicit TOpenSslServer(const TestCertificate &cert, const std::vector<std::string> &extraArgs = {},
                          const std::string &outputFile = {});
  ~TOpenSslServer();
  TOpenSslServer(const TOpenSslServer &) = delete;
  TOpenSslServer &operator=(const TOpenSslServer &) = delete;
  int Port() const { return FPort; }

private:
  int FPort = 0;
  pid_t FPid = -1;
};

// Waits until something accepts connections on 127.0.0.1:port.
bool WaitForListener(int port, int timeoutMs);
