#pragma once
// One TLS client session over a pair of memory buffers: encrypted bytes from
// the peer go in with Feed, encrypted bytes for the peer come out with
// TakeOutput. The socket moves them to and from the operating system; a
// session never touches a socket. Sessions are made by the TLS engine's
// context (TSslContext::NewSession).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "BlockQueue.h"

// Why a TLS connection failed, as far as the client can tell.
enum TSslFailure : std::uint8_t {
  sfNone,
  sfUnknownAuthority,     // the broker's certificate does not chain to a trusted authority
  sfExpired,              // the broker's certificate (or one above it) has expired
  sfNameMismatch,         // the broker's certificate does not name the host
  sfNotVerified,          // the broker's certificate failed verification otherwise
  sfClientCertRequired,   // the broker asked for a client certificate and got none
  sfClientCertRejected,   // the broker did not accept the client certificate
  sfNoCommonVersion,      // the two sides accept no TLS version in common
  sfOther,                // anything else: protocol error, setup failure
};

class TSslSession {
public:
  enum TResult { srOk, srWantMore, srPeerClosed, srFatal };

  virtual ~TSslSession() = default;

  virtual void Feed(const char *data, std::size_t count) = 0;
  // Encrypted bytes waiting for the peer, and forgetting them once taken.
  virtual std::string_view PendingOutput() const = 0;
  virtual void DropOutput() = 0;
  // Moves every encrypted byte waiting for the peer to the end of queue.
  void TakeOutput(TBlockQueue &queue) {
    const std::string_view out = PendingOutput();
    if (out.empty()) return;
    queue.Append(out.data(), out.size());
    DropOutput();
  }

  // Drives the handshake; srOk once it has completed.
  virtual TResult Handshake() = 0;
  virtual bool HandshakeDone() const = 0;
  // Decrypts whatever is available and appends it to out.
  virtual TResult Read(std::string &out) = 0;
  // Encrypts count bytes (count > 0); written is set to the bytes taken.
  virtual TResult Write(const char *data, int count, int &written) = 0;
  // Queues a close_notify.
  virtual void Shutdown() = 0;

  // The engine's reason for the last fatal result, or empty.
  virtual const std::string &LastError() const = 0;

  virtual std::string Version() const = 0;
  virtual std::string CipherName() const = 0;
  virtual std::string CipherDesc() const = 0;
  // The application protocol the peer chose (ALPN), or empty.
  virtual std::string AlpnSelected() const = 0;

  // After a failed handshake or a fatal error: the reason, and a sentence for
  // the user saying why and what to do (for sfOther: LastError).
  virtual TSslFailure Failure() const = 0;
  virtual std::string FailureText() const = 0;
};
