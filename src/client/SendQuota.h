#pragma once
// Flow control by the broker's receive maximum: at most that many QoS 1 and
// QoS 2 publications unacknowledged at once. A publication over the quota is
// held, in order, and sent as acknowledgements free the quota.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "MQTTProperties.h"
#include "uMQTT.h"

struct THeldPublication {
  std::string Topic, Message;
  TMQTTQOSType Qos;
  bool Retain;
  TMQTTProperties Props;
};

class TSendQuota {
public:
  // A new connection: the broker's maximum, and how many of our publications
  // already await acknowledgement (they are re-sent and count against it).
  void Reset(std::uint16_t aMaximum, std::size_t aInUse);
  // Takes one unit for a publication about to be sent; false when none is left.
  bool Take();
  // An acknowledgement ended one exchange.
  void Give();
  std::size_t InUse() const { return FInUse; }
  std::uint16_t Maximum() const { return FMaximum; }

  std::deque<THeldPublication> Held;

private:
  std::uint16_t FMaximum = 65535;
  std::size_t FInUse = 0;
};
