#pragma once
// One TLS client session over a pair of memory buffers: encrypted bytes from
// the peer go in with Feed, encrypted bytes for the peer come out with
// TakeOutput. The socket moves them to and from the operating system; this
// class never touches a socket.

#include <cstddef>
#include <string>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct bio_st BIO;

class TBlockQueue;

class TSslSession {
public:
  enum TResult { srOk, srWantMore, srPeerClosed, srFatal };

  // Creates the session in client mode, without server name indication and
  // without session resumption. Throws ESslContextException on failure.
  explicit TSslSession(SSL_CTX *ctx);
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

private:
  TResult Outcome(int ret) const;
  SSL *FSsl = nullptr;
  BIO *FIn = nullptr;   // owned by FSsl once attached
  BIO *FOut = nullptr;  // owned by FSsl once attached
  mutable std::string FLastError;
};
