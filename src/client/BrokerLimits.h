#pragma once
// What a level-5 broker announced in its CONNACK about the requests it will
// serve. A request it declared it cannot serve is refused here, before
// anything is sent, with a sentence that names the broker's limit.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "MQTTProperties.h"
#include "uMQTT.h"

struct TBrokerLimits {
  // Absent properties mean what MQTT 5 says they mean: no limit, available.
  std::uint16_t ReceiveMaximum = 65535;
  std::uint32_t MaximumPacketSize = 0; // 0: only the protocol's own limit
  std::uint16_t TopicAliasMaximum = 0;
  TMQTTQOSType MaximumQoS = qtEXACTLY_ONCE;
  bool RetainAvailable = true;
  bool WildcardAvailable = true;
  bool SubscriptionIDAvailable = true;
  bool SharedAvailable = true;

  // Back to the defaults, then what this CONNACK's properties say.
  void Read(const TMQTTPropertyViews &aProps);

  // Empty when the broker can take it, otherwise why not.
  std::string CheckPublish(std::size_t aPacketSize, TMQTTQOSType aQos, bool aRetain) const;
  std::string CheckSubscribe(std::string_view aFilter, bool aWithSubscriptionID) const;
};

// Bytes of a whole packet (fixed header included) whose body is aBody bytes.
std::size_t PacketSize(std::size_t aBody);
