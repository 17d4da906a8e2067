#include "SendQuota.h"

void TSendQuota::Reset(std::uint16_t aMaximum, std::size_t aInUse) {
  FMaximum = aMaximum;
  FInUse = aInUse;
}

bool TSendQuota::Take() {
  if (FInUse >= FMaximum) return false;
  ++FInUse;
  return true;
}

void TSendQuota::Give() {
  if (FInUse > 0) --FInUse;
}
