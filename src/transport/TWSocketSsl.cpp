// The TLS layer of TWSocket: the session is fed with the encrypted bytes the
// socket receives, its encrypted output goes through the socket's send queue,
// and the owner sees only plaintext, with the same events as without TLS.

#include <sys/socket.h>

#include <utility>

#include "TSslSession.h"
#include "TWSocket.h"

void TWSocket::StartSslHandshake() {
  FSSLState = sslHandshakeInit;
  try {
    if (!FSslContext) throw ESslContextException("SSL requires a context object");
    if (!FSslContext->IsInitialized()) FSslContext->InitContext();
    const bool verify = FSslContext->SslVerifyPeer;
    FSsl = FSslContext->NewSession(SslPeerName(), verify, verify || !FSslServerName.empty());
    if (FSsl->Handshake() == TSslSession::srFatal) throw ESslContextException("Failed to start the handshake");
    FSSLState = sslHandshakeStarted;
  } catch (...) {
    FSSLState = sslHandshakeFailed;
    SslResetFields();
    throw;
  }
  SslFlushOutput();
}

void TWSocket::SslFlushOutput() {
  if (!FSsl || FHSocket < 0) return;
  FSsl->TakeOutput(FSendQueue);
  TryToSend();
}

void TWSocket::SslReadFromSocket() {
  char buf[32767];
  ssize_t r = ::recv(FHSocket, buf, sizeof buf, 0);
  if (r > 0) FSsl->Feed(buf, static_cast<std::size_t>(r));
  QPointer<TWSocket> self(this);
  const auto conn = FConnection;
  auto gone = [&] { return !self || FConnection != conn || FHSocket < 0 || !FSsl; };

  if (!FSsl->HandshakeDone()) {
    auto res = FSsl->Handshake();
    if (res == TSslSession::srFatal || res == TSslSession::srPeerClosed) {
      SslNoteFailure(false);
      SslFlushOutput();  // the alert, if the system still takes it
      if (!gone()) SslFail(10053);
      return;
    }
    if (!FSsl->HandshakeDone()) {
      SslFlushOutput();
      return;
    }
    // The last handshake bytes leave together with the waiting plaintext:
    // as two small writes, the second would wait for the peer's delayed ACK.
    SslHandshakeDone(true);
    if (gone()) return;
  }
  if (FSslRxPos > 0 && FSslRxPos == FSslRxBuf.size()) {
    FSslRxBuf.clear();
    FSslRxPos = 0;
  }
  auto res = FSsl->Read(FSslRxBuf);
  SslFlushOutput();
  if (gone()) return;
  SslAnnounce();
  if (gone()) return;
  if (res == TSslSession::srPeerClosed) {
    // The peer's close_notify: no close_notify of our own, just finish.
    FSSLState = sslInShutdown;
    WsNoteUnfinishedUpgrade();
    SslBeginClose(false, 0);
  } else if (res == TSslSession::srFatal) {
    // At TLS 1.3 a broker refuses a client certificate only after the
    // handshake has completed on this side.
    SslNoteFailure(true);
    SslBeginClose(false, 10053);
  }
}

void TWSocket::SslNoteFailure(bool certificateProblemsOnly) {
  if (!FSsl || FSslFailureKind != sfNone) return;
  const TSslFailure failure = FSsl->Failure();
  if (certificateProblemsOnly && failure == sfOther) return;
  FSslFailureKind = failure;
  FSslFailure = FSsl->FailureText();
  if (FSslFailure.empty()) FSslFailure = "the peer closed the connection during it";
}

void TWSocket::SslAnnounce() {
  if (FWs) {
    // Decrypted bytes are WebSocket frames: the owner hears of their payload.
    if (FSslRxBuf.size() > FSslRxPos) {
      std::string frames;
      frames.swap(FSslRxBuf);
      const std::size_t from = std::exchange(FSslRxPos, 0);
      WsFeed(frames.data() + from, frames.size() - from);
    }
    return;
  }
  AnnounceHeld(FSslRxBuf, FSslRxPos, [this] { return !FSsl; });
}

