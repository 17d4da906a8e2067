// Properties, Connect's checks and the error texts of TWSocket.

#include <gtest/gtest.h>

#include <cerrno>

#include "EventLog.h"
#include "LoopbackPeer.h"

namespace {

// A name that the resolver rejects without asking any server: one label
// longer than 63 characters cannot be put into a query.
const std::string UnresolvableHost = std::string(70, 'a') + ".invalid";

std::string Trim(const std::string &s) {
  auto b = s.find_first_not_of(" \t");
  return b == std::string::npos ? "" : s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

std::string ConnectError(TWSocket &s) {
  try {
    s.Connect();
  } catch (const ESocketException &e) {
    return e.what();
  }
  return "(no exception)";
}

TEST(WSocketProperties, AddrIsTrimmedAndDecidesTheFamily) {
  struct Case {
    TSocketFamily Before;
    std::string Value;
    std::string Stored;
    TSocketFamily After;
  } cases[] = {
      {sfIPv4, "  127.0.0.1  ", "127.0.0.1", sfIPv4},
      {sfIPv6, "10.1.2.3", "10.1.2.3", sfIPv4},
      {sfIPv6, "255.255.255.255", "255.255.255.255", sfIPv4},
      {sfIPv4, " ::1 ", "::1", sfIPv6},
      {sfIPv4, "fe80::1:2", "fe80::1:2", sfIPv6},
      // Not dotted literals: host names keep the family they find.
      {sfIPv6, "localhost", "localhost", sfIPv6},
      {sfIPv4, "256.1.1.1", "256.1.1.1", sfIPv4},
      {sfIPv6, "256.1.1.1", "256.1.1.1", sfIPv6},
      {sfIPv6, "1.2.3", "1.2.3", sfIPv6},
      {sfIPv6, ".1.2.3.4", ".1.2.3.4", sfIPv6},
      {sfIPv6, "1.2.3.4.5", "1.2.3.4.5", sfIPv6},
      {sfIPv6, "1..2.3", "1..2.3", sfIPv6},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.Value);
    TWSocket s;
    s.SetSocketFamily(c.Before);
    s.SetAddr(c.Value);
    EXPECT_EQ(s.Addr(), c.Stored);
    EXPECT_EQ(s.SocketFamily(), c.After);
  }
}

TEST(WSocketProperties, PortAndProtoAreTrimmedDefaultsHold) {
  TWSocket s;
  EXPECT_EQ(s.State(), wsClosed);
  EXPECT_EQ(s.Proto(), "tcp");
  EXPECT_EQ(s.Addr(), "");
  EXPECT_EQ(s.Port(), "");
  EXPECT_EQ(s.LingerOnOff(), wsLingerOn);
  EXPECT_EQ(s.LingerTimeout(), 0);
  EXPECT_EQ(s.SocketFamily(), sfIPv4);
  EXPECT_EQ(s.GetXPort(), "error");
  EXPECT_EQ(s.SslState(), sslNone);
  EXPECT_EQ(s.SslVersion(), "Unknown");
  EXPECT_EQ(s.SslCipher(), "Unknown");
  EXPECT_EQ(s.SslCipherDesc(), "");
  EXPECT_FALSE(s.SslEnable());
  s.SetPort(" 1883\t");
  EXPECT_EQ(s.Port(), "1883");
  s.SetProto("  tcp ");
  EXPECT_EQ(s.Proto(), "tcp");
}

TEST(WSocketProperties, ConnectChecksInOrder) {
  struct Case {
    const char *Name;
    std::string Addr, Port, Proto;
    std::string Message;
  } cases[] = {
      {"nothing set", "", "", "tcp", "Connect: No Port Specified"},
      {"no port", "127.0.0.1", "", "tcp", "Connect: No Port Specified"},
      {"no address", "", "1883", "tcp", "Connect: No IP Address Specified"},
      {"blank address", "   ", "1883", "tcp", "Connect: No IP Address Specified"},
      {"no protocol", "127.0.0.1", "1883", " ", "Connect: No Protocol Specified"},
      {"unresolvable host", UnresolvableHost, "1883", "tcp",
       "connect: Winsock Resolve Host: Cannot convert host address '" + UnresolvableHost +
           "' - Host not found (#11001)"},
      {"unknown service", "127.0.0.1", "no-such-service", "tcp",
       "connect: Winsock Resolve Port: Cannot convert port 'no-such-service' - Valid name, no data record of "
       "requested type (#11004)"},
      {"port out of range", "127.0.0.1", "70000", "tcp",
       "connect: Winsock Resolve Port: Cannot convert port '70000' - Invalid argument (#10022)"},
      {"not a stream protocol", "127.0.0.1", "1883", "udp",
       "connect: Winsock Resolve Proto: Cannot convert protocol 'udp' - Protocol not supported (#10043)"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.Name);
    TWSocket s;
    TEventLog log;
    log.Attach(s);
    s.SetAddr(c.Addr);
    s.SetPort(c.Port);
    s.SetProto(c.Proto);
    EXPECT_EQ(ConnectError(s), c.Message);
    EXPECT_EQ(s.State(), wsClosed);
    // Failures before the attempt leave the settings as they were.
    EXPECT_EQ(s.Addr(), Trim(c.Addr));
    RunEventsFor(20);
    EXPECT_TRUE(log.Events.empty());
  }
}

TEST(WSocketProperties, FailedLookupLeavesSocketUsable) {
  TLoopbackPeer peer({});
  TWSocket s;
  TEventLog log;
  log.Attach(s);
  Target(s, peer.Port(), UnresolvableHost);
  EXPECT_NE(ConnectError(s), "(no exception)");
  EXPECT_EQ(s.Port(), std::to_string(peer.Port()));
  s.SetAddr("127.0.0.1");
  s.Connect();
  EXPECT_EQ(s.State(), wsConnecting);
  ASSERT_TRUE(WaitUntil([&] { return !log.Events.empty(); }));
  EXPECT_EQ(log.Events[0], "Connected(0)@wsConnected");
}

TEST(WSocketProperties, PortWithTrailingTextUsesLeadingDigits) {
  TLoopbackPeer peer({});
  TWSocket s;
  TEventLog log;
  log.Attach(s);
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(peer.Port()) + "abc");
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return !log.Events.empty(); }));
  EXPECT_EQ(log.Events[0], "Connected(0)@wsConnected");
}

