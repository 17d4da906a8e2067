#pragma once
// The client's two stores: InFlight holds a copy of every outgoing packet that
// awaits an acknowledgement, Releasables every received QoS 2 message that
// awaits the broker's PUBREL. Both keep their entries in the order added; a
// lookup by identifier finds the oldest entry with it, a deletion by
// identifier removes the newest. A store owns its entries; Remove and SetItem
// hand the entry they take out to the caller.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "ByteStream.h"
#include "IndexedList.h"
#include "uMQTT.h"

using TDateTime = std::chrono::system_clock::time_point;

class TMQTTPacket {
public:
  std::uint16_t ID = 0; // not to be changed while the entry is in a store
  TDateTime Stamp = std::chrono::system_clock::now();
  std::uint32_t Counter = 0;  // retry countdown in sweeps; 0 = not counting
  std::int32_t Retries = 0;   // countdowns run out so far
  bool Publishing = true;     // false once a PUBREC has answered a QoS 2 PUBLISH
  bool PubRelHeld = false;    // PUBREC in, PUBREL not sent until the PUBREC is confirmed
  bool Parked = false;        // neither counting down nor re-sent until TMQTTClient::Unpark
  std::uint64_t CopiedOnLink = 0; // the connection a timed copy went out on; 0: none yet
  std::uint64_t TxSeq = 0;        // the owner's count of packets sent, at this one's last send
  TByteStream Msg;            // the whole packet as sent

  // Copies every field; Msg receives all of From's bytes.
  void Assign(const TMQTTPacket &From);
};

class TMQTTPacketStore {
public:
  TDateTime Stamp = std::chrono::system_clock::now();

  // Appends a new entry holding a copy of all of aMsg's bytes (aMsg is rewound).
  TMQTTPacket *AddPacket(std::uint16_t anID, TByteStream &aMsg, std::uint32_t aRetry,
                         std::uint32_t aCount);
  // Frees the newest entry with anID, if any.
  void DelPacket(std::uint16_t anID);
  // The oldest entry with anID, or null.
  TMQTTPacket *GetPacket(std::uint16_t anID) const { return FList.FirstWithID(anID); }
  TMQTTPacket *GetItem(int Index) const { return FList.At(Index); }
  // Puts Value at Index and returns the entry that was there; out of range,
  // Value itself comes back and the store is unchanged.
  std::unique_ptr<TMQTTPacket> SetItem(int Index, std::unique_ptr<TMQTTPacket> Value) {
    return FList.Replace(Index, std::move(Value));
  }
  int Count() const { return FList.Count(); }
  void Clear() { FList.Clear(); }
  void Assign(const TMQTTPacketStore &From);
  // Takes aPacket out of the list without freeing it; null when not listed.
  std::unique_ptr<TMQTTPacket> Remove(const TMQTTPacket *aPacket) { return FList.Take(aPacket); }

  bool HasID(std::uint16_t anID) const { return FList.HasID(anID); }
  std::size_t DistinctIDs() const { return FList.DistinctIDs(); }

private:
  TIndexedList<TMQTTPacket> FList;
};

class TMQTTMessage {
public:
  std::uint16_t ID = 0; // not to be changed while the entry is in a store
  TDateTime Stamp = std::chrono::system_clock::now();
  TDateTime LastUsed = Stamp;
  TMQTTQOSType Qos = qtAT_MOST_ONCE;
  bool Retained = false;
  std::uint32_t Counter = 0;
  std::int32_t Retries = 0;
  std::string Topic;   // UTF-8
  std::string Message; // raw payload

  void Assign(const TMQTTMessage &From) { *this = From; }
};

class TMQTTMessageStore {
public:
  TDateTime Stamp = std::chrono::system_clock::now();

  TMQTTMessage *AddMsg(std::uint16_t anID, const std::string &aTopic, const std::string &aMessage,
                       TMQTTQOSType aQos, std::uint32_t aRetry, std::uint32_t aCount,
                       bool aRetained);
  void DelMsg(std::uint16_t anID);
  TMQTTMessage *GetMsg(std::uint16_t anID) const { return FList.FirstWithID(anID); }
  TMQTTMessage *GetItem(int Index) const { return FList.At(Index); }
  std::unique_ptr<TMQTTMessage> SetItem(int Index, std::unique_ptr<TMQTTMessage> Value) {
    return FList.Replace(Index, std::move(Value));
  }
  int Count() const { return FList.Count(); }
  void Clear() { FList.Clear(); }
  void Assign(const TMQTTMessageStore &From);
  std::unique_ptr<TMQTTMessage> Remove(const TMQTTMessage *aMsg) { return FList.Take(aMsg); }

private:
  TIndexedList<TMQTTMessage> FList;
};

// Sets or clears the DUP bit (bit 3) of the packet's first byte; an empty
// buffer is left alone.
void SetDupFlag(TByteStream &aStream, bool Dup);
