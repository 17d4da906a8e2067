#include "LoopbackPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <stdexcept>

// The I/O of one accepted connection, plain or TLS, with time-outs so that
// the thread notices when it is told to stop.
class TConn {
public:
  TConn(int fd, SSL_CTX *ctx, const std::atomic<bool> &stop) : FFd(fd), FStop(stop) {
    // The peer answers at once: its own small writes must not wait for ACKs.
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    timeval tv{0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (ctx) {
      FSsl = SSL_new(ctx);
      SSL_set_fd(FSsl, fd);
    }
  }
  ~TConn() {
    SSL_free(FSsl);
    ::close(FFd);
  }
  // TLS handshake; true when done (always true without TLS).
  bool Accept() {
    if (!FSsl) return true;
    while (!FStop) {
      int r = SSL_accept(FSsl);
      if (r == 1) return true;
      int e = SSL_get_error(FSsl, r);
      if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) break;
    }
    ERR_clear_error();
    return false;
  }
  bool CloseNotifyReceived() const { return FSsl && (SSL_get_shutdown(FSsl) & SSL_RECEIVED_SHUTDOWN); }
  bool SniSeen() const { return FSsl && SSL_get_servername(FSsl, TLSEXT_NAMETYPE_host_name) != nullptr; }
  // >0 bytes, 0 end of stream or error, -1 time-out.
  int Read(char *buf, int size) {
    if (FSsl) {
      int r = SSL_read(FSsl, buf, size);
      if (r > 0) return r;
      int e = SSL_get_error(FSsl, r);
      ERR_clear_error();
      return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ? -1 : 0;
    }
    ssize_t r = ::recv(FFd, buf, static_cast<std::size_t>(size), 0);
    if (r > 0) return static_cast<int>(r);
    return r < 0 && (errno == EAGAIN || errno == EINTR) ? -1 : 0;
  }
  bool Write(const char *data, std::size_t size) {
    while (size > 0 && !FStop) {
      int n;
      if (FSsl) {
        n = SSL_write(FSsl, data, static_cast<int>(size));
        if (n <= 0) {
          int e = SSL_get_error(FSsl, n);
          ERR_clear_error();
          if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) continue;
          return false;
        }
      } else {
        ssize_t r = ::send(FFd, data, size, MSG_NOSIGNAL);
        if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (r <= 0) return false;
        n = static_cast<int>(r);
      }
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return size == 0;
  }
  // An orderly end: close_notify with TLS, then FIN.
  void CloseOrderly() {
    if (FSsl) SSL_shutdown(FSsl);
    ::shutdown(FFd, SHUT_WR);
  }
  void Reset() {
    linger l{1, 0};
    setsockopt(FFd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }

private:
  int FFd;
  const std::atomic<bool> &FStop;
  SSL *FSsl = nullptr;
};

TLoopbackPeer::TLoopbackPeer(TOptions options) : FOptions(std::move(options)) {
  const bool v6 = FOptions.IPv6;
  FListen = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_storage ss{};
  socklen_t len;
  if (v6) {
    auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    len = sizeof *a;
  } else {
    auto *a = reinterpret_cast<sockaddr_in *>(&ss);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof *a;
  }
  if (FListen < 0 || ::bind(FListen, reinterpret_cast<sockaddr *>(&ss), len) != 0 || ::listen(FListen, 64) != 0)
    throw std::runtime_error("loopback peer: cannot listen");
  ::getsockname(FListen, reinterpret_cast<sockaddr *>(&ss), &len);
  FPort = ntohs(v6 ? reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port : reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
  if (FOptions.Tls) {
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx || SSL_CTX_use_certificate_file(ctx, FOptions.Cert.CertFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, FOptions.Cert.KeyFile.c_str(), SSL_FILETYPE_PEM) != 1)
      throw std::runtime_error("loopback peer: cannot load the certificate");
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
    if (!FOptions.Alpn.empty())
      SSL_CTX_set_alpn_select_cb(
          ctx,
          [](SSL *, const unsigned char **out, unsigned char *outlen, const unsigned char *in, unsigned int inlen,
             void *arg) -> int {
            auto *self = static_cast<TLoopbackPeer *>(arg);
            std::string offered;
            int chosen = -1;
            for (unsigned i = 0; i < inlen; i += 1u + in[i]) {
              const std::string name(reinterpret_cast<const char *>(in + i + 1), in[i]);
              offered += (offered.empty() ? "" : ",") + name;
              if (name == self->FOptions.Alpn && chosen < 0) chosen = int(i);
            }
            {
              std::lock_guard<std::mutex> lock(self->FLock);
              self->FAlpnOffered = offered;
            }
            if (chosen < 0) return SSL_TLSEXT_ERR_ALERT_FATAL;
            *out = in + chosen + 1;
            *outlen = in[chosen];
            return SSL_TLSEXT_ERR_OK;
          },
          this);
    FCtx = ctx;
  }
  FThread = std::thread([this] { Run(); });
}

TLoopbackPeer::~TLoopbackPeer() {
  FStop = true;
  FThread.join();
  ::close(FListen);
  SSL_CTX_free(static_cast<SSL_CTX *>(FCtx));
}

std::string TLoopbackPeer::Received() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FReceived;
}

