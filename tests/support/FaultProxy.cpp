#include "FaultProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace {

// Small pieces: a cut then lands inside a packet more often than not.
constexpr std::size_t Piece = 61;

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  return a;
}

// Ends a socket with a reset, as a broken network or a killed peer would.
void Reset(int fd) {
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(fd);
}

} // namespace

FaultProxy::FaultProxy(int targetPort) : FTargetPort(targetPort) {
  FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(0);
  socklen_t len = sizeof a;
  if (FListen < 0 || ::bind(FListen, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(FListen, 16) != 0 ||
      ::getsockname(FListen, reinterpret_cast<sockaddr *>(&a), &len) != 0 || ::pipe(FWake) != 0)
    throw std::runtime_error("FaultProxy: cannot listen on 127.0.0.1");
  FPort = ntohs(a.sin_port);
  FThread = std::thread([this] { Run(); });
}

FaultProxy::~FaultProxy() {
  FStop = true;
  char b = 1;
  [[maybe_unused]] ssize_t n = ::write(FWake[1], &b, 1);
  FThread.join();
  ::close(FListen);
  ::close(FWake[0]);
  ::close(FWake[1]);
}

void FaultProxy::Cut() {
  FCutRequested = true;
  char b = 1;
  [[maybe_unused]] ssize_t n = ::write(FWake[1], &b, 1);
}

void FaultProxy::CloseAll() {
  for (const Link &l : FActive) {
    Reset(l.Client);
    Reset(l.Target);
  }
  FActive.clear();
  FLinks = 0;
}

void FaultProxy::Run() {
  while (!FStop) {
    if (FCutRequested.exchange(false)) CloseAll();
    std::vector<pollfd> fds{{FListen, POLLIN, 0}, {FWake[0], POLLIN, 0}};
    if (!FStalled)
      for (const Link &l : FActive) {
        fds.push_back({l.Client, POLLIN, 0});
        fds.push_back({l.Target, POLLIN, 0});
      }
    if (::poll(fds.data(), fds.size(), 20) < 0) continue;
    if (fds[1].revents & POLLIN) {
      char drain[64];
      [[maybe_unused]] ssize_t n = ::read(FWake[0], drain, sizeof drain);
    }
    if (fds[0].revents & POLLIN) {
      const int client = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) {
        const int target = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = Loopback(FTargetPort);
        if (::connect(target, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
          const int one = 1;
          ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          ::setsockopt(target, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          FActive.push_back({client, target});
          FLinks = static_cast<int>(FActive.size());
        } else {
          Reset(client);
          ::close(target);
        }
      }
    }
    // Relay one piece per readable end and pass; an end that closes takes its link with it.
    for (std::size_t i = 2; i + 1 < fds.size(); i += 2) {
      const Link link = FActive[(i - 2) / 2];
      bool gone = false;
      for (int side = 0; side < 2 && !gone; ++side) {
        if (!(fds[i + side].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const int from = side == 0 ? link.Client : link.Target, to = side == 0 ? link.Target : link.Client;
        char buf[Piece];
        const ssize_t n = ::recv(from, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
          gone = true;
        else if (n > 0)
          gone = ::send(to, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n;
      }
      if (gone) {
        Reset(link.Client);
        Reset(link.Target);
        FActive[(i - 2) / 2] = {-1, -1};
      }
    }
    std::erase_if(FActive, [](const Link &l) { return l.Client < 0; });
    FLinks = static_cast<int>(FActive.size());
  }
  CloseAll();
}
