#pragma once
// The MQTT protocol engine (3.1, 3.1.1 and 5): packet types, the encoding
// primitives and TMQTTParser, which builds every outgoing packet and turns the
// received byte stream into one event per packet. No sockets, no clocks: bytes
// in, events out.

#include "ByteStream.h"
#include "MQTTProperties.h"
#include "TaggedStrings.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The ordinal is the packet type nibble of the fixed header.
enum TMQTTMessageType : std::uint8_t {
  mtBROKERCONNECT = 0,
  mtCONNECT,
  mtCONNACK,
  mtPUBLISH,
  mtPUBACK,
  mtPUBREC,
  mtPUBREL,
  mtPUBCOMP,
  mtSUBSCRIBE,
  mtSUBACK,
  mtUNSUBSCRIBE,
  mtUNSUBACK,
  mtPINGREQ,
  mtPINGRESP,
  mtDISCONNECT,
  mtReserved15
};
// At level 5 type 15 is the authentication exchange.
inline constexpr TMQTTMessageType mtAUTH = mtReserved15;

// "CONNECT", "PUBLISH", ...; type 15 is "AUTH".
std::string_view PacketName(std::uint8_t aPacketType);

enum TMQTTQOSType : std::uint8_t { qtAT_MOST_ONCE = 0, qtAT_LEAST_ONCE, qtEXACTLY_ONCE, qtReserved3 };

inline constexpr std::string_view QosDisplayNames[4] = {"AT_MOST_ONCE", "AT_LEAST_ONCE", "EXACTLY_ONCE",
                                                        "RESERVED"};

// The protocol level spoken on a connection: the byte after the protocol name
// in CONNECT. 3.1 ("MQIsdp") unless a connection asks for 3.1.1 or 5 ("MQTT").
enum TMQTTProtocolLevel : std::uint8_t { plMQTT31 = 3, plMQTT311 = 4, plMQTT5 = 5 };

// A SUBACK entry that refuses its filter (3.1.1 only; 3.1 knows no refusal).
inline constexpr TMQTTQOSType qtSubscribeFailure = TMQTTQOSType(0x80);

// Text of a CONNACK return code; codes above 5 give "RESERVED <code>". The
// two levels name codes 1 to 5 differently; at level 5 the code is a reason
// code and the text its standard name.
std::string ConnAckText(std::uint8_t aCode, TMQTTProtocolLevel aLevel = plMQTT31);

// Limits of the wire format.
inline constexpr std::size_t MQTTMaxStringLength = 65535;
inline constexpr std::int32_t MQTTMaxRemainingLength = 268435455;

// The primitives every packet is built from and taken apart with. Encoders
// append at the stream's position; decoders read from it and advance.
// EncodeRemainingLength and EncodeString throw std::length_error for values the
// format cannot carry (a length outside 0..268,435,455, a string over 65,535
// bytes) rather than writing a truncated field.
void EncodeByte(TByteStream &aStream, std::uint8_t aByte);
void EncodeFixedHeader(TByteStream &aStream, TMQTTMessageType aMsgType, bool aDup, TMQTTQOSType aQos, bool aRetain);
void EncodeRemainingLength(TByteStream &aStream, std::int32_t aLength);
void EncodeString(TByteStream &aStream, std::string_view aStr);
// Returns 0 and consumes nothing at the end of the stream.
std::uint8_t DecodeByte(TByteStream &aStream);
void DecodeFixedHeader(TByteStream &aStream, TMQTTMessageType &aMsgType, bool &aDup, TMQTTQOSType &aQos,
                       bool &aRetain);
// A string whose count runs past the end reads as empty; only the two count
// bytes are consumed.
std::string DecodeString(TByteStream &aStream);

class TMQTTParser;

using TMQTTStreamEvent =
    std::function<void(TMQTTParser *Sender, std::uint16_t anID, std::int32_t Retry, TByteStream &aStream)>;
using TMQTTAckEvent = std::function<void(TMQTTParser *Sender, std::uint8_t aCode)>;
using TMQTTIDEvent = std::function<void(TMQTTParser *Sender, std::uint16_t anID)>;
// The same as TMQTTPublishEvent without copies: topic and message are views of
// the parser's buffers (or of the chunk given to Parse), valid until the handler returns.
using TMQTTPublishViewEvent =
    std::function<void(TMQTTParser *Sender, std::uint16_t anID, std::string_view aTopic, std::string_view aMessage)>;
using TMQTTPublishEvent =
    std::function<void(TMQTTParser *Sender, std::uint16_t anID, std::string aTopic, std::string aMessage)>;
