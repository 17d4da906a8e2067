#include "CliOptions.h"

#include <charconv>
#include <cmath>
#include <functional>

#include "BrokerUrl.h"
#include "CliFormat.h"
#include "CliProperties.h"
#include "MQTTLimits.h"
#include "ProxyUrl.h"

namespace {

// The commands an option applies to.
enum Scope {
  SubOnly = 1,
  PubOnly = 2,
  LogOnly = 4,
  RrOnly = 8,
  SubLog = SubOnly | LogOnly,
  SubRr = SubOnly | RrOnly,       // printing a received message
  PubRr = PubOnly | RrOnly,       // the one message to send
  Subscribing = SubOnly | LogOnly | RrOnly,
  Both = SubOnly | PubOnly | LogOnly | RrOnly
};

int ScopeOf(CliCommand command) {
  switch (command) {
  case CliCommand::Sub:
    return SubOnly;
  case CliCommand::Pub:
    return PubOnly;
  case CliCommand::Log:
    return LogOnly;
  case CliCommand::Rr:
    return RrOnly;
  }
  return 0;
}

struct OptionRule {
  const char *Short; // "-t", or nullptr
  const char *Long;  // "--topic", or nullptr
  int Where; // Scope bits
  bool TakesValue;
  // Applies the option; returns an error text or an empty string.
  std::function<std::string(CliOptions &, const std::string &)> Apply;
};

// Whole decimal number within [lo, hi], nothing else.
std::optional<long> ParseNumber(const std::string &text, long lo, long hi) {
  long value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < lo || value > hi)
    return std::nullopt;
  return value;
}

std::function<std::string(CliOptions &, const std::string &)> Number(const char *what, long lo, long hi,
                                                                     std::function<void(CliOptions &, long)> set) {
  return [=](CliOptions &o, const std::string &v) -> std::string {
    auto n = ParseNumber(v, lo, hi);
    if (!n) return std::string(what) + " must be a whole number from " + std::to_string(lo) + " to " +
                   std::to_string(hi) + ", not '" + v + "'";
    set(o, *n);
    return {};
  };
}

// A switch: sets the field to true.
std::function<std::string(CliOptions &, const std::string &)> Flag(bool CliOptions::*field) {
  return [field](CliOptions &o, const std::string &) -> std::string {
    o.*field = true;
    return {};
  };
}

// A text value, stored as given; nonEmptyWhat names it when an empty value is an error.
std::function<std::string(CliOptions &, const std::string &)> Text(std::string CliOptions::*field,
                                                                   const char *nonEmptyWhat = nullptr) {
  return [=](CliOptions &o, const std::string &v) -> std::string {
    if (nonEmptyWhat && v.empty()) return std::string(nonEmptyWhat) + " must not be empty";
    o.*field = v;
    return {};
  };
}

// A filter added to a list; checked as a whole once the command line is read.
std::function<std::string(CliOptions &, const std::string &)> FilterList(std::vector<std::string> CliOptions::*field) {
  return [field](CliOptions &o, const std::string &v) -> std::string {
    (o.*field).push_back(v);
    return {};
  };
}

// A file or folder for TLS: not empty, and connecting means TLS.
std::function<std::string(CliOptions &, const std::string &)> TlsFile(std::string CliOptions::*field,
                                                                      const char *what) {
  return [=](CliOptions &o, const std::string &v) -> std::string {
    if (v.empty()) return std::string(what) + " must not be empty";
    o.*field = v;
    o.Tls = true;
    return {};
  };
}

std::string SetSource(CliOptions &o, PayloadSource source, const std::string &value) {
  if (o.Source != PayloadSource::None)
    return "give only one of -m, -f, -l, -s and -n";
  o.Source = source;
  o.Message = value;
  return {};
}

