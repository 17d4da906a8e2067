#pragma once
// The client side of one WebSocket connection (RFC 6455) over a pair of
// memory buffers, like a TLS session: bytes from the peer go in with Feed,
// bytes for the peer come out with TakeOutput, and the payloads of the
// peer's messages are handed back as one byte stream. The framing is
// wslay's; this class adds the HTTP upgrade around it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "BlockQueue.h"

struct wslay_event_context;

struct TWsSettings {
  std::string Path = "/";
  // Sec-WebSocket-Protocol: "mqtt", or "mqttv3.1" for MQTT 3.1 brokers.
  std::string Protocol = "mqtt";
  // Extra request header lines, "Name: value" each.
  std::vector<std::string> Headers;
};

class TWsSession {
public:
  enum TResult { wrOk, wrFailed, wrClosed };

  // hostHeader: the Host header's value ("name" or "name:port").
  TWsSession(const TWsSettings &settings, const std::string &hostHeader);
  ~TWsSession();
  TWsSession(const TWsSession &) = delete;
  TWsSession &operator=(const TWsSession &) = delete;

  // Queues the upgrade request; once, before anything else.
  void Start();
  // Bytes from the peer: the upgrade answer, then frames. The payloads of
  // data messages are appended to out. wrFailed: Failure says why;
  // wrClosed: the peer's close frame was read (its reply is queued).
  TResult Feed(const char *data, std::size_t count, std::string &out);
  bool Open() const { return FOpen; }
  // Queues count bytes as one binary message; only once Open.
  bool Write(const char *data, std::size_t count);
  // Queues a close frame (once).
  void Close(std::uint16_t code);
  // Moves every byte waiting for the peer to the end of queue.
  void TakeOutput(TBlockQueue &queue);
  bool HasOutput() const { return !FOut.empty(); }

  const std::string &Failure() const { return FFailure; }
  // The HTTP status line of the upgrade answer.
  const std::string &StatusLine() const { return FStatusLine; }
  bool CloseReceived() const { return FCloseReceived; }
  bool CloseSent() const { return FCloseSent; }
  // The peer's close frame: its status (1005 when it had none) and reason.
  std::uint16_t PeerCloseCode() const { return FPeerCloseCode; }
  const std::string &PeerCloseReason() const { return FPeerCloseReason; }

  // "Sec-WebSocket-Accept" for a key.
  static std::string AcceptFor(const std::string &key);

private:
  bool ReadUpgradeAnswer();
  void Pump();
  static long RecvCb(wslay_event_context *, std::uint8_t *buf, std::size_t len, int, void *self);
  static long SendCb(wslay_event_context *, const std::uint8_t *data, std::size_t len, int, void *self);
  static int MaskCb(wslay_event_context *, std::uint8_t *buf, std::size_t len, void *self);
  static void MsgCb(wslay_event_context *, const void *arg, void *self);

  TWsSettings FSettings;
  std::string FHost;
  std::string FKey;
  wslay_event_context *FCtx = nullptr;
  bool FOpen = false;
  bool FFailed = false;
  bool FCloseReceived = false;
  bool FCloseSent = false;
  std::uint16_t FPeerCloseCode = 0;
  std::string FPeerCloseReason;
  std::string FFailure;
  std::string FStatusLine;
  std::string FAnswer;  // the upgrade answer read so far
  std::string FOut;     // bytes for the peer
  const char *FIn = nullptr;  // bytes being fed, from FIn to FInEnd
  const char *FInEnd = nullptr;
  std::string *FPayloads = nullptr;
  int FDataOpcode = 0;       // of the data message being received
  bool FInControl = false;   // the frame being received is a control frame
};
