// TMQTTParser's receive side. The receive state survives between calls, so a
// packet may be split at any byte. Header and remaining-length bytes are taken
// one at a time; body bytes are taken in bulk: a body that lies whole inside
// the input is decoded where it lies, otherwise the pieces are gathered in
// FRxStream until the body is complete (a PUBLISH payload is gathered straight
// into its message string, so its bytes are copied once).
#include "uMQTT.h"

#include "MQTTLimits.h"
#include "RxReader.h"

#include <algorithm>
#include <utility>

namespace {
// After four length bytes the multiplier has reached 128^4; a fifth byte is outside MQTT.
constexpr std::int32_t RxMultAfterFourBytes = 128 * 128 * 128 * 128;

// Why a received PUBLISH breaks the format's rules; empty when it keeps them.
// aHead holds at least the topic and identifier when they fit in the body of
// aBodySize bytes (the payload may lie elsewhere).
std::string PublishViolation(const std::uint8_t *aHead, std::size_t aHeadSize, std::size_t aBodySize,
                             TMQTTQOSType aQos) {
  if (aQos == qtReserved3) return "PUBLISH with QoS 3";
  if (aBodySize < 2) return "PUBLISH of " + std::to_string(aBodySize) + " byte(s) has no room for its topic length";
  TRxReader r{aHead, aHead + aHeadSize};
  const std::size_t count = r.Word();
  if (count > aBodySize - 2)
    return "PUBLISH topic length " + std::to_string(count) + " runs past the packet's " + std::to_string(aBodySize) +
           " bytes";
  const std::string_view topic(reinterpret_cast<const char *>(r.P), count);
  r.P += count;
  if (aQos != qtAT_MOST_ONCE) {
    if (aBodySize - 2 - count < 2)
      return "QoS " + std::to_string(aQos) + " PUBLISH has no room for its packet identifier";
    if (r.Word() == 0) return "QoS " + std::to_string(aQos) + " PUBLISH with packet identifier 0";
  }
  if (topic.empty()) return "PUBLISH with an empty topic";
  if (!IsWellFormedUtf8(topic)) return "PUBLISH topic is not valid UTF-8";
  if (topic.find('\0') != std::string_view::npos) return "PUBLISH topic holds a NUL character";
  if (topic.find_first_of("+#") != std::string_view::npos) return "PUBLISH topic holds a wildcard";
  return {};
}
} // namespace

void TMQTTParser::Parse(TByteStream &aStream) {
  std::string_view bytes = aStream.View().substr(aStream.Position());
  aStream.Seek(aStream.Size());
  Parse(bytes);
}

void TMQTTParser::Parse(std::string_view aStr) {
  if (FRxPending.empty()) {
    Consume(aStr);
    return;
  }
  std::string held;
  held.swap(FRxPending);
  held.append(aStr);
  Consume(held);
}

void TMQTTParser::Break(std::string aReason, std::uint8_t aCode) {
  FRxState = RxBroken;
  FBrokenReason = aCode;
  FRxStream.Clear();
  if (OnStreamBroken) OnStreamBroken(this, std::move(aReason));
}

void TMQTTParser::Consume(std::string_view aBytes) {
  const std::uint8_t *p = reinterpret_cast<const std::uint8_t *>(aBytes.data());
  const std::uint8_t *const end = p + aBytes.size();
  // Every event is raised after the bytes it stands for have been passed, so
  // if a handler throws, [p, end) is exactly what is left to parse.
  try {
    while (p < end) {
      switch (FRxState) {
      case 0:
        SplitFixedHeader(*p++, RxMsg, RxDup, RxQos, RxRetain);
        FRxState = 1;
        FRxMult = 1;
        FRxVal = 0;
        if (OnHeader) OnHeader(this, RxMsg, RxDup, RxQos, RxRetain);
        break;

      case 1: {
        if (FRxMult == RxMultAfterFourBytes) {
          p = end;
          Break("remaining length runs past four bytes");
          break;
        }
        std::uint8_t b = *p++;
        FRxVal += (b & 0x7F) * FRxMult;
        FRxMult *= 128;
        if (b & 0x80) break;
        FRxSkipping = FRxVal > MaxRxLength && RxMsg == mtPUBLISH;
        if (FRxVal > MaxRxLength && !FRxSkipping) {
          p = end;
          Break("remaining length " + std::to_string(FRxVal) + " is above the limit of " +
                    std::to_string(MaxRxLength),
                0x95);
          break;
        }
        ReloadKeepAlive();
        FRxStream.Clear();
        if (FRxVal > 0) {
          FRxState = 2;
          FRxBodySize = std::size_t(FRxVal);
          FRxHeadSize = 0;
          break;
        }
        FRxState = 0;
        if (ProtocolLevel == plMQTT5) {
          Dispatch5(nullptr, 0, nullptr);
        } else if (RxMsg == mtPINGREQ) {
          if (OnPing) OnPing(this);
        } else if (RxMsg == mtPINGRESP) {
          if (OnPingResp) OnPingResp(this);
        } else if (RxMsg == mtDISCONNECT) {
          if (OnDisconnect) OnDisconnect(this);
        }
        break;
      }

      case 2: {
        std::size_t available = std::size_t(end - p);
        const std::uint8_t *body;
        std::size_t size;
        std::string *gatheredPayload = nullptr;
        if (std::size_t(FRxVal) == FRxBodySize && available >= FRxBodySize && !FRxSkipping) {
          body = p;
          size = FRxBodySize;
          p += size;
        } else {
          std::size_t n = std::min(available, std::size_t(FRxVal));
          if (RxMsg == mtPUBLISH)
            GatherPublish(p, n);
          else
            FRxStream.Write(p, n);
          p += n;
          FRxVal -= std::int32_t(n);
          if (FRxVal > 0) break;
          body = FRxStream.Data();
          size = FRxStream.Size();
          if (RxMsg == mtPUBLISH) gatheredPayload = &FRxPayload;
        }
        FRxVal = 0;
        FRxState = 0;
        try {
          if (std::exchange(FRxSkipping, false))
            DispatchSkipped();
          else if (ProtocolLevel == plMQTT5)
            Dispatch5(body, size, gatheredPayload);
          else
            Dispatch(body, size, gatheredPayload);
        } catch (...) {
          ReloadKeepAlive();
          throw;
        }
        ReloadKeepAlive();
        break;
      }

      default: // broken: nothing more is read until Reset
        p = end;
        break;
      }
    }
  } catch (...) {
    FRxPending.assign(reinterpret_cast<const char *>(p), std::size_t(end - p));
    throw;
  }
}

