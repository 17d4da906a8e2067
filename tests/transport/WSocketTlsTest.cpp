// The TLS layer of TWSocket against real TLS servers on loopback: an OpenSSL
// server thread written here, "openssl s_server" and mosquitto's TLS listener.

#include <gtest/gtest.h>

#include <stdexcept>

#include "EventLog.h"
#include "LoopbackPeer.h"
#include "TestBroker.h"
#include "TlsServers.h"

namespace {

using TMode = TLoopbackPeer::TMode;

class WSocketTls : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    Dir = new std::string(MakeTempDir("vyr-transport-tls"));
    Cert = new TestCertificate(MakeSelfSignedCertificate(*Dir));
    Expired = new TestCertificate(MakeSelfSignedCertificate(*Dir, true));
  }
  static void TearDownTestSuite() {
    RunShell("rm -rf '" + *Dir + "'");
    delete Dir;
    delete Cert;
    delete Expired;
  }
  TLoopbackPeer::TOptions Peer(TMode mode, std::string payload = {}) const {
    return {mode, std::move(payload), true, *Cert, false};
  }
  // A socket with TLS on, whose log records the TLS state in every event.
  void Prepare(TWSocket &s, TEventLog &log, int port) {
    log.Attach(s);
    s.SetSslContext(&Context);
    s.SetSslEnable(true);
    Target(s, port);
  }

  static std::string *Dir;
  static TestCertificate *Cert;
  static TestCertificate *Expired;
  TSslContext Context;
};
std::string *WSocketTls::Dir;
TestCertificate *WSocketTls::Cert;
TestCertificate *WSocketTls::Expired;

// An MQTT 3.1 CONNECT (client "tls-test", clean session, keep-alive 10 s).
const std::string MqttConnect("\x10\x16\x00\x06MQIsdp\x03\x02\x00\x0a\x00\x08tls-test", 24);
const std::string ConnAckAccepted("\x20\x02\x00\x00", 4);

TEST_F(WSocketTls, EventOrderTable) {
  struct Case {
    const char *Name;
    TMode Mode;
    std::string Payload;
    std::string SendInConnected;
    std::function<bool(const TEventLog &)> Until;
    std::vector<std::string> Events;
    std::string Data;
  } cases[] = {
      {"echo", TMode::Echo, "", "first", [](auto &l) { return l.Data.size() == 5; },
       {"Connected(0)@wsConnected", "Data"}, "first"},
      {"peer sends then closes", TMode::SendThenClose, Pattern(70000), "", [](auto &l) { return l.Closed(); },
       {"Connected(0)@wsConnected", "Data", "Closed(0)@wsClosed"}, Pattern(70000)},
      {"peer is not TLS", TMode::NotTls, "HTTP/1.1 400 Bad Request\r\n\r\n", "CONNECT",
       [](auto &l) { return l.Closed(); }, {"Connected(0)@wsConnected", "Closed(10053)@wsClosed"}, ""},
      {"peer resets during handshake", TMode::ResetOnData, "", "", [](auto &l) { return l.Closed(); },
       {"Connected(0)@wsConnected", "Closed(10054)@wsClosed"}, ""},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.Name);
    TLoopbackPeer peer(Peer(c.Mode, c.Payload));
    TWSocket s;
    TEventLog log;
    Prepare(s, log, peer.Port());
    TSslState stateInConnected = sslEstablished;
    auto connected = s.OnSessionConnected;
    s.OnSessionConnected = [&](TWSocket *sender, std::uint16_t code) {
      connected(sender, code);
      stateInConnected = sender->SslState();
      if (!c.SendInConnected.empty()) sender->SendStr(c.SendInConnected);
    };
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return c.Until(log); }));
    RunEventsFor(50);
    EXPECT_EQ(log.Events, c.Events);
    EXPECT_TRUE(log.Data == c.Data) << log.Data.size() << " bytes instead of " << c.Data.size();
    // OnSessionConnected comes before any TLS byte is exchanged.
    EXPECT_EQ(stateInConnected, sslNone);
    EXPECT_FALSE(peer.SniSeen());
    EXPECT_TRUE(s.SslEnable());
    if (log.Closed()) {
      EXPECT_EQ(s.SslState(), sslNone);
      EXPECT_EQ(s.SslVersion(), "Unknown");
    }
  }
}

