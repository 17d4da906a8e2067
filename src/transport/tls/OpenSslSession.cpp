#include "OpenSslSession.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include "SslSettings.h"

namespace {
bool IsIPLiteral(const std::string &name) {
  unsigned char buf[16];
  return inet_pton(AF_INET, name.c_str(), buf) == 1 || inet_pton(AF_INET6, name.c_str(), buf) == 1;
}
} // namespace

int NoteCertificateRequest(SSL *ssl, void *) {
  if (auto *session = static_cast<TOpenSslSession *>(SSL_get_app_data(ssl))) session->FCertRequested = true;
  return 1;
}

void TOpenSslSession::WatchCertificateRequests(SSL_CTX *ctx) { SSL_CTX_set_cert_cb(ctx, NoteCertificateRequest, nullptr); }

TOpenSslSession::TOpenSslSession(SSL_CTX *ctx, const std::string &name, bool checkName, bool sendServerName) : FName(name) {
  ERR_clear_error();
  FSsl = SSL_new(ctx);
  if (!FSsl) throw ESslContextException("Failed to create SSL session");
  FIn = BIO_new(BIO_s_mem());
  FOut = BIO_new(BIO_s_mem());
  if (!FIn || !FOut) {
    BIO_free(FIn);
    BIO_free(FOut);
    SSL_free(FSsl);
    throw ESslContextException("Failed to create SSL buffers");
  }
  // An empty input buffer means "more to come", not end of stream.
  BIO_set_mem_eof_return(FIn, -1);
  SSL_set_bio(FSsl, FIn, FOut);
  SSL_set_options(FSsl, SSL_OP_NO_TICKET);
  SSL_set_app_data(FSsl, this);
  const bool ip = IsIPLiteral(name);
  bool named = true;
  if (checkName && !name.empty()) {
    SSL_set_hostflags(FSsl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    named = ip ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(FSsl), name.c_str()) == 1
               : SSL_set1_host(FSsl, name.c_str()) == 1;
  }
  if (named && sendServerName && !name.empty() && !ip) named = SSL_set_tlsext_host_name(FSsl, name.c_str()) == 1;
  if (!named) {
    SSL_free(FSsl);
    throw ESslContextException("Cannot use '" + name + "' as the broker's name");
  }
  SSL_set_connect_state(FSsl);
  ERR_clear_error();
}

TOpenSslSession::~TOpenSslSession() {
  SSL_free(FSsl);  // frees both buffers
  ERR_clear_error();
}

void TOpenSslSession::Feed(const char *data, std::size_t count) {
  if (count > 0) BIO_write(FIn, data, static_cast<int>(count));
}

// The output buffer's own memory: the socket copies it once, into its queue.
std::string_view TOpenSslSession::PendingOutput() const {
  char *data = nullptr;
  const long n = BIO_get_mem_data(FOut, &data);
  return n > 0 ? std::string_view(data, std::size_t(n)) : std::string_view();
}

void TOpenSslSession::DropOutput() { (void)BIO_reset(FOut); }

TSslSession::TResult TOpenSslSession::Outcome(int ret) {
  switch (SSL_get_error(FSsl, ret)) {
  case SSL_ERROR_WANT_READ:
  case SSL_ERROR_WANT_WRITE: return srWantMore;
  case SSL_ERROR_ZERO_RETURN: return srPeerClosed;
  default: break;
  }
  // The error queue holds why; keep its reasons and leave the queue empty.
  FLastErrorCode = ERR_peek_error();
  FLastError.clear();
  while (unsigned long e = ERR_get_error()) {
    const char *reason = ERR_reason_error_string(e);
    if (!FLastError.empty()) FLastError += "; ";
    FLastError += reason ? reason : "error " + std::to_string(e);
  }
  return srFatal;
}

TSslFailure TOpenSslSession::Failure() const {
  // Without verification OpenSSL still records what it found; it did not count.
  const long verify = (SSL_get_verify_mode(FSsl) & SSL_VERIFY_PEER) ? SSL_get_verify_result(FSsl) : X509_V_OK;
  switch (verify) {
  case X509_V_OK: break;
  case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
  case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
  case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
  case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
  case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
  case X509_V_ERR_CERT_UNTRUSTED: return sfUnknownAuthority;
  case X509_V_ERR_CERT_HAS_EXPIRED: return sfExpired;
  case X509_V_ERR_HOSTNAME_MISMATCH:
  case X509_V_ERR_IP_ADDRESS_MISMATCH: return sfNameMismatch;
  default: return sfNotVerified;
  }
  const int reason = ERR_GET_REASON(FLastErrorCode);
  if (FCertRequested && SSL_get_certificate(FSsl) == nullptr &&
      (reason == SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED || reason == SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE ||
       reason == SSL_R_TLSV1_ALERT_ACCESS_DENIED || reason == 0))
    return sfClientCertRequired;
  if (FCertRequested && SSL_get_certificate(FSsl) != nullptr &&
      (reason == SSL_R_TLSV1_ALERT_UNKNOWN_CA || reason == SSL_R_SSLV3_ALERT_BAD_CERTIFICATE ||
       reason == SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED || reason == SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN ||
       reason == SSL_R_TLSV1_ALERT_DECRYPT_ERROR || reason == SSL_R_SSLV3_ALERT_UNSUPPORTED_CERTIFICATE))
    return sfClientCertRejected;
  if (reason == SSL_R_UNSUPPORTED_PROTOCOL || reason == SSL_R_TLSV1_ALERT_PROTOCOL_VERSION ||
      reason == SSL_R_NO_PROTOCOLS_AVAILABLE || reason == SSL_R_WRONG_SSL_VERSION || reason == SSL_R_VERSION_TOO_LOW ||
      reason == SSL_R_VERSION_TOO_HIGH || reason == SSL_R_UNSUPPORTED_SSL_VERSION)
    return sfNoCommonVersion;
  return sfOther;
}