// Takes the next piece of a PUBLISH body: the head into FRxStream, the payload
// into FRxPayload. The head ends where Dispatch would start the message: after
// the topic (or only its count, when the count runs past the body) and the
// identifier at QoS 1 and 2.
void TMQTTParser::GatherPublish(const std::uint8_t *aBytes, std::size_t aCount) {
  auto take = [&](std::size_t want) {
    const std::size_t n = std::min(want, aCount);
    FRxStream.Write(aBytes, n);
    aBytes += n;
    aCount -= n;
  };
  while (FRxHeadSize == 0 && ProtocolLevel == plMQTT5) {
    // The property length decides where the head ends: read it where it lies
    // when the piece holds it, otherwise take the head a step at a time.
    bool known = false;
    std::size_t want = FRxStream.Size() == 0 ? PublishHead5(aBytes, aCount, known) : 0;
    if (!known) want = PublishHead5(FRxStream.Data(), FRxStream.Size(), known);
    if (known) {
      FRxHeadSize = want;
      FRxPayload.clear();
      if (!FRxSkipping) FRxPayload.reserve(FRxBodySize - FRxHeadSize);
    } else {
      take(want - FRxStream.Size());
      if (FRxStream.Size() < want) return;
    }
  }
  if (FRxHeadSize == 0) {
    // The topic's count is usually in the first piece: read it where it lies.
    std::uint8_t count[2];
    if (FRxStream.Size() == 0 && aCount >= 2) {
      count[0] = aBytes[0];
      count[1] = aBytes[1];
    } else {
      take(2 - FRxStream.Size());
      if (FRxStream.Size() < 2) return;
      count[0] = FRxStream.Data()[0];
      count[1] = FRxStream.Data()[1];
    }
    const std::size_t topicSize = std::size_t(count[0]) << 8 | count[1];
    const std::size_t head = 2 + (topicSize <= FRxBodySize - 2 ? topicSize : 0) +
                             ((RxQos == qtAT_LEAST_ONCE || RxQos == qtEXACTLY_ONCE) ? 2 : 0);
    FRxHeadSize = std::min(head, FRxBodySize);
    FRxPayload.clear();
    if (!FRxSkipping) FRxPayload.reserve(FRxBodySize - FRxHeadSize);
  }
  if (FRxStream.Size() < FRxHeadSize) take(FRxHeadSize - FRxStream.Size());
  if (aCount > 0 && !FRxSkipping) FRxPayload.append(reinterpret_cast<const char *>(aBytes), aCount);
}

// Strict: breaks the stream at a PUBLISH that breaks the format's rules.
bool TMQTTParser::RejectPublish(const std::uint8_t *aHead, std::size_t aHeadSize, std::size_t aBodySize) {
  if (!Strict) return false;
  std::string why = PublishViolation(aHead, aHeadSize, aBodySize, RxQos);
  if (why.empty()) return false;
  Break("protocol violation: " + why);
  return true;
}

// A PUBLISH passed over: only its head was kept.
void TMQTTParser::DispatchSkipped() {
  if (ProtocolLevel == plMQTT5) return DispatchSkipped5();
  if (RejectPublish(FRxStream.Data(), FRxStream.Size(), FRxBodySize)) return;
  if (!OnPublishSkipped) return;
  TRxReader r{FRxStream.Data(), FRxStream.Data() + FRxStream.Size()};
  std::string topic = r.String();
  std::uint16_t id = (RxQos == qtAT_LEAST_ONCE || RxQos == qtEXACTLY_ONCE) ? r.Word() : 0;
  OnPublishSkipped(this, id, std::move(topic), FRxBodySize);
}

