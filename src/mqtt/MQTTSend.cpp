// TMQTTParser: construction, connection parameters, keep-alive and the Send
// operations. Each packet's size is computed from its arguments first, so the
// transmit buffer is filled in one pass and, once it has grown, reused without
// allocating.
#include "uMQTT.h"

#include "MQTTReasonCodes.h"

#include <stdexcept>

namespace {
std::string_view ProtocolName(TMQTTProtocolLevel aLevel) { return aLevel == plMQTT31 ? "MQIsdp" : "MQTT"; }

// Protocol name string, level, flags and keep-alive.
std::size_t ConnectVariableHeader(TMQTTProtocolLevel aLevel) { return 2 + ProtocolName(aLevel).size() + 1 + 1 + 2; }

std::size_t StringSize(std::string_view aStr) {
  if (aStr.size() > MQTTMaxStringLength)
    throw std::length_error("MQTT string of " + std::to_string(aStr.size()) + " bytes is longer than " +
                            std::to_string(MQTTMaxStringLength));
  return 2 + aStr.size();
}

void EncodeWord(TByteStream &aStream, std::uint16_t aValue) {
  std::uint8_t bytes[2] = {std::uint8_t(aValue >> 8), std::uint8_t(aValue)};
  aStream.Write(bytes, 2);
}

bool CarriesID(TMQTTQOSType aQos) { return aQos == qtAT_LEAST_ONCE || aQos == qtEXACTLY_ONCE; }
} // namespace

TMQTTParser::TMQTTParser() {
  SetKeepAlive(10);
  FKeepAliveCount = 0;
}

TMQTTParser::~TMQTTParser() = default;

void TMQTTParser::Reset() {
  FRxState = 0;
  FRxStream.Clear();
  FTxStream.Clear();
  FRxPending.clear();
  FRxPayload.clear();
  FRxSkipping = false;
  RxMsg = mtReserved15;
  RxDup = false;
  RxQos = qtAT_MOST_ONCE;
  RxRetain = false;
  RxSessionPresent = false;
  RxReason = 0;
  RxProperties.clear();
  RxWillProperties.clear();
  RxReasons.clear();
  FBrokenReason = 0;
}

void TMQTTParser::SetKeepAlive(std::uint16_t aValue) {
  FKeepAlive = aValue;
  ReloadKeepAlive();
}

bool TMQTTParser::CheckKeepAlive() {
  if (FKeepAliveCount == 0) return true;
  --FKeepAliveCount;
  return FKeepAliveCount > 0;
}

void TMQTTParser::SetWill(const std::string &aTopic, const std::string &aMessage, TMQTTQOSType aQos,
                          bool aRetain) {
  WillTopic = aTopic;
  WillMessage = aMessage;
  WillRetain = aRetain;
  WillQos = aQos;
  FWillFlag = !aTopic.empty() && !aMessage.empty();
}

void TMQTTParser::Mon(const std::string &aStr) {
  if (OnMon) OnMon(this, "P " + aStr);
}

void TMQTTParser::StartPacket(std::uint8_t aFirstByte, std::size_t aRemainingLength) {
  if (aRemainingLength > std::size_t(MQTTMaxRemainingLength))
    throw std::length_error("MQTT packet body of " + std::to_string(aRemainingLength) + " bytes is longer than " +
                            std::to_string(MQTTMaxRemainingLength));
  FTxStream.Reserve(1 + 4 + aRemainingLength);
  EncodeByte(FTxStream, aFirstByte);
  EncodeRemainingLength(FTxStream, std::int32_t(aRemainingLength));
}

void TMQTTParser::Emit(std::uint16_t anID) {
  if (OnSend) OnSend(this, anID, 0, FTxStream);
}

std::uint8_t TMQTTParser::ConnectFlags(const std::string &aUsername, const std::string &aPassword) const {
  std::uint8_t flags = 0;
  if (!aUsername.empty()) flags |= 0x80;
  if (!aPassword.empty()) flags |= 0x40;
  if (FWillFlag) flags |= 0x04 | (WillRetain ? 0x20 : 0) | (WillQos & 0x03) << 3;
  if (Clean) flags |= 0x02;
  return flags;
}

