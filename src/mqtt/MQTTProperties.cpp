// The property table and everything driven by it.
#include "MQTTProperties.h"

#include "FieldReader.h"
#include "MQTTLimits.h"
#include "uMQTT.h"

#include <array>
#include <cstring>
#include <cstdio>

namespace {
constexpr std::uint32_t Bit(TMQTTMessageType aType) { return PacketBit(aType); }
constexpr std::uint32_t Will = WillPropertiesBit;
constexpr std::uint32_t Message = Bit(mtPUBLISH) | Will;
constexpr std::uint32_t Acks = Bit(mtPUBACK) | Bit(mtPUBREC) | Bit(mtPUBREL) | Bit(mtPUBCOMP);
constexpr std::uint32_t Every = Bit(mtCONNECT) | Bit(mtCONNACK) | Message | Acks | Bit(mtSUBSCRIBE) |
                                Bit(mtSUBACK) | Bit(mtUNSUBSCRIBE) | Bit(mtUNSUBACK) | Bit(mtDISCONNECT) |
                                Bit(mtAUTH);
constexpr std::uint32_t MaxVarInt = 268435455;

// Identifier, type, packets, packets where it may repeat, maximum, zero refused, name.
constexpr TMQTTPropertyInfo Table[] = {
    {piPayloadFormatIndicator, ptByte, Message, 0, 1, false, "Payload Format Indicator"},
    {piMessageExpiryInterval, ptLong, Message, 0, 0, false, "Message Expiry Interval"},
    {piContentType, ptString, Message, 0, 0, false, "Content Type"},
    {piResponseTopic, ptString, Message, 0, 0, false, "Response Topic"},
    {piCorrelationData, ptBinary, Message, 0, 0, false, "Correlation Data"},
    {piSubscriptionIdentifier, ptVarInt, Bit(mtPUBLISH) | Bit(mtSUBSCRIBE), Bit(mtPUBLISH), MaxVarInt, true,
     "Subscription Identifier"},
    {piSessionExpiryInterval, ptLong, Bit(mtCONNECT) | Bit(mtCONNACK) | Bit(mtDISCONNECT), 0, 0, false,
     "Session Expiry Interval"},
    {piAssignedClientIdentifier, ptString, Bit(mtCONNACK), 0, 0, false, "Assigned Client Identifier"},
    {piServerKeepAlive, ptWord, Bit(mtCONNACK), 0, 0, false, "Server Keep Alive"},
    {piAuthenticationMethod, ptString, Bit(mtCONNECT) | Bit(mtCONNACK) | Bit(mtAUTH), 0, 0, false,
     "Authentication Method"},
    {piAuthenticationData, ptBinary, Bit(mtCONNECT) | Bit(mtCONNACK) | Bit(mtAUTH), 0, 0, false,
     "Authentication Data"},
    {piRequestProblemInformation, ptByte, Bit(mtCONNECT), 0, 1, false, "Request Problem Information"},
    {piWillDelayInterval, ptLong, Will, 0, 0, false, "Will Delay Interval"},
    {piRequestResponseInformation, ptByte, Bit(mtCONNECT), 0, 1, false, "Request Response Information"},
    {piResponseInformation, ptString, Bit(mtCONNACK), 0, 0, false, "Response Information"},
    {piServerReference, ptString, Bit(mtCONNACK) | Bit(mtDISCONNECT), 0, 0, false, "Server Reference"},
    {piReasonString, ptString, Every & ~(Bit(mtCONNECT) | Message | Bit(mtSUBSCRIBE) | Bit(mtUNSUBSCRIBE)), 0, 0,
     false, "Reason String"},
    {piReceiveMaximum, ptWord, Bit(mtCONNECT) | Bit(mtCONNACK), 0, 0, true, "Receive Maximum"},
    {piTopicAliasMaximum, ptWord, Bit(mtCONNECT) | Bit(mtCONNACK), 0, 0, false, "Topic Alias Maximum"},
    {piTopicAlias, ptWord, Bit(mtPUBLISH), 0, 0, true, "Topic Alias"},
    {piMaximumQoS, ptByte, Bit(mtCONNACK), 0, 1, false, "Maximum QoS"},
    {piRetainAvailable, ptByte, Bit(mtCONNACK), 0, 1, false, "Retain Available"},
    {piUserProperty, ptStringPair, Every, Every, 0, false, "User Property"},
    {piMaximumPacketSize, ptLong, Bit(mtCONNECT) | Bit(mtCONNACK), 0, 0, true, "Maximum Packet Size"},
    {piWildcardSubscriptionAvailable, ptByte, Bit(mtCONNACK), 0, 1, false, "Wildcard Subscription Available"},
    {piSubscriptionIdentifierAvailable, ptByte, Bit(mtCONNACK), 0, 1, false,
     "Subscription Identifier Available"},
    {piSharedSubscriptionAvailable, ptByte, Bit(mtCONNACK), 0, 1, false, "Shared Subscription Available"},
};

// Identifiers are below 0x40, so a direct index finds an entry in one step.
constexpr std::array<const TMQTTPropertyInfo *, 64> MakeIndex() {
  std::array<const TMQTTPropertyInfo *, 64> index{};
  for (const TMQTTPropertyInfo &info : Table) index[info.ID] = &info;
  return index;
}
constexpr std::array<const TMQTTPropertyInfo *, 64> Index = MakeIndex();

std::string Hex(std::uint32_t aValue) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%02X", unsigned(aValue));
  return text;
}

