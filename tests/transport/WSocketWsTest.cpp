// The WebSocket layer of TWSocket against a WebSocket server on loopback
// whose framing is written from the RFC in the test peer, plain and in TLS.

#include <gtest/gtest.h>

#include "EventLog.h"
#include "LoopbackPeer.h"
#include "TestBroker.h"
#include "TestCerts.h"
#include "WsSession.h"

namespace {

using TMode = TLoopbackPeer::TMode;
using Frames = std::vector<std::string>;

class WSocketWs : public ::testing::TestWithParam<bool> {
protected:
  static void SetUpTestSuite() {
    Dir = new std::string(MakeTempDir("vyr-transport-ws"));
    Cert = new TestCertificate(MakeSelfSignedCertificate(*Dir));
  }
  static void TearDownTestSuite() {
    RunShell("rm -rf '" + *Dir + "'");
    delete Dir;
    delete Cert;
  }
  bool Tls() const { return GetParam(); }
  TLoopbackPeer::TOptions Peer(std::string frames = {}, std::string answer = {}) const {
    TLoopbackPeer::TOptions o{TMode::WebSocket, std::move(frames), Tls(), *Cert, false};
    o.WsAnswer = std::move(answer);
    return o;
  }
  void Prepare(TWSocket &s, TEventLog &log, int port) {
    log.Attach(s);
    s.OnTransportNote = [this](TWSocket *, const std::string &line) { Notes.push_back(line); };
    if (Tls()) {
      s.SetSslContext(&Context);
      s.SetSslEnable(true);
    }
    s.SetWsEnable(true);
    s.WsSettings().Path = "/mqtt";
    Target(s, port);
  }
  bool Noted(const std::string &part) const {
    for (auto &n : Notes)
      if (n.find(part) != std::string::npos) return true;
    return false;
  }

  static std::string *Dir;
  static TestCertificate *Cert;
  TSslContext Context;
  std::vector<std::string> Notes;
};
std::string *WSocketWs::Dir;
TestCertificate *WSocketWs::Cert;

const std::string ConnAck("\x20\x02\x00\x00", 4);
const std::string Publish("\x30\x07\x00\x01t hello", 9);

// Sends in OnSessionConnected go out once the upgrade is answered, as one
// binary message, masked; the request carries the path, protocol and headers.
TEST_P(WSocketWs, UpgradeThenEcho) {
  TLoopbackPeer peer(Peer());
  TWSocket s;
  TEventLog log;
  Prepare(s, log, peer.Port());
  s.WsSettings().Headers = {"Authorization: Bearer abc"};
  s.OnSessionConnected = [&](TWSocket *sender, std::uint16_t code) {
    log.Events.push_back("Connected(" + std::to_string(code) + ")");
    sender->SendStr("first");
    sender->SendStr("second");
  };
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return log.Data == "firstsecond"; })) << log.Data;
  s.SendStr(Publish);
  ASSERT_TRUE(WaitUntil([&] { return log.Data.size() == 11 + Publish.size(); }));
  EXPECT_EQ(log.Data.substr(11), Publish);
  const std::string req = peer.WsRequest();
  EXPECT_EQ(req.rfind("GET /mqtt HTTP/1.1\r\n", 0), 0u) << req;
  for (const std::string line : {"Host: 127.0.0.1:" + std::to_string(peer.Port()), std::string("Upgrade: websocket"),
                                 std::string("Sec-WebSocket-Version: 13"), std::string("Sec-WebSocket-Protocol: mqtt"),
                                 std::string("Authorization: Bearer abc")})
    EXPECT_NE(req.find("\r\n" + line + "\r\n"), std::string::npos) << line << " in\n" << req;
  EXPECT_EQ(peer.WsFrames(), (Frames{"binary 11", "binary " + std::to_string(Publish.size())}));
  EXPECT_FALSE(peer.WsUnmaskedSeen());
  EXPECT_EQ(s.PathName(), Tls() ? "WebSocket over TLS" : "WebSocket");
  EXPECT_TRUE(Noted("HTTP/1.1 101 Switching Protocols"));
  // Our close: a close frame with 1000, answered by the server.
  s.Close();
  ASSERT_TRUE(WaitUntil([&] { return log.Closed(); }));
  ASSERT_TRUE(WaitUntil([&] { return peer.Finished() == 1; }));
  EXPECT_EQ(peer.WsFrames().back(), "close 1000");
  EXPECT_EQ(log.Events.back(), "Closed(0)@wsClosed");
  EXPECT_EQ(s.WsFailure(), "");
}

