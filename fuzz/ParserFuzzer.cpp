// libFuzzer target for TMQTTParser::Parse. The input is two control bytes and
// a byte stream. The stream goes to one parser whole, to a second in chunks
// chosen by the control bytes, and to a third in the same chunks whose
// handlers throw now and then; two control bits pick the protocol level for
// all of them. All three must report the same events; once a stream is
// broken nothing may follow; every decoded PUBLISH, SUBSCRIBE, UNSUBSCRIBE,
// SUBACK and acknowledgement (at level 5 with its reason and properties), built again by the engine and parsed once more,
// must come back unchanged.
#include "EventLog.h"
#include "uMQTT.h"

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <stdexcept>

namespace {

void Require(bool condition, const char *what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// Chunk sizes from a small xorshift generator: mostly tiny, sometimes large.
struct TChunker {
  std::uint32_t State;
  std::size_t Next(std::size_t left) {
    State ^= State << 13;
    State ^= State >> 17;
    State ^= State << 5;
    std::size_t n = (State & 7) == 0 ? State % 512 : State % 6;
    n = n == 0 ? 1 : n;
    return n < left ? n : left;
  }
};

void CheckState(const TMQTTParser &p) {
  Require(p.RxState() >= 0 && p.RxState() <= 3, "receive state out of range");
  Require(p.KeepAliveCount() == 0 || p.KeepAliveCount() == p.KeepAlive() * 10u, "keep-alive count");
}

// Re-encodes each decoded packet that the engine can build and parses it again.
struct TRebuilder {
  TMQTTParser Encoder;
  TMQTTParser Decoder;
  TEventLog DecoderLog{Decoder};
  const std::vector<std::string> *OriginalLines = nullptr;

  explicit TRebuilder(TMQTTParser &original, const TEventLog &originalLog) {
    OriginalLines = &originalLog.Lines;
    Encoder.ProtocolLevel = Decoder.ProtocolLevel = original.ProtocolLevel;
    Encoder.OnSend = [this](TMQTTParser *, std::uint16_t, std::int32_t, TByteStream &s) { Decoder.Parse(s.View()); };
    // Below level 5 the properties are always empty and the reason always 0.
    const bool level5 = original.ProtocolLevel == plMQTT5;
    Wrap(original.OnPublish, [this](TMQTTParser *s, std::uint16_t id, std::string t, std::string m) {
      Encoder.SendPublish(id, t, m, s->RxQos, s->RxDup, s->RxRetain, CopyProperties(s->RxProperties));
    });
    Wrap(original.OnSubscribe, [this](TMQTTParser *s, std::uint16_t id, const TTaggedStrings &t) {
      Encoder.SendSubscribe(id, t, CopyProperties(s->RxProperties));
    });
    Wrap(original.OnUnsubscribe, [this](TMQTTParser *s, std::uint16_t id, const TTaggedStrings &t) {
      Encoder.SendUnsubscribe(id, t, CopyProperties(s->RxProperties));
    });
    Wrap(original.OnSubAck, [this](TMQTTParser *s, std::uint16_t id, const std::vector<TMQTTQOSType> &q) {
      Encoder.SendSubAck(id, q, CopyProperties(s->RxProperties));
    });
    Wrap(original.OnPubAck, [this, level5](TMQTTParser *s, std::uint16_t id) {
      if (level5) Encoder.SendReply(mtPUBACK, id, s->RxReason, CopyProperties(s->RxProperties));
      else Encoder.SendPubAck(id);
    });
    Wrap(original.OnPubRel, [this, level5](TMQTTParser *s, std::uint16_t id) {
      if (level5) Encoder.SendReply(mtPUBREL, id, s->RxReason, CopyProperties(s->RxProperties));
      else Encoder.SendPubRel(id, false);
    });
    Wrap(original.OnUnsubAck, [this, level5](TMQTTParser *s, std::uint16_t id) {
      if (level5) Encoder.SendUnsubAck(id, s->RxReasons, CopyProperties(s->RxProperties));
      else Encoder.SendUnsubAck(id);
    });
    Wrap(original.OnConnAck, [this, level5](TMQTTParser *s, std::uint8_t code) {
      if (level5) Encoder.SendConnAck(code, s->RxSessionPresent, CopyProperties(s->RxProperties));
      else Encoder.SendConnAck(code, s->RxSessionPresent);
    });
    Wrap(original.OnDisconnect, [this](TMQTTParser *s) { Encoder.SendDisconnect(s->RxReason, CopyProperties(s->RxProperties)); });
    if (level5) Wrap(original.OnAuth, [this](TMQTTParser *s) { Encoder.SendAuth(s->RxReason, CopyProperties(s->RxProperties)); });
  }

  template <typename Event, typename Build> void Wrap(Event &event, Build build) {
    event = [this, inner = event, build](auto... args) {
      inner(args...);
      build(args...);
      Require(!DecoderLog.Lines.empty() && DecoderLog.Lines.back() == OriginalLines->back(),
              "packet built again does not decode to the same event");
    };
  }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t control = data[1];
  TChunker chunker{0x9E3779B9u ^ data[0] ^ std::uint32_t(control) << 8};
  const std::string_view input(reinterpret_cast<const char *>(data) + 2, size - 2);
  // A small cap now and then, so that the broken-stream path is reached.
  const std::int32_t cap = (control & 1) ? 64 : 16 * 1024 * 1024;
  const unsigned throwEvery = 1 + (control >> 1 & 7);

  // All three protocol levels: they decode CONNACK and SUBACK differently, and level 5 every packet.
  const TMQTTProtocolLevel level = (control & 0x20) ? plMQTT5 : (control & 0x10) ? plMQTT311 : plMQTT31;

  TMQTTParser whole, chunked, throwing;
  for (TMQTTParser *p : {&whole, &chunked, &throwing}) {
    p->MaxRxLength = cap;
    p->ProtocolLevel = level;
  }
  TEventLog wholeLog(whole, true), chunkedLog(chunked, true), throwingLog(throwing, true);
  TRebuilder rebuild(whole, wholeLog);

  // The third parser's handlers record the event, then throw on every n-th one.
  // OnSetWill is left alone: a throw there rightly suppresses the OnConnect after it.
  unsigned count = 0;
  auto thrower = [&](auto &event) {
    event = [&count, throwEvery, inner = event](auto... args) {
      inner(args...);
      if (++count % throwEvery == 0) throw std::runtime_error("handler failed");
    };
  };
  thrower(throwing.OnHeader);
  thrower(throwing.OnPublish);
  thrower(throwing.OnPubAck);
  thrower(throwing.OnSubscribe);
  thrower(throwing.OnConnect);
  thrower(throwing.OnPingResp);

  whole.Parse(input);
  CheckState(whole);

  std::string_view rest = input;
  while (!rest.empty()) {
    std::size_t n = chunker.Next(rest.size());
    chunked.Parse(rest.substr(0, n));
    CheckState(chunked);
    bool again = true;
    for (std::string_view piece = rest.substr(0, n); again; piece = {}) {
      try {
        throwing.Parse(piece);
        again = false;
      } catch (const std::runtime_error &) {
      }
      CheckState(throwing);
    }
    rest.remove_prefix(n);
  }

  Require(chunkedLog.Lines == wholeLog.Lines, "chunked delivery changed the events");
  Require(throwingLog.Lines == wholeLog.Lines, "throwing handlers changed the events");
  for (std::size_t i = 0; i < wholeLog.Lines.size(); ++i)
    if (wholeLog.Lines[i].rfind("broken ", 0) == 0)
      Require(i + 1 == wholeLog.Lines.size(), "an event after the stream broke");
  Require(whole.StreamBroken() == (!wholeLog.Lines.empty() && wholeLog.Lines.back().rfind("broken ", 0) == 0),
          "broken state and broken event disagree");
  return 0;
}
