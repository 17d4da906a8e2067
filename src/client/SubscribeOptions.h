#pragma once
// What a level-5 SUBSCRIBE asks beyond the QoS: the options byte of each
// filter and the packet's properties. Below level 5 the protocol has no place
// for any of it.

#include <cstdint>

#include "MQTTProperties.h"
#include "uMQTT.h"

struct TSubscribeOptions {
  bool NoLocal = false;            // not our own publications (refused on a $share filter)
  bool RetainAsPublished = false;  // the retain flag as the publisher set it, not cleared
  std::uint8_t RetainHandling = 0; // retained messages: 0 on subscribing, 1 only for a new subscription, 2 never
  std::uint32_t Identifier = 0;    // subscription identifier, 1 to 268,435,455; 0 for none
  TMQTTProperties UserProperties;

  // The options byte of a SUBSCRIBE entry, with aQos in its low bits.
  std::uint8_t Byte(TMQTTQOSType aQos) const;
  // The SUBSCRIBE's properties: the identifier, then the user properties.
  TMQTTProperties Properties() const;
  bool operator==(const TSubscribeOptions &) const = default;
};
