#include "CliProperties.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "CliFormat.h"
#include "uMQTT.h"

namespace {

struct PropertyCommand {
  const char *Name;
  std::uint32_t Packets; // where its properties go (see PacketBit)
  TMQTTProperties CliOptions::*List;
};

const PropertyCommand Commands[] = {
    {"connect", PacketBit(mtCONNECT), &CliOptions::ConnectProps},
    {"publish", PacketBit(mtPUBLISH), &CliOptions::PublishProps},
    {"subscribe", PacketBit(mtSUBSCRIBE), &CliOptions::SubscribeProps},
    {"unsubscribe", PacketBit(mtUNSUBSCRIBE), &CliOptions::UnsubscribeProps},
    {"disconnect", PacketBit(mtDISCONNECT), &CliOptions::DisconnectProps},
    {"will", WillPropertiesBit, &CliOptions::WillProps},
};

std::string Lower(std::string text) {
  for (char &c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

const TMQTTPropertyInfo *FindByName(const std::string &name) {
  for (unsigned id = 1; id < 256; ++id)
    if (const TMQTTPropertyInfo *info = PropertyInfo(std::uint8_t(id)); info && PropertyCommandLineName(info->ID) == name)
      return info;
  return nullptr;
}

std::uint32_t TypeLimit(TMQTTPropertyType type) {
  switch (type) {
  case ptByte:
    return 0xFF;
  case ptWord:
    return 0xFFFF;
  case ptVarInt:
    return 268435455;
  default:
    return 0xFFFFFFFF;
  }
}

} // namespace

std::string TakePropertyOption(CliOptions &o, const std::vector<std::string> &args, std::size_t &at) {
  const auto word = [&](std::size_t k) { return at + k < args.size() ? &args[at + k] : nullptr; };
  if (!word(1) || !word(2) || !word(3)) return "-D takes COMMAND IDENTIFIER VALUE (user-property: NAME VALUE)";
  const std::string command = Lower(*word(1)), name = *word(2);
  const PropertyCommand *cmd = nullptr;
  for (const PropertyCommand &c : Commands)
    if (command == c.Name) cmd = &c;
  if (!cmd)
    return "-D: '" + *word(1) + "' is not a command that takes properties here (connect, publish, subscribe, "
           "unsubscribe, disconnect or will)";
  const TMQTTPropertyInfo *info = FindByName(name);
  if (!info) return "-D: unknown property '" + name + "'";
  // What only the broker sends, such as a subscription identifier on a PUBLISH, is ours to read, not to send.
  const bool brokersOnly = info->ID == piSubscriptionIdentifier && command == "publish";
  if (!(info->Packets & cmd->Packets) || brokersOnly) return "-D: " + name + " is not a property of " + command;
  TMQTTProperty prop{info->ID, 0, {}, {}};
  const std::string &value = *word(3);
  if (info->Type == ptStringPair) {
    if (!word(4)) return "-D " + command + " user-property takes a NAME and a VALUE";
    prop.Text = value;
    prop.Value = *word(4);
    at += 4;
  } else if (info->Type == ptString || info->Type == ptBinary) {
    prop.Text = value;
    at += 3;
  } else {
    const std::uint32_t max = info->Max ? info->Max : TypeLimit(info->Type);
    const std::uint32_t min = info->NonZero ? 1 : 0;
    std::uint64_t n = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (value.empty() || ec != std::errc() || end != value.data() + value.size() || n < min || n > max)
      return "-D: " + name + " takes a whole number from " + std::to_string(min) + " to " + std::to_string(max) +
             ", not '" + value + "'";
    prop.Number = std::uint32_t(n);
    at += 3;
  }
  (o.*(cmd->List)).push_back(std::move(prop));
  o.Level5Asked = true;
  return {};
}

std::string CheckPropertyLists(const CliOptions &o) {
  for (const PropertyCommand &c : Commands)
    if (std::string problem = CheckProperties(o.*(c.List), c.Packets, c.Name); !problem.empty())
      return "-D " + std::string(c.Name) + ": " + problem;
  return {};
}
