// A connection attempt that stalls (no TCP connection, no TLS handshake, no
// CONNACK) is given up after the client's AttemptTimeout with a monitor line
// naming the step, and the client stays enabled to try again.

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <vector>

#include "ClientSession.h"
#include "TestBroker.h"
#include "TSslContext.h"
#include "TWSocket.h"

namespace {

// A listener on 127.0.0.1 that never accepts. The kernel still completes
// connections into its queue, so a client connects and then hears nothing;
// with the queue filled up first, further connections get no answer at all.
class MuteListener {
public:
  explicit MuteListener(bool fillQueue) {
    FListen = ListenOnLoopback(0, FPort);
    if (!fillQueue) return;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(std::uint16_t(FPort));
    for (int i = 0; i < 3; ++i) {
      int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      ::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
      FFillers.push_back(s);
    }
    // Let the fillers' handshakes settle into the queue.
    WaitUntil([] { return false; }, 200);
  }
  ~MuteListener() {
    for (int s : FFillers) ::close(s);
    ::close(FListen);
  }
  int Port() const { return FPort; }

private:
  int FListen = -1;
  int FPort = 0;
  std::vector<int> FFillers;
};

struct StalledStep {
  const char *name;
  bool fillQueue; // the TCP connection itself never completes
  bool tls;
  const char *reason; // the start of the monitor line; %d stands for the port
};

void PrintTo(const StalledStep &s, std::ostream *os) { *os << s.name; }

class AttemptBound : public testing::TestWithParam<StalledStep> {};

TEST_P(AttemptBound, GivesUpTheAttemptWithItsReason) {
  const StalledStep &step = GetParam();
  MuteListener listener(step.fillQueue);
  TSslContext ssl;
  RecordedClient r;
  TMQTTClient &c = r.C();
  c.SetHost("127.0.0.1");
  c.SetPort(listener.Port());
  c.SetClientID("bound");
  c.SetKeepAlive(0);
  c.SetAttemptTimeout(500);
  if (step.tls) {
    c.Link->SetSslContext(&ssl);
    c.Link->SetSslEnable(true);
  }
  c.Activate(true);
  char reason[128];
  std::snprintf(reason, sizeof reason, step.reason, listener.Port());
  const std::string line = std::string(reason) + " within 0.5 s; closing the connection.";
  ASSERT_TRUE(WaitUntil([&] { return r.Has(line); }, 10000)) << "monitor lines:" << r.Transcript();
  EXPECT_TRUE(WaitUntil([&] { return c.Link->State() == wsClosed; }, 2000)) << "the attempt is closed";
  EXPECT_TRUE(c.Enabled()) << "the client tries again after the usual delay";
  EXPECT_EQ(r.Onlines, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Stalls, AttemptBound,
    testing::Values(StalledStep{"NoTcpConnection", true, false, "No TCP connection to 127.0.0.1 on Port %d"},
                    StalledStep{"NoTlsHandshake", false, true, "No TLS handshake with 127.0.0.1"},
                    StalledStep{"NoConnAck", false, false, "No CONNACK from 127.0.0.1"}),
    [](const testing::TestParamInfo<StalledStep> &info) { return std::string(info.param.name); });

} // namespace
