// A thousand connections, plain and TLS, must leave no file descriptor
// behind (counted here) and no memory (LeakSanitizer in the Asan build).

#include <gtest/gtest.h>

#include <dirent.h>

#include "EventLog.h"
#include "LoopbackPeer.h"
#include "TestBroker.h"

namespace {

using TMode = TLoopbackPeer::TMode;

int OpenFds() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  while (dirent *e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n - 1;  // the directory itself
}

// Runs the cycles from the event loop: connect, send a byte, wait for its
// echo, end the connection, start the next one.
class TCycler {
public:
  TCycler(int port, TSslContext *ctx, bool freshSocket, int cycles)
      : FPort(port), FCtx(ctx), FFresh(freshSocket), FCycles(cycles) {}

  void Start() { Next(); }
  int Done() const { return FDone; }
  int Failures() const { return FFailures; }

private:
  void Next() {
    if (FDone == FCycles) {
      FSocket.reset();
      return;
    }
    if (!FSocket || FFresh) FSocket = std::make_unique<TWSocket>();
    TWSocket &s = *FSocket;
    s.SetSslContext(FCtx);
    s.SetSslEnable(FCtx != nullptr);
    s.OnSessionConnected = [this](TWSocket *sender, std::uint16_t code) {
      if (code != 0) {
        ++FFailures;
        return;
      }
      sender->SendStr("x");
    };
    s.OnDataAvailable = [this](TWSocket *sender, std::uint16_t) {
      if (sender->ReceiveStrA() != "x") ++FFailures;
      if (FFresh) {
        // Freed while connected: no event, nothing left behind.
        ++FDone;
        QTimer::singleShot(0, [this] { Next(); });
      } else {
        sender->CloseDelayed();
      }
    };
    s.OnSessionClosed = [this](TWSocket *, std::uint16_t code) {
      if (code != 0 || FFresh) ++FFailures;
      ++FDone;
      QTimer::singleShot(0, [this] { Next(); });
    };
    Target(s, FPort);
    s.Connect();
  }

  int FPort;
  TSslContext *FCtx;
  bool FFresh;
  int FCycles;
  int FDone = 0;
  int FFailures = 0;
  std::unique_ptr<TWSocket> FSocket;
};

TEST(WSocketLeaks, ThousandConnectCloseCycles) {
  const std::string dir = MakeTempDir("vyr-transport-leak");
  const TestCertificate cert = MakeSelfSignedCertificate(dir);
  struct Case {
    const char *Name;
    bool Tls;
    bool FreshSocket;
  } cases[] = {
      {"plain, one socket", false, false},
      {"plain, a socket per connection", false, true},
      {"TLS, one socket", true, false},
      {"TLS, a socket per connection", true, true},
  };
  const int cycles = 1000;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.Name);
    TLoopbackPeer peer({TMode::Echo, "", c.Tls, cert, false});
    TSslContext ctx;
    RunEventsFor(10);
    const int before = OpenFds();

    TCycler cycler(peer.Port(), c.Tls ? &ctx : nullptr, c.FreshSocket, cycles);
    cycler.Start();
    ASSERT_TRUE(WaitUntil([&] { return cycler.Done() == cycles; }, 240000)) << cycler.Done();
    EXPECT_EQ(cycler.Failures(), 0);
    ASSERT_TRUE(WaitUntil([&] { return peer.Finished() == cycles; }));
    RunEventsFor(20);
    EXPECT_EQ(OpenFds(), before);
    EXPECT_EQ(peer.Accepted(), cycles);
  }
  RunShell("rm -rf '" + dir + "'");
}

}  // namespace
