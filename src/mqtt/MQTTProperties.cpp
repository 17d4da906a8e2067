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

// Where the ASCII run at the start of aBytes ends: eight bytes at a time, then byte by byte.
std::size_t AsciiPrefix(std::string_view aBytes) {
  std::size_t at = 0;
  for (; at + 8 <= aBytes.size(); at += 8) {
    std::uint64_t word;
    std::memcpy(&word, aBytes.data() + at, 8);
    if (word & 0x8080808080808080ull) break;
  }
  while (at < aBytes.size() && !(aBytes[at] & 0x80)) ++at;
  return at;
}

// Property texts are nearly always ASCII: decode UTF-8 only from the first
// byte with its high bit set.
bool WellFormedText(std::string_view aText) {
  const std::size_t at = AsciiPrefix(aText);
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

namespace {
// What is wrong with a received property block, found by the loop below and
// put into words only once the packet is refused, so that the loop stays small.
enum class TBlockFault : std::uint8_t { None, Unknown, NotAllowed, Repeated, Truncated, OutOfRange, NotUtf8 };

// Sixteen bytes a step; the last word may overlap the ones before it.
bool AllAscii(const std::uint8_t *aBytes, std::size_t aCount) {
  std::uint64_t bits = 0, word;
  if (aCount < 8) {
    for (std::size_t i = 0; i < aCount; ++i) bits |= aBytes[i];
    return !(bits & 0x80);
  }
  std::uint64_t second = 0;
  std::size_t at = 0;
  for (; at + 16 <= aCount; at += 16) {
    std::memcpy(&word, aBytes + at, 8);
    bits |= word;
    std::memcpy(&word, aBytes + at + 8, 8);
    second |= word;
  }
  if (at + 8 <= aCount) {
    std::memcpy(&word, aBytes + at, 8);
    bits |= word;
  }
  std::memcpy(&word, aBytes + aCount - 8, 8);
  return !((bits | second | word) & 0x8080808080808080ull);
}

// On a fault, aID is the property at fault and aNumber its value.
TBlockFault ReadBlock(TFieldReader &r, std::uint32_t aPackets, TMQTTPropertyViews &aOut, std::uint8_t &aID,
                      std::uint32_t &aNumber) {
  // A block without a byte over 0x7F holds only ASCII texts: one pass over it
  // spares a UTF-8 check per text.
  const bool checkText = !AllAscii(r.P, r.Remaining());
  std::uint64_t seen = 0;
  while (r.Remaining() > 0) {
    const std::uint8_t id = aID = *r.P++;
    const TMQTTPropertyInfo *info = PropertyInfo(id);
    if (!info) return TBlockFault::Unknown;
    if (!(info->Packets & aPackets)) return TBlockFault::NotAllowed;
    if ((seen >> id & 1) && !(info->Repeatable & aPackets)) return TBlockFault::Repeated;
    seen |= std::uint64_t(1) << id;
    std::uint32_t number = 0;
    std::string_view text, value;
    switch (info->Type) {
    case ptByte: number = r.Byte(); break;
    case ptWord: number = r.Word(); break;
    case ptLong: number = r.Long(); break;
    case ptVarInt: number = r.VarInt(); break;
    case ptString:
    case ptBinary: text = r.Counted(); break;
    case ptStringPair:
      text = r.Counted();
      value = r.Counted();
      break;
    }
    if (r.Failed) return TBlockFault::Truncated;
    if (info->Type <= ptVarInt && (number > TypeLimit(*info) || (info->NonZero && number == 0))) {
      aNumber = number;
      return TBlockFault::OutOfRange;
    }
    if (checkText && IsText(info->Type) && (!WellFormedText(text) || !WellFormedText(value)))
      return TBlockFault::NotUtf8;
    // Field by field: a whole view built on the stack and copied in costs a
    // stalled wide load per property.
    TMQTTPropertyView &view = aOut.emplace_back();
    view.ID = id;
    view.Number = number;
    view.Text = text;
    view.Value = value;
  }
  return TBlockFault::None;
}
} // namespace

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
  std::uint8_t id = 0;
  std::uint32_t number = 0;
  const TBlockFault fault = ReadBlock(r, aPackets, aOut, id, number);
  if (fault == TBlockFault::None) [[likely]]
    return 0;
  const std::string name = PropertyName(id), packet(aPacketName);
  switch (fault) {
  case TBlockFault::Unknown: return fail(Malformed, "unknown " + name + " in " + packet);
  case TBlockFault::NotAllowed: return fail(Malformed, name + " is not allowed in " + packet);
  case TBlockFault::Repeated: return fail(ProtocolError, name + " appears more than once in " + packet);
  case TBlockFault::Truncated: return fail(Malformed, "the value of " + name + " runs past the property length");
  case TBlockFault::OutOfRange: return fail(ProtocolError, name + " cannot be " + std::to_string(number));
  case TBlockFault::NotUtf8: return fail(Malformed, name + " is not well-formed UTF-8");
  case TBlockFault::None: break;
  }
  return 0;
}
