#pragma once
// MQTT 5 reason codes: one table gives each code its standard name and the
// packets that may carry it. Every text shown for a reason comes from here.

#include <cstdint>
#include <string>

enum TMQTTReasonCode : std::uint8_t {
  rcSuccess = 0x00,
  rcNormalDisconnection = 0x00,
  rcGrantedQoS1 = 0x01,
  rcGrantedQoS2 = 0x02,
  rcDisconnectWithWill = 0x04,
  rcNoMatchingSubscribers = 0x10,
  rcNoSubscriptionExisted = 0x11,
  rcContinueAuthentication = 0x18,
  rcReauthenticate = 0x19,
  rcUnspecifiedError = 0x80,
  rcMalformedPacket = 0x81,
  rcProtocolError = 0x82,
  rcImplementationSpecificError = 0x83,
  rcUnsupportedProtocolVersion = 0x84,
  rcNotAuthorized = 0x87,
  rcBadAuthenticationMethod = 0x8C,
  rcKeepAliveTimeout = 0x8D,
  rcSessionTakenOver = 0x8E,
  rcTopicNameInvalid = 0x90,
  rcPacketIdentifierNotFound = 0x92,
  rcReceiveMaximumExceeded = 0x93,
  rcTopicAliasInvalid = 0x94,
  rcPacketTooLarge = 0x95,
  rcQuotaExceeded = 0x97,
  rcPayloadFormatInvalid = 0x99,
  rcRetainNotSupported = 0x9A,
  rcQoSNotSupported = 0x9B,
  rcSharedSubscriptionsNotSupported = 0x9E,
  rcSubscriptionIdentifiersNotSupported = 0xA1,
  rcWildcardSubscriptionsNotSupported = 0xA2
};

// Whether a packet of that type (TMQTTMessageType, AUTH being 15) may carry the code.
bool ReasonAllowed(std::uint8_t aCode, std::uint8_t aPacketType);
// The standard name of the code as that packet uses it ("Granted QoS 1" in
// SUBACK, "Normal disconnection" in DISCONNECT, "Not authorized", ...), or
// "Unknown reason 0xNN" for a code the packet does not define.
std::string ReasonText(std::uint8_t aCode, std::uint8_t aPacketType);
// Codes from 0x80 up report a failure.
inline bool IsErrorReason(std::uint8_t aCode) { return aCode >= 0x80; }