TEST(WSocketProperties, ChangingTheRemoteEndWhileConnected) {
  TLoopbackPeer peer({});
  TWSocket s;
  TEventLog log;
  log.Attach(s);
  Target(s, peer.Port());
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected; }));
  // The same values are no change at all.
  EXPECT_NO_THROW(s.SetAddr(" 127.0.0.1 "));
  EXPECT_NO_THROW(s.SetPort(std::to_string(peer.Port())));
  EXPECT_NO_THROW(s.SetProto("tcp"));
  struct Case {
    std::function<void()> Set;
    std::string Message;
  } cases[] = {
      {[&] { s.SetAddr("127.0.0.2"); }, "Cannot change Addr if not closed"},
      {[&] { s.SetPort("1"); }, "Cannot change Port if not closed"},
      {[&] { s.SetProto("udp"); }, "Cannot change Proto if not closed"},
      {[&] { s.SetAddr(""); }, "Cannot change Addr if not closed"},
  };
  for (const auto &c : cases) {
    try {
      c.Set();
      ADD_FAILURE() << "no exception for " << c.Message;
    } catch (const ESocketException &e) {
      EXPECT_EQ(std::string(e.what()), c.Message);
    }
  }
  EXPECT_EQ(s.Addr(), "127.0.0.1");
  EXPECT_EQ(ConnectError(s), "Connect: Socket already in use");
  EXPECT_EQ(s.State(), wsConnected);
}

TEST(WSocketErrors, ErrnoMapsOntoWinsockNumbers) {
  struct Case {
    int Errno;
    int Code;
    std::string Desc;
  } cases[] = {
      {0, 0, "No Error"},
      {ECONNREFUSED, 10061, "Connection refused"},
      {ECONNRESET, 10054, "Connection reset by peer"},
      {ECONNABORTED, 10053, "Connection aborted"},
      {ENOTCONN, 10057, "Socket is not connected"},
      {ESHUTDOWN, 10058, "Can't send after socket shutdown"},
      {EWOULDBLOCK, 10035, "Operation would block"},
      {EINPROGRESS, 10036, "Operation now in progress"},
      {ETIMEDOUT, 10060, "Connection timed out"},
      {EHOSTUNREACH, 10065, "No route to host"},
      {ENETUNREACH, 10051, "Network is unreachable"},
      {EADDRINUSE, 10048, "Address already in use"},
      {EINVAL, 10022, "Invalid argument"},
      {ENOTSOCK, 10038, "Socket operation on non-socket"},
      {EMFILE, 10024, "Too many open files"},
      {EPIPE, 10054, "Connection reset by peer"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.Errno);
    EXPECT_EQ(ErrnoToWSocketError(c.Errno), c.Code);
    EXPECT_EQ(WSocketErrorDesc(c.Code), c.Desc);
  }
  EXPECT_EQ(WSocketErrorDesc(11001), "Host not found");
  EXPECT_EQ(WSocketErrorDesc(11004), "Valid name, no data record of requested type");
  EXPECT_EQ(WSocketErrorDesc(12345), "Not a Winsocket error");
  EXPECT_EQ(WSocketErrorDesc(-1), "Not a Winsocket error");
}

TEST(WSocketErrors, SendOutsideAConnection) {
  TWSocket s;
  TEventLog log;
  log.Attach(s);
  try {
    s.Send("x", 1);
    ADD_FAILURE() << "no exception";
  } catch (const ESocketException &e) {
    EXPECT_EQ(std::string(e.what()), "Socket is not connected (#10057 in Send)");
    EXPECT_EQ(e.ErrorCode(), 10057);
    EXPECT_EQ(e.FuncName(), "Send");
  }
  EXPECT_EQ(s.LastError(), 10057);
  EXPECT_TRUE(log.Events.empty());
  EXPECT_EQ(s.ReceiveStrA(), "");
  char buf[4];
  EXPECT_EQ(s.Receive(buf, sizeof buf), -1);
}

}  // namespace
