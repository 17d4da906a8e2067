// Pushes 256 MiB through a loopback connection and prints MB/s side by side:
// a minimal blocking send/recv loop (the ceiling on this machine), then
// TWSocket sending and receiving, plain and TLS, against a blocking peer
// thread. The last two lines give the ratios to the ceiling.

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

#include "TWSocket.h"
#include "TestCerts.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t Total = 256u << 20;
constexpr std::size_t Chunk = 64u << 10;

double MBps(std::size_t bytes, Clock::duration d) {
  return static_cast<double>(bytes) / 1e6 / std::chrono::duration<double>(d).count();
}

int Listen(int &port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr *>(&a), len) != 0 || ::listen(fd, 4) != 0)
    throw std::runtime_error("cannot listen on loopback");
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

// The far end: accepts one connection (TLS when ctx is given) and either
// swallows Total bytes or sends them and closes. Records when it finished.
class TPeer {
public:
  TPeer(bool source, SSL_CTX *ctx) : FListen(Listen(FPort)) {
    FThread = std::thread([this, source, ctx] { Run(source, ctx); });
  }
  ~TPeer() {
    FThread.join();
    ::close(FListen);
  }
  int Port() const { return FPort; }
  bool Done() const { return FDone; }
  Clock::time_point End() const { return FEnd; }

private:
  void Run(bool source, SSL_CTX *ctx) {
    int fd = ::accept(FListen, nullptr, nullptr);
    SSL *ssl = nullptr;
    if (ctx) {
      ssl = SSL_new(ctx);
      SSL_set_fd(ssl, fd);
      if (SSL_accept(ssl) != 1) std::abort();
    }
    std::string buf(Chunk, 'p');
    std::size_t moved = 0;
    while (moved < Total) {
      int want = static_cast<int>(std::min(Chunk, Total - moved));
      long n = source ? (ssl ? SSL_write(ssl, buf.data(), want) : ::send(fd, buf.data(), want, MSG_NOSIGNAL))
                      : (ssl ? SSL_read(ssl, buf.data(), want) : ::recv(fd, buf.data(), want, 0));
      if (n <= 0) break;
      moved += static_cast<std::size_t>(n);
    }
    FEnd = Clock::now();
    FDone = true;
    if (!source) {
      // Wait for the client to close, so it never writes into a reset.
      while ((ssl ? SSL_read(ssl, buf.data(), 1) : ::recv(fd, buf.data(), 1, 0)) > 0) {
      }
    }
    if (ssl) {
      SSL_shutdown(ssl);
      SSL_free(ssl);
    }
    ::close(fd);
  }

  int FPort = 0;
  int FListen;
  std::atomic<bool> FDone{false};
  Clock::time_point FEnd;
  std::thread FThread;
};

void RunLoopUntil(const std::function<bool()> &cond) {
  while (!cond()) {
    QEventLoop loop;
    QTimer::singleShot(1, &loop, &QEventLoop::quit);
    loop.exec();
  }
}

