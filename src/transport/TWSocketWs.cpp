// The WebSocket layer of TWSocket, between the owner and TLS or TCP: the
// owner's bytes go out as binary messages, the payloads of the peer's
// messages come back as one stream, with the same events as without it.

#include <sys/socket.h>

#include "TWSocket.h"

#include <QTimer>

namespace {
std::string HostHeader(const std::string &addr, const std::string &port) {
  const bool bareIPv6 = addr.find(':') != std::string::npos && addr.front() != '[';
  return (bareIPv6 ? "[" + addr + "]" : addr) + ":" + port;
}
}  // namespace

std::string TWSocket::PathName() const {
  std::string path = FWsEnable ? (FSslEnable ? "WebSocket over TLS" : "WebSocket") : FSslEnable ? "TLS" : "TCP";
  if (FProxy.Kind) path += " via proxy";
  return path;
}

void TWSocket::Note(const std::string &line) {
  if (!OnTransportNote) return;
  auto handler = OnTransportNote;  // the handler may replace the member
  handler(this, line);
}

void TWSocket::WsStart() {
  FWs = std::make_unique<TWsSession>(FWsSettings, HostHeader(FAddrStr, FPortStr));
  FWs->Start();
  WsFlush();
}

// Frames for the peer go to the layer below: TLS, or the socket itself.
void TWSocket::WsFlush() {
  if (!FWs || !FWs->HasOutput() || FHSocket < 0) return;
  if (FSslEnable) {
    FWs->TakeOutput(FSslPlainQueue);
    SslWritePlain();
  } else {
    FWs->TakeOutput(FSendQueue);
    TryToSend();
  }
}

void TWSocket::WsReadFromSocket() {
  // Servers tend to write each packet as a frame of its own: what the system
  // holds is unframed in one pass and announced once, not frame by frame.
  // The buffer is kept from read to read: a fresh one of this size would be
  // new pages from the system each time.
  constexpr std::size_t chunk = 65536, chunks = 8;
  if (FWsInBuf.size() < chunk * chunks) FWsInBuf.resize(chunk * chunks);
  std::size_t used = 0;
  for (std::size_t i = 0; i < chunks; ++i) {
    const ssize_t r = ::recv(FHSocket, FWsInBuf.data() + used, chunk, 0);
    if (r <= 0) break;
    used += static_cast<std::size_t>(r);
    if (static_cast<std::size_t>(r) < chunk) break;
  }
  if (used > 0) WsFeed(FWsInBuf.data(), used);
}

void TWSocket::WsFeed(const char *data, std::size_t count) {
  QPointer<TWSocket> self(this);
  const auto conn = FConnection;
  auto gone = [&] { return !self || FConnection != conn || FHSocket < 0 || !FWs; };
  const bool wasOpen = FWs->Open();
  if (FWsRxPos > 0 && FWsRxPos == FWsRxBuf.size()) {
    FWsRxBuf.clear();
    FWsRxPos = 0;
  }
  const auto res = FWs->Feed(data, count, FWsRxBuf);
  WsFlush();  // pongs and the reply to a close
  if (gone()) return;
  if (res == TWsSession::wrFailed) {
    FWsFailure = FWs->Failure();
    Note("WebSocket: " + FWsFailure);
    WsFail();
    return;
  }
  if (!wasOpen && FWs->Open()) {
    Note("WebSocket: " + FWs->StatusLine() + ", protocol " + FWsSettings.Protocol);
    // What the owner sent meanwhile leaves as one message.
    std::string waiting;
    waiting.reserve(FWsPlainQueue.Size());
    for (auto head = FWsPlainQueue.Head(); !head.empty(); head = FWsPlainQueue.Head()) {
      waiting.append(head.data(), head.size());
      FWsPlainQueue.Remove(head.size());
    }
    if (!waiting.empty()) FWs->Write(waiting.data(), waiting.size());
    WsFlush();
    if (gone()) return;
  }
  WsAnnounce();
  if (gone()) return;
  if (res == TWsSession::wrClosed && !FWsCloseAnnounced) {
    FWsCloseAnnounced = true;
    std::string line = "WebSocket closed by the server with status " + std::to_string(FWs->PeerCloseCode());
    if (!FWs->PeerCloseReason().empty()) line += " (" + FWs->PeerCloseReason() + ")";
    Note(line);
    // Our close frame is queued in reply; the connection ends behind it.
    PostRequest(rqClose);
  }
}

void TWSocket::WsAnnounce() {
  AnnounceHeld(FWsRxBuf, FWsRxPos, [this] { return !FWs; });
}

// Servers write each packet as a frame of its own, and a stream of them would
// wake the loop once per frame. After a read, the next one waits a
// millisecond for the frames behind it: the first message after a quiet spell
// is still read at once.
void TWSocket::WsPace() {
  if (FWsPaced || FHSocket < 0) return;
  FWsPaced = true;
  UpdateNotifiers();
  const auto conn = FConnection;
  QTimer::singleShot(1, Qt::PreciseTimer, this, [this, conn] {
    FWsPaced = false;
    if (conn == FConnection) UpdateNotifiers();
  });
}

void TWSocket::WsFail() {
  if (FSsl)
    SslBeginClose(true, 10053);
  else
    InternalClose(true, 10053);
}

// The peer ended the connection: if the upgrade was still unanswered, that is
// the reason the owner will want.
void TWSocket::WsNoteUnfinishedUpgrade() {
  if (FWs && !FWs->Open() && FWsFailure.empty())
    FWsFailure = "the server closed the connection before answering the WebSocket upgrade";
}

void TWSocket::WsResetFields() {
  FWs.reset();
  FWsPlainQueue.Clear();
  FWsRxBuf.clear();
  FWsRxPos = 0;
  FWsInBuf.clear();
  FWsInBuf.shrink_to_fit();
  FWsCloseAnnounced = false;
  FWsPaced = false;
}