// -L: host, port, credentials and TLS at once; for mqtt and mqtts also the
// topic, for ws and wss the WebSocket path.
std::string SetUrl(CliOptions &o, const std::string &v) {
  TBrokerUrl url;
  std::string error;
  if (!ParseBrokerUrl(v, url, error)) return "-L " + error;
  if (url.Scheme != "mqtt" && url.Scheme != "mqtts" && url.Scheme != "ws" && url.Scheme != "wss")
    return "-L takes mqtt://, mqtts://, ws:// or wss:// URLs, not '" + url.Scheme + "://'";
  o.Host = url.Host;
  o.Port = url.Port;
  if (url.Tls()) o.Tls = true;
  if (url.HasUser) o.Username = url.User;
  if (url.HasPassword) o.Password = url.Password;
  o.WebSocket = url.WebSocket();
  if (o.WebSocket) {
    o.WsPath = url.Path.empty() ? "/" : url.Path;
  } else {
    if (url.Path.size() < 2) return "-L " + v + " names no topic: give mqtt://host/topic";
    o.Topics.push_back(url.Path.substr(1));
  }
  return {};
}

const std::vector<OptionRule> &OptionRules() {
  static const std::vector<OptionRule> rules = {
      {"-h", "--host", Both, true, Text(&CliOptions::Host, "the host")},
      {"-p", "--port", Both, true, Number("the port", 1, 65535, [](CliOptions &o, long n) { o.Port = int(n); })},
      {"-t", "--topic", Both, true, FilterList(&CliOptions::Topics)},
      {"-q", "--qos", Both, true, Number("the QoS", 0, 2, [](CliOptions &o, long n) { o.Qos = int(n); })},
      {"-m", "--message", PubRr, true,
       [](CliOptions &o, const std::string &v) { return SetSource(o, PayloadSource::Message, v); }},
      {"-f", "--file", PubRr, true,
       [](CliOptions &o, const std::string &v) { return SetSource(o, PayloadSource::File, v); }},
      {"-l", "--stdin-line", PubOnly, false,
       [](CliOptions &o, const std::string &) { return SetSource(o, PayloadSource::Lines, {}); }},
      {"-s", "--stdin-file", PubRr, false,
       [](CliOptions &o, const std::string &) { return SetSource(o, PayloadSource::Stdin, {}); }},
      {"-n", "--null-message", PubRr, false,
       [](CliOptions &o, const std::string &) { return SetSource(o, PayloadSource::Empty, {}); }},
      {"-r", "--retain", PubOnly, false, Flag(&CliOptions::Retain)},
      {nullptr, "--max-packet-size", Both, true,
       Number("the maximum packet size", 2, 268435460, [](CliOptions &o, long n) { o.MaxPacketSize = n; })},
      {"-M", "--max-inflight", PubOnly, true,
       Number("the in-flight limit", 1, 65535, [](CliOptions &o, long n) { o.MaxInflight = int(n); })},
      {"-i", "--id", Both, true, Text(&CliOptions::ClientId, "the client id")},
      {"-u", "--username", Both, true, Text(&CliOptions::Username)},
      {"-P", "--pw", Both, true, Text(&CliOptions::Password)},
      {"-k", "--keepalive", Both, true,
       Number("the keep-alive", 0, 65535, [](CliOptions &o, long n) { o.KeepAlive = int(n); })},
      {"-c", "--disable-clean-session", Both, false,
       [](CliOptions &o, const std::string &) -> std::string {
         o.CleanSession = false;
         return {};
       }},
      {nullptr, "--session-file", PubOnly, true, Text(&CliOptions::SessionFile, "the session file")},
      {nullptr, "--session-move-aside", PubOnly, false, Flag(&CliOptions::SessionMoveAside)},
      {"-L", "--url", Both, true, SetUrl},
      {nullptr, "--ws-header", Both, true,
       [](CliOptions &o, const std::string &v) -> std::string {
         const auto colon = v.find(':');
         if (colon == 0 || colon == std::string::npos || v.find_first_of(" \t\r\n") < colon ||
             v.find_first_of("\r\n") != std::string::npos)
           return "--ws-header takes 'Name: value', not '" + v + "'";
         o.WsHeaders.push_back(v);
         return {};
       }},
      {nullptr, "--proxy", Both, true,
       [](CliOptions &o, const std::string &v) -> std::string {
         TProxySettings proxy;
         std::string error;
         if (!ParseProxyUrl(v, proxy, error)) return error;
         o.Proxy = v;
         return {};
       }},
      {nullptr, "--alpn", Both, true,
       [](CliOptions &o, const std::string &v) -> std::string {
         if (v.empty() || v.size() > 255) return "--alpn takes a protocol name of 1 to 255 characters";
         o.Alpn.push_back(v);
         return {};
       }},
      {nullptr, "--unix", Both, true, Text(&CliOptions::Unix, "the socket path")},
      {nullptr, "--tls", Both, false, Flag(&CliOptions::Tls)},
      {nullptr, "--cafile", Both, true, TlsFile(&CliOptions::CaFile, "the CA file")},
      {nullptr, "--capath", Both, true, TlsFile(&CliOptions::CaPath, "the CA folder")},
      {nullptr, "--cert", Both, true, TlsFile(&CliOptions::CertFile, "the certificate file")},
      {nullptr, "--key", Both, true, Text(&CliOptions::KeyFile, "the key file")},
      {nullptr, "--insecure", Both, false, Flag(&CliOptions::Insecure)},
      {nullptr, "--tls-version", Both, true,
       [](CliOptions &o, const std::string &v) -> std::string {
         if (v == "tlsv1.2")
           o.TlsMinVersion = 0x0303;
         else if (v == "tlsv1.3")
           o.TlsMinVersion = 0x0304;
         else
           return "the TLS version must be tlsv1.2 or tlsv1.3, not '" + v + "'";
         return {};
       }},
      {"-V", "--protocol-version", Both, true,
       [](CliOptions &o, const std::string &v) -> std::string {
         o.VersionGiven = true;
         if (v == "mqttv31" || v == "31")
           o.Mqtt311 = false, o.Mqtt5 = false;
         else if (v == "mqttv311" || v == "311")
           o.Mqtt311 = true, o.Mqtt5 = false;
         else if (v == "mqttv5" || v == "5")
           o.Mqtt311 = false, o.Mqtt5 = true;
         else
           return "the protocol version must be mqttv31, mqttv311 or mqttv5, not '" + v + "'";
         return {};
       }},
      {"-x", "--session-expiry-interval", Both, true,
       [](CliOptions &o, const std::string &v) -> std::string {
         o.Level5Asked = true;
         if (v == "-1" || v == "\u221e") {
           o.SessionExpiry = 4294967295LL;
           return {};
         }
         auto n = ParseNumber(v, 0, 4294967295LL);
         if (!n) return "the session expiry interval must be a whole number of seconds from 0 to 4294967295, or -1 "
                        "(never), not '" + v + "'";
         o.SessionExpiry = *n;
         return {};
       }},
      {nullptr, "--no-local", Subscribing, false,
       [](CliOptions &o, const std::string &) -> std::string {
         o.NoLocal = o.Level5Asked = true;
         return {};
       }},
      {nullptr, "--retain-as-published", Subscribing, false,
       [](CliOptions &o, const std::string &) -> std::string {
         o.RetainAsPublished = o.Level5Asked = true;
         return {};
       }},
      {nullptr, "--retain-handling", Subscribing, true,
       Number("the retain handling", 0, 2, [](CliOptions &o, long n) {
         o.RetainHandling = int(n);
         o.Level5Asked = true;
       })},
      {"-e", "--response-topic", RrOnly, true, Text(&CliOptions::ResponseTopic, "the response topic")},
      {nullptr, "--will-topic", Both, true, Text(&CliOptions::WillTopic, "the will topic")},
      // The protocol engine leaves out a will whose message is empty.
      {nullptr, "--will-payload", Both, true, Text(&CliOptions::WillPayload, "the will payload")},
      {nullptr, "--will-qos", Both, true,
       Number("the will QoS", 0, 2, [](CliOptions &o, long n) { o.WillQos = int(n); })},
      {nullptr, "--will-retain", Both, false, Flag(&CliOptions::WillRetain)},
      {"-F", nullptr, SubRr, true,
       [](CliOptions &o, const std::string &v) -> std::string {
         std::string problem;
         if (v.empty()) return "the format must not be empty";
         if (!MessageFormat::Parse(v, problem)) return "-F: " + problem;
         o.Format = v;
         return {};
       }},
      {"-N", nullptr, SubRr, false, Flag(&CliOptions::NoNewline)},
      {"-R", nullptr, SubRr, false, Flag(&CliOptions::SkipRetained)},
      {nullptr, "--retained-only", SubOnly, false, Flag(&CliOptions::RetainedOnly)},
      {nullptr, "--remove-retained", SubOnly, false, Flag(&CliOptions::RemoveRetained)},
      {"-T", "--filter-out", SubLog, true, FilterList(&CliOptions::Excluded)},
      {"-U", "--unsubscribe", SubLog, true, FilterList(&CliOptions::Unsubscribe)},
      {"-d", "--data-dir", LogOnly, true, Text(&CliOptions::DataDir, "the data folder")},
      {nullptr, "--backlog", LogOnly, true,
       Number("the backlog", 1, 100000000L, [](CliOptions &o, long n) { o.Backlog = n; })},
      {nullptr, "--repeat", PubOnly, true,
       Number("the repeat count", 1, 2147483647L, [](CliOptions &o, long n) { o.Repeat = n; })},
      {nullptr, "--repeat-delay", PubOnly, true,
       [](CliOptions &o, const std::string &v) -> std::string {
         char *end = nullptr;
         const double seconds = std::strtod(v.c_str(), &end);
         if (v.empty() || *end != '\0' || !std::isfinite(seconds) || seconds < 0 || seconds > 2000000)
           return "the repeat delay must be a number of seconds from 0 to 2000000, not '" + v + "'";
         o.RepeatDelay = seconds;
         return {};
       }},
      {"-C", "--count", SubOnly, true,
       Number("the count", 1, 2147483647L, [](CliOptions &o, long n) { o.Count = n; })},
      {"-v", "--verbose", SubRr, false, Flag(&CliOptions::Verbose)},
      {"-W", "--timeout", Both, true,
       Number("the time-out", 1, 2000000, [](CliOptions &o, long n) { o.TimeoutSec = int(n); })},
      // For log, -d is the data folder; --debug works for every command.
      {"-d", "--debug", SubOnly | PubOnly | RrOnly, false, Flag(&CliOptions::Debug)},
      {nullptr, "--debug", LogOnly, false, Flag(&CliOptions::Debug)},
  };
  return rules;
}

