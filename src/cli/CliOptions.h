#pragma once
// Command line of vyr-cli: "vyr-cli sub ...", "vyr-cli pub ..." and "vyr-cli log ...".

#include <optional>
#include <string>
#include <vector>

#include "MQTTProperties.h"

enum class CliCommand { Sub, Pub, Log, Rr };

// Where the payloads of "pub" come from.
enum class PayloadSource { None, Message, File, Lines, Stdin, Empty };

struct CliOptions {
  CliCommand Command = CliCommand::Sub;
  std::string Host = "localhost";
  int Port = 0; // 0: 1883, or 8883 with TLS
  std::vector<std::string> Topics;
  int Qos = 0;
  PayloadSource Source = PayloadSource::None;
  std::string Message; // -m text, or -f file name
  bool Retain = false;
  std::string ClientId;
  std::string Username;
  std::string Password;
  int KeepAlive = 60;
  bool CleanSession = true;
  std::string SessionFile; // pub -c: where unfinished exchanges are kept between runs; empty: by client id
  bool SessionMoveAside = false; // a session file that does not fit the run is renamed, not a reason to stop
  bool Tls = false;         // also set by CaFile, CaPath and CertFile
  bool Insecure = false;    // TLS without any verification
  std::string CaFile;
  std::string CaPath;
  std::string CertFile;
  std::string KeyFile;
  int TlsMinVersion = 0;    // 0: any; 0x0303 TLS 1.2, 0x0304 TLS 1.3
  bool Mqtt311 = false;     // -V mqttv311
  bool Mqtt5 = false;       // -V mqttv5
  bool VersionGiven = false; // -V was given
  bool Level5Asked = false;  // an option that needs MQTT 5 was given (-D, -x, subscription options)
  bool WebSocket = false;   // -L ws://... or wss://...
  std::string WsPath = "/";
  std::vector<std::string> WsHeaders; // --ws-header "Name: value"
  std::vector<std::string> Alpn; // --alpn: TLS application protocols offered
  std::string Unix;         // --unix: the broker's Unix domain socket
  std::string Proxy;        // --proxy http://, socks5:// or socks5h://[USER[:PASSWORD]@]HOST[:PORT]
  std::string WillTopic;
  std::string WillPayload;
  int WillQos = 0;
  bool WillRetain = false;
  int MaxInflight = 0; // pub: QoS 1 and 2 messages awaiting acknowledgement at once; 0: by QoS
  // --max-packet-size: the largest packet received, header included; 0: sub
  // and log take what the protocol carries, pub keeps the client's bound.
  long MaxPacketSize = 0;
  long Count = 0;   // 0: no limit
  int TimeoutSec = 0; // 0: no limit
  bool Verbose = false;
  bool Debug = false;
  // sub
  std::string Format;                // -F; empty: the payload (with -v the topic first)
  bool NoNewline = false;            // -N
  bool SkipRetained = false;         // -R
  bool RetainedOnly = false;         // --retained-only
  bool RemoveRetained = false;       // --remove-retained
  std::vector<std::string> Excluded; // -T: messages on matching topics are left out
  std::vector<std::string> Unsubscribe; // -U: filters unsubscribed once connected
  // Level 5
  long long SessionExpiry = -1; // -x; -1: 0 with a clean session, else never expiring
  bool NoLocal = false;           // --no-local
  bool RetainAsPublished = false; // --retain-as-published
  int RetainHandling = 0;         // --retain-handling
  // -D COMMAND ...: the properties of each packet, in the order given.
  TMQTTProperties ConnectProps, PublishProps, SubscribeProps, UnsubscribeProps, DisconnectProps, WillProps;
  // rr
  std::string ResponseTopic; // -e
  // log
  std::string DataDir = ".";
  // log: lines held in memory while their files cannot be written; at this
  // many, nothing more is read from the broker until they are written.
  long Backlog = 10000;
  // pub
  long Repeat = 1;         // --repeat: how many times the message is published
  double RepeatDelay = 0;  // --repeat-delay: seconds between the repetitions

  int EffectivePort() const { return Port ? Port : WebSocket ? (Tls ? 443 : 80) : (Tls ? 8883 : 1883); }
  // Brokers commonly accept 20 unreleased QoS 2 messages from a client and
  // drop it beyond that; QoS 1 messages are acknowledged at once and need no such bound.
  int EffectiveMaxInflight() const { return MaxInflight ? MaxInflight : (Qos == 2 ? 20 : 256); }
};

struct CliParse {
  std::optional<CliOptions> Options; // set when the command line is complete and valid
  bool Help = false;                 // --help was asked for; print Usage() and exit 0
  bool Version = false;              // --version was asked for; print the version and exit 0
  std::string Error;                 // set when the command line is wrong
};

// args excludes the program name.
CliParse ParseCliOptions(const std::vector<std::string> &args);
std::string CliUsage();
