// Writes the fuzzer's seed corpus: one file per packet type the engine builds
// (and a few streams of several packets), each behind the two control bytes
// the fuzz target expects.
#include "uMQTT.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::filesystem::create_directories(dir);

  TMQTTParser p;
  std::string packet;
  p.OnSend = [&](TMQTTParser *, std::uint16_t, std::int32_t, TByteStream &s) { packet = s.View(); };
  const std::vector<std::pair<const char *, std::function<void()>>> builders = {
      {"connect", [&] { p.Clean = true; p.SendConnect("client", "user", "pass", 30, true); }},
      {"connect_will", [&] { p.SetWill("Vyr/c/status", "0", qtAT_LEAST_ONCE, true); p.SendConnect("c", "", "pw", 5, false); }},
      {"broker_connect", [&] { p.SendBrokerConnect("bridge", "", "", 60, false); }},
      {"connack", [&] { p.SendConnAck(0); }},
      {"publish_qos0", [&] { p.SendPublish(0, "a/b", "hello", qtAT_MOST_ONCE, false, false); }},
      {"publish_qos1", [&] { p.SendPublish(7, "sensors/t1", "21.5", qtAT_LEAST_ONCE, false, true); }},
      {"publish_qos2_dup", [&] { p.SendPublish(9, "x", std::string(300, 'p'), qtEXACTLY_ONCE, true, false); }},
      {"puback", [&] { p.SendPubAck(1); }},
      {"pubrec", [&] { p.SendPubRec(2); }},
      {"pubrel", [&] { p.SendPubRel(3, true); }},
      {"pubcomp", [&] { p.SendPubComp(4); }},
      {"subscribe", [&] { p.SendSubscribe(5, TTaggedStrings{{"a/#", 1}, {"b/+", 2}}); }},
      {"suback", [&] { p.SendSubAck(5, {qtAT_LEAST_ONCE, qtEXACTLY_ONCE}); }},
      {"unsubscribe", [&] { p.SendUnsubscribe(6, TTaggedStrings{{"a/#", 0}, {"b/+", 0}}); }},
      {"unsuback", [&] { p.SendUnsubAck(6); }},
      {"pingreq", [&] { p.SendPing(); }},
      {"pingresp", [&] { p.SendPingResp(); }},
      {"disconnect", [&] { p.SendDisconnect(); }},
  };
  std::string all;
  int control = 0;
  auto write = [&](const std::string &name, const std::string &bytes) {
    std::ofstream out(dir / name, std::ios::binary);
    out.put(char(control * 37));
    out.put(char(control++));
    out << bytes;
  };
  for (const auto &[name, build] : builders) {
    build();
    write(name, packet);
    all += packet;
  }
  write("all_packets", all);
  write("all_packets_small_cap", all);

  // The 3.1.1 decodings: a CONNACK with the session-present flag, a SUBACK
  // with a refused filter. Control bit 0x10 selects that level.
  p.ProtocolLevel = plMQTT311;
  p.SendConnAck(0, true);
  std::string level311 = packet;
  p.SendSubAck(8, {qtAT_LEAST_ONCE, qtSubscribeFailure, qtEXACTLY_ONCE});
  level311 += packet;
  control = 0x10;
  write("level311_connack_suback", level311);

  // Level 5 (control bit 0x20): every packet type, between them every property.
  TMQTTParser q;
  q.ProtocolLevel = plMQTT5;
  q.OnSend = p.OnSend;
  const TMQTTProperty reason = TextProperty(piReasonString, "why"), user = UserProperty("k", "v");
  const std::vector<std::pair<const char *, std::function<void()>>> builders5 = {
      {"connect",
       [&] {
         q.Clean = true;
         q.ConnectProperties = {NumberProperty(piSessionExpiryInterval, 60), NumberProperty(piReceiveMaximum, 10),
                                NumberProperty(piMaximumPacketSize, 1000), NumberProperty(piTopicAliasMaximum, 5),
                                NumberProperty(piRequestResponseInformation, 1),
                                NumberProperty(piRequestProblemInformation, 0),
                                TextProperty(piAuthenticationMethod, "SCRAM-SHA-256"),
                                TextProperty(piAuthenticationData, "n,,n=user,r=abc"), user};
         q.SetWill("w/t", "gone", qtAT_LEAST_ONCE, true);
         q.WillProperties = {NumberProperty(piWillDelayInterval, 5), NumberProperty(piPayloadFormatIndicator, 1),
                             NumberProperty(piMessageExpiryInterval, 30), TextProperty(piContentType, "text/plain"),
                             TextProperty(piResponseTopic, "r/t"), TextProperty(piCorrelationData, ""),
                             user};
         q.SendConnect("c5", "user", "pass", 30, true);
       }},
      {"connack",
       [&] {
         q.SendConnAck(0, true,
                       {NumberProperty(piSessionExpiryInterval, 60), NumberProperty(piReceiveMaximum, 20),
                        NumberProperty(piMaximumQoS, 1), NumberProperty(piRetainAvailable, 0),
                        NumberProperty(piMaximumPacketSize, 2048), TextProperty(piAssignedClientIdentifier, "auto-1"),
                        NumberProperty(piTopicAliasMaximum, 10), reason,
                        NumberProperty(piWildcardSubscriptionAvailable, 1),
                        NumberProperty(piSubscriptionIdentifierAvailable, 1),
                        NumberProperty(piSharedSubscriptionAvailable, 0), NumberProperty(piServerKeepAlive, 20),
                        TextProperty(piResponseInformation, "resp/"), TextProperty(piServerReference, "other:1883"),
                        TextProperty(piAuthenticationMethod, "SCRAM-SHA-1"),
                        TextProperty(piAuthenticationData, "v=abc"), user});
       }},
      {"publish",
       [&] {
         q.SendPublish(7, "a/b", "payload", qtEXACTLY_ONCE, false, true,
                       {NumberProperty(piPayloadFormatIndicator, 1), NumberProperty(piMessageExpiryInterval, 9),
                        NumberProperty(piTopicAlias, 3), TextProperty(piResponseTopic, "r"),
                        TextProperty(piCorrelationData, "id-1"), user, NumberProperty(piSubscriptionIdentifier, 2),
                        NumberProperty(piSubscriptionIdentifier, 300), TextProperty(piContentType, "json")});
       }},
      {"publish_alias_only",
       [&] { q.SendPublish(0, "", "x", qtAT_MOST_ONCE, false, false, {NumberProperty(piTopicAlias, 3)}); }},
      {"puback", [&] { q.SendReply(mtPUBACK, 1, 0x10, {reason, user}); }},
      {"pubrec", [&] { q.SendReply(mtPUBREC, 2, 0x97); }},
      {"pubrel", [&] { q.SendReply(mtPUBREL, 3, 0x92, {reason}); }},
      {"pubcomp", [&] { q.SendReply(mtPUBCOMP, 4, 0); }},
      {"subscribe",
       [&] { q.SendSubscribe(5, TTaggedStrings{{"a/#", 0x2D}, {"$share/g/b", 1}}, {NumberProperty(piSubscriptionIdentifier, 7), user}); }},
      {"suback", [&] { q.SendSubAck(5, {qtAT_LEAST_ONCE, TMQTTQOSType(0x9E)}, {reason, user}); }},
      {"unsubscribe", [&] { q.SendUnsubscribe(6, TTaggedStrings{{"a/#", 0}}, {user}); }},
      {"unsuback", [&] { q.SendUnsubAck(6, {0x00, 0x11}, {reason}); }},
      {"disconnect",
       [&] {
         q.SendDisconnect(0x8E, {NumberProperty(piSessionExpiryInterval, 0), reason,
                                 TextProperty(piServerReference, "elsewhere"), user});
       }},
      {"auth",
       [&] {
         q.SendAuth(0x18, {TextProperty(piAuthenticationMethod, "SCRAM-SHA-256"),
                           TextProperty(piAuthenticationData, "r=abc,s=c2FsdA==,i=4096"), reason, user});
       }},
      {"pings", [&] { q.SendPing(); }},
  };
  std::string all5;
  for (const auto &[name, build] : builders5) {
    build();
    control = 0x20 | (control & 0x0F);
    write(std::string("level5_") + name, packet);
    all5 += packet;
  }
  control = 0x20;
  write("level5_all_packets", all5);
  control = 0x21;
  write("level5_all_packets_small_cap", all5);
  return 0;
}
