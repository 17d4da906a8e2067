#pragma once
// What a TLS connection is set up with, and the face of the TLS engine. The
// engine itself (OpenSSL) lives in a module of its own that is loaded on the
// first TLS connection (see TlsModule.h): loading OpenSSL takes about as long
// as the rest of a short vyr-cli run, and a plain TCP connection never needs it.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class TSslSession;

class ESslContextException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

enum TSslVersionMethod : std::uint8_t { sslBestVer };

// Protocol versions for the accepted range.
enum TSslVerMethod : std::uint8_t {
  sslVerSSL3,
  sslVerTLS1,
  sslVerTLS1_1,
  sslVerTLS1_2,
  sslVerTLS1_3,
  sslVerMax,
};

// OpenSSL security levels 0..5.
enum TSslSecLevel : std::uint8_t {
  sslSecLevelAny,
  sslSecLevel80bits,
  sslSecLevel112bits,
  sslSecLevel128bits,
  sslSecLevel192bits,
  sslSecLevel256bits,
};

struct TSslSettings {
  TSslVersionMethod SslVersionMethod = sslBestVer;
  TSslVerMethod SslMinVersion = sslVerSSL3;
  TSslVerMethod SslMaxVersion = sslVerMax;
  TSslSecLevel SslSecLevel = sslSecLevel80bits;
  std::uint64_t SslOptions = 0;  // OpenSSL SSL_OP_* flags
  std::string SslCipherList = "ALL:!ADH:RC4+RSA:+SSLv2:@STRENGTH";
  // Verify the broker: its certificate must chain to a trusted authority and
  // name the host connected to (or its IP literal). Off: nothing is checked.
  bool SslVerifyPeer = false;
  // Trusted authorities: a PEM file and/or a folder of hashed certificates.
  // With neither, the system's trust store is used.
  std::string SslCAFile;
  std::string SslCAPath;
  // A certificate (PEM, may carry its chain) to show a broker that asks for
  // one, and its private key (PEM; taken from SslCertFile when empty).
  std::string SslCertFile;
  std::string SslPrivKeyFile;
  // Application protocols offered in the handshake (ALPN), in order of
  // preference; none: no ALPN extension.
  std::vector<std::string> SslAlpn;
};

// One configured TLS context of the engine, shared by every session made from it.
class TSslContextEngine {
public:
  virtual ~TSslContextEngine() = default;
  // A client session; with a name given, the broker's certificate must name it
  // (checkName) and the name goes out as server name indication
  // (sendServerName); an IP literal is checked against the certificate's
  // addresses and never sent. Throws ESslContextException.
  virtual std::unique_ptr<TSslSession> NewSession(const std::string &name, bool checkName,
                                                  bool sendServerName) = 0;
};

// The module's one entry point: a context configured from settings, owned by
// the caller. Throws ESslContextException with the reason.
extern "C" TSslContextEngine *VyrTlsNewContext(const TSslSettings &settings);
using TVyrTlsNewContext = decltype(&VyrTlsNewContext);
