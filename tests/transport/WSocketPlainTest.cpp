// Event order of plain TCP connections against real peers on loopback.

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "EventLog.h"
#include "LoopbackPeer.h"

namespace {

using TMode = TLoopbackPeer::TMode;

// A loopback port on which nobody listens.
int ClosedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

TEST(WSocketPlain, EventOrderTable) {
  const std::string payload = Pattern(100000, 7);
  struct Case {
    const char *Name;
    TLoopbackPeer::TOptions Peer;
    bool RefusedPort;
    std::string Send;                                // sent from OnSessionConnected
    std::function<bool(const TEventLog &)> Until;    // when the case is over
    std::vector<std::string> Events;
    std::string Data;
  } cases[] = {
      {"refused port", {}, true, "", [](auto &l) { return l.Closed(); },
       {"Connected(10061)@wsConnected", "Closed(0)@wsClosed"}, ""},
      {"echo", {TMode::Echo}, false, "ping", [](auto &l) { return l.Data.size() == 4; },
       {"Connected(0)@wsConnected", "Data"}, "ping"},
      {"peer sends then closes", {TMode::SendThenClose, payload}, false, "", [](auto &l) { return l.Closed(); },
       {"Connected(0)@wsConnected", "Data", "Closed(0)@wsConnected"}, payload},
      {"peer closes at once", {TMode::SendThenClose, ""}, false, "", [](auto &l) { return l.Closed(); },
       {"Connected(0)@wsConnected", "Closed(0)@wsConnected"}, ""},
      {"peer resets", {TMode::ResetOnData}, false, "x", [](auto &l) { return l.Closed(); },
       {"Connected(0)@wsConnected", "Closed(10054)@wsConnected"}, ""},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.Name);
    TLoopbackPeer peer(c.Peer);
    TWSocket s;
    TEventLog log;
    log.Attach(s);
    auto connected = s.OnSessionConnected;
    s.OnSessionConnected = [&](TWSocket *sender, std::uint16_t code) {
      connected(sender, code);
      if (code == 0 && !c.Send.empty()) sender->SendStr(c.Send);
    };
    Target(s, c.RefusedPort ? ClosedPort() : peer.Port());
    s.Connect();
    EXPECT_EQ(s.State(), wsConnecting);
    EXPECT_TRUE(log.Events.empty());
    ASSERT_TRUE(WaitUntil([&] { return c.Until(log); }));
    RunEventsFor(50);  // nothing more may follow
    EXPECT_EQ(log.Events, c.Events);
    EXPECT_TRUE(log.Data == c.Data) << log.Data.size() << " bytes instead of " << c.Data.size();
    if (log.Closed()) {
      EXPECT_EQ(s.State(), wsClosed);
      // After a close the remote end must be set again.
      try {
        s.Connect();
        ADD_FAILURE() << "Connect without Addr and Port";
      } catch (const ESocketException &e) {
        EXPECT_EQ(std::string(e.what()), "Connect: No Port Specified");
      }
    }
  }
}

TEST(WSocketPlain, LocalCloseTable) {
  struct Case {
    const char *Name;
    std::function<void(TWSocket &)> End;
    bool EventInsideCall;
  } cases[] = {
      {"Close", [](TWSocket &s) { s.Close(); }, true},
      {"CloseDelayed", [](TWSocket &s) { s.CloseDelayed(); }, false},
      {"CloseDelayed twice", [](TWSocket &s) { s.CloseDelayed(); s.CloseDelayed(); }, false},
      {"Abort", [](TWSocket &s) { s.Abort(); }, true},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.Name);
    TLoopbackPeer peer({TMode::Echo});
    TWSocket s;
    TEventLog log;
    log.Attach(s);
    std::string addrInEvent, portInEvent;
    s.OnSessionClosed = [&](TWSocket *sender, std::uint16_t code) {
      log.Events.push_back("Closed(" + std::to_string(code) + ")@" + TEventLog::StateName(sender->State()));
      // The reset comes after the event: the remote end is still assigned.
      addrInEvent = sender->Addr();
      portInEvent = sender->Port();
    };
    Target(s, peer.Port());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected; }));
    c.End(s);
    EXPECT_EQ(log.Closed(), c.EventInsideCall);
    EXPECT_EQ(s.State() == wsClosed, c.EventInsideCall);
    ASSERT_TRUE(WaitUntil([&] { return log.Closed(); }));
    RunEventsFor(50);
    EXPECT_EQ(log.Events, (std::vector<std::string>{"Connected(0)@wsConnected", "Closed(0)@wsClosed"}));
    EXPECT_EQ(addrInEvent, "127.0.0.1");
    EXPECT_EQ(portInEvent, std::to_string(peer.Port()));
    EXPECT_EQ(s.GetXPort(), "error");
    ASSERT_TRUE(WaitUntil([&] { return peer.Finished() == 1; }));
  }
}