double Ceiling() {
  int port;
  int lfd = Listen(port);
  Clock::time_point start, end;
  std::thread receiver([&] {
    int fd = ::accept(lfd, nullptr, nullptr);
    std::string buf(Chunk, '\0');
    std::size_t got = 0;
    while (got < Total) {
      ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    end = Clock::now();
    ::close(fd);
  });
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  start = Clock::now();
  if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) throw std::runtime_error("connect");
  std::string buf(Chunk, 'c');
  for (std::size_t sent = 0; sent < Total;) {
    ssize_t n = ::send(fd, buf.data(), std::min(Chunk, Total - sent), MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  receiver.join();
  ::close(fd);
  ::close(lfd);
  return MBps(Total, end - start);
}

// TWSocket sends Total bytes, refilling its queue whenever it has drained.
double WSocketSend(TSslContext *ctx, SSL_CTX *peerCtx) {
  TPeer peer(false, peerCtx);
  TWSocket s;
  s.SetSslContext(ctx);
  s.SetSslEnable(ctx != nullptr);
  const std::string block(1u << 20, 's');
  std::size_t queued = 0;
  auto refill = [&](TWSocket *sender) {
    for (int i = 0; i < 4 && queued < Total; ++i) {
      std::size_t n = std::min(block.size(), Total - queued);
      sender->Send(block.data(), static_cast<int>(n));
      queued += n;
    }
  };
  Clock::time_point start;
  s.OnSessionConnected = [&](TWSocket *sender, std::uint16_t code) {
    if (code != 0) throw std::runtime_error("connect failed");
    refill(sender);
  };
  s.OnDataSent = [&](TWSocket *sender, std::uint16_t) { refill(sender); };
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(peer.Port()));
  start = Clock::now();
  s.Connect();
  RunLoopUntil([&] { return peer.Done(); });
  double r = MBps(Total, peer.End() - start);
  s.Close();
  RunLoopUntil([&] { return s.State() == wsClosed; });
  return r;
}

// TWSocket receives Total bytes with ReceiveStrA, as the MQTT client does.
double WSocketReceive(TSslContext *ctx, SSL_CTX *peerCtx) {
  TPeer peer(true, peerCtx);
  TWSocket s;
  s.SetSslContext(ctx);
  s.SetSslEnable(ctx != nullptr);
  std::size_t got = 0;
  Clock::time_point start, end;
  s.OnDataAvailable = [&](TWSocket *sender, std::uint16_t) {
    got += sender->ReceiveStrA().size();
    if (got >= Total && end == Clock::time_point()) end = Clock::now();
  };
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(peer.Port()));
  start = Clock::now();
  s.Connect();
  RunLoopUntil([&] { return got >= Total; });
  s.Close();
  RunLoopUntil([&] { return s.State() == wsClosed; });
  return MBps(Total, end - start);
}

}  // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  // The peers write with OpenSSL's plain write(); a client that has already
  // reset the connection must give them EPIPE, not end the program.
  std::signal(SIGPIPE, SIG_IGN);
  const char *tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/vyr-transport-bench-XXXXXX";
  if (!mkdtemp(dir.data())) return 1;
  TestCertificate cert = MakeSelfSignedCertificate(dir);
  SSL_CTX *server = SSL_CTX_new(TLS_server_method());
  SSL_CTX_use_certificate_file(server, cert.CertFile.c_str(), SSL_FILETYPE_PEM);
  SSL_CTX_use_PrivateKey_file(server, cert.KeyFile.c_str(), SSL_FILETYPE_PEM);
  // AES-GCM, as a broker would normally choose.
  SSL_CTX_set_ciphersuites(server, "TLS_AES_128_GCM_SHA256");
  TSslContext ctx;

  // The machine is shared: every figure is the best of a few rounds, each
  // round measuring all five transfers one after the other.
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  double ceiling = 0, plainSend = 0, plainRecv = 0, tlsSend = 0, tlsRecv = 0;
  for (int i = 0; i < rounds; ++i) {
    ceiling = std::max(ceiling, Ceiling());
    plainSend = std::max(plainSend, WSocketSend(nullptr, nullptr));
    plainRecv = std::max(plainRecv, WSocketReceive(nullptr, nullptr));
    tlsSend = std::max(tlsSend, WSocketSend(&ctx, server));
    tlsRecv = std::max(tlsRecv, WSocketReceive(&ctx, server));
  }
  std::printf("256 MiB through 127.0.0.1, MB/s, best of %d rounds\n", rounds);
  std::printf("  %-44s %9.0f\n", "ceiling: blocking send/recv, 64 KiB", ceiling);
  std::printf("  %-44s %9.0f\n", "TWSocket plain, sending", plainSend);
  std::printf("  %-44s %9.0f\n", "TWSocket plain, receiving", plainRecv);
  std::printf("  %-44s %9.0f\n", "TWSocket TLS 1.3 AES-128-GCM, sending", tlsSend);
  std::printf("  %-44s %9.0f\n", "TWSocket TLS 1.3 AES-128-GCM, receiving", tlsRecv);
  // The slower direction counts.
  std::printf("plain/ceiling: %.2f\n", std::min(plainSend, plainRecv) / ceiling);
  std::printf("tls/ceiling: %.2f\n", std::min(tlsSend, tlsRecv) / ceiling);
  SSL_CTX_free(server);
  std::system(("rm -rf '" + dir + "'").c_str());
  return 0;
}
