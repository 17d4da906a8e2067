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
  return 0;
}
