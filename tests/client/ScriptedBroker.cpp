#include "ScriptedBroker.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {
using Clock = std::chrono::steady_clock;
constexpr int DefaultStepTimeoutMs = 15000; // generous: the machine may be loaded
} // namespace

std::string H(const std::string &hex) {
  std::string out;
  int nibbles = 0, value = 0;
  for (char c : hex) {
    if (c == ' ') continue;
    value = value * 16 + (c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    if (++nibbles == 2) {
      out.push_back(static_cast<char>(value));
      nibbles = value = 0;
    }
  }
  return out;
}

std::string Hex(const std::string &bytes) {
  std::string out;
  char buf[4];
  for (unsigned char b : bytes) {
    std::snprintf(buf, sizeof buf, out.empty() ? "%02X" : " %02X", b);
    out += buf;
  }
  return out;
}

std::string Str(const std::string &s) { return Id(static_cast<std::uint16_t>(s.size())) + s; }

std::string Id(std::uint16_t id) { return {static_cast<char>(id >> 8), static_cast<char>(id & 0xFF)}; }

std::string Pkt(std::uint8_t first, const std::string &body) {
  std::string out(1, static_cast<char>(first));
  std::size_t x = body.size();
  do {
    std::uint8_t digit = x % 128;
    x /= 128;
    if (x > 0) digit |= 0x80;
    out.push_back(static_cast<char>(digit));
  } while (x > 0);
  return out + body;
}

Step AcceptStep(int timeoutMs) { return {.kind = Step::Accept, .ms = timeoutMs, .what = "a connection"}; }
Step ExpectStep(const std::string &bytes, const std::string &what) {
  return {.kind = Step::Expect, .bytes = bytes, .what = what.empty() ? Hex(bytes) : what};
}
Step ExpectCheck(std::function<std::string(const std::string &)> check, const std::string &what) {
  return {.kind = Step::Expect, .check = std::move(check), .what = what};
}
Step SendStep(const std::string &bytes) { return {.kind = Step::Send, .bytes = bytes, .what = Hex(bytes)}; }
Step DoStep(std::function<void()> action) { return {.kind = Step::Do, .action = std::move(action)}; }
Step UntilStep(std::function<bool()> condition, const std::string &what, int timeoutMs) {
  return {.kind = Step::Until, .condition = std::move(condition), .ms = timeoutMs, .what = what};
}
Step QuietStep(int ms) { return {.kind = Step::Quiet, .ms = ms, .what = "silence"}; }
Step DropStep() { return {.kind = Step::Drop, .what = "close"}; }
Step ExpectClosedStep() { return {.kind = Step::ExpectClosed, .what = "the client closing"}; }

ScriptedBroker::ScriptedBroker() {
  FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (FListen < 0 || ::bind(FListen, reinterpret_cast<sockaddr *>(&a), len) != 0 ||
      ::listen(FListen, 8) != 0 || ::getsockname(FListen, reinterpret_cast<sockaddr *>(&a), &len) != 0)
    throw std::runtime_error("scripted broker: cannot listen on 127.0.0.1");
  FPort = ntohs(a.sin_port);
}

ScriptedBroker::~ScriptedBroker() {
  CloseConnection();
  if (FListen >= 0) ::close(FListen);
}

void ScriptedBroker::CloseConnection() {
  if (FConn >= 0) ::close(FConn);
  FConn = -1;
  FRx.clear();
  FRxAt = 0;
  FPending.clear();
  FEof = false;
}

// Runs the client's events, then waits up to pollMs for the peer's sockets and
// reads whatever arrived.
void ScriptedBroker::Pump(int pollMs) {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  pollfd fds[1] = {{FConn, POLLIN, 0}};
  if (FConn < 0 || FEof) {
    ::poll(nullptr, 0, pollMs);
    return;
  }
  if (::poll(fds, 1, pollMs) <= 0) return;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::recv(FConn, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      FRx.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) FEof = true;
    break;
  }
  std::string packet;
  while (TakePacket(packet)) {
    Received.push_back(packet);
    FPending.push_back(packet);
  }
}