TEST_F(WSocketTls, SessionFieldsDuringAndAfter) {
  struct Case {
    const char *Name;
    std::function<void(TWSocket &)> End;
    bool EventInsideCall;
    bool CloseNotify;
  } cases[] = {
      {"Close", [](TWSocket &s) { s.Close(); }, false, true},
      {"CloseDelayed", [](TWSocket &s) { s.CloseDelayed(); }, false, true},
      {"Abort", [](TWSocket &s) { s.Abort(); }, true, false},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.Name);
    TLoopbackPeer peer(Peer(TMode::Echo));
    TWSocket s;
    TEventLog log;
    Prepare(s, log, peer.Port());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return s.SslState() == sslEstablished; }));
    EXPECT_EQ(s.SslVersion(), "TLSv1.3");
    EXPECT_NE(s.SslCipher(), "Unknown");
    ASSERT_FALSE(s.SslCipherDesc().empty());
    EXPECT_EQ(s.SslCipherDesc().back(), '\n');
    EXPECT_EQ(s.SslCipherDesc().rfind(s.SslCipher(), 0), 0u) << s.SslCipherDesc();
    EXPECT_NE(s.SslCipherDesc().find("TLSv1.3"), std::string::npos);
    s.SendStr("data");
    ASSERT_TRUE(WaitUntil([&] { return log.Data == "data"; }));
    c.End(s);
    EXPECT_EQ(log.Closed(), c.EventInsideCall);
    ASSERT_TRUE(WaitUntil([&] { return log.Closed(); }));
    RunEventsFor(50);
    EXPECT_EQ(log.Events, (std::vector<std::string>{"Connected(0)@wsConnected", "Data", "Closed(0)@wsClosed"}));
    EXPECT_EQ(s.SslState(), sslNone);
    EXPECT_EQ(s.SslVersion(), "Unknown");
    EXPECT_EQ(s.SslCipher(), "Unknown");
    EXPECT_EQ(s.SslCipherDesc(), "");
    ASSERT_TRUE(WaitUntil([&] { return peer.Finished() == 1; }));
    EXPECT_EQ(peer.CloseNotifies(), c.CloseNotify ? 1 : 0);
  }
}

// The peer ends TCP without a close_notify: the data still arrives, then the
// socket sends its own close_notify and reports an ordinary close.
TEST_F(WSocketTls, PeerDropsTcpWithoutCloseNotify) {
  const std::string payload = Pattern(50000, 9);
  TLoopbackPeer peer(Peer(TMode::SendThenDrop, payload));
  TWSocket s;
  TEventLog log;
  Prepare(s, log, peer.Port());
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return log.Closed(); }));
  EXPECT_EQ(log.Events, (std::vector<std::string>{"Connected(0)@wsConnected", "Data", "Closed(0)@wsClosed"}));
  EXPECT_TRUE(log.Data == payload);
  ASSERT_TRUE(WaitUntil([&] { return peer.Finished() == 1; }));
  EXPECT_EQ(peer.CloseNotifies(), 1);
}

// Bytes sent before the handshake completes leave first, in order, after it.
TEST_F(WSocketTls, EarlyBytesWaitForTheHandshake) {
  TLoopbackPeer peer(Peer(TMode::Echo));
  TWSocket s;
  TEventLog log;
  Prepare(s, log, peer.Port());
  std::size_t bufferedInConnected = 0;
  auto connected = s.OnSessionConnected;
  s.OnSessionConnected = [&](TWSocket *sender, std::uint16_t code) {
    connected(sender, code);
    sender->SendStr("first|");
    sender->SendStr("second|");
    // Nothing is encrypted or written yet: it all waits as plaintext.
    bufferedInConnected = sender->BufferedByteCount();
  };
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return s.SslState() == sslEstablished; }));
  s.SendStr("third");
  ASSERT_TRUE(WaitUntil([&] { return log.Data.size() == 18; }));
  EXPECT_EQ(bufferedInConnected, 13u);
  EXPECT_EQ(peer.Received(), "first|second|third");
  EXPECT_EQ(log.Data, "first|second|third");
}

TEST_F(WSocketTls, TenMiBEchoedIntactAndInOrder) {
  TLoopbackPeer peer(Peer(TMode::Echo));
  TWSocket s;
  TEventLog log;
  Prepare(s, log, peer.Port());
  const std::string data = Pattern(10 << 20, 3);
  auto connected = s.OnSessionConnected;
  s.OnSessionConnected = [&](TWSocket *sender, std::uint16_t code) {
    connected(sender, code);
    sender->SendStr(data.substr(0, 1000));
    sender->SendStr(data.substr(1000));
  };
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return log.Data.size() >= data.size() || log.Closed(); }, 120000));
  EXPECT_TRUE(log.Data == data);
  EXPECT_EQ(s.State(), wsConnected);
}

