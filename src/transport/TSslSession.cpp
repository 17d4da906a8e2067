#include "TSslSession.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "BlockQueue.h"
#include "TSslContext.h"

TSslSession::TSslSession(SSL_CTX *ctx) {
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
  SSL_set_connect_state(FSsl);
  ERR_clear_error();
}

TSslSession::~TSslSession() {
  SSL_free(FSsl);  // frees both buffers
  ERR_clear_error();
}

void TSslSession::Feed(const char *data, std::size_t count) {
  if (count > 0) BIO_write(FIn, data, static_cast<int>(count));
}

std::size_t TSslSession::PendingOutput() const { return BIO_ctrl_pending(FOut); }

void TSslSession::TakeOutput(TBlockQueue &queue) {
  // Straight from the buffer's memory into the queue, then empty the buffer.
  char *data = nullptr;
  long n = BIO_get_mem_data(FOut, &data);
  if (n <= 0) return;
  queue.Append(data, static_cast<std::size_t>(n));
  (void)BIO_reset(FOut);
}

TSslSession::TResult TSslSession::Outcome(int ret) const {
  switch (SSL_get_error(FSsl, ret)) {
  case SSL_ERROR_WANT_READ:
  case SSL_ERROR_WANT_WRITE: return srWantMore;
  case SSL_ERROR_ZERO_RETURN: return srPeerClosed;
  default: break;
  }
  // The error queue holds why; keep its reasons and leave the queue empty.
  FLastError.clear();
  while (unsigned long e = ERR_get_error()) {
    const char *reason = ERR_reason_error_string(e);
    if (!FLastError.empty()) FLastError += "; ";
    FLastError += reason ? reason : "error " + std::to_string(e);
  }
  return srFatal;
}

TSslSession::TResult TSslSession::Handshake() {
  if (SSL_is_init_finished(FSsl)) return srOk;
  int r = SSL_do_handshake(FSsl);
  return r == 1 ? srOk : Outcome(r);
}

bool TSslSession::HandshakeDone() const { return SSL_is_init_finished(FSsl); }

TSslSession::TResult TSslSession::Read(std::string &out) {
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

TSslSession::TResult TSslSession::Write(const char *data, int count, int &written) {
  written = 0;
  int r = SSL_write(FSsl, data, count);
  if (r > 0) {
    written = r;
    return srOk;
  }
  return r == 0 ? srFatal : Outcome(r);
}

void TSslSession::Shutdown() {
  SSL_shutdown(FSsl);
  ERR_clear_error();
}

std::string TSslSession::Version() const { return SSL_get_version(FSsl); }

std::string TSslSession::CipherName() const {
  const SSL_CIPHER *c = SSL_get_current_cipher(FSsl);
  return c ? SSL_CIPHER_get_name(c) : "Unknown";
}

std::string TSslSession::CipherDesc() const {
  const SSL_CIPHER *c = SSL_get_current_cipher(FSsl);
  char buf[128];
  if (!c || !SSL_CIPHER_description(c, buf, sizeof buf)) return {};
  return buf;
}