std::uint32_t TypeLimit(const TMQTTPropertyInfo &aInfo) {
  if (aInfo.Max != 0) return aInfo.Max;
  switch (aInfo.Type) {
  case ptByte: return 0xFF;
  case ptWord: return 0xFFFF;
  case ptVarInt: return MaxVarInt;
  default: return 0xFFFFFFFF;
  }
}

bool IsText(TMQTTPropertyType aType) { return aType == ptString || aType == ptStringPair; }

// Property texts are nearly always ASCII: pass over it eight bytes at a time
// and decode UTF-8 only from the first byte with its high bit set.
bool WellFormedText(std::string_view aText) {
  std::size_t at = 0;
  for (; at + 8 <= aText.size(); at += 8) {
    std::uint64_t word;
    std::memcpy(&word, aText.data() + at, 8);
    if (word & 0x8080808080808080ull) break;
  }
  while (at < aText.size() && !(aText[at] & 0x80)) ++at;
  return at == aText.size() || IsWellFormedUtf8(aText.substr(at));
}

std::size_t ValueSize(const TMQTTPropertyInfo &aInfo, const TMQTTProperty &aProp) {
  switch (aInfo.Type) {
  case ptByte: return 1;
  case ptWord: return 2;
  case ptLong: return 4;
  case ptVarInt: return VarIntSize(aProp.Number);
  case ptString:
  case ptBinary: return 2 + aProp.Text.size();
  case ptStringPair: return 4 + aProp.Text.size() + aProp.Value.size();
  }
  return 0;
}

std::size_t ListSize(const TMQTTProperties &aProps) {
  std::size_t size = 0;
  for (const TMQTTProperty &p : aProps)
    if (const TMQTTPropertyInfo *info = PropertyInfo(p.ID)) size += 1 + ValueSize(*info, p);
  return size;
}

void Counted(TByteStream &aStream, std::string_view aBytes) {
  EncodeByte(aStream, std::uint8_t(aBytes.size() >> 8));
  EncodeByte(aStream, std::uint8_t(aBytes.size()));
  aStream.Write(aBytes);
}
} // namespace

const TMQTTPropertyInfo *PropertyInfo(std::uint8_t aID) { return aID < Index.size() ? Index[aID] : nullptr; }

std::string PropertyName(std::uint8_t aID) {
  if (const TMQTTPropertyInfo *info = PropertyInfo(aID)) return std::string(info->Name) + " (" + Hex(aID) + ")";
  return "property " + Hex(aID);
}

const TMQTTProperty *FindProperty(const TMQTTProperties &aProps, std::uint8_t aID) {
  for (const TMQTTProperty &p : aProps)
    if (p.ID == aID) return &p;
  return nullptr;
}

const TMQTTPropertyView *FindProperty(const TMQTTPropertyViews &aProps, std::uint8_t aID) {
  for (const TMQTTPropertyView &p : aProps)
    if (p.ID == aID) return &p;
  return nullptr;
}

TMQTTProperties CopyProperties(const TMQTTPropertyViews &aViews) {
  TMQTTProperties props;
  props.reserve(aViews.size());
  for (const TMQTTPropertyView &v : aViews) props.push_back({v.ID, v.Number, std::string(v.Text), std::string(v.Value)});
  return props;
}

std::size_t VarIntSize(std::uint32_t aValue) {
  return aValue < 128 ? 1 : aValue < 16384 ? 2 : aValue < 2097152 ? 3 : 4;
}

void EncodeVarInt(TByteStream &aStream, std::uint32_t aValue) {
  do {
    std::uint8_t digit = aValue % 128;
    aValue /= 128;
    if (aValue > 0) digit |= 0x80;
    aStream.WriteByte(digit);
  } while (aValue != 0);
}