std::string TWSocket::SslPeerName() const {
  const std::string &name = FSslServerName.empty() ? FAddrStr : FSslServerName;
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') return name.substr(1, name.size() - 2);
  return name;
}

void TWSocket::SslHandshakeDone(bool success) {
  if (FHSocket < 0) success = false;
  if (!success) {
    FSSLState = sslHandshakeFailed;
    return;
  }
  FSSLState = sslEstablished;
  // A verifying session gets here only with a certificate valid for the name.
  if (FSslContext && FSslContext->SslVerifyPeer)
    FSslVerifiedName = SslPeerName();
  FSslVersion = FSsl->Version();
  FSslCipher = FSsl->CipherName();
  FSslCipherDesc = FSsl->CipherDesc();
  if (FSslContext && !FSslContext->SslAlpn.empty()) {
    const std::string chosen = FSsl->AlpnSelected();
    Note(chosen.empty() ? "TLS: the broker chose no ALPN protocol" : "TLS: ALPN protocol " + chosen);
  }
  // What the owner sent before the handshake completed leaves now, first.
  SslWritePlain();
}

void TWSocket::SslWritePlain() {
  if (!FSsl || FSSLState != sslEstablished || FSslCloseStarted || FHSocket < 0) return;
  // Encrypt ahead only a little: the rest waits as plaintext until the system
  // has taken what is already encrypted. Records gathered in one pass go out
  // in one write.
  while (!FSslPlainQueue.Empty() && FSendQueue.Size() < 65536) {
    auto head = FSslPlainQueue.Head();
    int written = 0;
    auto res = FSsl->Write(head.data(), static_cast<int>(head.size()), written);
    if (res == TSslSession::srWantMore) break;
    if (res != TSslSession::srOk) {
      SslBeginClose(false, 10053);
      return;
    }
    FSslPlainQueue.Remove(static_cast<std::size_t>(written));
    FSsl->TakeOutput(FSendQueue);
    if (FSendQueue.Size() >= 65536) {
      TryToSend();
      if (!FSsl || FHSocket < 0) return;
    }
  }
  SslFlushOutput();
}

void TWSocket::SslBeginClose(bool sendCloseNotify, int error) {
  if (!FSsl || FSslCloseStarted) return;
  FSslCloseStarted = true;
  if (error != 0) FSslCloseError = error;
  FSSLState = sslInShutdown;
  if (sendCloseNotify) {
    FSsl->Shutdown();
    SslFlushOutput();
  }
  SslCheckCloseReady();
}

void TWSocket::SslCheckCloseReady() {
  if (!FSsl || !FSslCloseStarted || FSslClosePosted || FHSocket < 0 || !FSendQueue.Empty()) return;
  ::shutdown(FHSocket, SHUT_WR);
  FSSLState = sslShutdownComplete;
  FSslClosePosted = true;
  PostRequest(rqSslClose);
}

void TWSocket::SslFail(int error) {
  if (FSslFailureKind == sfNone)
    FSslFailure = FSsl && !FSsl->LastError().empty() ? FSsl->LastError() : "the peer closed the connection during it";
  FSSLState = sslHandshakeFailed;
  SslResetFields();
  InternalClose(true, error);
}

void TWSocket::SslResetFields() {
  FSSLState = sslNone;
  FSslVersion = "Unknown";
  FSslCipher = "Unknown";
  FSslCipherDesc.clear();
  FSslVerifiedName.clear();
  FSsl.reset();
  FSslPlainQueue.Clear();
  FSslRxBuf.clear();
  FSslRxPos = 0;
  FSslCloseError = 0;
  FSslCloseStarted = false;
  FSslClosePosted = false;
  FSslCloseAnnounced = false;
  WsResetFields();
}