// The owner refills whenever everything has been handed over, as a
// streaming sender does; the flow must never stall.
TEST_F(WSocketTls, DataSentRefillsKeepFlowing) {
  TLoopbackPeer peer(Peer(TMode::SlowReader));
  peer.Release();
  TWSocket s;
  TEventLog log;
  Prepare(s, log, peer.Port());
  const std::size_t total = 32u << 20;
  const std::string block = Pattern(1u << 20, 5);
  std::size_t queued = 0;
  int dataSent = 0;
  auto refill = [&](TWSocket *sender) {
    if (queued < total) {
      sender->SendStr(block);
      queued += block.size();
    }
  };
  auto connected = s.OnSessionConnected;
  s.OnSessionConnected = [&](TWSocket *sender, std::uint16_t code) {
    connected(sender, code);
    refill(sender);
  };
  s.OnDataSent = [&](TWSocket *sender, std::uint16_t) {
    ++dataSent;
    refill(sender);
  };
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return peer.ReceivedSize() == total || log.Closed(); }, 120000))
      << peer.ReceivedSize() << " of " << total;
  EXPECT_EQ(dataSent, 32);
  std::string expected;
  for (int i = 0; i < 32; ++i) expected += block;
  EXPECT_TRUE(peer.Received() == expected);
}

TEST_F(WSocketTls, NotTlsPeerAgainAtTheNextAttempt) {
  TLoopbackPeer peer(Peer(TMode::NotTls, "garbage, not a TLS record\r\n"));
  TWSocket s;
  TEventLog log;
  Prepare(s, log, peer.Port());
  for (int attempt = 1; attempt <= 2; ++attempt) {
    SCOPED_TRACE(attempt);
    log.Events.clear();
    Target(s, peer.Port());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return log.Closed(); }));
    EXPECT_EQ(log.Events, (std::vector<std::string>{"Connected(0)@wsConnected", "Closed(10053)@wsClosed"}));
    EXPECT_EQ(log.DataEvents, 0);
    EXPECT_TRUE(s.SslEnable());
  }
}

TEST_F(WSocketTls, ContextInitialisedOnceAndShared) {
  TLoopbackPeer peer(Peer(TMode::Echo));
  EXPECT_FALSE(Context.IsInitialized());
  for (int attempt = 1; attempt <= 2; ++attempt) {
    SCOPED_TRACE(attempt);
    TWSocket s;
    TEventLog log;
    Prepare(s, log, peer.Port());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return s.SslState() == sslEstablished; }));
    EXPECT_TRUE(Context.IsInitialized());
    // Settings changed later take no effect: nothing is configured again, or
    // the empty cipher list would fail the second connection.
    Context.SslCipherList = "";
    s.Close();
    ASSERT_TRUE(WaitUntil([&] { return log.Closed(); }));
  }
}

TEST_F(WSocketTls, ContextFailuresEndInSessionClosed10053) {
  struct Case {
    const char *Name;
    bool WithContext;
    std::string CipherList;
    std::string InitMessage;  // what InitContext itself raises
  } cases[] = {
      {"no context", false, "", ""},
      {"empty cipher list", true, "", "Cipher list empty"},
      {"unknown ciphers", true, "NO-SUCH-CIPHER", "Error loading cipher list"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.Name);
    TLoopbackPeer peer(Peer(TMode::Echo));
    TSslContext ctx;
    ctx.SslCipherList = c.CipherList;
    if (!c.InitMessage.empty()) {
      try {
        ctx.InitContext();
        ADD_FAILURE() << "no exception";
      } catch (const ESslContextException &e) {
        EXPECT_EQ(std::string(e.what()).rfind(c.InitMessage, 0), 0u) << e.what();
      }
      EXPECT_FALSE(ctx.IsInitialized());
    }
    TWSocket s;
    TEventLog log;
    log.Attach(s);
    s.SetSslEnable(true);
    if (c.WithContext) s.SetSslContext(&ctx);
    Target(s, peer.Port());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return log.Closed(); }));
    RunEventsFor(50);
    EXPECT_EQ(log.Events, (std::vector<std::string>{"Connected(0)@wsConnected", "Closed(10053)@wsClosed"}));
    EXPECT_EQ(s.SslState(), sslNone);
  }
}

// The socket forgets a context that goes away.
TEST_F(WSocketTls, DestroyedContextIsForgotten) {
  TWSocket s;
  {
    TSslContext ctx;
    s.SetSslContext(&ctx);
    EXPECT_EQ(s.SslContext(), &ctx);
  }
  EXPECT_EQ(s.SslContext(), nullptr);
}

TEST_F(WSocketTls, HandlerExceptionAbortsTheConnection) {
  TLoopbackPeer peer(Peer(TMode::Echo));
  TWSocket s;
  TEventLog log;
  Prepare(s, log, peer.Port());
  auto data = s.OnDataAvailable;
  s.OnDataAvailable = [&](TWSocket *sender, std::uint16_t code) {
    data(sender, code);
    throw std::runtime_error("handler failed");
  };
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return s.SslState() == sslEstablished; }));
  s.SendStr("boom");
  ASSERT_TRUE(WaitUntil([&] { return log.Closed(); }));
  EXPECT_EQ(log.Events, (std::vector<std::string>{"Connected(0)@wsConnected", "Data", "Closed(0)@wsClosed"}));
  EXPECT_EQ(s.SslState(), sslNone);
}

