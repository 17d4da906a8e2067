// The reason-code table.
#include "MQTTReasonCodes.h"

#include "MQTTProperties.h"
#include "uMQTT.h"

#include <cstdio>

namespace {
constexpr std::uint32_t CONNACK = PacketBit(mtCONNACK), PUBACK = PacketBit(mtPUBACK), PUBREC = PacketBit(mtPUBREC),
                        PUBREL = PacketBit(mtPUBREL), PUBCOMP = PacketBit(mtPUBCOMP), SUBACK = PacketBit(mtSUBACK),
                        UNSUBACK = PacketBit(mtUNSUBACK), DISCONNECT = PacketBit(mtDISCONNECT),
                        AUTH = PacketBit(mtAUTH);
// The packets that report on a request and share the general error codes.
constexpr std::uint32_t Replies = CONNACK | PUBACK | PUBREC | SUBACK | UNSUBACK | DISCONNECT;

struct TReasonInfo {
  std::uint8_t Code;
  std::uint32_t Packets;
  const char *Text;
};

// A code named differently by different packets has one row per name.
constexpr TReasonInfo Table[] = {
    {0x00, CONNACK | PUBACK | PUBREC | PUBREL | PUBCOMP | UNSUBACK | AUTH, "Success"},
    {0x00, DISCONNECT, "Normal disconnection"},
    {0x00, SUBACK, "Granted QoS 0"},
    {0x01, SUBACK, "Granted QoS 1"},
    {0x02, SUBACK, "Granted QoS 2"},
    {0x04, DISCONNECT, "Disconnect with Will Message"},
    {0x10, PUBACK | PUBREC, "No matching subscribers"},
    {0x11, UNSUBACK, "No subscription existed"},
    {0x18, AUTH, "Continue authentication"},
    {0x19, AUTH, "Re-authenticate"},
    {0x80, Replies, "Unspecified error"},
    {0x81, CONNACK | DISCONNECT, "Malformed Packet"},
    {0x82, CONNACK | DISCONNECT, "Protocol Error"},
    {0x83, Replies, "Implementation specific error"},
    {0x84, CONNACK, "Unsupported Protocol Version"},
    {0x85, CONNACK, "Client Identifier not valid"},
    {0x86, CONNACK, "Bad User Name or Password"},
    {0x87, Replies, "Not authorized"},
    {0x88, CONNACK, "Server unavailable"},
    {0x89, CONNACK | DISCONNECT, "Server busy"},
    {0x8A, CONNACK, "Banned"},
    {0x8B, DISCONNECT, "Server shutting down"},
    {0x8C, CONNACK | DISCONNECT, "Bad authentication method"},
    {0x8D, DISCONNECT, "Keep Alive timeout"},
    {0x8E, DISCONNECT, "Session taken over"},
    {0x8F, SUBACK | UNSUBACK | DISCONNECT, "Topic Filter invalid"},
    {0x90, CONNACK | PUBACK | PUBREC | DISCONNECT, "Topic Name invalid"},
    {0x91, PUBACK | PUBREC | SUBACK | UNSUBACK, "Packet Identifier in use"},
    {0x92, PUBREL | PUBCOMP, "Packet Identifier not found"},
    {0x93, DISCONNECT, "Receive Maximum exceeded"},
    {0x94, DISCONNECT, "Topic Alias invalid"},
    {0x95, CONNACK | DISCONNECT, "Packet too large"},
    {0x96, DISCONNECT, "Message rate too high"},
    {0x97, CONNACK | PUBACK | PUBREC | SUBACK | DISCONNECT, "Quota exceeded"},
    {0x98, DISCONNECT, "Administrative action"},
    {0x99, CONNACK | PUBACK | PUBREC | DISCONNECT, "Payload format invalid"},
    {0x9A, CONNACK | DISCONNECT, "Retain not supported"},
    {0x9B, CONNACK | DISCONNECT, "QoS not supported"},
    {0x9C, CONNACK | DISCONNECT, "Use another server"},
    {0x9D, CONNACK | DISCONNECT, "Server moved"},
    {0x9E, SUBACK | DISCONNECT, "Shared Subscriptions not supported"},
    {0x9F, CONNACK | DISCONNECT, "Connection rate exceeded"},
    {0xA0, DISCONNECT, "Maximum connect time"},
    {0xA1, SUBACK | DISCONNECT, "Subscription Identifiers not supported"},
    {0xA2, SUBACK | DISCONNECT, "Wildcard Subscriptions not supported"},
};

const TReasonInfo *Find(std::uint8_t aCode, std::uint8_t aPacketType) {
  for (const TReasonInfo &info : Table)
    if (info.Code == aCode && (info.Packets & PacketBit(aPacketType))) return &info;
  return nullptr;
}
} // namespace

bool ReasonAllowed(std::uint8_t aCode, std::uint8_t aPacketType) { return Find(aCode, aPacketType) != nullptr; }

std::string ReasonText(std::uint8_t aCode, std::uint8_t aPacketType) {
  if (const TReasonInfo *info = Find(aCode, aPacketType)) return info->Text;
  char text[32];
  std::snprintf(text, sizeof text, "Unknown reason 0x%02X", unsigned(aCode));
  return text;
}
