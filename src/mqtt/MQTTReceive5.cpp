// TMQTTParser's level-5 decoding. Framing, gathering and skipping are those of
// the earlier levels (MQTTReceive.cpp); a body is decoded here, strictly: a
// field past the end, a property or reason code the packet may not carry or
// bytes left over end the stream with the reason a DISCONNECT would give
// (BrokenReason), because a level-5 peer that sends them cannot be followed
// safely. The events are those of the earlier levels; the reason code and
// properties of the packet are in RxReason, RxReasons and RxProperties while
// the event runs.
#include "uMQTT.h"

#include "FieldReader.h"
#include "MQTTReasonCodes.h"

#include <cstdio>

namespace {
bool CarriesID(TMQTTQOSType aQos) { return aQos == qtAT_LEAST_ONCE || aQos == qtEXACTLY_ONCE; }

std::string Hex(std::uint8_t aCode) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", unsigned(aCode));
  return text;
}
} // namespace

// Bytes of the PUBLISH head (topic, identifier, property block) that the first
// aHave bytes of the body (at d) tell: the final size when aKnown, otherwise
// how many bytes must be there before it can be told. Never past the body.
std::size_t TMQTTParser::PublishHead5(const std::uint8_t *d, std::size_t aHave, bool &aKnown) const {
  auto result = [&](std::size_t n, bool known) {
    aKnown = known || n >= FRxBodySize;
    return n < FRxBodySize ? n : FRxBodySize;
  };
  if (aHave < 2) return result(2, false);
  const std::size_t topicSize = std::size_t(d[0]) << 8 | d[1];
  if (topicSize > FRxBodySize - 2) return result(2, true); // malformed: decoding says so
  const std::size_t lengthAt = 2 + topicSize + (CarriesID(RxQos) ? 2 : 0);
  std::uint32_t length = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    if (aHave < lengthAt + i + 1) return result(lengthAt + i + 1, false);
    const std::uint8_t b = d[lengthAt + i];
    length |= std::uint32_t(b & 0x7F) << (7 * i);
    if (!(b & 0x80)) return result(lengthAt + i + 1 + length, true);
  }
  return result(lengthAt + 4, true);
}

void TMQTTParser::DispatchSkipped5() {
  TFieldReader r{FRxStream.Data(), FRxStream.Data() + FRxStream.Size()};
  const std::string_view topic = r.Counted();
  const std::uint16_t id = CarriesID(RxQos) ? r.Word() : 0;
  std::string error;
  if (r.Failed) return Break("PUBLISH head runs past the packet");
  if (const std::uint8_t code = DecodeProperties(r, PacketBit(mtPUBLISH), "PUBLISH", RxProperties, error))
    return Break(error, code);
  if (OnPublishSkipped) OnPublishSkipped(this, id, std::string(topic), FRxBodySize);
}

