// Verified TLS: the broker's certificate against a private authority made at
// test time (trusted, unknown, expired, for another name), client
// certificates for a broker that requires one, and the server name sent (or
// not) as seen by openssl s_server. The brokers are real mosquitto TLS
// listeners on loopback.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>

#include "EventLog.h"
#include "TestBroker.h"
#include "TlsServers.h"

namespace {

// An MQTT 3.1 CONNECT (client "verify-test", clean session, keep-alive 10 s).
const std::string MqttConnect("\x10\x19\x00\x06MQIsdp\x03\x02\x00\x0a\x00\x0bverify-test", 27);
const std::string ConnAckAccepted("\x20\x02\x00\x00", 4);

class WSocketVerify : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    Dir = new std::string(MakeTempDir("vyr-verify"));
    Ca = new TestAuthority(*Dir);
    Certs = new std::map<std::string, TestCertificate>{
        {"server", Ca->Issue({"server", "vyr broker", {"localhost"}, {"127.0.0.1", "::1"}})},
        {"name-only", Ca->Issue({"name-only", "vyr broker", {"localhost"}, {}})},
        {"expired", Ca->Issue({"expired", "vyr broker", {"localhost"}, {"127.0.0.1"}, true})},
        {"client", Ca->Issue({"client", "vyr client", {}, {}, false, true})},
    };
    Stranger = new TestAuthority(*Dir + "/stranger", "Somebody Else's CA");
  }
  static void TearDownTestSuite() {
    RunShell("rm -rf '" + *Dir + "'");
    delete Certs;
    delete Stranger;
    delete Ca;
    delete Dir;
  }

  struct Outcome {
    bool Accepted = false; // the broker's CONNACK arrived through TLS
    std::string VerifiedName;
    TSslFailure Failure = sfNone;
    std::string FailureText;
  };

  // Connects to addr:port with ctx, sends CONNECT and waits for the CONNACK
  // or the close.
  static Outcome Attempt(TSslContext &ctx, const std::string &addr, int port) {
    TWSocket s;
    TEventLog log;
    log.Attach(s);
    Outcome out;
    s.OnSessionConnected = [&](TWSocket *sender, std::uint16_t code) {
      log.Events.push_back("Connected(" + std::to_string(code) + ")");
      if (code == 0) sender->SendStr(MqttConnect);
    };
    s.OnDataAvailable = [&](TWSocket *sender, std::uint16_t) {
      log.Data += sender->ReceiveStrA();
      if (log.Data == ConnAckAccepted) {
        out.Accepted = true;
        out.VerifiedName = sender->SslVerifiedName();
      }
    };
    s.SetSslContext(&ctx);
    s.SetSslEnable(true);
    Target(s, port, addr);
    s.Connect();
    EXPECT_TRUE(WaitUntil([&] { return out.Accepted || log.Closed(); }, 20000)) << addr;
    out.Failure = s.SslFailureKind();
    out.FailureText = s.SslFailure();
    return out;
  }

  static std::string *Dir;
  static TestAuthority *Ca;
  static TestAuthority *Stranger;
  static std::map<std::string, TestCertificate> *Certs;
};
std::string *WSocketVerify::Dir;
TestAuthority *WSocketVerify::Ca;
TestAuthority *WSocketVerify::Stranger;
std::map<std::string, TestCertificate> *WSocketVerify::Certs;

