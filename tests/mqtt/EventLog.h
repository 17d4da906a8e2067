#pragma once
// Records every event a TMQTTParser raises as one line of text, so tests and
// the fuzzer can compare whole event sequences. Bytes outside printable ASCII
// are escaped; strings longer than 48 bytes are shown by size and hash.

#include "uMQTT.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

inline std::string ShowBytes(std::string_view s) {
  if (s.size() > 48) {
    std::uint64_t h = 14695981039346656037ull; // FNV-1a
    for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    return std::string("<").append(std::to_string(s.size())).append(" bytes #").append(std::to_string(h)).append(">");
  }
  static const char digits[] = "0123456789ABCDEF";
  std::string out(1, '\'');
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '\'')
      out += char(c);
    else {
      out += "\\x";
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  }
  return out.append("'");
}

// The lines the recorder writes, also used to state expected events. Built by
// appending (GCC 12 warns falsely about "literal" + std::string temporaries).
namespace EventText {
inline std::string Join(std::initializer_list<std::string_view> parts) {
  std::string s;
  for (std::string_view part : parts) s.append(part);
  return s;
}
inline std::string Num(long long n) { return std::to_string(n); }
inline std::string Connect(std::string_view kind, std::string_view protocol, int version, std::string_view clientID,
                           std::string_view user, std::string_view pass, int keepAlive, bool clean) {
  return Join({kind, " proto=", ShowBytes(protocol), " ver=", Num(version), " id=", ShowBytes(clientID),
               " user=", ShowBytes(user), " pass=", ShowBytes(pass), " ka=", Num(keepAlive), " clean=", Num(clean)});
}
inline std::string Will(std::string_view topic, std::string_view message, int qos, bool retain) {
  return Join({"will topic=", ShowBytes(topic), " msg=", ShowBytes(message), " qos=", Num(qos), " retain=",
               Num(retain)});
}
// The header fields are those the parser holds while the event runs.
inline std::string Publish(int id, std::string_view topic, std::string_view message, int qos, bool dup,
                           bool retain) {
  return Join({"publish id=", Num(id), " topic=", ShowBytes(topic), " msg=", ShowBytes(message), " qos=", Num(qos),
               " dup=", Num(dup), " retain=", Num(retain)});
}
inline std::string Skipped(int id, std::string_view topic, std::size_t size, int qos) {
  return Join({"skipped id=", Num(id), " topic=", ShowBytes(topic), " size=", Num(static_cast<long long>(size)),
               " qos=", Num(qos)});
}
inline std::string Id(std::string_view kind, int id) { return Join({kind, " ", Num(id)}); }
inline std::string SubAck(int id, const std::vector<TMQTTQOSType> &qoss) {
  std::string s = Join({"suback ", Num(id), " ["});
  for (std::size_t i = 0; i < qoss.size(); ++i) s.append(i ? "," : "").append(Num(qoss[i]));
  return s.append("]");
}
inline std::string Topics(std::string_view kind, int id, const TTaggedStrings &topics, bool withTags) {
  std::string s = Join({kind, " ", Num(id), " ["});
  for (std::size_t i = 0; i < topics.size(); ++i) {
    s.append(i ? "," : "").append(ShowBytes(topics[i].Text));
    if (withTags) s.append(":").append(Num(topics[i].Tag));
  }
  return s.append("]");
}
// A property list as "[id:value,...]"; a user property is "id:name=value".
template <typename List> std::string Props(const List &props) {
  std::string s = "[";
  for (std::size_t i = 0; i < props.size(); ++i) {
    const auto &p = props[i];
    s.append(i ? "," : "").append(Num(p.ID)).append(":");
    const TMQTTPropertyInfo *info = PropertyInfo(p.ID);
    if (info && info->Type <= ptVarInt)
      s.append(Num(p.Number));
    else
      s.append(ShowBytes(p.Text));
    if (p.ID == piUserProperty) s.append("=").append(ShowBytes(p.Value));
  }
  return s.append("]");
}
// What a level-5 packet adds to its event: reason code(s) and properties; nothing at earlier levels.
inline std::string Level5(const TMQTTParser &p) {
  if (p.ProtocolLevel != plMQTT5) return {};
  std::string s = Join({" reason=", Num(p.RxReason)});
  if (p.RxMsg == mtSUBACK || p.RxMsg == mtUNSUBACK) {
    s.append(" reasons=[");
    for (std::size_t i = 0; i < p.RxReasons.size(); ++i) s.append(i ? "," : "").append(Num(p.RxReasons[i]));
    s.append("]");
  }
  s.append(" props=").append(Props(p.RxProperties));
  if (p.RxMsg == mtCONNECT || p.RxMsg == mtBROKERCONNECT) s.append(" will-props=").append(Props(p.RxWillProperties));
  return s;
}
inline std::string Header(int type, bool dup, int qos, bool retain) {
  return Join({"header type=", Num(type), " dup=", Num(dup), " qos=", Num(qos), " retain=", Num(retain)});
}
} // namespace EventText

