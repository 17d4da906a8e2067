// The engine module's context: OpenSSL's SSL_CTX built from the settings.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "OpenSslSession.h"
#include "SslSettings.h"

namespace {

// The TLS protocol version number of a range bound (0x0300 .. 0x0304).
int SslVersionNumber(TSslVerMethod v) {
  switch (v) {
  case sslVerSSL3: return SSL3_VERSION;
  case sslVerTLS1: return TLS1_VERSION;
  case sslVerTLS1_1: return TLS1_1_VERSION;
  case sslVerTLS1_2: return TLS1_2_VERSION;
  case sslVerTLS1_3:
  case sslVerMax: return TLS1_3_VERSION;
  }
  return TLS1_3_VERSION;
}

std::string LastSslErrorText() {
  std::string text;
  while (unsigned long e = ERR_get_error()) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    if (!text.empty()) text += "\n";
    text += buf;
  }
  return text;
}

class TOpenSslContext final : public TSslContextEngine {
public:
  explicit TOpenSslContext(SSL_CTX *ctx) : FCtx(ctx) {}
  ~TOpenSslContext() override { SSL_CTX_free(FCtx); }
  TOpenSslContext(const TOpenSslContext &) = delete;
  TOpenSslContext &operator=(const TOpenSslContext &) = delete;

  std::unique_ptr<TSslSession> NewSession(const std::string &name, bool checkName, bool sendServerName) override {
    return std::make_unique<TOpenSslSession>(FCtx, name, checkName, sendServerName);
  }

private:
  SSL_CTX *FCtx;
};

SSL_CTX *NewSslCtx(const TSslSettings &settings) {
  ERR_clear_error();
  SSL_CTX *ctx = SSL_CTX_new(TLS_method());
  if (!ctx) throw ESslContextException("Failed to initialize context");
  try {
    SSL_CTX_set_security_level(ctx, settings.SslSecLevel);
    // Versions this OpenSSL build cannot speak are skipped by OpenSSL itself;
    // the bounds are accepted as long as they are known version numbers.
    SSL_CTX_set_min_proto_version(ctx, SslVersionNumber(settings.SslMinVersion));
    SSL_CTX_set_max_proto_version(ctx, SslVersionNumber(settings.SslMaxVersion));
    if (settings.SslOptions) SSL_CTX_set_options(ctx, settings.SslOptions);
    if (settings.SslCipherList.empty()) throw ESslContextException("Cipher list empty");
    if (SSL_CTX_set_cipher_list(ctx, settings.SslCipherList.c_str()) != 1)
      throw ESslContextException("Error loading cipher list - " + LastSslErrorText());
    if (!settings.SslCAFile.empty() || !settings.SslCAPath.empty()) {
      if (SSL_CTX_load_verify_locations(ctx, settings.SslCAFile.empty() ? nullptr : settings.SslCAFile.c_str(),
                                        settings.SslCAPath.empty() ? nullptr : settings.SslCAPath.c_str()) != 1)
        throw ESslContextException("Error loading CA file '" + settings.SslCAFile + "' or folder '" + settings.SslCAPath + "' - " +
                                   LastSslErrorText());
    } else if (SSL_CTX_set_default_verify_paths(ctx) != 1)
      throw ESslContextException("Error loading default CA file and/or directory");
    if (!settings.SslCertFile.empty()) {
      const std::string &keyFile = settings.SslPrivKeyFile.empty() ? settings.SslCertFile : settings.SslPrivKeyFile;
      if (SSL_CTX_use_certificate_chain_file(ctx, settings.SslCertFile.c_str()) != 1)
        throw ESslContextException("Error loading certificate file '" + settings.SslCertFile + "' - " + LastSslErrorText());
      if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
          SSL_CTX_check_private_key(ctx) != 1) {
        if (ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH)
          throw ESslContextException("The private key '" + keyFile + "' does not belong to the certificate '" +
                                     settings.SslCertFile + "'");
        throw ESslContextException("Error loading private key file '" + keyFile + "' - " + LastSslErrorText());
      }
    }
    if (!settings.SslAlpn.empty()) {
      std::string wire;  // each name behind its length byte
      for (const std::string &name : settings.SslAlpn) {
        if (name.empty() || name.size() > 255)
          throw ESslContextException("An ALPN protocol name must have 1 to 255 characters: '" + name + "'");
        wire += static_cast<char>(name.size());
        wire += name;
      }
      if (SSL_CTX_set_alpn_protos(ctx, reinterpret_cast<const unsigned char *>(wire.data()),
                                  static_cast<unsigned>(wire.size())) != 0)
        throw ESslContextException("Error setting the ALPN protocols - " + LastSslErrorText());
    }
    SSL_CTX_set_mode(ctx, SSL_MODE_AUTO_RETRY);
    SSL_CTX_set_verify(ctx, settings.SslVerifyPeer ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
    // Without verification nothing of the chain is looked at.
    SSL_CTX_set_verify_depth(ctx, settings.SslVerifyPeer ? 100 : 0);
    TOpenSslSession::WatchCertificateRequests(ctx);
  } catch (...) {
    SSL_CTX_free(ctx);
    ERR_clear_error();
    throw;
  }
  ERR_clear_error();
  return ctx;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) TSslContextEngine *VyrTlsNewContext(const TSslSettings &settings) {
  return new TOpenSslContext(NewSslCtx(settings));
}
