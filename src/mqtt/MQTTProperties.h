#pragma once
// MQTT 5 properties: one table gives each identifier its data type, the
// packets that may carry it and whether it may repeat; the writer, the reader
// and every check are driven by that table. A property list keeps the order
// of the wire, so user properties come out as they went in.

#include "ByteStream.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct TFieldReader;

enum TMQTTPropertyType : std::uint8_t { ptByte, ptWord, ptLong, ptVarInt, ptString, ptStringPair, ptBinary };

enum TMQTTPropertyID : std::uint8_t {
  piPayloadFormatIndicator = 0x01,
  piMessageExpiryInterval = 0x02,
  piContentType = 0x03,
  piResponseTopic = 0x08,
  piCorrelationData = 0x09,
  piSubscriptionIdentifier = 0x0B,
  piSessionExpiryInterval = 0x11,
  piAssignedClientIdentifier = 0x12,
  piServerKeepAlive = 0x13,
  piAuthenticationMethod = 0x15,
  piAuthenticationData = 0x16,
  piRequestProblemInformation = 0x17,
  piWillDelayInterval = 0x18,
  piRequestResponseInformation = 0x19,
  piResponseInformation = 0x1A,
  piServerReference = 0x1C,
  piReasonString = 0x1F,
  piReceiveMaximum = 0x21,
  piTopicAliasMaximum = 0x22,
  piTopicAlias = 0x23,
  piMaximumQoS = 0x24,
  piRetainAvailable = 0x25,
  piUserProperty = 0x26,
  piMaximumPacketSize = 0x27,
  piWildcardSubscriptionAvailable = 0x28,
  piSubscriptionIdentifierAvailable = 0x29,
  piSharedSubscriptionAvailable = 0x2A
};

// Where a property may appear: one bit per packet type (1 << type) and one for
// the will properties inside CONNECT.
inline constexpr std::uint32_t PacketBit(std::uint8_t aPacketType) { return 1u << (aPacketType & 0x0F); }
inline constexpr std::uint32_t WillPropertiesBit = 1u << 16;

// One property. Integers of every width are in Number; a string or binary
// value is in Text; a user property's name is in Text and its value in Value.
struct TMQTTProperty {
  std::uint8_t ID = 0;
  std::uint32_t Number = 0;
  std::string Text;
  std::string Value;
  bool operator==(const TMQTTProperty &) const = default;
};
using TMQTTProperties = std::vector<TMQTTProperty>;
inline const TMQTTProperties NoProperties;

// A received property: its texts are views of the packet, valid while the
// event for that packet runs (copy them with CopyProperties to keep them).
struct TMQTTPropertyView {
  std::uint8_t ID = 0;
  std::uint32_t Number = 0;
  std::string_view Text;
  std::string_view Value;
};
using TMQTTPropertyViews = std::vector<TMQTTPropertyView>;
TMQTTProperties CopyProperties(const TMQTTPropertyViews &aViews);

struct TMQTTPropertyInfo {
  std::uint8_t ID;
  TMQTTPropertyType Type;
  std::uint32_t Packets;
  // Packets in which it may appear more than once.
  std::uint32_t Repeatable;
  // Largest value the property may take (integers only); 0 means the type's limit.
  std::uint32_t Max;
  // Whether 0 is a protocol error (receive maximum, topic alias, ...).
  bool NonZero;
  const char *Name;
};

// The table entry of an identifier, or nullptr for one MQTT 5 does not define.
const TMQTTPropertyInfo *PropertyInfo(std::uint8_t aID);
// "Topic Alias (0x23)", or "property 0x05" for an unknown identifier.
std::string PropertyName(std::uint8_t aID);

// Builders for the common shapes.
inline TMQTTProperty NumberProperty(TMQTTPropertyID aID, std::uint32_t aValue) { return {aID, aValue, {}, {}}; }
inline TMQTTProperty TextProperty(TMQTTPropertyID aID, std::string aText) { return {aID, 0, std::move(aText), {}}; }
inline TMQTTProperty UserProperty(std::string aName, std::string aValue) {
  return {piUserProperty, 0, std::move(aName), std::move(aValue)};
}

// The first property with that identifier, or nullptr.
const TMQTTProperty *FindProperty(const TMQTTProperties &aProps, std::uint8_t aID);
const TMQTTPropertyView *FindProperty(const TMQTTPropertyViews &aProps, std::uint8_t aID);

// Size of a variable byte integer (1 to 4 bytes); the value must be below 2^28.
std::size_t VarIntSize(std::uint32_t aValue);
void EncodeVarInt(TByteStream &aStream, std::uint32_t aValue);

// Checks a list before it is sent in a packet (aPackets, one of the bits
// above): every identifier known and allowed there, given once unless
// repeatable, values within their range and strings within 65,535 bytes.
// Returns an empty string when the list can be sent, otherwise what is wrong.
std::string CheckProperties(const TMQTTProperties &aProps, std::uint32_t aPackets, std::string_view aPacketName);
// Bytes of the property block: the length and the properties.
std::size_t PropertyBlockSize(const TMQTTProperties &aProps);
void EncodeProperties(TByteStream &aStream, const TMQTTProperties &aProps);

// Reads a property block from a received body into aOut as views of the body
// (its capacity is kept, so a steady stream does not allocate). Returns 0 when the block is
// sound, otherwise the reason code that ends the connection, 0x81 (malformed:
// unknown or misplaced identifier, a length past the block, bad UTF-8) or 0x82
// (protocol error: a single property given twice, a value out of its range),
// with the explanation in aError.
std::uint8_t DecodeProperties(TFieldReader &aReader, std::uint32_t aPackets, std::string_view aPacketName,
                              TMQTTPropertyViews &aOut, std::string &aError);
