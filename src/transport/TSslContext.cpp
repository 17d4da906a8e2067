#include "TSslContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "TSslSession.h"

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

namespace {

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

}  // namespace

TSslContext::TSslContext(QObject *owner) : QObject(owner) {}

TSslContext::~TSslContext() { DeInitContext(); }

void TSslContext::DeInitContext() {
  std::lock_guard<std::mutex> lock(FLock);
  SSL_CTX_free(FSslCtx);
  FSslCtx = nullptr;
}

void TSslContext::InitContext() {
  std::lock_guard<std::mutex> lock(FLock);
  if (FSslCtx) return;
  ERR_clear_error();
  SSL_CTX *ctx = SSL_CTX_new(TLS_method());
  if (!ctx) throw ESslContextException("Failed to initialize context");
  try {
    SSL_CTX_set_security_level(ctx, SslSecLevel);
    // Versions this OpenSSL build cannot speak are skipped by OpenSSL itself;
    // the bounds are accepted as long as they are known version numbers.
    SSL_CTX_set_min_proto_version(ctx, SslVersionNumber(SslMinVersion));
    SSL_CTX_set_max_proto_version(ctx, SslVersionNumber(SslMaxVersion));
    if (SslOptions) SSL_CTX_set_options(ctx, SslOptions);
    if (SslCipherList.empty()) throw ESslContextException("Cipher list empty");
    if (SSL_CTX_set_cipher_list(ctx, SslCipherList.c_str()) != 1)
      throw ESslContextException("Error loading cipher list - " + LastSslErrorText());
    if (!SslCAFile.empty() || !SslCAPath.empty()) {
      if (SSL_CTX_load_verify_locations(ctx, SslCAFile.empty() ? nullptr : SslCAFile.c_str(),
                                        SslCAPath.empty() ? nullptr : SslCAPath.c_str()) != 1)
        throw ESslContextException("Error loading CA file '" + SslCAFile + "' or folder '" + SslCAPath + "' - " +
                                   LastSslErrorText());
    } else if (SSL_CTX_set_default_verify_paths(ctx) != 1)
      throw ESslContextException("Error loading default CA file and/or directory");
    if (!SslCertFile.empty()) {
      const std::string &keyFile = SslPrivKeyFile.empty() ? SslCertFile : SslPrivKeyFile;
      if (SSL_CTX_use_certificate_chain_file(ctx, SslCertFile.c_str()) != 1)
        throw ESslContextException("Error loading certificate file '" + SslCertFile + "' - " + LastSslErrorText());
      if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
          SSL_CTX_check_private_key(ctx) != 1) {
        if (ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH)
          throw ESslContextException("The private key '" + keyFile + "' does not belong to the certificate '" +
                                     SslCertFile + "'");
        throw ESslContextException("Error loading private key file '" + keyFile + "' - " + LastSslErrorText());
      }
    }
    SSL_CTX_set_mode(ctx, SSL_MODE_AUTO_RETRY);
    SSL_CTX_set_verify(ctx, SslVerifyPeer ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
    // Without verification nothing of the chain is looked at.
    SSL_CTX_set_verify_depth(ctx, SslVerifyPeer ? 100 : 0);
    TSslSession::WatchCertificateRequests(ctx);
  } catch (...) {
    SSL_CTX_free(ctx);
    ERR_clear_error();
    throw;
  }
  ERR_clear_error();
  FSslCtx = ctx;
}