void TMQTTParser::SendConnectPacket(std::uint8_t aFirstByte, const std::string &aClientID,
                                    const std::string &aUsername, const std::string &aPassword,
                                    std::uint16_t aKeepAlive) {
  if (ProtocolLevel == plMQTT5) return SendConnectPacket5(aFirstByte, aClientID, aUsername, aPassword, aKeepAlive);
  FTxStream.Clear();
  std::size_t payload = StringSize(aClientID);
  if (FWillFlag) payload += StringSize(WillTopic) + StringSize(WillMessage);
  if (!aUsername.empty()) payload += StringSize(aUsername);
  if (!aPassword.empty()) payload += StringSize(aPassword);

  SetKeepAlive(aKeepAlive);
  const std::uint8_t flags = ConnectFlags(aUsername, aPassword);

  StartPacket(aFirstByte, ConnectVariableHeader(ProtocolLevel) + payload);
  EncodeString(FTxStream, ProtocolName(ProtocolLevel));
  EncodeByte(FTxStream, ProtocolLevel);
  EncodeByte(FTxStream, flags);
  EncodeWord(FTxStream, aKeepAlive);
  EncodeString(FTxStream, aClientID);
  if (FWillFlag) {
    EncodeString(FTxStream, WillTopic);
    EncodeString(FTxStream, WillMessage);
  }
  if (!aUsername.empty()) EncodeString(FTxStream, aUsername);
  if (!aPassword.empty()) EncodeString(FTxStream, aPassword);
  Emit(0);
}

// The clean-session bit comes from the Clean field; the client passes that same value as aClean.
void TMQTTParser::SendConnect(const std::string &aClientID, const std::string &aUsername,
                              const std::string &aPassword, std::uint16_t aKeepAlive, bool /*aClean*/) {
  SendConnectPacket(0x10, aClientID, aUsername, aPassword, aKeepAlive);
}

void TMQTTParser::SendBrokerConnect(const std::string &aClientID, const std::string &aUsername,
                                    const std::string &aPassword, std::uint16_t aKeepAlive, bool /*aClean*/) {
  SendConnectPacket(0x02, aClientID, aUsername, aPassword, aKeepAlive);
}

void TMQTTParser::SendConnAck(std::uint8_t aCode, bool aSessionPresent) {
  if (ProtocolLevel == plMQTT5) return SendConnAck(aCode, aSessionPresent, NoProperties);
  FTxStream.Clear();
  StartPacket(0x20, 2);
  EncodeByte(FTxStream, ProtocolLevel == plMQTT311 && aSessionPresent ? 1 : 0);
  EncodeByte(FTxStream, aCode);
  Emit(0);
}

void TMQTTParser::SendPublish(std::uint16_t anID, std::string_view aTopic, std::string_view aMessage,
                              TMQTTQOSType aQOS, bool aDup, bool aRetain, const TMQTTProperties &aProps) {
  FTxStream.Clear();
  const bool withProps = ProtocolLevel == plMQTT5;
  if (withProps || !aProps.empty()) RequireProperties(aProps, mtPUBLISH);
  std::size_t length = StringSize(aTopic) + (CarriesID(aQOS) ? 2 : 0) + aMessage.size() +
                       (withProps ? PropertyBlockSize(aProps) : 0);
  StartPacket(std::uint8_t(0x30 | (aDup ? 0x08 : 0) | (aQOS & 0x03) << 1 | (aRetain ? 1 : 0)), length);
  EncodeString(FTxStream, aTopic);
  if (CarriesID(aQOS)) EncodeWord(FTxStream, anID);
  if (withProps) EncodeProperties(FTxStream, aProps);
  FTxStream.Write(aMessage);
  Emit(anID);
}

void TMQTTParser::SendIDPacket(std::uint8_t aFirstByte, std::uint16_t anID) {
  FTxStream.Clear();
  StartPacket(aFirstByte, 2);
  EncodeWord(FTxStream, anID);
  Emit(anID);
}