std::string CheckProperties(const TMQTTProperties &aProps, std::uint32_t aPackets, std::string_view aPacketName) {
  std::uint64_t seen = 0;
  for (const TMQTTProperty &p : aProps) {
    const TMQTTPropertyInfo *info = PropertyInfo(p.ID);
    if (!info) return PropertyName(p.ID) + " is not an MQTT 5 property";
    if (!(info->Packets & aPackets)) return PropertyName(p.ID) + " is not allowed in " + std::string(aPacketName);
    if ((seen >> p.ID & 1) && !(info->Repeatable & aPackets))
      return PropertyName(p.ID) + " is given more than once in " + std::string(aPacketName);
    seen |= std::uint64_t(1) << p.ID;
    if (info->Type <= ptVarInt) {
      if (p.Number > TypeLimit(*info) || (info->NonZero && p.Number == 0))
        return PropertyName(p.ID) + " cannot be " + std::to_string(p.Number);
    } else {
      if (p.Text.size() > MQTTMaxStringLength || p.Value.size() > MQTTMaxStringLength)
        return PropertyName(p.ID) + " is longer than " + std::to_string(MQTTMaxStringLength) + " bytes";
      if (IsText(info->Type) && (!WellFormedText(p.Text) || !WellFormedText(p.Value)))
        return PropertyName(p.ID) + " is not well-formed UTF-8";
    }
  }
  if (ListSize(aProps) > MaxVarInt) return "the properties are longer than a packet can carry";
  return {};
}

std::size_t PropertyBlockSize(const TMQTTProperties &aProps) {
  const std::size_t size = ListSize(aProps);
  return VarIntSize(std::uint32_t(size)) + size;
}

void EncodeProperties(TByteStream &aStream, const TMQTTProperties &aProps) {
  EncodeVarInt(aStream, std::uint32_t(ListSize(aProps)));
  for (const TMQTTProperty &p : aProps) {
    const TMQTTPropertyInfo *info = PropertyInfo(p.ID);
    if (!info) continue;
    EncodeByte(aStream, p.ID);
    switch (info->Type) {
    case ptByte: EncodeByte(aStream, std::uint8_t(p.Number)); break;
    case ptWord:
      EncodeByte(aStream, std::uint8_t(p.Number >> 8));
      EncodeByte(aStream, std::uint8_t(p.Number));
      break;
    case ptLong:
      for (int shift = 24; shift >= 0; shift -= 8) EncodeByte(aStream, std::uint8_t(p.Number >> shift));
      break;
    case ptVarInt: EncodeVarInt(aStream, p.Number); break;
    case ptString:
    case ptBinary: Counted(aStream, p.Text); break;
    case ptStringPair:
      Counted(aStream, p.Text);
      Counted(aStream, p.Value);
      break;
    }
  }
}

std::uint8_t DecodeProperties(TFieldReader &aReader, std::uint32_t aPackets, std::string_view aPacketName,
                              TMQTTPropertyViews &aOut, std::string &aError) {
  constexpr std::uint8_t Malformed = 0x81, ProtocolError = 0x82;
  aOut.clear();
  auto fail = [&](std::uint8_t aReason, std::string aText) {
    aError = std::move(aText);
    return aReason;
  };
  const std::uint32_t length = aReader.VarInt();
  if (aReader.Failed) return fail(Malformed, "the property length is not a variable byte integer");
  if (length > aReader.Remaining())
    return fail(Malformed, "the property length " + std::to_string(length) + " runs past the end of " +
                               std::string(aPacketName));
  TFieldReader r{aReader.P, aReader.P + length};
  aReader.P += length;
  std::uint64_t seen = 0;
  while (r.Remaining() > 0) {
    const std::uint8_t id = r.Byte();
    const TMQTTPropertyInfo *info = PropertyInfo(id);
    if (!info) return fail(Malformed, "unknown " + PropertyName(id) + " in " + std::string(aPacketName));
    if (!(info->Packets & aPackets))
      return fail(Malformed, PropertyName(id) + " is not allowed in " + std::string(aPacketName));
    if ((seen >> id & 1) && !(info->Repeatable & aPackets))
      return fail(ProtocolError, PropertyName(id) + " appears more than once in " + std::string(aPacketName));
    seen |= std::uint64_t(1) << id;
    TMQTTPropertyView &p = aOut.emplace_back();
    p.ID = id;
    switch (info->Type) {
    case ptByte: p.Number = r.Byte(); break;
    case ptWord: p.Number = r.Word(); break;
    case ptLong: p.Number = r.Long(); break;
    case ptVarInt: p.Number = r.VarInt(); break;
    case ptString:
    case ptBinary: p.Text = r.Counted(); break;
    case ptStringPair:
      p.Text = r.Counted();
      p.Value = r.Counted();
      break;
    }
    if (r.Failed) return fail(Malformed, "the value of " + PropertyName(id) + " runs past the property length");
    if (info->Type <= ptVarInt && (p.Number > TypeLimit(*info) || (info->NonZero && p.Number == 0)))
      return fail(ProtocolError, PropertyName(id) + " cannot be " + std::to_string(p.Number));
    if (IsText(info->Type) && (!WellFormedText(p.Text) || !WellFormedText(p.Value)))
      return fail(Malformed, PropertyName(id) + " is not well-formed UTF-8");
  }
  return 0;
}
