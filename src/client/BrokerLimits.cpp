#include "BrokerLimits.h"

void TBrokerLimits::Read(const TMQTTPropertyViews &aProps) {
  *this = TBrokerLimits();
  for (const TMQTTPropertyView &p : aProps) switch (p.ID) {
    case piReceiveMaximum: ReceiveMaximum = std::uint16_t(p.Number); break;
    case piMaximumPacketSize: MaximumPacketSize = p.Number; break;
    case piTopicAliasMaximum: TopicAliasMaximum = std::uint16_t(p.Number); break;
    case piMaximumQoS: MaximumQoS = TMQTTQOSType(p.Number); break;
    case piRetainAvailable: RetainAvailable = p.Number != 0; break;
    case piWildcardSubscriptionAvailable: WildcardAvailable = p.Number != 0; break;
    case piSubscriptionIdentifierAvailable: SubscriptionIDAvailable = p.Number != 0; break;
    case piSharedSubscriptionAvailable: SharedAvailable = p.Number != 0; break;
    default: break;
    }
}

std::string TBrokerLimits::CheckPublish(std::size_t aPacketSize, TMQTTQOSType aQos, bool aRetain) const {
  if (MaximumPacketSize != 0 && aPacketSize > MaximumPacketSize)
    return "the packet of " + std::to_string(aPacketSize) + " bytes is over the broker's maximum packet size of " +
           std::to_string(MaximumPacketSize) + " bytes";
  if (aQos > MaximumQoS)
    return "QoS " + std::to_string(aQos) + " is over the broker's maximum QoS of " + std::to_string(MaximumQoS);
  if (aRetain && !RetainAvailable) return "the broker does not support retained messages";
  return {};
}

std::string TBrokerLimits::CheckSubscribe(std::string_view aFilter, bool aWithSubscriptionID) const {
  if (!SharedAvailable && aFilter.starts_with("$share/")) return "the broker does not support shared subscriptions";
  if (!WildcardAvailable && aFilter.find_first_of("+#") != std::string_view::npos)
    return "the broker does not support wildcard subscriptions";
  if (!SubscriptionIDAvailable && aWithSubscriptionID) return "the broker does not support subscription identifiers";
  return {};
}

std::size_t PacketSize(std::size_t aBody) { return 1 + VarIntSize(std::uint32_t(aBody)) + aBody; }
