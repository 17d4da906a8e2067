#pragma once
// A real TCP peer on 127.0.0.1 (or ::1) for the transport tests, run on its
// own thread with blocking sockets: it accepts connections one after another
// and plays one role on each, optionally inside TLS (OpenSSL server mode).

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestCerts.h"

class TConn;

class TLoopbackPeer {
public:
  enum class TMode {
    Echo,           // sends back whatever arrives, until the client closes
    SendThenClose,  // sends Payload, then closes in order (TLS: close_notify first)
    SendThenDrop,   // sends Payload, then ends TCP without a TLS close_notify
    ResetOnData,    // resets the connection as soon as the first bytes arrive (never TLS)
    SlowReader,     // reads nothing until Release(), then everything
    NotTls,         // answers with Payload as plain bytes (never TLS), then reads
    WebSocket,      // a WebSocket server: answers the upgrade with WsAnswer, sends Payload (raw frames), then
                    // reads the client's frames, echoes their payload in one frame each and answers a close
  };
  struct TOptions {
    TMode Mode = TMode::Echo;
    std::string Payload;
    bool Tls = false;
    TestCertificate Cert;  // needed with Tls
    bool IPv6 = false;
    // WebSocket: the upgrade answer; empty: "101 Switching Protocols" with the
    // right accept key and the protocol asked for.
    std::string WsAnswer;
    // TLS: the one application protocol (ALPN) the peer takes; empty: no ALPN.
    std::string Alpn;
  };

  explicit TLoopbackPeer(TOptions options);
  ~TLoopbackPeer();
  TLoopbackPeer(const TLoopbackPeer &) = delete;
  TLoopbackPeer &operator=(const TLoopbackPeer &) = delete;

  int Port() const { return FPort; }
  int Accepted() const { return FAccepted; }
  int Finished() const { return FFinished; }
  // Every byte received so far (plaintext with TLS), all connections together.
  std::string Received() const;
  std::size_t ReceivedSize() const;
  // The remote port of the last accepted connection.
  int LastClientPort() const { return FLastClientPort; }
  // TLS connections on which the client's close_notify arrived.
  int CloseNotifies() const { return FCloseNotifies; }
  // Whether any TLS client sent a server name.
  bool SniSeen() const { return FSniSeen; }
  void Release();
  // WebSocket: the last upgrade request, and the client's frames in order as
  // "binary <size>", "close <code>", "pong <payload>"; whether one came unmasked.
  std::string WsRequest() const;
  std::vector<std::string> WsFrames() const;
  bool WsUnmaskedSeen() const { return FWsUnmasked; }
  // TLS with Alpn: the names the last client offered, comma-separated.
  std::string AlpnOffered() const;
  // A server frame (unmasked), for Payload.
  static std::string WsFrame(int opcode, const std::string &payload, bool fin = true);

private:
  void Run();
  void Serve(int fd);
  void Append(const char *data, std::size_t n);
  void ServeWebSocket(TConn &conn);

  TOptions FOptions;
  int FListen = -1;
  int FPort = 0;
  std::atomic<bool> FStop{false};
  std::atomic<bool> FReleased{false};
  std::atomic<int> FAccepted{0};
  std::atomic<int> FFinished{0};
  std::atomic<int> FLastClientPort{0};
  std::atomic<bool> FSniSeen{false};
  std::atomic<int> FCloseNotifies{0};
  mutable std::mutex FLock;
  std::string FReceived;
  std::string FWsRequest;
  std::string FAlpnOffered;
  std::vector<std::string> FWsFrames;
  std::atomic<bool> FWsUnmasked{false};
  void *FCtx = nullptr;  // SSL_CTX of the TLS server
  std::thread FThread;
};