// What the server sends: packets split over frames and over continuation
// frames, several in one frame, a ping between; the owner sees the stream.
TEST_P(WSocketWs, ServerFramingReachesTheOwnerAsOneStream) {
  struct Case {
    const char *Name;
    std::string Sent;
    std::string Stream;
    std::vector<std::string> PeerSees;
  } cases[] = {
      {"packet over two messages", TLoopbackPeer::WsFrame(2, ConnAck.substr(0, 1)) +
                                       TLoopbackPeer::WsFrame(2, ConnAck.substr(1)),
       ConnAck, {}},
      {"packet over continuation frames",
       TLoopbackPeer::WsFrame(2, Publish.substr(0, 3), false) + TLoopbackPeer::WsFrame(0, Publish.substr(3, 2), false) +
           TLoopbackPeer::WsFrame(0, Publish.substr(5)),
       Publish, {}},
      {"two packets in one frame", TLoopbackPeer::WsFrame(2, ConnAck + Publish), ConnAck + Publish, {}},
      {"ping between halves",
       TLoopbackPeer::WsFrame(2, Publish.substr(0, 4)) + TLoopbackPeer::WsFrame(9, "are you there") +
           TLoopbackPeer::WsFrame(2, Publish.substr(4)),
       Publish, {"pong are you there"}},
      {"a large message", TLoopbackPeer::WsFrame(2, Pattern(200000)), Pattern(200000), {}},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.Name);
    TLoopbackPeer peer(Peer(c.Sent));
    TWSocket s;
    TEventLog log;
    Prepare(s, log, peer.Port());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return log.Data.size() >= c.Stream.size(); }));
    EXPECT_TRUE(log.Data == c.Stream);
    if (!c.PeerSees.empty()) ASSERT_TRUE(WaitUntil([&] { return peer.WsFrames() == c.PeerSees; }));
    s.Close();
    ASSERT_TRUE(WaitUntil([&] { return log.Closed(); }));
  }
}

// Upgrades that fail, and framing the client cannot take, close the
// connection with 10053 and say why; nothing of the owner's goes out.
TEST_P(WSocketWs, FailuresSayWhy) {
  struct Case {
    const char *Name;
    std::string Answer;  // empty: a good upgrade answer
    std::string Sent;    // frames after it
    std::string Failure;
  } cases[] = {
      {"401", "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic\r\nContent-Length: 0\r\n\r\n", "",
       "the server refused the WebSocket upgrade: HTTP/1.1 401 Unauthorized"},
      {"404", "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", "",
       "the server refused the WebSocket upgrade: HTTP/1.1 404 Not Found"},
      {"wrong accept key",
       "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
       "Sec-WebSocket-Accept: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n",
       "", "the server's upgrade answer has a wrong Sec-WebSocket-Accept"},
      {"not HTTP", "SSH-2.0-OpenSSH_9.2\r\n\r\n", "",
       "the server's answer to the WebSocket upgrade is not HTTP: SSH-2.0-OpenSSH_9.2"},
      {"text message", "", TLoopbackPeer::WsFrame(1, "{\"json\": 1}"),
       "the server sent a text message; MQTT travels in binary WebSocket messages only"},
      {"masked server frame", "", std::string("\x82\x84\x01\x02\x03\x04" "abcd", 10),
       "the server broke the WebSocket framing"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.Name);
    TLoopbackPeer peer(Peer(c.Sent, c.Answer));
    TWSocket s;
    TEventLog log;
    Prepare(s, log, peer.Port());
    // Sent before the answer: it waits for the upgrade, and never leaves.
    s.OnSessionConnected = [&](TWSocket *sender, std::uint16_t) { sender->SendStr("CONNECT"); };
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return log.Closed(); }));
    EXPECT_EQ(log.Events.back(), "Closed(10053)@wsClosed");
    EXPECT_EQ(s.WsFailure(), c.Failure);
    EXPECT_EQ(log.Data, "");
    if (!c.Answer.empty()) EXPECT_EQ(peer.Received(), "");
  }
}

// The server's close: our reply carries its status, the status is logged, and
// the owner hears of the close after the payload before it.
TEST_P(WSocketWs, ServerCloseIsAnsweredAndLogged) {
  const std::string close = TLoopbackPeer::WsFrame(8, std::string("\x03\xe9", 2) + "going away");
  TLoopbackPeer peer(Peer(TLoopbackPeer::WsFrame(2, ConnAck) + close));
  TWSocket s;
  TEventLog log;
  Prepare(s, log, peer.Port());
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return log.Closed(); }));
  EXPECT_EQ(log.Data, ConnAck);
  EXPECT_EQ(log.Events.back(), "Closed(0)@wsClosed");
  EXPECT_TRUE(Noted("WebSocket closed by the server with status 1001 (going away)"));
  ASSERT_TRUE(WaitUntil([&] { return peer.Finished() == 1; }));
  EXPECT_EQ(peer.WsFrames(), Frames{"close 1001"});
}

TEST_P(WSocketWs, ServerGoneBeforeAnswering) {
  TLoopbackPeer::TOptions o = Peer();
  o.Mode = TMode::SendThenClose;  // says nothing, closes
  TLoopbackPeer peer(o);
  TWSocket s;
  TEventLog log;
  Prepare(s, log, peer.Port());
  s.Connect();
  ASSERT_TRUE(WaitUntil([&] { return log.Closed(); }));
  EXPECT_EQ(s.WsFailure(), "the server closed the connection before answering the WebSocket upgrade");
}

INSTANTIATE_TEST_SUITE_P(Paths, WSocketWs, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Wss" : "Ws"; });

TEST(WsSession, AcceptKeyOfTheRfcExample) {
  EXPECT_EQ(TWsSession::AcceptFor("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

}  // namespace
