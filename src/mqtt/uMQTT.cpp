// The packet primitives and the CONNACK texts.
#include "uMQTT.h"

#include "MQTTReasonCodes.h"
#include "RxReader.h"

#include <stdexcept>

std::string_view PacketName(std::uint8_t aPacketType) {
  static constexpr std::string_view Names[16] = {"BROKERCONNECT", "CONNECT",  "CONNACK",     "PUBLISH",
                                                 "PUBACK",        "PUBREC",   "PUBREL",      "PUBCOMP",
                                                 "SUBSCRIBE",     "SUBACK",   "UNSUBSCRIBE", "UNSUBACK",
                                                 "PINGREQ",       "PINGRESP", "DISCONNECT",  "AUTH"};
  return Names[aPacketType & 0x0F];
}

std::string ConnAckText(std::uint8_t aCode, TMQTTProtocolLevel aLevel) {
  if (aLevel == plMQTT5) return ReasonText(aCode, mtCONNACK);
  static constexpr const char *Texts31[] = {"ACCEPTED",  "PROTOCOL UNACCEPTABLE", "IDENTIFIER REJECTED",
                                            "SERVER UNAVILABLE", "BAD LOGIN", "NOT AUTHORISED"};
  static constexpr const char *Texts311[] = {"ACCEPTED",
                                             "UNACCEPTABLE PROTOCOL VERSION",
                                             "IDENTIFIER REJECTED",
                                             "SERVER UNAVAILABLE",
                                             "BAD USER NAME OR PASSWORD",
                                             "NOT AUTHORIZED"};
  static_assert(std::size(Texts31) == std::size(Texts311));
  if (aCode < std::size(Texts31)) return aLevel == plMQTT311 ? Texts311[aCode] : Texts31[aCode];
  return "RESERVED " + std::to_string(aCode);
}

void EncodeByte(TByteStream &aStream, std::uint8_t aByte) { aStream.WriteByte(aByte); }

void EncodeFixedHeader(TByteStream &aStream, TMQTTMessageType aMsgType, bool aDup, TMQTTQOSType aQos,
                       bool aRetain) {
  aStream.WriteByte(std::uint8_t((aMsgType & 0x0F) << 4 | (aDup ? 0x08 : 0) | (aQos & 0x03) << 1 | (aRetain ? 1 : 0)));
}

void EncodeRemainingLength(TByteStream &aStream, std::int32_t aLength) {
  if (aLength < 0 || aLength > MQTTMaxRemainingLength)
    throw std::length_error("MQTT remaining length " + std::to_string(aLength) + " is outside 0.." +
                            std::to_string(MQTTMaxRemainingLength));
  std::uint8_t bytes[4];
  std::size_t n = 0;
  std::uint32_t x = std::uint32_t(aLength);
  do {
    std::uint8_t digit = x % 128;
    x /= 128;
    if (x > 0) digit |= 0x80;
    bytes[n++] = digit;
  } while (x != 0);
  aStream.Write(bytes, n);
}

void EncodeString(TByteStream &aStream, std::string_view aStr) {
  if (aStr.size() > MQTTMaxStringLength)
    throw std::length_error("MQTT string of " + std::to_string(aStr.size()) + " bytes is longer than " +
                            std::to_string(MQTTMaxStringLength));
  std::uint8_t count[2] = {std::uint8_t(aStr.size() >> 8), std::uint8_t(aStr.size())};
  aStream.Write(count, 2);
  aStream.Write(aStr);
}

namespace {
// Runs a body reader over the stream from its position and moves the position past what it read.
template <typename F> auto ReadFrom(TByteStream &aStream, F &&aRead) {
  TRxReader r{aStream.Data() + aStream.Position(), aStream.Data() + aStream.Size()};
  auto result = aRead(r);
  aStream.Seek(std::size_t(r.P - aStream.Data()));
  return result;
}
} // namespace

std::uint8_t DecodeByte(TByteStream &aStream) {
  return ReadFrom(aStream, [](TRxReader &r) { return r.Byte(); });
}

void DecodeFixedHeader(TByteStream &aStream, TMQTTMessageType &aMsgType, bool &aDup, TMQTTQOSType &aQos,
                       bool &aRetain) {
  SplitFixedHeader(DecodeByte(aStream), aMsgType, aDup, aQos, aRetain);
}

std::string DecodeString(TByteStream &aStream) {
  return ReadFrom(aStream, [](TRxReader &r) { return r.String(); });
}
