#pragma once
// One TLS client session over a pair of memory buffers: encrypted bytes from
// the peer go in with Feed, encrypted bytes for the peer come out with
// TakeOutput. The socket moves them to and from the operating system; this
// class never touches a socket.

#include <cstddef>
#include <cstdint>
#include <string>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct bio_st BIO;

class TBlockQueue;

// Why a TLS connection failed, as far as the client can tell.
enum TSslFailure : std::uint8_t {
  sfNone,
  sfUnknownAuthority,     // the broker's certificate does not chain to a trusted authority
  sfExpired,              // the broker's certificate (or one above it) has expired
  sfNameMismatch,         // the broker's certificate does not name the host
  sfNotVerified,          // the broker's certificate failed verification otherwise
  sfClientCertRequired,   // the broker asked for a client certificate and got none
  sfClientCertRejected,   // the broker did not accept the client certificate
  sfOther,                // anything else: protocol error, no common version, setup failure
};

class TSslSession {
public:
  enum TResult { srOk, srWantMore, srPeerClosed, srFatal };

  // Creates the session in client mode, without session resumption. With a
  // name given, the broker's certificate must name it (checkName) and the
  // name goes out as server name indication (sendServerName); an IP literal is
  // checked against the certificate's addresses and never sent. Throws
  // ESslContextException on failure.
  TSslSession(SSL_CTX *ctx, const std::string &name = {}, bool checkName = false, bool sendServerName = false);

  // Lets sessions of this context notice that the broker asked for a client
  // certificate (see Failure).
  static void WatchCertificateRequests(SSL_CTX *ctx);
  ~TSslSession();
  TSslSession(const TSslSession &) = delete;
  TSslSession &operator=(const TSslSession &) = delete;

  void Feed(const char *data, std::size_t count);
  std::size_t PendingOutput() const;
  // Moves every encrypted byte waiting for the peer to the end of queue.
  void TakeOutput(TBlockQueue &queue);

  // Drives the handshake; srOk once it has completed.
  TResult Handshake();
  bool HandshakeDone() const;
  // Decrypts whatever is available and appends it to out.
  TResult Read(std::string &out);
  // Encrypts count bytes (count > 0); written is set to the bytes taken.
  TResult Write(const char *data, int count, int &written);
  // Queues a close_notify.
  void Shutdown();

  // OpenSSL's reason for the last fatal result, or empty.
  const std::string &LastError() const { return FLastError; }

  std::string Version() const;
  std::string CipherName() const;
  std::string CipherDesc() const;

  // After a failed handshake or a fatal error: the reason, and a sentence for
  // the user saying why and what to do (for sfOther: LastError).
  TSslFailure Failure() const;
  std::string FailureText() const;

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
