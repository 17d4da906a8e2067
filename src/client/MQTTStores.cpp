#include "MQTTStores.h"

void TMQTTPacket::Assign(const TMQTTPacket &From) {
  ID = From.ID;
  Stamp = From.Stamp;
  Counter = From.Counter;
  Retries = From.Retries;
  Publishing = From.Publishing;
  PubRelHeld = From.PubRelHeld;
  Parked = From.Parked;
  CopiedOnLink = From.CopiedOnLink;
  TxSeq = From.TxSeq;
  Msg.Clear();
  Msg.Write(From.Msg.View());
}

TMQTTPacket *TMQTTPacketStore::AddPacket(std::uint16_t anID, TByteStream &aMsg,
                                         std::uint32_t aRetry, std::uint32_t aCount) {
  auto entry = std::make_unique<TMQTTPacket>();
  entry->ID = anID;
  entry->Counter = aCount;
  entry->Retries = static_cast<std::int32_t>(aRetry);
  aMsg.Rewind();
  entry->Msg.Write(aMsg.View());
  aMsg.Seek(aMsg.Size());
  return FList.Append(std::move(entry));
}

void TMQTTPacketStore::DelPacket(std::uint16_t anID) {
  if (TMQTTPacket *p = FList.LastWithID(anID)) FList.Take(p);
}

void TMQTTPacketStore::Assign(const TMQTTPacketStore &From) {
  if (&From == this) return;
  Clear();
  for (int i = 0; i < From.Count(); ++i) {
    auto copy = std::make_unique<TMQTTPacket>();
    copy->Assign(*From.GetItem(i));
    FList.Append(std::move(copy));
  }
}

TMQTTMessage *TMQTTMessageStore::AddMsg(std::uint16_t anID, const std::string &aTopic,
                                        const std::string &aMessage, TMQTTQOSType aQos,
                                        std::uint32_t aRetry, std::uint32_t aCount,
                                        bool aRetained) {
  auto entry = std::make_unique<TMQTTMessage>();
  entry->ID = anID;
  entry->Topic = aTopic;
  entry->Message = aMessage;
  entry->Qos = aQos;
  entry->Retries = static_cast<std::int32_t>(aRetry);
  entry->Counter = aCount;
  entry->Retained = aRetained;
  return FList.Append(std::move(entry));
}

void TMQTTMessageStore::DelMsg(std::uint16_t anID) {
  if (TMQTTMessage *m = FList.LastWithID(anID)) FList.Take(m);
}

void TMQTTMessageStore::Assign(const TMQTTMessageStore &From) {
  if (&From == this) return;
  Clear();
  for (int i = 0; i < From.Count(); ++i) {
    auto copy = std::make_unique<TMQTTMessage>();
    copy->Assign(*From.GetItem(i));
    FList.Append(std::move(copy));
  }
}

void SetDupFlag(TByteStream &aStream, bool Dup) {
  if (aStream.Empty()) return;
  std::uint8_t *first = aStream.Data();
  *first = static_cast<std::uint8_t>((*first & 0xF7) | (Dup ? 0x08 : 0));
}
