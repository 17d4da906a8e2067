#pragma once
// TLS settings shared by every TLS connection of a socket. The OpenSSL context
// is made lazily, on the first TLS connection, and reused afterwards.

#include <QObject>

#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;

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

// The TLS protocol version number of a range bound (0x0300 .. 0x0304).
int SslVersionNumber(TSslVerMethod v);

class TSslContext : public QObject {
  Q_OBJECT
public:
  explicit TSslContext(QObject *owner = nullptr);
  ~TSslContext() override;
  TSslContext(const TSslContext &) = delete;
  TSslContext &operator=(const TSslContext &) = delete;

  // Settings; they take effect at the next InitContext.
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

  // Creates and configures OpenSSL's context; throws ESslContextException.
  void InitContext();
  // Frees OpenSSL's context; the next InitContext builds a new one.
  void DeInitContext();
  bool IsInitialized() const { return FSslCtx != nullptr; }
  // OpenSSL's context, or nullptr before InitContext.
  SSL_CTX *GetSslCtx() const { return FSslCtx; }

private:
  SSL_CTX *FSslCtx = nullptr;
  std::mutex FLock;
};