bool ScriptedBroker::TakePacket(std::string &packet) {
  std::size_t pos = FRxAt + 1, length = 0, mult = 1;
  for (;; ++pos) {
    if (pos >= FRx.size() || pos > FRxAt + 4) return false;
    const auto b = static_cast<std::uint8_t>(FRx[pos]);
    length += (b & 0x7F) * mult;
    mult *= 128;
    if (!(b & 0x80)) break;
  }
  const std::size_t total = pos + 1 + length - FRxAt;
  if (FRx.size() - FRxAt < total) return false;
  packet = FRx.substr(FRxAt, total);
  FRxAt += total;
  // Consumed bytes are dropped in bulk, so taking packets stays linear.
  if (FRxAt == FRx.size() || (FRxAt > 65536 && FRxAt * 2 > FRx.size())) {
    FRx.erase(0, FRxAt);
    FRxAt = 0;
  }
  return true;
}

bool ScriptedBroker::WaitFor(const std::function<bool()> &cond, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (Clock::now() > deadline) return false;
    Pump(2);
  }
  return true;
}

std::string ScriptedBroker::Run(const Script &script) {
  for (std::size_t i = 0; i < script.size(); ++i) {
    const Step &s = script[i];
    const auto started = Clock::now();
    const int limit = s.ms > 0 && s.kind != Step::Quiet ? s.ms : DefaultStepTimeoutMs;
    const auto deadline = started + std::chrono::milliseconds(limit);
    auto fail = [&](const std::string &why) {
      return "step " + std::to_string(i + 1) + " (" + s.what + "): " + why;
    };
    switch (s.kind) {
    case Step::Accept: {
      for (;;) {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        const int fd = ::accept4(FListen, reinterpret_cast<sockaddr *>(&a), &len, SOCK_CLOEXEC);
        if (fd >= 0) {
          CloseConnection();
          FConn = fd;
          FClientPort = ntohs(a.sin_port);
          ++FConnections;
          break;
        }
        if (Clock::now() > deadline) return fail("no connection");
        Pump(2);
      }
      break;
    }
    case Step::Expect:
      while (FPending.empty()) {
        if (FEof) return fail("connection closed instead");
        if (Clock::now() > deadline) return fail("nothing received");
        Pump(2);
      }
      {
        const std::string got = FPending.front();
        FPending.pop_front();
        if (s.check) {
          const std::string why = s.check(got);
          if (!why.empty()) return fail(why + "; got " + Hex(got));
        } else if (got != s.bytes)
          return fail("got " + Hex(got));
      }
      break;
    case Step::Send: {
      // Never block: the client reading these bytes runs on this thread.
      std::size_t sent = 0;
      while (sent < s.bytes.size()) {
        const ssize_t n = FConn < 0 ? -1
                                    : ::send(FConn, s.bytes.data() + sent, s.bytes.size() - sent,
                                             MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
          sent += static_cast<std::size_t>(n);
        else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) &&
                 Clock::now() < deadline)
          Pump(2);
        else
          return fail("cannot send");
      }
      break;
    }
    case Step::Do:
      s.action();
      break;
    case Step::Until:
      if (!WaitFor(s.condition, limit)) return fail("did not happen");
      break;
    case Step::Quiet:
      while (Clock::now() < started + std::chrono::milliseconds(s.ms)) {
        Pump(2);
        if (!FPending.empty()) return fail("received " + Hex(FPending.front()));
      }
      break;
    case Step::Drop:
      CloseConnection();
      break;
    case Step::ExpectClosed:
      while (!FEof) {
        if (!FPending.empty()) return fail("received " + Hex(FPending.front()));
        if (Clock::now() > deadline) return fail("still open");
        Pump(2);
      }
      if (!FPending.empty()) return fail("received " + Hex(FPending.front()));
      break;
    }
  }
  return {};
}