// The sequence and the lists belong to the parser and live until the handler returns.
using TMQTTSubAckEvent =
    std::function<void(TMQTTParser *Sender, std::uint16_t anID, const std::vector<TMQTTQOSType> &Qoss)>;
using TMQTTSubscribeEvent =
    std::function<void(TMQTTParser *Sender, std::uint16_t anID, const TTaggedStrings &Topics)>;
using TMQTTUnsubscribeEvent =
    std::function<void(TMQTTParser *Sender, std::uint16_t anID, const TTaggedStrings &Topics)>;
using TMQTTConnectEvent =
    std::function<void(TMQTTParser *Sender, std::string Protocol, std::uint8_t Version, std::string ClientID,
                       std::string UserName, std::string Password, std::uint16_t KeepAlive, bool Clean)>;
using TMQTTWillEvent = std::function<void(TMQTTParser *Sender, std::string aTopic, std::string aMessage,
                                          TMQTTQOSType aQos, bool aRetain)>;
using TMQTTHeaderEvent =
    std::function<void(TMQTTParser *Sender, TMQTTMessageType MsgType, bool Dup, TMQTTQOSType Qos, bool Retain)>;
using TMQTTMonEvent = std::function<void(TMQTTParser *Sender, std::string aStr)>;
using TMQTTNotifyEvent = std::function<void(TMQTTParser *Sender)>;
// The received stream cannot be followed any further (see StreamBroken).
using TMQTTBrokenEvent = std::function<void(TMQTTParser *Sender, std::string aReason)>;
// A PUBLISH longer than MaxRxLength was passed over: its topic and identifier
// (0 at QoS 0) so that it can be acknowledged, and the size of its body.
using TMQTTSkippedEvent =
    std::function<void(TMQTTParser *Sender, std::uint16_t anID, std::string aTopic, std::size_t aSize)>;

class TMQTTParser {
public:
  TMQTTParser();
  TMQTTParser(const TMQTTParser &) = delete;
  TMQTTParser &operator=(const TMQTTParser &) = delete;
  ~TMQTTParser();

  // Receive side back to its start state, both buffers emptied, a broken
  // stream forgotten. Connection parameters, keep-alive and handlers stay.
  void Reset();

  // Feed received bytes. Every byte given is consumed (the stream's position
  // ends at its size); events are raised from inside the call, in arrival order.
  // If a handler throws, the packet it was raised for counts as consumed, the
  // receive state is back at a fixed header, and the exception reaches the
  // caller. Bytes of the chunk after that packet are kept and parsed first by
  // the next Parse call (an empty one is enough); Reset drops them.
  void Parse(TByteStream &aStream);
  void Parse(std::string_view aStr);

  // Stores the will; it goes into CONNECT only when topic and message are both non-empty.
  void SetWill(const std::string &aTopic, const std::string &aMessage, TMQTTQOSType aQos, bool aRetain);
  // Counts the keep-alive counter down; false exactly on the call that takes the last count.
  bool CheckKeepAlive();
  // Raises OnMon with "P " and the text.
  void Mon(const std::string &aStr);

  // Send operations: each builds one packet in the transmit buffer and raises
  // OnSend once with Retry 0. Strings over 65,535 bytes and packets over
  // 268,435,455 bytes are refused with std::length_error before anything is
  // built; OnSend is not raised and the transmit buffer is left empty.
  void SendConnect(const std::string &aClientID, const std::string &aUsername, const std::string &aPassword,
                   std::uint16_t aKeepAlive, bool aClean);
  void SendBrokerConnect(const std::string &aClientID, const std::string &aUsername,
                         const std::string &aPassword, std::uint16_t aKeepAlive, bool aClean);
  // The session-present flag goes on the wire only at 3.1.1.
  void SendConnAck(std::uint8_t aCode, bool aSessionPresent = false);
  // Properties go on the wire only at level 5; a non-empty list at an
  // earlier level, or one the packet may not carry, is refused with
  // std::invalid_argument before anything is built.
  void SendPublish(std::uint16_t anID, std::string_view aTopic, std::string_view aMessage, TMQTTQOSType aQOS,
                   bool aDup, bool aRetain, const TMQTTProperties &aProps = NoProperties);
  void SendPubAck(std::uint16_t anID);
  void SendPubRec(std::uint16_t anID);
  void SendPubRel(std::uint16_t anID, bool aDup = false);
  void SendPubComp(std::uint16_t anID);
  void SendSubscribe(std::uint16_t anID, std::string_view aTopic, TMQTTQOSType aQOS);
  // At level 5 a tag carries the whole subscription options byte (QoS, no
  // local, retain as published, retain handling); before, only the QoS.
  void SendSubscribe(std::uint16_t anID, const TTaggedStrings &Topics, const TMQTTProperties &aProps = NoProperties);
  void SendUnsubscribe(std::uint16_t anID, std::string_view aTopic);
  void SendUnsubscribe(std::uint16_t anID, const TTaggedStrings &Topics,
                       const TMQTTProperties &aProps = NoProperties);
  // At level 5 the entries are reason codes.
  void SendSubAck(std::uint16_t anID, const std::vector<TMQTTQOSType> &Qoss,
                  const TMQTTProperties &aProps = NoProperties);
  // At level 5 an UNSUBACK carries one reason per filter; without them, one Success.
  void SendUnsubAck(std::uint16_t anID);
  void SendUnsubAck(std::uint16_t anID, const std::vector<std::uint8_t> &aReasons,
                    const TMQTTProperties &aProps = NoProperties);
  void SendPing();
  void SendPingResp();
  void SendDisconnect();

