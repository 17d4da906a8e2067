#pragma once
// A real aedes broker (Node.js) for interoperability tests: started on
// 127.0.0.1 on a free port by tests/brokers/aedes-broker.mjs, stopped when the
// object goes away. Needs node and the packages of tests/brokers installed.

#include <string>
#include <sys/types.h>

class AedesBroker {
public:
  // Waits until the port accepts connections; throws std::runtime_error on failure.
  AedesBroker();
  // MQTT over WebSocket: mode "ws", or "wss" with a certificate and its key.
  // port 0: a free one.
  explicit AedesBroker(const std::string &mode, const std::string &certFile = {}, const std::string &keyFile = {},
                       int port = 0);
  ~AedesBroker();
  AedesBroker(const AedesBroker &) = delete;
  AedesBroker &operator=(const AedesBroker &) = delete;

  int Port() const { return FPort; }
  // The launcher's output: "subscribed CLIENTID FILTER" for each subscription,
  // "disconnected CLIENTID" for each client that has gone.
  std::string LogFile() const { return FDir + "/aedes.log"; }

private:
  std::string FDir;
  int FPort = 0;
  pid_t FPid = -1;
};