TEST_F(WSocketVerify, BrokerCertificateMatrix) {
  struct Case {
    const char *Name;
    const char *ServerCert;
    bool Verify;
    bool GiveCa;
    std::string Addr;
    TSslFailure Failure;      // sfNone: accepted
    const char *TextPart;     // in the failure text
  };
  const Case cases[] = {
      {"ca given, by name", "server", true, true, "localhost", sfNone, ""},
      {"ca given, by IPv4 literal", "server", true, true, "127.0.0.1", sfNone, ""},
      {"ca not given: system store only", "server", true, false, "127.0.0.1", sfUnknownAuthority,
       "give the CA certificate"},
      {"name mismatch: certificate without the address", "name-only", true, true, "127.0.0.1", sfNameMismatch,
       "not valid for '127.0.0.1'"},
      {"expired certificate", "expired", true, true, "127.0.0.1", sfExpired, "has expired"},
      {"insecure: expired and unknown, nothing checked", "expired", false, false, "127.0.0.1", sfNone, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    TestBroker broker({.Tls = true, .TlsCert = Certs->at(c.ServerCert)});
    TSslContext ctx;
    ctx.SslVerifyPeer = c.Verify;
    if (c.GiveCa) ctx.SslCAFile = Ca->CertFile();
    const Outcome out = Attempt(ctx, c.Addr, broker.TlsPort());
    EXPECT_EQ(out.Failure, c.Failure) << out.FailureText;
    EXPECT_EQ(out.Accepted, c.Failure == sfNone);
    EXPECT_NE(out.FailureText.find(c.TextPart), std::string::npos) << out.FailureText;
    if (out.Accepted) {
      EXPECT_EQ(out.VerifiedName, c.Verify ? c.Addr : "");
    }
  }
}

TEST_F(WSocketVerify, CaFolderIsTrustedLikeACaFile) {
  const std::string folder = *Dir + "/hashed";
  ASSERT_EQ(RunShell("mkdir -p '" + folder + "' && cp '" + Ca->CertFile() + "' '" + folder +
                     "/' && openssl rehash '" + folder + "' 2>/dev/null"),
            0);
  TestBroker broker({.Tls = true, .TlsCert = Certs->at("server")});
  TSslContext ctx;
  ctx.SslVerifyPeer = true;
  ctx.SslCAPath = folder;
  const Outcome out = Attempt(ctx, "localhost", broker.TlsPort());
  EXPECT_TRUE(out.Accepted) << out.FailureText;
  EXPECT_EQ(out.VerifiedName, "localhost");
}

TEST_F(WSocketVerify, ClientCertificateMatrix) {
  struct Case {
    const char *Name;
    std::optional<TestCertificate> ClientCert;
    TSslFailure Failure;
  };
  const Case cases[] = {
      {"certificate and key given", Certs->at("client"), sfNone},
      {"none given", std::nullopt, sfClientCertRequired},
      {"one from another authority", Stranger->Issue({"stranger-client", "vyr client", {}, {}, false, true}),
       sfClientCertRejected},
  };
  TestBroker broker({.Tls = true, .TlsCert = Certs->at("server"), .ClientCA = Ca->CertFile()});
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    TSslContext ctx;
    ctx.SslVerifyPeer = true;
    ctx.SslCAFile = Ca->CertFile();
    if (c.ClientCert) {
      ctx.SslCertFile = c.ClientCert->CertFile;
      ctx.SslPrivKeyFile = c.ClientCert->KeyFile;
    }
    const Outcome out = Attempt(ctx, "127.0.0.1", broker.TlsPort());
    EXPECT_EQ(out.Failure, c.Failure) << out.FailureText;
    EXPECT_EQ(out.Accepted, c.Failure == sfNone);
  }
}

TEST_F(WSocketVerify, KeyThatDoesNotBelongToTheCertificateIsRefusedAtSetUp) {
  TSslContext ctx;
  ctx.SslCertFile = Certs->at("client").CertFile;
  ctx.SslPrivKeyFile = Certs->at("server").KeyFile;
  try {
    ctx.InitContext();
    FAIL() << "no exception";
  } catch (const ESslContextException &e) {
    EXPECT_NE(std::string(e.what()).find("does not belong to the certificate"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(ctx.IsInitialized());
}

// openssl s_server, asked to expect a server name, prints the extension it
// received: a host name goes out when verifying or when set, an IP literal
// never, and nothing at all without either.
TEST_F(WSocketVerify, ServerNameIndication) {
  struct Case {
    const char *Name;
    bool Verify;
    std::string ServerName;
    std::string Addr;
    bool Sent;
  };
  const Case cases[] = {
      {"verifying a host name", true, "", "localhost", true},
      {"set without verifying", false, "localhost", "127.0.0.1", true},
      {"verifying an IP literal", true, "", "127.0.0.1", false},
      {"neither: as without options", false, "", "localhost", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string output = *Dir + "/s_server.out";
    {
      const TestCertificate &cert = Certs->at("server");
      TOpenSslServer server(cert,
                            {"-servername", "localhost", "-cert2", cert.CertFile, "-key2", cert.KeyFile, "-tlsextdebug"},
                            output);
      TSslContext ctx;
      ctx.SslVerifyPeer = c.Verify;
      ctx.SslCAFile = Ca->CertFile();
      TWSocket s;
      TEventLog log;
      log.Attach(s);
      s.SetSslContext(&ctx);
      s.SetSslEnable(true);
      s.SetSslServerName(c.ServerName);
      Target(s, server.Port(), c.Addr);
      s.Connect();
      ASSERT_TRUE(WaitUntil([&] { return s.SslState() == sslEstablished || log.Closed(); }));
      EXPECT_EQ(s.SslState(), sslEstablished) << s.SslFailure();
      s.Close();
      WaitUntil([&] { return log.Closed(); });
      // the server writes its report of the handshake before it answers
    }
    std::ifstream in(output);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(text.find("TLS client extension \"server name\"") != std::string::npos, c.Sent) << text;
    EXPECT_EQ(text.find(".localhost") != std::string::npos, c.Sent) << text;
  }
}

} // namespace
