// A subscriber killed right after it acknowledged messages must have written
// every one of them: the broker lets go of a QoS 1 message at its PUBACK, so
// a line still in the program's buffer then is lost for good. The messages
// come in one burst larger than one parsing pass takes, so that the last of
// them are handled in later passes of the event loop.

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <sstream>

#include "CliHarness.h"
#include "TestBroker.h"

namespace {

constexpr int Messages = 4000; // about 150 KB of PUBLISH packets

std::string RemainingLength(std::size_t n) {
  std::string out;
  do {
    char d = char(n % 128);
    n /= 128;
    if (n) d = char(d | 0x80);
    out += d;
  } while (n);
  return out;
}

// A minimal broker end: reads whole packets from one accepted connection.
struct RawPeer {
  int Fd = -1;
  std::string Rx;

  ~RawPeer() {
    if (Fd >= 0) ::close(Fd);
  }
  bool Fill(int timeoutMs) {
    pollfd p{Fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    char buf[65536];
    const ssize_t n = ::recv(Fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    Rx.append(buf, std::size_t(n));
    return true;
  }
  // The next packet (first byte and body), or false at the deadline.
  bool Next(std::uint8_t &first, std::string &body, int timeoutMs = 10000) {
    for (;;) {
      std::size_t len = 0, at = 1;
      for (int shift = 0; at < Rx.size() && at < 5; ++at, shift += 7) {
        len |= std::size_t(std::uint8_t(Rx[at]) & 0x7F) << shift;
        if (!(std::uint8_t(Rx[at]) & 0x80)) break;
      }
      if (at < Rx.size() && Rx.size() >= at + 1 + len) {
        first = std::uint8_t(Rx[0]);
        body = Rx.substr(at + 1, len);
        Rx.erase(0, at + 1 + len);
        return true;
      }
      if (!Fill(timeoutMs)) return false;
    }
  }
  void Send(const std::string &bytes) const {
    ASSERT_EQ(::send(Fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
  }
};

TEST(AcknowledgedOutput, SubscriberKilledAfterItsPubAcksHasPrintedEveryMessage) {
  int port = 0;
  const int listener = ListenOnLoopback(1, port);
  Proc sub(CliPath(), CliArgs("sub", port, {"-t", "burst/#", "-q", "1"}));
  sub.Start();
  RawPeer peer;
  pollfd p{listener, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 20000), 1);
  peer.Fd = ::accept(listener, nullptr, nullptr);
  ::close(listener);
  std::uint8_t first = 0;
  std::string body;
  ASSERT_TRUE(peer.Next(first, body));
  ASSERT_EQ(first, 0x10) << "CONNECT";
  peer.Send(std::string("\x20\x02\x00\x00", 4));
  ASSERT_TRUE(peer.Next(first, body));
  ASSERT_EQ(first & 0xF0, 0x80) << "SUBSCRIBE";
  peer.Send(std::string("\x90\x03", 2) + body.substr(0, 2) + "\x01");

  std::string burst;
  for (int n = 1; n <= Messages; ++n) {
    const std::string packet = std::string("\x00\x08", 2) + "burst/ab" + char(n >> 8) + char(n & 0xFF) +
                               "message number " + std::to_string(n);
    burst += "\x32" + RemainingLength(packet.size()) + packet;
  }
  peer.Send(burst);
  std::set<int> acked;
  // Its output is read meanwhile: a subscriber whose output cannot be
  // written holds its acknowledgements back.
  for (int quietSpells = 0; int(acked.size()) < Messages && quietSpells < 500;) {
    if (!peer.Next(first, body, 20)) {
      ++quietSpells;
      sub.WaitForOutLines(Messages, 1);
    } else if (first == 0x40)
      acked.insert(std::uint8_t(body[0]) << 8 | std::uint8_t(body[1]));
  }
  ASSERT_EQ(int(acked.size()), Messages);
  // Killed the moment the last acknowledgement is in: no chance to flush now.
  sub.Signal(SIGKILL);
  std::istringstream out(sub.Wait(10000).Out);
  std::set<std::string> printed;
  for (std::string line; std::getline(out, line);) printed.insert(line);
  int missing = 0;
  for (int n = 1; n <= Messages; ++n) missing += !printed.count("message number " + std::to_string(n));
  EXPECT_EQ(missing, 0) << "acknowledged but not written";
}

} // namespace