// The rule for this command when there is one, else any rule of that name
// (to say that it does not apply).
const OptionRule *FindOption(const std::string &name, CliCommand command) {
  const OptionRule *found = nullptr;
  for (const auto &rule : OptionRules())
    if ((rule.Short && name == rule.Short) || (rule.Long && name == rule.Long)) {
      if (rule.Where & ScopeOf(command)) return &rule;
      found = &rule;
    }
  return found;
}

// What the wire format and brokers would refuse, refused before connecting.
std::string CheckLimits(const CliOptions &o) {
  const bool pub = o.Command == CliCommand::Pub || o.Command == CliCommand::Rr;
  for (const auto &t : o.Topics)
    if (std::string p = pub ? CheckTopicName("the topic", t) : CheckTopicFilter("the filter", t); !p.empty()) return p;
  for (const auto *list : {&o.Excluded, &o.Unsubscribe})
    for (const auto &f : *list)
      if (std::string p = CheckTopicFilter("the filter", f); !p.empty()) return p;
  const std::pair<const char *, const std::string *> texts[] = {
      {"the client id", &o.ClientId}, {"the user name", &o.Username}};
  for (const auto &[what, value] : texts)
    if (std::string p = CheckText(what, *value); !p.empty()) return p;
  if (std::string p = CheckStringLength("the password", o.Password); !p.empty()) return p;
  if (!o.WillTopic.empty())
    if (std::string p = CheckTopicName("the will topic", o.WillTopic); !p.empty()) return p;
  if (std::string p = CheckStringLength("the will payload", o.WillPayload); !p.empty()) return p;
  if (pub && o.Source == PayloadSource::Message)
    if (std::string p = CheckPublishSize(o.Topics.front().size(), o.Message.size(), TMQTTQOSType(o.Qos)); !p.empty())
      return p;
  return {};
}

