// TMQTTParser's level-5 packets: CONNECT with its properties and will
// properties, the acknowledgements that carry a reason, DISCONNECT and AUTH.
// PUBLISH, SUBSCRIBE and UNSUBSCRIBE share their builders with the earlier
// levels and only gain a property block there.
#include "uMQTT.h"

#include "MQTTReasonCodes.h"

#include <stdexcept>

namespace {
void EncodeWord(TByteStream &aStream, std::uint16_t aValue) {
  EncodeByte(aStream, std::uint8_t(aValue >> 8));
  EncodeByte(aStream, std::uint8_t(aValue));
}

std::size_t StringSize(std::string_view aStr) {
  if (aStr.size() > MQTTMaxStringLength)
    throw std::length_error("MQTT string of " + std::to_string(aStr.size()) + " bytes is longer than " +
                            std::to_string(MQTTMaxStringLength));
  return 2 + aStr.size();
}
} // namespace

void TMQTTParser::RequireProperties(const TMQTTProperties &aProps, std::uint8_t aPacketType,
                                    std::uint32_t aPackets) const {
  if (ProtocolLevel != plMQTT5)
    throw std::invalid_argument(std::string(PacketName(aPacketType)) + " properties need MQTT 5");
  const std::string problem = CheckProperties(aProps, aPackets ? aPackets : PacketBit(aPacketType),
                                              aPackets == WillPropertiesBit ? "the will"
                                                                            : PacketName(aPacketType));
  if (!problem.empty()) throw std::invalid_argument(problem);
}

void TMQTTParser::SendConnectPacket5(std::uint8_t aFirstByte, const std::string &aClientID,
                                     const std::string &aUsername, const std::string &aPassword,
                                     std::uint16_t aKeepAlive) {
  FTxStream.Clear();
  RequireProperties(ConnectProperties, mtCONNECT);
  if (FWillFlag) RequireProperties(WillProperties, mtCONNECT, WillPropertiesBit);
  std::size_t payload = StringSize(aClientID);
  if (FWillFlag) payload += PropertyBlockSize(WillProperties) + StringSize(WillTopic) + StringSize(WillMessage);
  if (!aUsername.empty()) payload += StringSize(aUsername);
  if (!aPassword.empty()) payload += StringSize(aPassword);

  SetKeepAlive(aKeepAlive);
  const std::uint8_t flags = ConnectFlags(aUsername, aPassword); // bit 1 is clean start

  StartPacket(aFirstByte, 2 + 4 + 1 + 1 + 2 + PropertyBlockSize(ConnectProperties) + payload);
  EncodeString(FTxStream, "MQTT");
  EncodeByte(FTxStream, plMQTT5);
  EncodeByte(FTxStream, flags);
  EncodeWord(FTxStream, aKeepAlive);
  EncodeProperties(FTxStream, ConnectProperties);
  EncodeString(FTxStream, aClientID);
  if (FWillFlag) {
    EncodeProperties(FTxStream, WillProperties);
    EncodeString(FTxStream, WillTopic);
    EncodeString(FTxStream, WillMessage);
  }
  if (!aUsername.empty()) EncodeString(FTxStream, aUsername);
  if (!aPassword.empty()) EncodeString(FTxStream, aPassword);
  Emit(0);
}

void TMQTTParser::SendReply(TMQTTMessageType aType, std::uint16_t anID, std::uint8_t aReason,
                            const TMQTTProperties &aProps, bool aDup) {
  if (aType < mtPUBACK || aType > mtPUBCOMP)
    throw std::invalid_argument(std::string(PacketName(aType)) + " is not a publish acknowledgement");
  RequireProperties(aProps, aType);
  if (!ReasonAllowed(aReason, aType))
    throw std::invalid_argument("reason code " + std::to_string(aReason) + " is not allowed in " +
                                std::string(PacketName(aType)));
  FTxStream.Clear();
  const std::uint8_t firstByte = std::uint8_t(aType << 4 | (aType == mtPUBREL ? (aDup ? 0x0A : 0x02) : 0));
  // A Success without properties may leave the reason out, a reason without properties the property length.
  const std::size_t length = 2 + (aReason != rcSuccess || !aProps.empty() ? 1 : 0) +
                             (aProps.empty() ? 0 : PropertyBlockSize(aProps));
  StartPacket(firstByte, length);
  EncodeWord(FTxStream, anID);
  if (length > 2) EncodeByte(FTxStream, aReason);
  if (!aProps.empty()) EncodeProperties(FTxStream, aProps);
  Emit(anID);
}

void TMQTTParser::SendConnAck(std::uint8_t aReason, bool aSessionPresent, const TMQTTProperties &aProps) {
  RequireProperties(aProps, mtCONNACK);
  FTxStream.Clear();
  StartPacket(0x20, 2 + PropertyBlockSize(aProps));
  EncodeByte(FTxStream, aSessionPresent ? 1 : 0);
  EncodeByte(FTxStream, aReason);
  EncodeProperties(FTxStream, aProps);
  Emit(0);
}

// DISCONNECT and AUTH: a bare packet means Success, a lone byte a reason without properties.
void TMQTTParser::SendDisconnect(std::uint8_t aReason, const TMQTTProperties &aProps) {
  if (ProtocolLevel != plMQTT5 && aReason == rcNormalDisconnection && aProps.empty()) return SendDisconnect();
  RequireProperties(aProps, mtDISCONNECT);
  FTxStream.Clear();
  const std::size_t length = aProps.empty() ? (aReason == rcNormalDisconnection ? 0 : 1) : 1 + PropertyBlockSize(aProps);
  StartPacket(0xE0, length);
  if (length > 0) EncodeByte(FTxStream, aReason);
  if (!aProps.empty()) EncodeProperties(FTxStream, aProps);
  Emit(0);
}

void TMQTTParser::SendAuth(std::uint8_t aReason, const TMQTTProperties &aProps) {
  RequireProperties(aProps, mtAUTH);
  FTxStream.Clear();
  const std::size_t length = aReason == rcSuccess && aProps.empty() ? 0 : 1 + PropertyBlockSize(aProps);
  StartPacket(0xF0, length);
  if (length > 0) {
    EncodeByte(FTxStream, aReason);
    EncodeProperties(FTxStream, aProps);
  }
  Emit(0);
}

void TMQTTParser::SendUnsubAck(std::uint16_t anID, const std::vector<std::uint8_t> &aReasons,
                               const TMQTTProperties &aProps) {
  SendCodeList5(0xB0, anID, aReasons.data(), aReasons.size(), aProps);
}

// SUBACK and UNSUBACK: identifier, properties, one code per filter.
void TMQTTParser::SendCodeList5(std::uint8_t aFirstByte, std::uint16_t anID, const std::uint8_t *aCodes,
                                std::size_t aCount, const TMQTTProperties &aProps) {
  RequireProperties(aProps, aFirstByte >> 4);
  FTxStream.Clear();
  StartPacket(aFirstByte, 2 + PropertyBlockSize(aProps) + aCount);
  EncodeWord(FTxStream, anID);
  EncodeProperties(FTxStream, aProps);
  FTxStream.Write(aCodes, aCount);
  Emit(anID);
}