// Decodes a complete body by RxMsg and raises its event. Every field is read
// before the first handler runs, so a handler that resets or feeds the parser
// cannot disturb the body being decoded.
// For a PUBLISH gathered in pieces, aBody holds only the head and
// aGatheredPayload the rest.
void TMQTTParser::Dispatch(const std::uint8_t *aBody, std::size_t aSize, std::string *aGatheredPayload) {
  TRxReader r{aBody, aBody + aSize};
  switch (RxMsg) {
  case mtBROKERCONNECT:
  case mtCONNECT: {
    TMQTTConnectEvent &onConnect = RxMsg == mtCONNECT ? OnConnect : OnBrokerConnect;
    if (!onConnect && !OnSetWill) break;
    std::string protocol = r.String();
    std::uint8_t version = r.Byte();
    std::uint8_t flags = r.Byte();
    std::uint16_t keepAlive = r.Word();
    std::string clientID = r.String();
    std::string willTopic, willMessage, userName, password;
    if (flags & 0x04) {
      willTopic = r.String();
      willMessage = r.String();
    }
    if (flags & 0x80) userName = r.String();
    if (flags & 0x40) password = r.String();
    if ((flags & 0x04) && OnSetWill)
      OnSetWill(this, std::move(willTopic), std::move(willMessage), TMQTTQOSType((flags & 0x18) >> 3),
                flags & 0x20);
    if (onConnect)
      onConnect(this, std::move(protocol), version, std::move(clientID), std::move(userName), std::move(password),
                keepAlive, flags & 0x02);
    break;
  }
  case mtCONNACK:
    if (aSize == 2 && OnConnAck) {
      const std::uint8_t ackFlags = r.Byte();
      RxSessionPresent = ProtocolLevel == plMQTT311 && (ackFlags & 0x01);
      OnConnAck(this, r.Byte());
    }
    break;
  case mtPUBLISH:
    if (RejectPublish(aBody, aSize, aSize + (aGatheredPayload ? aGatheredPayload->size() : 0))) break;
    if (aSize + (aGatheredPayload ? aGatheredPayload->size() : 0) >= 4 && OnPublishView) {
      const std::string_view topic = r.StringView();
      const std::uint16_t id = (RxQos == qtAT_LEAST_ONCE || RxQos == qtEXACTLY_ONCE) ? r.Word() : 0;
      OnPublishView(this, id, topic, aGatheredPayload ? std::string_view(*aGatheredPayload) : r.RestView());
    } else if (aSize + (aGatheredPayload ? aGatheredPayload->size() : 0) >= 4 && OnPublish) {
      std::string topic = r.String();
      std::uint16_t id = (RxQos == qtAT_LEAST_ONCE || RxQos == qtEXACTLY_ONCE) ? r.Word() : 0;
      OnPublish(this, id, std::move(topic), aGatheredPayload ? std::move(*aGatheredPayload) : r.Rest());
    }
    break;
  case mtPUBACK:
  case mtPUBREC:
  case mtPUBREL:
  case mtPUBCOMP:
  case mtUNSUBACK: {
    if (aSize != 2) break;
    TMQTTIDEvent *events[] = {&OnPubAck, &OnPubRec, &OnPubRel, &OnPubComp};
    TMQTTIDEvent &event = RxMsg == mtUNSUBACK ? OnUnsubAck : *events[RxMsg - mtPUBACK];
    if (event) event(this, r.Word());
    break;
  }
  case mtSUBSCRIBE:
    if (aSize >= 2 && OnSubscribe) {
      std::uint16_t id = r.Word();
      TTaggedStrings topics;
      while (r.Remaining() >= 3) {
        std::string filter = r.String();
        topics.push_back({std::move(filter), r.Byte() & 0x03});
      }
      OnSubscribe(this, id, topics);
    }
    break;
  case mtSUBACK:
    if (aSize >= 2 && OnSubAck) {
      std::uint16_t id = r.Word();
      std::vector<TMQTTQOSType> qoss;
      qoss.reserve(r.Remaining());
      while (r.Remaining() > 0) {
        const std::uint8_t code = r.Byte();
        qoss.push_back(ProtocolLevel == plMQTT311 && code == qtSubscribeFailure ? qtSubscribeFailure
                                                                                 : TMQTTQOSType(code & 0x03));
      }
      OnSubAck(this, id, qoss);
    }
    break;
  case mtUNSUBSCRIBE:
    if (aSize >= 2 && OnUnsubscribe) {
      std::uint16_t id = r.Word();
      TTaggedStrings topics;
      while (r.Remaining() >= 2) topics.push_back({r.String(), 0});
      OnUnsubscribe(this, id, topics);
    }
    break;
  default: // PINGREQ, PINGRESP and DISCONNECT count only without a body; type 15 never counts
    break;
  }
}
