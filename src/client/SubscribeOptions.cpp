#include "SubscribeOptions.h"

std::uint8_t TSubscribeOptions::Byte(TMQTTQOSType aQos) const {
  return std::uint8_t((aQos & 3) | (NoLocal ? 0x04 : 0) | (RetainAsPublished ? 0x08 : 0) | ((RetainHandling & 3) << 4));
}

TMQTTProperties TSubscribeOptions::Properties() const {
  TMQTTProperties props;
  if (Identifier != 0) props.push_back(NumberProperty(piSubscriptionIdentifier, Identifier));
  props.insert(props.end(), UserProperties.begin(), UserProperties.end());
  return props;
}