TEST(WSocketPlain, GetXPortIsTheLocalPort) {
  TLoopbackPeer peer({TMode::Echo});
  TWSocket s;
  std::string xport;
  s.OnSessionConnected = [&](TWSocket *sender, std::uint16_t) { xport = sender->GetXPort(); };
  Target(s, peer.Port());
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return !xport.empty() && peer.LastClientPort() != 0; }));
  EXPECT_EQ(xport, std::to_string(peer.LastClientPort()));
}

TEST(WSocketPlain, IPv6LiteralAndHostName) {
  struct Case {
    std::string Addr;
    bool IPv6;
  } cases[] = {{"::1", true}, {"localhost", false}, {" 127.0.0.1 ", false}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.Addr);
    std::unique_ptr<TLoopbackPeer> peer;
    try {
      peer = std::make_unique<TLoopbackPeer>(TLoopbackPeer::TOptions{TMode::Echo, "", false, {}, c.IPv6});
    } catch (const std::runtime_error &) {
      GTEST_SKIP() << "no IPv6 loopback on this machine";
    }
    TWSocket s;
    TEventLog log;
    log.Attach(s);
    Target(s, peer->Port(), c.Addr);
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return !log.Events.empty(); }));
    EXPECT_EQ(log.Events[0], "Connected(0)@wsConnected");
    s.SendStr("abc");
    ASSERT_TRUE(WaitUntil([&] { return log.Data == "abc"; }));
  }
}

// Large sends against a peer that does not read: the queue holds the rest,
// and every byte arrives in the order of the Send calls once it reads.
TEST(WSocketPlain, SlowReaderGetsEverythingInOrder) {
  TLoopbackPeer peer({TMode::SlowReader});
  TWSocket s;
  TEventLog log;
  log.Attach(s);
  // More than the system can buffer for a peer that does not read (send
  // buffer up to 4 MiB plus a receive window of up to 32 MiB here).
  const std::string first = Pattern(32 << 20, 1), second = Pattern(8 << 20, 2), third = "end";
  std::size_t queuedAfterSends = 0;
  auto connected = s.OnSessionConnected;
  s.OnSessionConnected = [&](TWSocket *sender, std::uint16_t code) {
    connected(sender, code);
    EXPECT_EQ(sender->SendStr(first), static_cast<int>(first.size()));
    sender->SendStr(second);
    sender->SendStr(third);
    queuedAfterSends = sender->BufferedByteCount();
  };
  Target(s, peer.Port());
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return log.Has("Connected"); }));
  EXPECT_GT(queuedAfterSends, 0u);
  peer.Release();
  const std::size_t total = first.size() + second.size() + third.size();
  ASSERT_TRUE(WaitUntil([&] { return peer.ReceivedSize() == total; }, 60000));
  EXPECT_TRUE(peer.Received() == first + second + third);
  EXPECT_EQ(s.BufferedByteCount(), 0u);
}

