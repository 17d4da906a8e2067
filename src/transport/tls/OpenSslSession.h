#pragma once
// The TLS session of the engine module, on OpenSSL with memory buffers.

#include <string>

#include "TSslSession.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct bio_st BIO;

class TOpenSslSession final : public TSslSession {
public:
  // Creates the session in client mode, without session resumption; see
  // TSslContextEngine::NewSession. Throws ESslContextException on failure.
  TOpenSslSession(SSL_CTX *ctx, const std::string &name, bool checkName, bool sendServerName);

  // Lets sessions of this context notice that the broker asked for a client
  // certificate (see Failure).
  static void WatchCertificateRequests(SSL_CTX *ctx);
  ~TOpenSslSession() override;
  TOpenSslSession(const TOpenSslSession &) = delete;
  TOpenSslSession &operator=(const TOpenSslSession &) = delete;

  void Feed(const char *data, std::size_t count) override;
  std::string_view PendingOutput() const override;
  void DropOutput() override;
  TResult Handshake() override;
  bool HandshakeDone() const override;
  TResult Read(std::string &out) override;
  TResult Write(const char *data, int count, int &written) override;
  void Shutdown() override;
  const std::string &LastError() const override { return FLastError; }
  std::string Version() const override;
  std::string CipherName() const override;
  std::string CipherDesc() const override;
  std::string AlpnSelected() const override;
  TSslFailure Failure() const override;
  std::string FailureText() const override;

private:
  friend int NoteCertificateRequest(SSL *ssl, void *);
  TResult Outcome(int ret);
  std::string FName;
  bool FCertRequested = false;
  unsigned long FLastErrorCode = 0;  // OpenSSL's first error of the last fatal outcome
  SSL *FSsl = nullptr;
  BIO *FIn = nullptr;   // owned by FSsl once attached
  BIO *FOut = nullptr;  // owned by FSsl once attached
  std::string FLastError;
};