// Level 5 is asked for by the options that exist only there; rr needs it for
// its response topic and correlation data.
std::string CheckLevel(CliOptions &o) {
  const bool rr = o.Command == CliCommand::Rr;
  if (!o.Level5Asked && !rr) return {};
  if (o.VersionGiven && !o.Mqtt5)
    return rr ? "rr needs MQTT 5 (-V 5): the response topic and correlation data are MQTT 5 properties"
              : "-D, -x, --no-local, --retain-as-published and --retain-handling need MQTT 5: give -V 5 or leave -V out";
  o.Mqtt5 = true;
  o.Mqtt311 = false;
  return CheckPropertyLists(o);
}

// rr: one request to -t, its response awaited on -e.
std::string CheckRequest(CliOptions &o) {
  if (o.Command != CliCommand::Rr) return {};
  if (o.ResponseTopic.empty()) return "give the topic to wait for the response on with -e";
  if (FindProperty(o.PublishProps, piResponseTopic)) return "rr sets the response topic from -e: leave out -D publish response-topic";
  if (std::string p = CheckTopicName("the response topic", o.ResponseTopic); !p.empty()) return p;
  o.Count = 1;
  return {};
}

std::string CheckComplete(const CliOptions &o) {
  const bool pub = o.Command == CliCommand::Pub || o.Command == CliCommand::Rr;
  // sub -U alone takes filters out of a kept session and prints what the rest bring.
  if (o.Topics.empty() && !(o.Command == CliCommand::Sub && !o.Unsubscribe.empty()))
    return pub ? "give the topic to publish to with -t" : "give at least one topic filter with -t (or, for sub, -U)";
  if (pub && o.Topics.size() > 1) return "pub and rr publish to one topic: give -t once";
  if (pub && o.Source == PayloadSource::None)
    return o.Command == CliCommand::Rr ? "give the request with -m, -f, -s or -n" : "give the message with -m, -f, -l, -s or -n";
  if (o.RetainedOnly && o.SkipRetained) return "--retained-only and -R leave nothing to print: give one of them";
  if (o.WillTopic.empty() != o.WillPayload.empty()) return "--will-topic and --will-payload go together";
  if ((o.WillQos != 0 || o.WillRetain) && o.WillTopic.empty())
    return "--will-qos and --will-retain need --will-topic and --will-payload";
  if (!o.Password.empty() && o.Username.empty()) return "-P needs a user name (-u)";
  if (!o.CleanSession && o.ClientId.empty()) return "-c needs a client id (-i) to find the session again";
  if (!o.KeyFile.empty() && o.CertFile.empty()) return "--key needs the certificate it belongs to (--cert)";
  if ((o.Insecure || o.TlsMinVersion) && !o.Tls) return "--insecure and --tls-version apply to TLS: add --tls";
  if (!o.Alpn.empty() && !o.Tls) return "--alpn applies to TLS: add --tls, or use mqtts:// or wss://";
  if (!o.Unix.empty() && !o.Proxy.empty()) return "--unix and --proxy do not go together";
  if (!o.WsHeaders.empty() && !o.WebSocket) return "--ws-header applies to WebSocket: give -L ws://... or wss://...";
  return CheckLimits(o);
}

} // namespace

