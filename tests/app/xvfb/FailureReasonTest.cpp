// Failed connection attempts say why, in the log, once per change of reason
// although the client tries again every six seconds: a refused port, TLS to
// a plain port, plain to a TLS port, a peer that closes after CONNECT, a
// broker that accepts and then sends what the protocol forbids. And
// Connect with other settings while an attempt hangs starts over at once.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

#include <QThread>

#include "WindowSteps.h"

namespace {

// A TCP listener on 127.0.0.1. Closing: takes each connection, reads what
// comes and closes it. Violating: accepts the CONNECT, then sends a PUBLISH
// with QoS 3 and waits for the client to close. Mute: never takes a
// connection, so the kernel completes it and nothing ever answers.
enum class TPeer { Mute, Closing, Violating };

class TListener {
public:
  explicit TListener(TPeer aPeer) {
    FSocket = ListenOnLoopback(8, FPort);
    if (aPeer != TPeer::Mute)
      FThread = std::thread([this, aPeer] {
        while (!FStop) {
          const int peer = Readable(FSocket) ? ::accept(FSocket, nullptr, nullptr) : -1;
          if (peer < 0)
            continue;
          char buffer[512];
          ::recv(peer, buffer, sizeof buffer, 0);
          if (aPeer == TPeer::Violating) {
            static const char answer[] = "\x20\x02\x00\x00"            // CONNACK, accepted
                                         "\x36\x06\x00\x01t\x00\x05x"; // PUBLISH, QoS 3
            ::send(peer, answer, sizeof answer - 1, MSG_NOSIGNAL);
            while (!FStop && (!Readable(peer) || ::recv(peer, buffer, sizeof buffer, 0) > 0)) {
            }
          }
          ::close(peer);
        }
      });
  }
  ~TListener() {
    FStop = true;
    if (FThread.joinable())
      FThread.join();
    ::close(FSocket);
  }
  int Port() const { return FPort; }

private:
  // Waits a tenth of a second for something to read (or a connection to take).
  static bool Readable(int aSocket) {
    timeval wait{0, 100000};
    fd_set set;
    FD_ZERO(&set);
    FD_SET(aSocket, &set);
    return ::select(aSocket + 1, &set, nullptr, nullptr, &wait) > 0;
  }

  int FSocket = -1;
  int FPort = 0;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

TEST(FailureReasons, EachFailedAttemptSaysWhyOncePerChangeOfReason) {
  TestBroker broker({.Tls = true});
  TListener closing(TPeer::Closing);
  TListener violating(TPeer::Violating);
  TListener mute(TPeer::Mute);
  ASSERT_NE(closing.Port(), 0);
  ASSERT_NE(violating.Port(), 0);
  ASSERT_NE(mute.Port(), 0);
  const int refused = FreeLoopbackPort();
  TXvfbProgram app(VYR_MQTT_PROGRAM);
  ASSERT_TRUE(app.Start()) << app.Failure().toStdString();
  ASSERT_TRUE(app.Keys({"alt+b", "ctrl+a"}) && app.Type("127.0.0.1"));

  const QString closedEarly = "Status: Connect failed: the broker closed the connection before answering "
                              "(TLS is off; does this port expect TLS?)";
  struct TCase {
    const char *Name;
    int Port;
    bool Tls;
    QString Reason; // the start of the reason's log line, after the time stamp
  };
  const TCase cases[] = {
      {"refused port", refused, false, "Status: Connect failed: Connection refused (#10061)"},
      {"TLS to a plain port", broker.Port(), true, "Status: Connect failed: the TLS handshake failed: "},
      {"plain to a TLS port", broker.TlsPort(), false, closedEarly},
      {"a peer that closes after CONNECT", closing.Port(), false, closedEarly},
      {"a broker that breaks the protocol once connected", violating.Port(), false,
       "Status: Broken stream (protocol violation: PUBLISH with QoS 3), closing the connection."},
  };
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.Name);
    ASSERT_TRUE(ClearLog(app));
    ASSERT_TRUE(ConnectTo(app, c.Port, c.Tls));
    // Two attempts at this port with the reason logged once.
    const QString attempt = QString("Status: Connecting to 127.0.0.1 on Port %1").arg(c.Port);
    QString log;
    ASSERT_TRUE(WaitUntil(
        [&] {
          // Read every two seconds: each reading is a round of key presses.
          log = LogText(app);
          const bool done = log.count(attempt) >= 2 && log.contains(c.Reason);
          if (!done)
            QThread::sleep(2);
          return done;
        },
        60))
        << log.toStdString();
    EXPECT_EQ(log.count(c.Reason), 1) << log.toStdString();
    if (c.Tls) {
      EXPECT_TRUE(log.contains("(TLS is on; is this a plain MQTT port?)")) << log.toStdString();
    }
  }

  // An attempt that hangs (no CONNACK) is left at once for the new settings:
  // the client is online before the attempt's bound could have given it up.
  ASSERT_TRUE(ClearLog(app));
  ASSERT_TRUE(ConnectTo(app, mute.Port(), false));
  ASSERT_TRUE(WaitUntil(
      [&] {
        QThread::sleep(1);
        return LogText(app).contains(QString("on Port %1").arg(mute.Port()));
      },
      30));
  ASSERT_TRUE(app.Keys({"alt+n", "ctrl+a"}) && app.Type("Vyr-again"));
  ASSERT_TRUE(ConnectTo(app, broker.Port(), false));
  ASSERT_TRUE(WaitUntil([&] { return RetainedValue(broker, "Vyr/Vyr-again/status") == "1"; }, 60));
  const QString log = LogText(app);
  EXPECT_FALSE(log.contains("No CONNACK from")) << log.toStdString();
  EXPECT_EQ(log.count("Status: Connect failed"), 0) << "giving up an attempt for new settings is no failure";
}

} // namespace