TEST(WSocketPlain, DataSentWhenQueueDrained) {
  TLoopbackPeer peer({TMode::SlowReader});
  TWSocket s;
  int sent = 0;
  s.OnDataSent = [&](TWSocket *, std::uint16_t) { ++sent; };
  s.OnSessionConnected = [&](TWSocket *sender, std::uint16_t) { sender->SendStr(Pattern(40 << 20)); };
  Target(s, peer.Port());
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected; }));
  RunEventsFor(50);
  EXPECT_EQ(sent, 0);
  peer.Release();
  ASSERT_TRUE(WaitUntil([&] { return sent == 1; }, 60000));
  RunEventsFor(50);
  EXPECT_EQ(sent, 1);
}

// The peer resets while we keep writing: OnSessionClosed(10054) comes from
// inside a Send call, once, and the socket is closed afterwards.
TEST(WSocketPlain, ConnectionLostWhileSending) {
  TLoopbackPeer peer({TMode::ResetOnData});
  TWSocket s;
  TEventLog log;
  log.Attach(s);
  Target(s, peer.Port());
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected; }));
  s.SendStr("x");
  ASSERT_TRUE(WaitUntil([&] { return peer.Finished() == 1; }));
  // The reset may be noticed by a read notification or by the next write.
  bool insideSend = false;
  const std::string block(1 << 16, 'y');
  for (int i = 0; i < 1000 && s.State() == wsConnected; ++i) {
    s.SendStr(block);
    if (log.Closed()) insideSend = true;
  }
  ASSERT_TRUE(WaitUntil([&] { return log.Closed(); }));
  EXPECT_EQ(log.Events.back(), insideSend ? "Closed(10054)@wsClosed" : "Closed(10054)@wsConnected");
  EXPECT_EQ(s.State(), wsClosed);
  EXPECT_EQ(std::count_if(log.Events.begin(), log.Events.end(), [](auto &e) { return e.rfind("Closed", 0) == 0; }), 1);
}

TEST(WSocketPlain, HandlerExceptionsTable) {
  struct Case {
    const char *Name;
    bool ThrowInConnected;
    std::vector<std::string> Events;
    bool StaysConnected;
  } cases[] = {
      // Escapes the dispatch: the connection is aborted, nothing reaches the loop.
      {"OnSessionConnected throws", true, {"Connected(0)@wsConnected", "Closed(0)@wsClosed"}, false},
      // The receive loop catches it: only that loop ends.
      {"OnDataAvailable throws", false, {"Connected(0)@wsConnected", "Data"}, true},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.Name);
    TLoopbackPeer peer({TMode::Echo});
    TWSocket s;
    TEventLog log;
    log.Attach(s);
    auto connected = s.OnSessionConnected;
    auto data = s.OnDataAvailable;
    s.OnSessionConnected = [&](TWSocket *sender, std::uint16_t code) {
      connected(sender, code);
      sender->SendStr("hello");
      if (c.ThrowInConnected) throw std::runtime_error("handler failed");
    };
    s.OnDataAvailable = [&](TWSocket *sender, std::uint16_t code) {
      data(sender, code);
      if (!c.ThrowInConnected) throw std::runtime_error("handler failed");
    };
    Target(s, peer.Port());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return log.Events.size() >= 2; }));
    RunEventsFor(100);
    EXPECT_EQ(log.Events, c.Events);
    EXPECT_EQ(s.State() == wsConnected, c.StaysConnected);
    if (c.StaysConnected) {
      s.SendStr("more");
      ASSERT_TRUE(WaitUntil([&] { return log.Data == "hellomore"; }));
    }
  }
}

// A handler that reads nothing is not called over and over; reading again
// brings the announcements back.
TEST(WSocketPlain, HandlerThatReadsNothingDoesNotSpin) {
  TLoopbackPeer peer({TMode::Echo});
  TWSocket s;
  TEventLog log;
  log.Attach(s);
  log.ReadData = false;
  Target(s, peer.Port());
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected; }));
  s.SendStr("unread");
  ASSERT_TRUE(WaitUntil([&] { return log.DataEvents > 0; }));
  RunEventsFor(300);
  EXPECT_EQ(log.DataEvents, 1);
  log.ReadData = true;
  EXPECT_EQ(s.ReceiveStrA(), "unread");
  s.SendStr("again");
  ASSERT_TRUE(WaitUntil([&] { return log.Data == "again"; }));
}