CliParse ParseCliOptions(const std::vector<std::string> &args) {
  CliParse result;
  if (args.empty()) {
    result.Error = "give a command: sub, pub, log or rr";
    return result;
  }
  for (const auto &a : args)
    if (a == "--help" || a == "--version") {
      (a == "--help" ? result.Help : result.Version) = true;
      return result;
    }
  CliOptions o;
  if (args[0] == "sub")
    o.Command = CliCommand::Sub;
  else if (args[0] == "pub")
    o.Command = CliCommand::Pub;
  else if (args[0] == "log")
    o.Command = CliCommand::Log;
  else if (args[0] == "rr")
    o.Command = CliCommand::Rr;
  else {
    result.Error = "unknown command '" + args[0] + "': use sub, pub, log or rr";
    return result;
  }
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "-D" || args[i] == "--property") {
      if (std::string err = TakePropertyOption(o, args, i); !err.empty()) {
        result.Error = err;
        return result;
      }
      continue;
    }
    std::string name = args[i], value;
    bool inlineValue = false;
    if (name.rfind("--", 0) == 0) {
      auto eq = name.find('=');
      if (eq != std::string::npos) {
        value = name.substr(eq + 1);
        name.resize(eq);
        inlineValue = true;
      }
    }
    const OptionRule *rule = FindOption(name, o.Command);
    if (!rule) {
      result.Error = "unknown option '" + args[i] + "'";
      return result;
    }
    if (!(rule->Where & ScopeOf(o.Command))) {
      result.Error = "option " + name + " does not apply to " + args[0];
      return result;
    }
    if (rule->TakesValue && !inlineValue) {
      if (i + 1 >= args.size()) {
        result.Error = "option " + name + " needs a value";
        return result;
      }
      value = args[++i];
    } else if (!rule->TakesValue && inlineValue) {
      result.Error = "option " + name + " takes no value";
      return result;
    }
    if (std::string err = rule->Apply(o, value); !err.empty()) {
      result.Error = err;
      return result;
    }
  }
  std::string err = CheckLevel(o);
  if (err.empty()) err = CheckRequest(o);
  if (err.empty()) err = CheckComplete(o);
  if (!err.empty()) {
    result.Error = err;
    return result;
  }
  result.Options = std::move(o);
  return result;
}

