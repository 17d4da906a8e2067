// TMQTTClient at MQTT 5: the few points where that level adds to the paths of
// TMQTTClient.cpp. Each rule lives in its own unit (BrokerLimits, SendQuota,
// TopicAliases); this file connects them to the session.
#include "TMQTTClient.h"

#include "MQTTLimits.h"
#include "MQTTReasonCodes.h"

#include <algorithm>
#include <exception>
#include <stdexcept>

namespace {
std::string Text(std::string_view aView) { return std::string(aView); }
} // namespace

// The reason's standard name, then the reason string the packet carried.
std::string TMQTTClient::ReasonOf5(std::uint8_t aCode, TMQTTMessageType aType) const {
  std::string text = ReasonText(aCode, aType);
  if (const TMQTTPropertyView *why = FindProperty(Parser->RxProperties, piReasonString))
    text += " (" + Text(why->Text) + ")";
  return text;
}

void TMQTTClient::Refused(const std::string &aWhat, std::uint8_t aReason, const std::string &aText) {
  Mon(aWhat + " refused: " + aText + ".");
  if (OnRefused) OnRefused(this, aWhat, aReason, aText);
}

void TMQTTClient::ConnectProperties5() {
  TMQTTProperties &props = Parser->ConnectProperties;
  props.clear();
  const std::int64_t expiry = SessionExpiry >= 0 ? SessionExpiry : Clean() ? 0 : 0xFFFFFFFF;
  if (expiry > 0) props.push_back(NumberProperty(piSessionExpiryInterval, std::uint32_t(std::min<std::int64_t>(expiry, 0xFFFFFFFF))));
  // QoS 2 messages we hold until their PUBREL are bounded: the broker is told so.
  if (FMaxReleasables > 0 && FMaxReleasables < 65535)
    props.push_back(NumberProperty(piReceiveMaximum, std::uint32_t(FMaxReleasables)));
  if (Parser->MaxRxLength < MQTTMaxRemainingLength)
    props.push_back(NumberProperty(piMaximumPacketSize, std::uint32_t(PacketSize(std::size_t(Parser->MaxRxLength)))));
  if (TopicAliasMaximum > 0) props.push_back(NumberProperty(piTopicAliasMaximum, TopicAliasMaximum));
  props.insert(props.end(), ConnectUserProperties.begin(), ConnectUserProperties.end());
  props.insert(props.end(), MoreConnectProperties.begin(), MoreConnectProperties.end());
}

void TMQTTClient::ConnAck5(std::uint8_t aCode) {
  const TMQTTPropertyViews &props = Parser->RxProperties;
  for (const TMQTTPropertyView &p : props) {
    if (p.ID == piReasonString) Mon("Broker says: " + Text(p.Text));
    if (p.ID == piUserProperty) Mon("Broker property " + Text(p.Text) + ": " + Text(p.Value));
    if (p.ID == piServerReference) Mon("Broker refers to " + Text(p.Text));
  }
  if (aCode != rcSuccess) return;
  FLimits.Read(props);
  if (const TMQTTPropertyView *id = FindProperty(props, piAssignedClientIdentifier)) {
    // Kept, so that a persistent session is found again on the next connection.
    SetClientID(Text(id->Text));
    Mon("Client identifier assigned: " + ClientID());
  }
  if (const TMQTTPropertyView *keepAlive = FindProperty(props, piServerKeepAlive)) {
    Parser->SetKeepAlive(std::uint16_t(keepAlive->Number));
    Mon("Keep-alive set by the broker: " + std::to_string(keepAlive->Number) + " s");
  }
  if (!Parser->RxSessionPresent) FReleasableProps.clear();
  std::size_t publishing = 0;
  for (int i = 0; i < InFlight->Count(); ++i) publishing += InFlight->GetItem(i)->Publishing ? 1 : 0;
  FQuota.Reset(FLimits.ReceiveMaximum, publishing);
  FAliasesIn.Reset(TopicAliasMaximum);
  FAliasesOut.Reset(UseTopicAliases ? FLimits.TopicAliasMaximum : 0);
}