TEST(WSocketPlain, WithoutDataHandlerBytesAreDiscarded) {
  TLoopbackPeer peer({TMode::SendThenClose, Pattern(5000)});
  TWSocket s;
  TEventLog log;
  log.Attach(s);
  s.OnDataAvailable = nullptr;
  Target(s, peer.Port());
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return log.Closed(); }));
  EXPECT_EQ(log.Events, (std::vector<std::string>{"Connected(0)@wsConnected", "Closed(0)@wsConnected"}));
}

// Connecting again from inside OnSessionClosed starts a working connection:
// the reset after the event must not undo it.
TEST(WSocketPlain, ReconnectFromOnSessionClosed) {
  TLoopbackPeer peer({TMode::Echo});
  TWSocket s;
  TEventLog log;
  log.Attach(s);
  bool again = true;
  s.OnSessionClosed = [&](TWSocket *sender, std::uint16_t code) {
    log.Events.push_back("Closed(" + std::to_string(code) + ")");
    if (!again) return;
    again = false;
    Target(*sender, peer.Port());
    sender->Connect();
  };
  Target(s, peer.Port());
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected; }));
  s.Close();
  EXPECT_EQ(s.State(), wsConnecting);
  ASSERT_TRUE(WaitUntil([&] { return log.Events.size() == 3; }));
  EXPECT_EQ(log.Events, (std::vector<std::string>{"Connected(0)@wsConnected", "Closed(0)", "Connected(0)@wsConnected"}));
  EXPECT_EQ(s.Addr(), "127.0.0.1");
  s.SendStr("second");
  ASSERT_TRUE(WaitUntil([&] { return log.Data == "second"; }));
}

// A CloseDelayed request of a finished connection leaves the next one alone.
TEST(WSocketPlain, StaleCloseRequestIgnored) {
  TLoopbackPeer peer({TMode::Echo});
  TWSocket s;
  TEventLog log;
  log.Attach(s);
  Target(s, peer.Port());
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected; }));
  s.CloseDelayed();
  s.Close();
  Target(s, peer.Port());
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return log.Events.size() == 3; }));
  RunEventsFor(100);
  EXPECT_EQ(log.Events, (std::vector<std::string>{"Connected(0)@wsConnected", "Closed(0)@wsClosed",
                                                  "Connected(0)@wsConnected"}));
  EXPECT_EQ(s.State(), wsConnected);
}

TEST(WSocketPlain, DestroyingRaisesNothing) {
  TLoopbackPeer peer({TMode::Echo});
  TEventLog log;
  {
    TWSocket s;
    log.Attach(s);
    Target(s, peer.Port());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected; }));
    s.CloseDelayed();
  }
  RunEventsFor(50);
  EXPECT_EQ(log.Events, (std::vector<std::string>{"Connected(0)@wsConnected"}));
  ASSERT_TRUE(WaitUntil([&] { return peer.Finished() == 1; }));
}

// The owner may free the socket from inside its own event.
TEST(WSocketPlain, DeletedInsideItsHandler) {
  TLoopbackPeer peer({TMode::SendThenClose, "bye"});
  auto s = std::make_unique<TWSocket>();
  std::string got;
  s->OnDataAvailable = [&](TWSocket *sender, std::uint16_t) {
    got += sender->ReceiveStrA();
    s.reset();
  };
  Target(*s, peer.Port());
  s->Connect();
  ASSERT_TRUE(WaitUntil([&] { return !s; }));
  EXPECT_EQ(got, "bye");
  RunEventsFor(50);
}

}  // namespace