  // Level 5 only (std::invalid_argument before). PUBACK, PUBREC, PUBREL or
  // PUBCOMP with a reason and properties, in the shortest form the reason and
  // properties allow.
  void SendReply(TMQTTMessageType aType, std::uint16_t anID, std::uint8_t aReason,
                 const TMQTTProperties &aProps = NoProperties, bool aDup = false);
  void SendConnAck(std::uint8_t aReason, bool aSessionPresent, const TMQTTProperties &aProps);
  void SendDisconnect(std::uint8_t aReason, const TMQTTProperties &aProps = NoProperties);
  void SendAuth(std::uint8_t aReason, const TMQTTProperties &aProps = NoProperties);

  // Keep-alive interval in seconds; writing it reloads the counter to 10 x the value.
  std::uint16_t KeepAlive() const { return FKeepAlive; }
  void SetKeepAlive(std::uint16_t aValue);

  // Read-only views of the engine's internal state.
  std::uint32_t KeepAliveCount() const { return FKeepAliveCount; }
  bool WillFlag() const { return FWillFlag; }
  // 0 fixed header, 1 remaining length, 2 body, 3 broken (nothing more is read until Reset).
  std::int32_t RxState() const { return FRxState; }
  bool StreamBroken() const { return FRxState == RxBroken; }
  // The last packet built.
  const TByteStream &TxStream() const { return FTxStream; }

  // Level of CONNECT and of the CONNACK and SUBACK decoding; set before
  // the connection starts.
  TMQTTProtocolLevel ProtocolLevel = plMQTT31;
  // Session-present flag of the last CONNACK; always false at 3.1, where the
  // byte is reserved.
  bool RxSessionPresent = false;

  // Level 5: CONNECT properties and will properties, sent with CONNECT.
  TMQTTProperties ConnectProperties;
  TMQTTProperties WillProperties;
  // Level 5: reason code and properties of the packet whose event is running
  // (0 and empty where the packet has none); the will properties of a
  // received CONNECT. The property texts are views of the packet, valid while
  // its event runs, like the topic and message of OnPublishView.
  std::uint8_t RxReason = 0;
  TMQTTPropertyViews RxProperties;
  TMQTTPropertyViews RxWillProperties;
  // Level 5: the reason code of each filter in the last SUBACK or UNSUBACK.
  std::vector<std::uint8_t> RxReasons;
  // Why the stream broke, as the reason code a DISCONNECT would carry: 0x81
  // malformed packet, 0x82 protocol error, 0x95 packet too large; 0 while unbroken.
  std::uint8_t BrokenReason() const { return FBrokenReason; }

  // Retry settings that only the client applies to its stored packets.
  std::uint16_t MaxRetries = 8;
  std::uint16_t RetryTime = 60;

  // A received PUBLISH announcing a longer body is passed over without being
  // kept (OnPublishSkipped); any other packet that long breaks the stream. 16 MiB by
  // default; may be raised up to MQTTMaxRemainingLength.
  std::int32_t MaxRxLength = 16 * 1024 * 1024;

  // A received PUBLISH that breaks the format's rules (QoS 3; a topic count
  // or identifier running past the body; a QoS 1 or 2 identifier of 0; a
  // topic that is empty, not UTF-8, or holds U+0000, '+' or '#') breaks the
  // stream with the reason instead of being handed on. Off, such a packet is
  // decoded as leniently as any other.
  bool Strict = false;

  // Fixed header of the packet being received; kept after its event until the next header.
  TMQTTMessageType RxMsg = mtReserved15;
  TMQTTQOSType RxQos = qtAT_MOST_ONCE;
  bool RxDup = false;
  bool RxRetain = false;

  // Connection parameters (UTF-8).
  std::string UserName;
  std::string Password;
  std::string WillTopic;
  std::string WillMessage;
  bool WillRetain = false;
  TMQTTQOSType WillQos = qtAT_LEAST_ONCE;
  std::string ClientID;
  bool Clean = false;