std::size_t TLoopbackPeer::ReceivedSize() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FReceived.size();
}

void TLoopbackPeer::Release() { FReleased = true; }

void TLoopbackPeer::Append(const char *data, std::size_t n) {
  std::lock_guard<std::mutex> lock(FLock);
  FReceived.append(data, n);
}

void TLoopbackPeer::Run() {
  // OpenSSL writes to the socket with plain write(): a client that has gone
  // must give EPIPE here, not kill the test process. Only this thread.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  while (!FStop) {
    pollfd p{FListen, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    int fd = ::accept4(FListen, reinterpret_cast<sockaddr *>(&ss), &len, SOCK_CLOEXEC);
    if (fd < 0) continue;
    FLastClientPort = ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port
                                                     : reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
    ++FAccepted;
    Serve(fd);
    ++FFinished;
  }
}

void TLoopbackPeer::Serve(int fd) {
  const bool tls = FOptions.Tls && FOptions.Mode != TMode::NotTls && FOptions.Mode != TMode::ResetOnData;
  TConn conn(fd, tls ? static_cast<SSL_CTX *>(FCtx) : nullptr, FStop);
  if (!conn.Accept()) return;
  if (conn.SniSeen()) FSniSeen = true;
  std::string buf(65536, '\0');
  auto readAll = [&](bool echo) {
    while (!FStop) {
      int n = conn.Read(buf.data(), static_cast<int>(buf.size()));
      if (n == 0) return;
      if (n < 0) continue;
      Append(buf.data(), static_cast<std::size_t>(n));
      if (echo && !conn.Write(buf.data(), static_cast<std::size_t>(n))) return;
    }
  };
  switch (FOptions.Mode) {
  case TMode::Echo:
    readAll(true);
    if (conn.CloseNotifyReceived()) ++FCloseNotifies;
    conn.CloseOrderly();
    break;
  case TMode::SendThenClose:
    conn.Write(FOptions.Payload.data(), FOptions.Payload.size());
    conn.CloseOrderly();
    readAll(false);
    break;
  case TMode::SendThenDrop:
    conn.Write(FOptions.Payload.data(), FOptions.Payload.size());
    ::shutdown(fd, SHUT_WR);
    readAll(false);
    if (conn.CloseNotifyReceived()) ++FCloseNotifies;
    break;
  case TMode::ResetOnData:
    while (!FStop) {
      int n = conn.Read(buf.data(), static_cast<int>(buf.size()));
      if (n == 0) break;
      if (n > 0) {
        Append(buf.data(), static_cast<std::size_t>(n));
        break;
      }
    }
    conn.Reset();
    break;
  case TMode::SlowReader:
    while (!FStop && !FReleased) ::usleep(10000);
    readAll(false);
    break;
  case TMode::NotTls:
    conn.Write(FOptions.Payload.data(), FOptions.Payload.size());
    readAll(false);
    break;
  case TMode::WebSocket: ServeWebSocket(conn); break;
  }
}

std::string TLoopbackPeer::AlpnOffered() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FAlpnOffered;
}

std::string TLoopbackPeer::WsRequest() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FWsRequest;
}

std::vector<std::string> TLoopbackPeer::WsFrames() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FWsFrames;
}