void TMQTTParser::Dispatch5(const std::uint8_t *aBody, std::size_t aSize, std::string *aGatheredPayload) {
  TFieldReader r{aBody, aBody + aSize};
  const std::string_view packet = PacketName(RxMsg);
  std::string error;
  RxReason = 0;
  auto malformed = [&](std::string_view aWhat) {
    Break(std::string(packet).append(" ").append(aWhat), rcMalformedPacket);
  };
  auto readProps = [&](std::uint32_t aPackets, TMQTTPropertyViews &aOut) {
    const std::uint8_t code = DecodeProperties(r, aPackets, packet, aOut, error);
    if (code) Break(error, code);
    return code == 0;
  };
  // Acknowledgements, DISCONNECT and AUTH may end after the reason, or before it.
  auto optionalReasonAndProps = [&]() {
    if (r.Remaining() > 0) {
      RxReason = r.Byte();
      if (!ReasonAllowed(RxReason, RxMsg)) {
        Break("reason code " + Hex(RxReason) + " is not allowed in " + std::string(packet), rcProtocolError);
        return false;
      }
    }
    if (r.Remaining() == 0) {
      RxProperties.clear();
      return true;
    }
    if (!readProps(PacketBit(RxMsg), RxProperties)) return false;
    if (r.Remaining() > 0) {
      malformed("has bytes after its properties");
      return false;
    }
    return true;
  };

  switch (RxMsg) {
  case mtBROKERCONNECT:
  case mtCONNECT: {
    const std::string_view protocol = r.Counted();
    const std::uint8_t version = r.Byte();
    const std::uint8_t flags = r.Byte();
    const std::uint16_t keepAlive = r.Word();
    if (r.Failed) return malformed("ends inside its header");
    if (flags & 0x01) return malformed("sets the reserved flag");
    if (!readProps(PacketBit(mtCONNECT), RxProperties)) return;
    const std::string_view clientID = r.Counted();
    std::string_view willTopic, willMessage, userName, password;
    RxWillProperties.clear();
    if (flags & 0x04) {
      if (!readProps(WillPropertiesBit, RxWillProperties)) return;
      willTopic = r.Counted();
      willMessage = r.Counted();
    }
    if (flags & 0x80) userName = r.Counted();
    if (flags & 0x40) password = r.Counted();
    if (r.Failed || r.Remaining() > 0) return malformed("payload does not match its flags");
    TMQTTConnectEvent &onConnect = RxMsg == mtCONNECT ? OnConnect : OnBrokerConnect;
    if ((flags & 0x04) && OnSetWill)
      OnSetWill(this, std::string(willTopic), std::string(willMessage), TMQTTQOSType((flags & 0x18) >> 3),
                flags & 0x20);
    if (onConnect)
      onConnect(this, std::string(protocol), version, std::string(clientID), std::string(userName),
                std::string(password), keepAlive, flags & 0x02);
    break;
  }
  case mtCONNACK: {
    const std::uint8_t ackFlags = r.Byte();
    RxReason = r.Byte();
    if (r.Failed) return malformed("is shorter than its two bytes");
    if (ackFlags & 0xFE) return malformed("sets reserved acknowledge flags");
    if (!ReasonAllowed(RxReason, mtCONNACK))
      return Break("reason code " + Hex(RxReason) + " is not allowed in CONNACK", rcProtocolError);
    if (r.Remaining() == 0)
      RxProperties.clear();
    else if (!readProps(PacketBit(mtCONNACK), RxProperties))
      return;
    if (r.Remaining() > 0) return malformed("has bytes after its properties");
    RxSessionPresent = ackFlags & 0x01;
    if (OnConnAck) OnConnAck(this, RxReason);
    break;
  }
  case mtPUBLISH: {
    if (RxQos == qtReserved3) return malformed("asks for QoS 3");
    const std::string_view topic = r.Counted();
    const std::uint16_t id = CarriesID(RxQos) ? r.Word() : 0;
    if (r.Failed) return malformed("ends inside its topic or identifier");
    if (!readProps(PacketBit(mtPUBLISH), RxProperties)) return;
    if (aGatheredPayload && r.Remaining() > 0) return malformed("head is longer than its properties");
    const std::string_view message = aGatheredPayload ? std::string_view(*aGatheredPayload) : r.Rest();
    if (OnPublishView)
      OnPublishView(this, id, topic, message);
    else if (OnPublish)
      OnPublish(this, id, std::string(topic), aGatheredPayload ? std::move(*aGatheredPayload) : std::string(message));
    break;
  }
  case mtPUBACK:
  case mtPUBREC:
  case mtPUBREL:
  case mtPUBCOMP: {
    const std::uint16_t id = r.Word();
    if (r.Failed) return malformed("has no packet identifier");
    if (!optionalReasonAndProps()) return;
    TMQTTIDEvent *events[] = {&OnPubAck, &OnPubRec, &OnPubRel, &OnPubComp};
    if (TMQTTIDEvent &event = *events[RxMsg - mtPUBACK]) event(this, id);
    break;
  }
  case mtSUBACK:
  case mtUNSUBACK: {
    const std::uint16_t id = r.Word();
    if (r.Failed) return malformed("has no packet identifier");
    if (!readProps(PacketBit(RxMsg), RxProperties)) return;
    if (r.Remaining() == 0) return malformed("carries no reason code");
    RxReasons.assign(r.P, r.End);
    for (std::uint8_t code : RxReasons)
      if (!ReasonAllowed(code, RxMsg))
        return Break("reason code " + Hex(code) + " is not allowed in " + std::string(packet), rcProtocolError);
    if (RxMsg == mtUNSUBACK) {
      if (OnUnsubAck) OnUnsubAck(this, id);
    } else if (OnSubAck) {
      std::vector<TMQTTQOSType> codes;
      codes.reserve(RxReasons.size());
      for (std::uint8_t code : RxReasons) codes.push_back(TMQTTQOSType(code));
      OnSubAck(this, id, codes);
    }
    break;
  }
  case mtSUBSCRIBE:
  case mtUNSUBSCRIBE: {
    const std::uint16_t id = r.Word();
    if (r.Failed) return malformed("has no packet identifier");
    if (!readProps(PacketBit(RxMsg), RxProperties)) return;
    TTaggedStrings topics;
    while (r.Remaining() > 0) {
      const std::string_view filter = r.Counted();
      const std::uint8_t options = RxMsg == mtSUBSCRIBE ? r.Byte() : 0;
      if (r.Failed) return malformed("ends inside a topic filter");
      if ((options & 0xC0) || (options & 0x03) == 3 || (options & 0x30) == 0x30)
        return malformed("has reserved subscription options set");
      topics.push_back({std::string(filter), options});
    }
    if (topics.empty()) return Break(std::string(packet) + " carries no topic filter", rcProtocolError);
    TMQTTSubscribeEvent &event = RxMsg == mtSUBSCRIBE ? OnSubscribe : OnUnsubscribe;
    if (event) event(this, id, topics);
    break;
  }
  case mtDISCONNECT:
    if (!optionalReasonAndProps()) return;
    if (OnDisconnect) OnDisconnect(this);
    break;
  case mtAUTH:
    if (!optionalReasonAndProps()) return;
    if (OnAuth) OnAuth(this);
    break;
  case mtPINGREQ:
  case mtPINGRESP:
    if (aSize > 0) return malformed("has a body");
    if (TMQTTNotifyEvent &event = RxMsg == mtPINGREQ ? OnPing : OnPingResp) event(this);
    break;
  }
}