void TMQTTParser::SendPubAck(std::uint16_t anID) { SendIDPacket(0x40, anID); }
void TMQTTParser::SendPubRec(std::uint16_t anID) { SendIDPacket(0x50, anID); }
void TMQTTParser::SendPubRel(std::uint16_t anID, bool aDup) { SendIDPacket(aDup ? 0x6A : 0x62, anID); }
void TMQTTParser::SendPubComp(std::uint16_t anID) { SendIDPacket(0x70, anID); }
void TMQTTParser::SendUnsubAck(std::uint16_t anID) {
  if (ProtocolLevel == plMQTT5) return SendUnsubAck(anID, {rcSuccess});
  SendIDPacket(0xB0, anID);
}

void TMQTTParser::SendSubscribe(std::uint16_t anID, std::string_view aTopic, TMQTTQOSType aQOS) {
  if (ProtocolLevel == plMQTT5) return SendSubscribe(anID, TTaggedStrings{{std::string(aTopic), aQOS}});
  FTxStream.Clear();
  StartPacket(0x82, 2 + StringSize(aTopic) + 1);
  EncodeWord(FTxStream, anID);
  EncodeString(FTxStream, aTopic);
  EncodeByte(FTxStream, aQOS);
  Emit(anID);
}

void TMQTTParser::SendUnsubscribe(std::uint16_t anID, std::string_view aTopic) {
  if (ProtocolLevel == plMQTT5) return SendUnsubscribe(anID, TTaggedStrings{{std::string(aTopic), 0}});
  FTxStream.Clear();
  StartPacket(0xA2, 2 + StringSize(aTopic));
  EncodeWord(FTxStream, anID);
  EncodeString(FTxStream, aTopic);
  Emit(anID);
}

void TMQTTParser::SendTopicList(std::uint8_t aFirstByte, std::uint16_t anID, const TTaggedStrings &Topics,
                                bool aWithQos, const TMQTTProperties &aProps) {
  FTxStream.Clear();
  const bool withProps = ProtocolLevel == plMQTT5;
  if (withProps || !aProps.empty()) RequireProperties(aProps, aFirstByte >> 4);
  // At level 5 the options byte is whole: QoS, no local, retain as published, retain handling.
  const std::uint8_t optionBits = withProps ? 0x3F : 0x03;
  std::size_t length = 2 + (withProps ? PropertyBlockSize(aProps) : 0);
  for (const TTaggedString &t : Topics) length += StringSize(t.Text) + (aWithQos ? 1 : 0);
  StartPacket(aFirstByte, length);
  EncodeWord(FTxStream, anID);
  if (withProps) EncodeProperties(FTxStream, aProps);
  for (const TTaggedString &t : Topics) {
    EncodeString(FTxStream, t.Text);
    if (aWithQos) EncodeByte(FTxStream, std::uint8_t(t.Tag & optionBits));
  }
  Emit(anID);
}

void TMQTTParser::SendSubscribe(std::uint16_t anID, const TTaggedStrings &Topics, const TMQTTProperties &aProps) {
  SendTopicList(0x82, anID, Topics, true, aProps);
}

void TMQTTParser::SendUnsubscribe(std::uint16_t anID, const TTaggedStrings &Topics,
                                  const TMQTTProperties &aProps) {
  SendTopicList(0xA2, anID, Topics, false, aProps);
}

void TMQTTParser::SendSubAck(std::uint16_t anID, const std::vector<TMQTTQOSType> &Qoss,
                             const TMQTTProperties &aProps) {
  if (ProtocolLevel == plMQTT5 || !aProps.empty())
    return SendCodeList5(0x90, anID, reinterpret_cast<const std::uint8_t *>(Qoss.data()), Qoss.size(), aProps);
  FTxStream.Clear();
  StartPacket(0x90, 2 + Qoss.size());
  EncodeWord(FTxStream, anID);
  for (TMQTTQOSType q : Qoss) EncodeByte(FTxStream, q);
  Emit(anID);
}

void TMQTTParser::SendEmptyPacket(std::uint8_t aFirstByte) {
  FTxStream.Clear();
  StartPacket(aFirstByte, 0);
  Emit(0);
}

void TMQTTParser::SendPing() { SendEmptyPacket(0xC0); }
void TMQTTParser::SendPingResp() { SendEmptyPacket(0xD0); }
void TMQTTParser::SendDisconnect() { SendEmptyPacket(0xE0); }