std::string TLoopbackPeer::WsFrame(int opcode, const std::string &payload, bool fin) {
  std::string f(1, static_cast<char>((fin ? 0x80 : 0) | opcode));
  const std::size_t n = payload.size();
  if (n < 126) {
    f += static_cast<char>(n);
  } else if (n < 65536) {
    f += '\x7e';
    f += static_cast<char>(n >> 8);
    f += static_cast<char>(n & 0xff);
  } else {
    f += '\x7f';
    for (int i = 7; i >= 0; --i) f += static_cast<char>((n >> (8 * i)) & 0xff);
  }
  return f + payload;
}

// Written from RFC 6455 alone, to check the client's framing independently.
void TLoopbackPeer::ServeWebSocket(TConn &conn) {
  std::string in;
  char buf[65536];
  auto fill = [&](std::size_t want) {
    while (in.size() < want && !FStop) {
      int n = conn.Read(buf, sizeof buf);
      if (n == 0) return false;
      if (n > 0) in.append(buf, static_cast<std::size_t>(n));
    }
    return in.size() >= want;
  };
  std::size_t end;
  while ((end = in.find("\r\n\r\n")) == std::string::npos)
    if (!fill(in.size() + 1)) return;
  const std::string request = in.substr(0, end + 4);
  in.erase(0, end + 4);
  {
    std::lock_guard<std::mutex> lock(FLock);
    FWsRequest = request;
  }
  std::string answer = FOptions.WsAnswer;
  if (answer.empty()) {
    auto header = [&](const std::string &name) {
      const std::size_t at = request.find("\r\n" + name + ": ");
      if (at == std::string::npos) return std::string();
      const std::size_t from = at + 4 + name.size();
      return request.substr(from, request.find("\r\n", from) - from);
    };
    const std::string key = header("Sec-WebSocket-Key") + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char *>(key.data()), key.size(), digest);
    unsigned char accept[64];
    EVP_EncodeBlock(accept, digest, SHA_DIGEST_LENGTH);
    answer = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
             "Sec-WebSocket-Accept: " + std::string(reinterpret_cast<char *>(accept)) + "\r\n";
    if (!header("Sec-WebSocket-Protocol").empty())
      answer += "Sec-WebSocket-Protocol: " + header("Sec-WebSocket-Protocol") + "\r\n";
    answer += "\r\n";
  }
  conn.Write(answer.data(), answer.size());
  if (answer.find(" 101 ") == std::string::npos) {
    conn.CloseOrderly();
    return;
  }
  conn.Write(FOptions.Payload.data(), FOptions.Payload.size());
  auto note = [&](const std::string &frame) {
    std::lock_guard<std::mutex> lock(FLock);
    FWsFrames.push_back(frame);
  };
  for (;;) {
    if (!fill(2)) break;
    const int opcode = in[0] & 0x0f;
    const bool masked = in[1] & 0x80;
    std::size_t len = in[1] & 0x7f, head = 2;
    if (len == 126) {
      if (!fill(4)) break;
      len = std::size_t(std::uint8_t(in[2])) << 8 | std::uint8_t(in[3]);
      head = 4;
    } else if (len == 127) {
      if (!fill(10)) break;
      len = 0;
      for (int i = 2; i < 10; ++i) len = len << 8 | std::uint8_t(in[i]);
      head = 10;
    }
    if (!masked) FWsUnmasked = true;
    const std::size_t maskAt = head;
    if (masked) head += 4;
    if (!fill(head + len)) break;
    std::string payload = in.substr(head, len);
    if (masked)
      for (std::size_t i = 0; i < len; ++i) payload[i] = static_cast<char>(payload[i] ^ in[maskAt + i % 4]);
    in.erase(0, head + len);
    if (opcode == 0x2 || opcode == 0x0) {
      note("binary " + std::to_string(len));
      Append(payload.data(), payload.size());
      const std::string echo = WsFrame(0x2, payload);
      conn.Write(echo.data(), echo.size());
    } else if (opcode == 0x8) {
      const int code = len >= 2 ? (std::uint8_t(payload[0]) << 8 | std::uint8_t(payload[1])) : 1005;
      note("close " + std::to_string(code));
      const std::string reply = WsFrame(0x8, payload.substr(0, 2));
      conn.Write(reply.data(), reply.size());
      break;
    } else if (opcode == 0xA) {
      note("pong " + payload);
    } else {
      note("opcode " + std::to_string(opcode));
    }
  }
  if (conn.CloseNotifyReceived()) ++FCloseNotifies;
  conn.CloseOrderly();
  // Until the client has closed too.
  while (!FStop && conn.Read(buf, sizeof buf) != 0) {
  }
}