void TMQTTClient::Publish5(const std::string &aTopic, const std::string &aMessage, TMQTTQOSType aQos, bool aRetain,
                           const TMQTTProperties &aProps) {
  const bool withID = aQos == qtAT_LEAST_ONCE || aQos == qtEXACTLY_ONCE;
  const std::size_t body = 2 + aTopic.size() + (withID ? 2 : 0) + PropertyBlockSize(aProps) + aMessage.size();
  const std::string why = FLimits.CheckPublish(PacketSize(body), aQos, aRetain);
  if (!why.empty()) return Refused("PUBLISH to " + aTopic, 0, why);
  if (withID && (!FQuota.Held.empty() || !FQuota.Take())) {
    // Over the broker's receive maximum: sent in order as acknowledgements come.
    FQuota.Held.push_back({aTopic, aMessage, aQos, aRetain, aProps});
    return;
  }
  SendPublication5(aTopic, aMessage, aQos, aRetain, aProps);
}

// The quota, if the QoS needs one, is taken.
void TMQTTClient::SendPublication5(const std::string &aTopic, const std::string &aMessage, TMQTTQOSType aQos,
                                   bool aRetain, const TMQTTProperties &aProps) {
  const bool withID = aQos == qtAT_LEAST_ONCE || aQos == qtEXACTLY_ONCE;
  const std::uint16_t id = NextMessageID();
  if (withID && NoFreeID(id, "PUBLISH")) return FQuota.Give();
  // Only QoS 0 goes by alias: a stored packet may be re-sent on a connection
  // where the alias means nothing.
  bool known = false;
  const std::uint16_t alias = aQos == qtAT_MOST_ONCE ? FAliasesOut.Assign(aTopic, known) : 0;
  if (alias == 0) return Parser->SendPublish(id, aTopic, aMessage, aQos, false, aRetain, aProps);
  TMQTTProperties props = aProps;
  props.push_back(NumberProperty(piTopicAlias, alias));
  Parser->SendPublish(id, known ? std::string() : aTopic, aMessage, aQos, false, aRetain, props);
}

void TMQTTClient::SendHeld5() {
  while (!FQuota.Held.empty() && FOnline && Link->State() == wsConnected && FQuota.Take()) {
    THeldPublication p = std::move(FQuota.Held.front());
    FQuota.Held.pop_front();
    SendPublication5(p.Topic, p.Message, p.Qos, p.Retain, p.Props);
  }
}

void TMQTTClient::SetWillProperties(const TMQTTProperties &aProps) {
  if (const std::string why = CheckProperties(aProps, WillPropertiesBit, "the will"); !why.empty())
    throw std::invalid_argument(why);
  Parser->WillProperties = aProps;
}

bool TMQTTClient::SubscribeRefused5(const TTaggedStrings &aFilters, const TSubscribeOptions &aOptions) {
  for (const TTaggedString &f : aFilters) {
    std::string why = FLimits.CheckSubscribe(f.Text, aOptions.Identifier != 0);
    if (aOptions.RetainHandling > 2)
      why = "retain handling " + std::to_string(aOptions.RetainHandling) + " is not 0, 1 or 2";
    else if (aOptions.Identifier > MQTTMaxRemainingLength)
      why = "subscription identifier " + std::to_string(aOptions.Identifier) + " is over 268435455";
    else if (aOptions.NoLocal && f.Text.starts_with("$share/"))
      why = "no local cannot be set on a shared subscription";
    if (!why.empty()) {
      Refused("SUBSCRIBE to " + f.Text, 0, why);
      return true;
    }
  }
  return false;
}

void TMQTTClient::SendSubscribe5(std::uint16_t anID, const TTaggedStrings &aFilters,
                                 const TSubscribeOptions &aOptions) {
  TTaggedStrings entries = aFilters;
  // A tag may carry option bits of its own; the options add theirs.
  for (TTaggedString &e : entries) e.Tag = std::uint8_t(e.Tag) | aOptions.Byte(qtAT_MOST_ONCE);
  Parser->SendSubscribe(anID, entries, aOptions.Properties());
}

// Each refusing reason is reported with the filter it answers, in the order of the UNSUBSCRIBE.
void TMQTTClient::Unsubscribed5(std::uint16_t anID) {
  const auto it = FUnsubscribing.find(anID);
  if (it == FUnsubscribing.end()) return;
  const std::vector<std::string> filters = std::move(it->second);
  FUnsubscribing.erase(it);
  const std::vector<std::uint8_t> reasons = Parser->RxReasons;
  for (std::size_t i = 0; i < filters.size() && i < reasons.size(); ++i) {
    if (IsErrorReason(reasons[i]))
      Refused("UNSUBSCRIBE from " + filters[i], reasons[i], ReasonOf5(reasons[i], mtUNSUBACK));
    else if (reasons[i] != rcSuccess)
      Mon("Unsubscribed from " + filters[i] + ": " + ReasonOf5(reasons[i], mtUNSUBACK) + ".");
  }
}