namespace {
// The client certificate's own state, which the broker's alert may not tell.
bool OwnCertificateExpired(SSL *aSsl) {
  X509 *cert = SSL_get_certificate(aSsl);
  return cert && X509_cmp_current_time(X509_get0_notAfter(cert)) < 0;
}
} // namespace

std::string TOpenSslSession::FailureText() const {
  const long verify = SSL_get_verify_result(FSsl);
  const std::string detail = X509_verify_cert_error_string(verify);
  switch (Failure()) {
  case sfNone: return {};
  case sfUnknownAuthority:
    return "the broker's certificate was not issued by a trusted authority (" + detail +
           "): give the CA certificate that signed it, or choose insecure";
  case sfExpired: return "the broker's certificate has expired: renew it on the broker, or choose insecure";
  case sfNameMismatch:
    return "the broker's certificate is not valid for '" + FName +
           "': connect with a name the certificate lists, or choose insecure";
  case sfNotVerified:
    return "the broker's certificate was not accepted (" + detail +
           "): give the right CA certificate, or choose insecure";
  case sfClientCertRequired: return "the broker requires a client certificate: give a certificate and its key";
  case sfClientCertRejected: {
    const int alert = ERR_GET_REASON(FLastErrorCode);
    if (alert == SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED || OwnCertificateExpired(FSsl))
      return "the broker did not accept the client certificate: the client certificate has expired; renew it";
    // Brokers answer an unknown issuer with any of these alerts.
    return "the broker did not accept the client certificate (" + FLastError +
           "): it is unknown to the broker or not signed by an authority the broker trusts; give one that is";
  }
  case sfNoCommonVersion:
    return "there is no TLS version that both accept (" + FLastError +
           "): allow an older version here, or a newer one on the broker";
  case sfOther: break;
  }
  return FLastError;
}

TSslSession::TResult TOpenSslSession::Handshake() {
  if (SSL_is_init_finished(FSsl)) return srOk;
  int r = SSL_do_handshake(FSsl);
  return r == 1 ? srOk : Outcome(r);
}

bool TOpenSslSession::HandshakeDone() const { return SSL_is_init_finished(FSsl); }

TSslSession::TResult TOpenSslSession::Read(std::string &out) {
  // Decrypts straight into the end of out, one record's worth at a time.
  const std::size_t room = 16384;
  for (;;) {
    const std::size_t used = out.size();
    out.resize(used + room);
    int r = SSL_read(FSsl, out.data() + used, static_cast<int>(room));
    out.resize(used + static_cast<std::size_t>(r > 0 ? r : 0));
    if (r <= 0) return Outcome(r);
  }
}

TSslSession::TResult TOpenSslSession::Write(const char *data, int count, int &written) {
  written = 0;
  int r = SSL_write(FSsl, data, count);
  if (r > 0) {
    written = r;
    return srOk;
  }
  return r == 0 ? srFatal : Outcome(r);
}

void TOpenSslSession::Shutdown() {
  SSL_shutdown(FSsl);
  ERR_clear_error();
}

std::string TOpenSslSession::Version() const { return SSL_get_version(FSsl); }

std::string TOpenSslSession::CipherName() const {
  const SSL_CIPHER *c = SSL_get_current_cipher(FSsl);
  return c ? SSL_CIPHER_get_name(c) : "Unknown";
}

std::string TOpenSslSession::CipherDesc() const {
  const SSL_CIPHER *c = SSL_get_current_cipher(FSsl);
  char buf[128];
  if (!c || !SSL_CIPHER_description(c, buf, sizeof buf)) return {};
  return buf;
}

std::string TOpenSslSession::AlpnSelected() const {
  const unsigned char *data = nullptr;
  unsigned int len = 0;
  SSL_get0_alpn_selected(FSsl, &data, &len);
  return data ? std::string(reinterpret_cast<const char *>(data), len) : std::string();
}
