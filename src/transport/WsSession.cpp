#include "WsSession.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QRandomGenerator>

#include <wslay/wslay.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// An upgrade answer longer than this is not one.
constexpr std::size_t MaxAnswer = 16384;

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}

std::string Trim(const std::string &s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// The value of a header (the first of that name, case-insensitive), or npos-like empty with found false.
bool Header(const std::string &head, const std::string &name, std::string &value) {
  std::size_t pos = head.find("\r\n");
  const std::string want = Lower(name);
  while (pos != std::string::npos && pos + 2 < head.size()) {
    const std::size_t start = pos + 2;
    const std::size_t end = head.find("\r\n", start);
    const std::string line = head.substr(start, (end == std::string::npos ? head.size() : end) - start);
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos && Lower(Trim(line.substr(0, colon))) == want) {
      value = Trim(line.substr(colon + 1));
      return true;
    }
    pos = end;
  }
  return false;
}

bool HasToken(const std::string &list, const std::string &token) {
  std::size_t start = 0;
  const std::string l = Lower(list);
  for (;;) {
    const std::size_t comma = l.find(',', start);
    if (Trim(l.substr(start, comma == std::string::npos ? std::string::npos : comma - start)) == token) return true;
    if (comma == std::string::npos) return false;
    start = comma + 1;
  }
}

}  // namespace

TWsSession::TWsSession(const TWsSettings &settings, const std::string &hostHeader)
    : FSettings(settings), FHost(hostHeader) {
  if (FSettings.Path.empty() || FSettings.Path.front() != '/') FSettings.Path.insert(0, "/");
  wslay_event_callbacks cbs{};
  cbs.recv_callback = [](wslay_event_context_ptr c, uint8_t *b, size_t l, int f, void *u) -> ssize_t {
    return RecvCb(c, b, l, f, u);
  };
  cbs.send_callback = [](wslay_event_context_ptr c, const uint8_t *d, size_t l, int f, void *u) -> ssize_t {
    return SendCb(c, d, l, f, u);
  };
  cbs.genmask_callback = [](wslay_event_context_ptr c, uint8_t *b, size_t l, void *u) { return MaskCb(c, b, l, u); };
  cbs.on_msg_recv_callback = [](wslay_event_context_ptr c, const wslay_event_on_msg_recv_arg *a, void *u) {
    MsgCb(c, a, u);
  };
  // Payload goes straight to the owner's stream as it arrives, instead of
  // being gathered per message first: MQTT does not care where messages end.
  cbs.on_frame_recv_start_callback = [](wslay_event_context_ptr, const wslay_event_on_frame_recv_start_arg *a,
                                        void *u) {
    auto *s = static_cast<TWsSession *>(u);
    if (a->opcode == WSLAY_BINARY_FRAME || a->opcode == WSLAY_TEXT_FRAME) s->FDataOpcode = a->opcode;
    s->FInControl = (a->opcode & 0x8) != 0;
    if (a->opcode == WSLAY_TEXT_FRAME) {
      s->FFailed = true;
      s->FFailure = "the server sent a text message; MQTT travels in binary WebSocket messages only";
    }
  };
  cbs.on_frame_recv_chunk_callback = [](wslay_event_context_ptr, const wslay_event_on_frame_recv_chunk_arg *a,
                                        void *u) {
    auto *s = static_cast<TWsSession *>(u);
    if (!s->FInControl && s->FDataOpcode == WSLAY_BINARY_FRAME && s->FPayloads)
      s->FPayloads->append(reinterpret_cast<const char *>(a->data), a->data_length);
  };
  wslay_event_context_client_init(&FCtx, &cbs, this);
  wslay_event_config_set_no_buffering(FCtx, 1);
}

TWsSession::~TWsSession() {
  if (FCtx) wslay_event_context_free(FCtx);
}