class TEventLog {
public:
  std::vector<std::string> Lines;

  TEventLog(const TEventLog &) = delete;
  TEventLog &operator=(const TEventLog &) = delete;
  explicit TEventLog(TMQTTParser &aParser, bool aWithHeaders = false) {
    using namespace EventText;
    TMQTTParser &p = aParser;
    auto add = [this](std::string line) { Lines.push_back(std::move(line)); };
    if (aWithHeaders)
      p.OnHeader = [add](TMQTTParser *, TMQTTMessageType t, bool d, TMQTTQOSType q, bool r) {
        add(Header(t, d, q, r));
      };
    p.OnPing = [add](TMQTTParser *) { add("ping"); };
    p.OnPingResp = [add](TMQTTParser *) { add("pingresp"); };
    p.OnDisconnect = [add](TMQTTParser *s) { add(Join({"disconnect", Level5(*s)})); };
    p.OnAuth = [add](TMQTTParser *s) { add(Join({"auth", Level5(*s)})); };
    p.OnConnAck = [add](TMQTTParser *s, std::uint8_t code) {
      add(Id(s->RxSessionPresent ? "connack session-present" : "connack", code) + Level5(*s));
    };
    p.OnPublish = [add](TMQTTParser *s, std::uint16_t id, std::string topic, std::string msg) {
      add(Publish(id, topic, msg, s->RxQos, s->RxDup, s->RxRetain) + Level5(*s));
    };
    p.OnPubAck = [add](TMQTTParser *s, std::uint16_t id) { add(Id("puback", id) + Level5(*s)); };
    p.OnPubRec = [add](TMQTTParser *s, std::uint16_t id) { add(Id("pubrec", id) + Level5(*s)); };
    p.OnPubRel = [add](TMQTTParser *s, std::uint16_t id) { add(Id("pubrel", id) + Level5(*s)); };
    p.OnPubComp = [add](TMQTTParser *s, std::uint16_t id) { add(Id("pubcomp", id) + Level5(*s)); };
    p.OnUnsubAck = [add](TMQTTParser *s, std::uint16_t id) { add(Id("unsuback", id) + Level5(*s)); };
    p.OnSubAck = [add](TMQTTParser *s, std::uint16_t id, const std::vector<TMQTTQOSType> &q) {
      add(SubAck(id, q) + Level5(*s));
    };
    p.OnSubscribe = [add](TMQTTParser *s, std::uint16_t id, const TTaggedStrings &t) {
      add(Topics("subscribe", id, t, true) + Level5(*s));
    };
    p.OnUnsubscribe = [add](TMQTTParser *s, std::uint16_t id, const TTaggedStrings &t) {
      add(Topics("unsubscribe", id, t, false) + Level5(*s));
    };
    p.OnSetWill = [add](TMQTTParser *, std::string t, std::string m, TMQTTQOSType q, bool r) {
      add(Will(t, m, q, r));
    };
    p.OnConnect = [add](TMQTTParser *s, std::string proto, std::uint8_t ver, std::string id, std::string user,
                        std::string pass, std::uint16_t ka, bool clean) {
      add(Connect("connect", proto, ver, id, user, pass, ka, clean) + Level5(*s));
    };
    p.OnBrokerConnect = [add](TMQTTParser *, std::string proto, std::uint8_t ver, std::string id,
                              std::string user, std::string pass, std::uint16_t ka, bool clean) {
      add(Connect("brokerconnect", proto, ver, id, user, pass, ka, clean));
    };
    p.OnStreamBroken = [add](TMQTTParser *s, std::string reason) {
      add(s->ProtocolLevel == plMQTT5 ? Join({"broken ", Num(s->BrokenReason()), " ", reason})
                                      : Join({"broken ", reason}));
    };
    p.OnPublishSkipped = [add](TMQTTParser *s, std::uint16_t id, std::string topic, std::size_t size) {
      add(Skipped(id, topic, size, s->RxQos));
    };
  }
};

// "10 0A 00 ..." to bytes; blanks are ignored.
inline std::string FromHex(std::string_view hex) {
  std::string out;
  int nibbles = 0, value = 0;
  for (char c : hex) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else continue;
    value = value * 16 + v;
    if (++nibbles == 2) {
      out += char(value);
      nibbles = value = 0;
    }
  }
  return out;
}

inline std::string ToHex(std::string_view bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}