// Aliases, our receive maximum, the payload format; false when the message is
// not to be delivered (answered here, or the connection ended).
bool TMQTTClient::Received5(std::uint16_t anID, std::string &aTopic, const std::string &aMessage) {
  const TMQTTPropertyViews &props = Parser->RxProperties;
  const TMQTTQOSType qos = Parser->RxQos;
  bool aliasError = false;
  const std::string why = FAliasesIn.Resolve(aTopic, props, aliasError);
  if (!why.empty()) {
    EndConnection5(aliasError ? rcTopicAliasInvalid : rcProtocolError, why);
    return false;
  }
  const bool repeated = qos == qtEXACTLY_ONCE && Releasables->GetMsg(anID);
  if (qos == qtEXACTLY_ONCE && !repeated && FMaxReleasables < 65535 && Releasables->Count() >= FMaxReleasables) {
    EndConnection5(rcReceiveMaximumExceeded,
                   "more than " + std::to_string(FMaxReleasables) + " QoS 2 messages awaiting release");
    return false;
  }
  const TMQTTPropertyView *format = FindProperty(props, piPayloadFormatIndicator);
  if (format && format->Number == 1 && !IsWellFormedUtf8(aMessage)) {
    Mon("Message " + std::to_string(anID) + " on " + aTopic + " refused: " +
        ReasonText(rcPayloadFormatInvalid, mtPUBACK) + " (declared UTF-8, it is not).");
    if (qos == qtAT_LEAST_ONCE) Parser->SendReply(mtPUBACK, anID, rcPayloadFormatInvalid);
    if (qos == qtEXACTLY_ONCE) Parser->SendReply(mtPUBREC, anID, rcPayloadFormatInvalid);
    return false;
  }
  FMessageProps = CopyProperties(props);
  // The alias is a detail of this connection, not of the message.
  std::erase_if(FMessageProps, [](const TMQTTProperty &p) { return p.ID == piTopicAlias; });
  if (qos == qtEXACTLY_ONCE && !repeated) FReleasableProps[anID] = FMessageProps;
  return true;
}

void TMQTTClient::Released5(std::uint16_t anID) {
  auto it = FReleasableProps.find(anID);
  if (it == FReleasableProps.end()) {
    FMessageProps.clear();
    return;
  }
  FMessageProps = std::move(it->second);
  FReleasableProps.erase(it);
}

// An acknowledgement with an error reason ends the exchange as refused: it is
// never re-sent and never reported as delivered. Returns true when it did.
bool TMQTTClient::Answered5(TMQTTMessageType aType, std::uint16_t anID) {
  const std::uint8_t reason = Parser->RxReason;
  const bool held = InFlight->GetPacket(anID) != nullptr;
  // PUBACK and PUBCOMP end an exchange; a refusing PUBREC ends it too.
  if (held && (aType != mtPUBREC || IsErrorReason(reason))) FQuota.Give();
  if (!IsErrorReason(reason)) return false;
  Refused(std::string(PacketName(aType)) + " " + std::to_string(anID), reason, ReasonOf5(reason, aType));
  if (aType == mtPUBREC) {
    NoteAnswer(anID);
    InFlight->DelPacket(anID);
  }
  return true;
}

void TMQTTClient::BrokerDisconnect5() {
  const std::uint8_t reason = Parser->RxReason;
  std::string text = ReasonOf5(reason, mtDISCONNECT);
  if (const TMQTTPropertyView *ref = FindProperty(Parser->RxProperties, piServerReference))
    text += ", use " + Text(ref->Text);
  Mon("Broker disconnected: " + text);
  FBrokerDisconnected = true;
  if (OnBrokerDisconnect) OnBrokerDisconnect(this, reason, text);
}

void TMQTTClient::EndConnection5(std::uint8_t aReason, const std::string &aWhy) {
  Mon("Protocol error by the broker (" + aWhy + "), closing the connection.");
  try {
    if (Link->State() == wsConnected) Parser->SendDisconnect(aReason);
    Link->CloseDelayed();
  } catch (const std::exception &) {
  }
}