std::string TWsSession::AcceptFor(const std::string &key) {
  const QByteArray text = QByteArray::fromStdString(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11");
  return QCryptographicHash::hash(text, QCryptographicHash::Sha1).toBase64().toStdString();
}

void TWsSession::Start() {
  quint32 raw[4];
  QRandomGenerator::system()->fillRange(raw);
  FKey = QByteArray(reinterpret_cast<const char *>(raw), sizeof raw).toBase64().toStdString();
  std::string req = "GET " + FSettings.Path + " HTTP/1.1\r\nHost: " + FHost +
                    "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + FKey +
                    "\r\nSec-WebSocket-Version: 13\r\n";
  if (!FSettings.Protocol.empty()) req += "Sec-WebSocket-Protocol: " + FSettings.Protocol + "\r\n";
  for (const std::string &h : FSettings.Headers) req += h + "\r\n";
  req += "\r\n";
  FOut += req;
}

TWsSession::TResult TWsSession::Feed(const char *data, std::size_t count, std::string &out) {
  if (FFailed) return wrFailed;
  if (!FOpen) {
    const std::size_t before = FAnswer.size();
    FAnswer.append(data, count);
    const std::size_t end = FAnswer.find("\r\n\r\n");
    if (end == std::string::npos) {
      if (FAnswer.size() <= MaxAnswer) return wrOk;
      FFailed = true;
      FFailure = "the server's answer to the WebSocket upgrade is not HTTP";
      return wrFailed;
    }
    // What follows the answer is already framed.
    const std::size_t used = end + 4 - before;
    FAnswer.resize(end + 2);
    if (!ReadUpgradeAnswer()) return wrFailed;
    data += used;
    count -= used;
  }
  FIn = data;
  FInEnd = data + count;
  FPayloads = &out;
  const int rv = wslay_event_recv(FCtx);
  FIn = FInEnd = nullptr;
  FPayloads = nullptr;
  if (FFailed) return wrFailed;
  if (rv != 0) {
    FFailed = true;
    FFailure = "WebSocket framing failed";
    return wrFailed;
  }
  Pump();
  if (!wslay_event_get_read_enabled(FCtx) && !FCloseReceived) {
    // wslay stops reading after a protocol error and queues a close frame.
    FFailed = true;
    FFailure = "the server broke the WebSocket framing";
    return wrFailed;
  }
  return FCloseReceived ? wrClosed : wrOk;
}

bool TWsSession::ReadUpgradeAnswer() {
  auto fail = [this](const std::string &why) {
    FFailed = true;
    FFailure = why;
    return false;
  };
  FStatusLine = FAnswer.substr(0, FAnswer.find("\r\n"));
  // "HTTP/1.1 101 Switching Protocols"
  const std::size_t sp = FStatusLine.find(' ');
  if (FStatusLine.rfind("HTTP/", 0) != 0 || sp == std::string::npos)
    return fail("the server's answer to the WebSocket upgrade is not HTTP: " + FStatusLine.substr(0, 80));
  if (FStatusLine.compare(sp + 1, 3, "101") != 0 || (FStatusLine.size() > sp + 4 && FStatusLine[sp + 4] != ' '))
    return fail("the server refused the WebSocket upgrade: " + FStatusLine);
  std::string v;
  if (!Header(FAnswer, "Upgrade", v) || Lower(v) != "websocket")
    return fail("the server's upgrade answer does not switch to WebSocket");
  if (!Header(FAnswer, "Connection", v) || !HasToken(v, "upgrade"))
    return fail("the server's upgrade answer does not switch to WebSocket");
  if (!Header(FAnswer, "Sec-WebSocket-Accept", v) || v != AcceptFor(FKey))
    return fail("the server's upgrade answer has a wrong Sec-WebSocket-Accept");
  if (Header(FAnswer, "Sec-WebSocket-Protocol", v) && v != FSettings.Protocol)
    return fail("the server chose the WebSocket protocol '" + v + "', not '" + FSettings.Protocol + "'");
  FAnswer.clear();
  FAnswer.shrink_to_fit();
  FOpen = true;
  return true;
}

bool TWsSession::Write(const char *data, std::size_t count) {
  if (!FOpen || FFailed || FCloseSent || count == 0) return false;
  wslay_event_msg msg{WSLAY_BINARY_FRAME, reinterpret_cast<const uint8_t *>(data), count};
  if (wslay_event_queue_msg(FCtx, &msg) != 0) return false;
  Pump();
  return true;
}

void TWsSession::Close(std::uint16_t code) {
  if (!FOpen || FCloseSent) return;
  wslay_event_queue_close(FCtx, code, nullptr, 0);
  Pump();
}

void TWsSession::Pump() {
  if (!FOpen) return;
  wslay_event_send(FCtx);
  if (wslay_event_get_close_sent(FCtx)) FCloseSent = true;
}

void TWsSession::TakeOutput(TBlockQueue &queue) {
  if (FOut.empty()) return;
  queue.Append(FOut.data(), FOut.size());
  FOut.clear();
}

long TWsSession::RecvCb(wslay_event_context *ctx, std::uint8_t *buf, std::size_t len, int, void *self) {
  auto *s = static_cast<TWsSession *>(self);
  const std::size_t n = std::min(len, static_cast<std::size_t>(s->FInEnd - s->FIn));
  if (n == 0) {
    wslay_event_set_error(ctx, WSLAY_ERR_WOULDBLOCK);
    return -1;
  }
  std::memcpy(buf, s->FIn, n);
  s->FIn += n;
  return static_cast<long>(n);
}

long TWsSession::SendCb(wslay_event_context *, const std::uint8_t *data, std::size_t len, int, void *self) {
  static_cast<TWsSession *>(self)->FOut.append(reinterpret_cast<const char *>(data), len);
  return static_cast<long>(len);
}

int TWsSession::MaskCb(wslay_event_context *, std::uint8_t *buf, std::size_t len, void *) {
  // Masks only keep intermediaries from reading frames as requests; a fast
  // generator seeded from the system is enough.
  for (std::size_t i = 0; i < len; i += 4) {
    const quint32 r = QRandomGenerator::global()->generate();
    std::memcpy(buf + i, &r, std::min<std::size_t>(4, len - i));
  }
  return 0;
}

void TWsSession::MsgCb(wslay_event_context *, const void *a, void *self) {
  auto *s = static_cast<TWsSession *>(self);
  const auto *arg = static_cast<const wslay_event_on_msg_recv_arg *>(a);
  switch (arg->opcode) {
  case WSLAY_CONNECTION_CLOSE:
    s->FCloseReceived = true;
    s->FPeerCloseCode = arg->status_code;
    // The reason follows the two bytes of the status.
    if (arg->msg_length > 2) s->FPeerCloseReason.assign(reinterpret_cast<const char *>(arg->msg) + 2, arg->msg_length - 2);
    break;
  default: break;
  }
}