  // Events; an unassigned event is skipped.
  TMQTTStreamEvent OnSend;
  TMQTTAckEvent OnConnAck;
  TMQTTSubAckEvent OnSubAck;
  TMQTTIDEvent OnPubAck;
  TMQTTIDEvent OnPubRel;
  TMQTTIDEvent OnPubRec;
  TMQTTIDEvent OnPubComp;
  TMQTTIDEvent OnUnsubAck;
  TMQTTNotifyEvent OnPingResp;
  TMQTTConnectEvent OnBrokerConnect;
  TMQTTConnectEvent OnConnect;
  TMQTTPublishEvent OnPublish;
  // Raised instead of OnPublish when assigned, for a receiver that copies only what it keeps.
  TMQTTPublishViewEvent OnPublishView;
  TMQTTNotifyEvent OnPing;
  TMQTTNotifyEvent OnDisconnect;
  TMQTTSubscribeEvent OnSubscribe;
  TMQTTUnsubscribeEvent OnUnsubscribe;
  TMQTTWillEvent OnSetWill;
  TMQTTHeaderEvent OnHeader;
  TMQTTMonEvent OnMon;
  TMQTTBrokenEvent OnStreamBroken;
  TMQTTSkippedEvent OnPublishSkipped;
  // Level 5: an AUTH packet (RxReason, RxProperties).
  TMQTTNotifyEvent OnAuth;

private:
  static constexpr std::int32_t RxBroken = 3;

  void ReloadKeepAlive() { FKeepAliveCount = std::uint32_t(FKeepAlive) * 10; }
  void Consume(std::string_view aBytes);
  void Dispatch(const std::uint8_t *aBody, std::size_t aSize, std::string *aGatheredPayload);
  void GatherPublish(const std::uint8_t *aBytes, std::size_t aCount);
  void DispatchSkipped();
  void Break(std::string aReason, std::uint8_t aCode = 0x81);
  void Dispatch5(const std::uint8_t *aBody, std::size_t aSize, std::string *aGatheredPayload);
  void DispatchSkipped5();
  std::size_t PublishHead5(const std::uint8_t *aBody, std::size_t aHave, bool &aKnown) const;
  void SendConnectPacket5(std::uint8_t aFirstByte, const std::string &aClientID, const std::string &aUsername,
                          const std::string &aPassword, std::uint16_t aKeepAlive);
  // Throws std::invalid_argument below level 5 or for a list the packet may not carry.
  void RequireProperties(const TMQTTProperties &aProps, std::uint8_t aPacketType,
                         std::uint32_t aPackets = 0) const;
  bool RejectPublish(const std::uint8_t *aHead, std::size_t aHeadSize, std::size_t aBodySize);
  void SendConnectPacket(std::uint8_t aFirstByte, const std::string &aClientID, const std::string &aUsername,
                         const std::string &aPassword, std::uint16_t aKeepAlive);
  std::uint8_t ConnectFlags(const std::string &aUsername, const std::string &aPassword) const;
  void SendIDPacket(std::uint8_t aFirstByte, std::uint16_t anID);
  void SendEmptyPacket(std::uint8_t aFirstByte);
  void SendTopicList(std::uint8_t aFirstByte, std::uint16_t anID, const TTaggedStrings &Topics, bool aWithQos,
                     const TMQTTProperties &aProps);
  void SendCodeList5(std::uint8_t aFirstByte, std::uint16_t anID, const std::uint8_t *aCodes, std::size_t aCount,
                     const TMQTTProperties &aProps);
  void StartPacket(std::uint8_t aFirstByte, std::size_t aRemainingLength);
  void Emit(std::uint16_t anID);

  TByteStream FTxStream;
  TByteStream FRxStream;
  std::uint32_t FKeepAliveCount = 0;
  std::uint16_t FKeepAlive = 0;
  bool FWillFlag = false;
  std::int32_t FRxState = 0;
  std::uint8_t FBrokenReason = 0;
  std::int32_t FRxMult = 0;
  std::int32_t FRxVal = 0;
  // Size of the body being received.
  std::size_t FRxBodySize = 0;
  // A PUBLISH body that arrives in pieces is gathered in two parts: its head
  // (topic, identifier; FRxHeadSize bytes, 0 until known) in FRxStream and its
  // payload straight into the string that becomes the message.
  std::size_t FRxHeadSize = 0;
  std::string FRxPayload;
  // The PUBLISH being received is over MaxRxLength: its payload is counted, not kept.
  bool FRxSkipping = false;
  // Bytes of a chunk left unparsed because a handler threw.
  std::string FRxPending;
};
