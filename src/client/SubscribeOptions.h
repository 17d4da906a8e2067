#pragma once
// What a level-5 SUBSCRIBE asks beyond the QoS: the options byte of each
// filter and the packet's properties. Below level 5 the protocol has no place
// for any of it, and it is left out.

#include <cstdint>

#include "MQTTProperties.h"
#include "TaggedStrings.h"
#include "uMQTT.h"

struct TSubscribeOptions {
  bool NoLocal = false;           // our own publications are not sent back to us
  bool RetainAsPublished = false; // the retain flag arrives as the publisher set it
  // 0: retained messages at every subscription; 1: only when the
  // subscription is new; 2: never.
  std::uint8_t RetainHandling = 0;
  std::uint32_t Identifier = 0;   // subscription identifier; 0: none
  TMQTTProperties UserProperties;

  bool Empty() const { return !NoLocal && !RetainAsPublished && RetainHandling == 0 && Identifier == 0 && UserProperties.empty(); }
  // The options byte of one filter requested at aQos.
  std::uint8_t OptionsByte(TMQTTQOSType aQos) const;
  // The entries with their tags made options bytes (their low two bits the QoS).
  TTaggedStrings Apply(const TTaggedStrings &aFilters) const;
  TMQTTProperties Properties() const;
};