TEST_F(WSocketTls, OpenSslServerReversesLines) {
  TOpenSslServer server(*Cert);
  TWSocket s;
  TEventLog log;
  Prepare(s, log, server.Port());
  auto connected = s.OnSessionConnected;
  s.OnSessionConnected = [&](TWSocket *sender, std::uint16_t code) {
    connected(sender, code);
    sender->SendStr("hello\n");
  };
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return log.Data.find('\n') != std::string::npos || log.Closed(); }));
  EXPECT_EQ(log.Data, "olleh\n");
  EXPECT_EQ(s.SslState(), sslEstablished);
  EXPECT_EQ(s.SslVersion(), "TLSv1.3");
  s.SendStr("second line\n");
  ASSERT_TRUE(WaitUntil([&] { return log.Data.size() == 18 || log.Closed(); }));
  EXPECT_EQ(log.Data, "olleh\nenil dnoces\n");
  s.Close();
  ASSERT_TRUE(WaitUntil([&] { return log.Closed(); }));
  EXPECT_EQ(log.Events.back(), "Closed(0)@wsClosed");
}

// The names offered reach the server in order; its choice is noted for the
// debug output, and a server that takes none of them fails the handshake
// saying so.
TEST_F(WSocketTls, AlpnNamesOfferedAndChoiceNoted) {
  struct Case {
    const char *ServerAlpn;
    std::vector<std::string> Notes;
    std::string Failure;  // part of SslFailure; empty: the session is established
  } cases[] = {{"mqtt", {"TLS: ALPN protocol mqtt"}, ""}, {"h2", {}, "no application protocol"}};
  for (auto &c : cases) {
    SCOPED_TRACE(c.ServerAlpn);
    TLoopbackPeer::TOptions o = Peer(TMode::Echo);
    o.Alpn = c.ServerAlpn;
    TLoopbackPeer peer(o);
    TSslContext context;
    context.SslAlpn = {"x-amzn-mqtt-ca", "mqtt"};
    TWSocket s;
    TEventLog log;
    log.Attach(s);
    std::vector<std::string> notes;
    s.OnTransportNote = [&](TWSocket *, const std::string &line) { notes.push_back(line); };
    s.SetSslContext(&context);
    s.SetSslEnable(true);
    Target(s, peer.Port());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return s.SslState() == sslEstablished || log.Closed(); }));
    EXPECT_EQ(notes, c.Notes);
    EXPECT_EQ(log.Closed(), !c.Failure.empty());
    EXPECT_NE(s.SslFailure().find(c.Failure), std::string::npos) << s.SslFailure();
    EXPECT_EQ(peer.AlpnOffered(), "x-amzn-mqtt-ca,mqtt");
    s.Close();
    ASSERT_TRUE(WaitUntil([&] { return log.Closed(); }));
  }
}

TEST_F(WSocketTls, MosquittoTlsListenerAcceptsMqttConnect) {
  struct Case {
    const char *Name;
    bool ExpiredCert;
  } cases[] = {{"self-signed", false}, {"expired", true}};
  for (auto &c : cases) {
    SCOPED_TRACE(c.Name);
    TestBroker broker({.Tls = true, .ExpiredCert = c.ExpiredCert});
    TWSocket s;
    TEventLog log;
    Prepare(s, log, broker.TlsPort());
    std::string xport;
    auto connected = s.OnSessionConnected;
    s.OnSessionConnected = [&](TWSocket *sender, std::uint16_t code) {
      connected(sender, code);
      xport = sender->GetXPort();
      sender->SendStr(MqttConnect);
    };
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return log.Data.size() >= 4 || log.Closed(); }));
    EXPECT_EQ(log.Data, ConnAckAccepted);
    EXPECT_NE(xport, "error");
    EXPECT_EQ(s.SslState(), sslEstablished);
    EXPECT_EQ(s.SslCipherDesc().back(), '\n');
    s.CloseDelayed();
    EXPECT_EQ(s.State(), wsConnected);
    ASSERT_TRUE(WaitUntil([&] { return log.Closed(); }));
    EXPECT_EQ(log.Events, (std::vector<std::string>{"Connected(0)@wsConnected", "Data", "Closed(0)@wsClosed"}));
    EXPECT_EQ(s.SslVersion(), "Unknown");
    EXPECT_EQ(s.SslCipherDesc(), "");
  }
}

}  // namespace