std::string CliUsage() {
  return R"(vyr-cli: command-line MQTT 3.1, 3.1.1 and 5 client

Usage:
  vyr-cli sub -t FILTER [-t FILTER ...] [options]   print received messages
                                                    (all filters in one SUBSCRIBE)
  vyr-cli pub -t TOPIC (-m TEXT | -f FILE | -l | -s | -n) [options]
  vyr-cli log -t FILTER [-t FILTER ...] [-d DIR] [options]
                                                    save received values to data files
  vyr-cli rr -t TOPIC -e RESPONSE-TOPIC (-m TEXT | -f FILE | -s | -n) [options]
                                                    send a request, print its response (MQTT 5)
  vyr-cli --help | --version

Connection:
  -h, --host HOST        broker host (default localhost)
  -p, --port PORT        broker port (default 1883, 8883 with --tls)
  -L, --url URL          the broker as a URL: mqtt(s)://[USER[:PASSWORD]@]HOST[:PORT]/TOPIC,
                         or MQTT over WebSocket: ws(s)://[USER[:PASSWORD]@]HOST[:PORT]/PATH
                         (ports 1883, 8883, 80, 443 by default; mqtts and wss use TLS)
      --ws-header 'NAME: VALUE'
                         an extra header line for the WebSocket upgrade (repeatable)
      --alpn NAME        offer NAME as the TLS application protocol (repeatable, in order
                         of preference); the broker's choice shows with -d
      --unix PATH        connect to the broker's Unix domain socket at PATH
                         instead of -h and -p
      --proxy URL        connect through a proxy: http://[USER[:PASSWORD]@]HOST[:PORT]
                         (HTTP CONNECT), socks5://... (SOCKS5, names looked up here)
                         or socks5h://... (the proxy looks names up); port 1080 by default
      --tls              connect over TLS, checking the broker's certificate against
                         the system's trust store and the host name (or address)
      --cafile FILE      trust the CA certificates in FILE (PEM) instead; implies --tls
      --capath DIR       trust the CA certificates in DIR (hashed, see
                         'openssl rehash') instead; implies --tls
      --cert FILE        client certificate (PEM) for brokers that ask for one;
                         implies --tls
      --key FILE         private key of --cert (PEM; default: read from --cert)
      --tls-version tlsv1.2|tlsv1.3
                         lowest TLS version to accept (default: any)
      --insecure         connect over TLS without checking the broker at all
  -V, --protocol-version mqttv31|mqttv311|mqttv5 (or 31, 311, 5)
                         MQTT version (default mqttv31; mqttv5 for rr and with the
                         MQTT 5 options below); at mqttv311 and mqttv5 without -i
                         the broker chooses the client id
  -i, --id ID            client id (default: CID and the local port)
  -u, --username NAME    user name
  -P, --pw PASSWORD      password (needs -u)
  -k, --keepalive SEC    keep-alive in seconds, 0 to 65535 (default 60)
      --max-packet-size N
                         largest packet received, in bytes; a message over it is
                         skipped with a line on standard error. sub and log take
                         the protocol's own limit (256 MiB) by default, as
                         mosquitto_sub does; announced to the broker at MQTT 5
  -c, --disable-clean-session
                         keep the session on the broker (needs -i)
      --will-topic TOPIC, --will-payload TEXT
                         last will, published by the broker if the connection
                         is lost without a disconnect
      --will-qos 0|1|2   QoS of the will (default 0)
      --will-retain      retain the will
  -W, --timeout SEC      give up after SEC seconds

MQTT 5 (each of these selects -V mqttv5 when -V is not given):
  -D, --property COMMAND IDENTIFIER VALUE
  -D, --property COMMAND user-property NAME VALUE
                         a property for a packet, as mosquitto's clients take
                         it: COMMAND is connect, publish, subscribe, unsubscribe,
                         disconnect or will; IDENTIFIER the property's name in
                         lower case with '-' (content-type, correlation-data,
                         message-expiry-interval, payload-format-indicator,
                         response-topic, subscription-identifier,
                         session-expiry-interval, receive-maximum,
                         maximum-packet-size, topic-alias-maximum,
                         request-response-information, will-delay-interval, ...)
  -x, --session-expiry-interval SEC
                         how long the broker keeps the session after the
                         connection, 0 to 4294967295, or -1 for ever (default: 0,
                         for ever with -c)
      --no-local         sub, log, rr: not sent our own publications back
      --retain-as-published
                         sub, log, rr: retain flags arrive as the publisher set them
      --retain-handling 0|1|2
                         sub, log, rr: retained messages at every subscription (0),
                         only at a new one (1), never (2)
  Refusals at MQTT 5 are printed with the broker's reason code name and reason
  string: of the connection, of a subscription, of a publication, and the
  broker's DISCONNECT.
  -d, --debug            print every protocol monitor line on standard error
                         (log: --debug only; -d is the data folder there)

sub:
  -t, --topic FILTER     topic filter; repeat for several
  -q, --qos 0|1|2        requested QoS (default 0)
  -C, --count N          exit after N messages
  -v, --verbose          print "topic payload" instead of the payload alone
                         (an empty payload as: topic (null))
  -F FORMAT              print each message by FORMAT, as mosquitto_sub does:
                         %t topic, %p payload, %x payload in hex (%X capitals),
                         %l payload length, %m message id, %q QoS, %r retain
                         flag (0/1), %I local ISO 8601 time, %U Unix time with
                         nanoseconds, %j a JSON object (tst in UTC, topic, qos,
                         retain, payloadlen, mid at QoS 1 and 2, and payload as
                         text, null when empty, or payload_base64 when it is not
                         UTF-8), %J the same with the payload as the JSON value
                         it must hold (at MQTT 5 both with "properties"),
                         %A %C %D %E %F %P %R %S the MQTT 5 properties: topic
                         alias, content type, correlation data, message expiry,
                         payload format, user properties (key:value, apart by
                         spaces), response topic, subscription identifier
                         (nothing at 3.1 and 3.1.1), %% a percent
                         sign; flags, width and precision as in %-20t %08l
                         %10.3t (a width cuts %p, and %x/%X to the whole bytes
                         that fit); @ and a letter: that strftime field of the
                         local time, @N its nanoseconds, @@ an @; \n \t \r \\
                         \a \e \v \0 as in C. A format mosquitto_sub refuses is
                         refused, with the place of the fault
  -N                     no newline after each message
  -R                     leave out retained messages (those the broker had kept)
      --retained-only    print only retained messages; exit at the first that is not
      --remove-retained  clear each retained message received (publish an empty
                         retained message to its topic)
  -T, --filter-out FILTER
                         leave out messages whose topic matches FILTER; repeatable
  -U, --unsubscribe FILTER
                         unsubscribe from FILTER once connected (with -c: remove it
                         from the stored session); repeatable; sub takes -U
                         without -t
  Without -F each message is written as its raw payload bytes followed by a newline.

log:
  -t, --topic FILTER     topic filter; repeat for several
  -q, --qos 0|1|2        requested QoS (default 0)
  -d, --data-dir DIR     folder of the data files (created; default the current folder)
  -T, -U                 as for sub
  With -t '$share/GROUP/FILTER' several loggers share one stream (at 3.1 and
  3.1.1 where the broker takes it, as mosquitto does),
  each message going to one of them; they may write into one folder, each line
  being one write in append mode (docs/vyr-cli-log@.service runs N of them).
  Each received value is appended to the data file of its topic, as the window's
  "Save data" writes it: DIR/<topic with "/" made "-">.csv, one line per message:
  local time with milliseconds and UTC offset, ";", the value, CR LF. Runs until
  stopped and reconnects after broker restarts. A line that cannot be written (full
  disk, folder removed, no permission) is reported on standard error, kept in order
  and retried every second; writing resumes by itself. A QoS 1 message is
  acknowledged after its line was handed to the system (or, while writing fails,
  kept in memory to be retried); on Ctrl-C or SIGTERM every received line is
  written, or reported as lost, before the program exits.
      --backlog N        lines held while their files cannot be written (default
                         10000); at N, log reads nothing more from the broker, which
                         keeps QoS 1 and 2 messages, until they are written
  SIGHUP reopens every data file (for logrotate). Data files are never written
  through a symbolic link. One log per data folder: a second is refused (exit 1),
  unless every -t of both is a $share/GROUP/ filter of the same GROUP.

rr (as mosquitto_rr, at MQTT 5 only):
  -t, --topic TOPIC      topic the request is published to
  -e, --response-topic TOPIC
                         topic the response is awaited on (subscribed first)
  -m, -f, -s, -n         the request, as for pub; -q, -F, -N, -v, -R as for sub
  The request carries -e as its response topic and correlation data (given with
  -D publish correlation-data, or made up); the first message on the response
  topic with that correlation data, or none, is printed and rr exits. -W gives
  up waiting (exit 4).

pub:
  -t, --topic TOPIC      topic to publish to
  -q, --qos 0|1|2        QoS (default 0); pub exits once every message is acknowledged
  -r, --retain           ask the broker to retain the message
  -m, --message TEXT     publish TEXT
  -f, --file FILE        publish the bytes of FILE as one message
  -l, --stdin-line       publish each line of standard input as a message; a line
                         longer than one packet carries ends the run with 2
  -s, --stdin-file       publish all of standard input as one message
  -n, --null-message     publish an empty message
  -M, --max-inflight N   QoS 1 and 2 messages awaiting acknowledgement at once
                         (default 256 at QoS 1; 20 at QoS 2, as brokers commonly allow)
      --repeat N         publish the message N times (-m, -f, -s, -n)
      --repeat-delay SEC wait SEC seconds (fractions allowed) between repetitions
  With -c, pub reconnects after a lost connection and finishes what is in
  flight; what is unfinished when it ends is kept for the next run of the same
  client id in ~/.local/state/vyr-mqtt/sessions (or $XDG_STATE_HOME/...):
      --session-file PATH
                         keep it in PATH instead
      --session-move-aside
                         a session file of another broker or client id, or a
                         damaged one, is renamed PATH.unused-N and the run goes
                         on; without it such a file is left as it is and pub
                         exits with 8
  The file is rewritten (0600) as exchanges start and finish, removed once none
  is left, and locked against a second pub on it.

Exit codes:
  0  done
  1  host unreachable or unknown, connection lost, TLS failed, input unreadable,
     or the data folder is in use by another log
  2  bad command line, or a topic, filter, text or message the protocol cannot
     carry (too long, not UTF-8, misplaced wildcard, -f not a regular file)
  3  the broker refused the connection (its reason is printed)
  4  -W ran out before pub had finished, before sub had its -C messages, or
     before rr had its response
  5  a publication or subscription was not acknowledged after every retry
  6  a TLS certificate check failed: the broker's certificate is not trusted,
     has expired or is not for that host, or the broker wants (another)
     client certificate; the message says which
  7  the broker sent a packet that breaks the protocol (a malformed PUBLISH:
     topic empty, not UTF-8, with NUL or a wildcard, QoS 3, identifier 0, a
     length past its packet); log reconnects instead, waiting longer each time
  8  pub -c: the session file cannot be used (saved for another broker or client
     id, damaged, unreadable, not a regular file, or in use by another pub); it
     is left as it is, or cannot be saved
  9  MQTT 5: a publication was refused, by the broker (its reason is printed:
     Not authorized, Quota exceeded, Packet too large, ...) or before sending
     as over a limit the broker announced (maximum packet size, maximum QoS,
     no retained messages); the other messages still go
  10 MQTT 5: a subscription was refused before sending as over a limit the
     broker announced (no wildcards, no shared subscriptions), or an
     unsubscription was refused by the broker
  11 MQTT 5: the broker ended the connection with a DISCONNECT; its reason is
     printed (Session taken over, Server shutting down, ...); log reconnects
Ctrl-C or SIGTERM disconnects cleanly and exits with 0.
)";
}
