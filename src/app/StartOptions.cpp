#include "StartOptions.h"

#include <functional>

namespace {

// The options that take a value: how to check it and where it goes.
using TApply = std::function<QString(TStartOptions &, const QString &)>;
struct TValueRule {
  const char *Name;
  TApply Apply;
};

// Stores the value as given; an empty one is a mistake unless MayBeEmpty.
template <typename T> TApply Store(T TStartOptions::*Member, const char *Name, bool MayBeEmpty = false)
{
  return [=](TStartOptions &O, const QString &V) {
    O.*Member = V;
    return V.isEmpty() && !MayBeEmpty ? QStringLiteral("option %1 needs a value").arg(QLatin1String(Name))
                                      : QString();
  };
}

const TValueRule ValueRules[] = {
    {"--data-dir",
     [](TStartOptions &O, const QString &V) {
       O.DataDir = V;
       return V.isEmpty() ? QStringLiteral("option --data-dir needs a folder") : QString();
     }},
    {"--broker", Store(&TStartOptions::Broker, "--broker")},
    {"--port",
     [](TStartOptions &O, const QString &V) {
       bool Ok = false;
       const uint N = V.toUInt(&Ok);
       O.Port = V;
       return Ok && N >= 1 && N <= 65535 && V == QString::number(N)
                  ? QString()
                  : QStringLiteral("the port must be a whole number from 1 to 65535, not '%1'").arg(V);
     }},
    {"--ssl",
     [](TStartOptions &O, const QString &V) {
       if (V != u"yes" && V != u"no") return QStringLiteral("--ssl takes yes or no, not '%1'").arg(V);
       O.Ssl = V == u"yes";
       return QString();
     }},
    {"--user", Store(&TStartOptions::User, "--user", true)},
    {"--client-id", Store(&TStartOptions::ClientId, "--client-id")},
    {"--protocol",
     [](TStartOptions &O, const QString &V) {
       if (V != u"3.1" && V != u"3.1.1" && V != u"5")
         return QStringLiteral("--protocol takes 3.1, 3.1.1 or 5, not '%1'").arg(V);
       O.Mqtt311 = V == u"3.1.1";
       O.Mqtt5 = V == u"5";
       return QString();
     }},
    {"--session-expiry",
     [](TStartOptions &O, const QString &V) {
       bool Ok = false;
       const qlonglong N = V.toLongLong(&Ok);
       if (!Ok || N < 0 || N > 4294967295LL || V != QString::number(N))
         return QStringLiteral("--session-expiry takes a whole number of seconds from 0 to 4294967295, not '%1'")
             .arg(V);
       O.SessionExpiry = N;
       return QString();
     }},
    {"--log-lines",
     [](TStartOptions &O, const QString &V) {
       bool Ok = false;
       const qlonglong N = V.toLongLong(&Ok);
       if (!Ok || N < 100 || N > 100000000 || V != QString::number(N))
         return QStringLiteral("--log-lines takes a whole number from 100 to 100000000, not '%1'").arg(V);
       O.LogLines = qsizetype(N);
       return QString();
     }},
    {"--proxy",
     [](TStartOptions &O, const QString &V) {
       std::string Error;
       return ParseProxyUrl(V.toStdString(), O.Proxy, Error) ? QString() : QString::fromStdString(Error);
     }},
    {"--alpn",
     [](TStartOptions &O, const QString &V) {
       if (V.isEmpty() || V.toUtf8().size() > 255)
         return QStringLiteral("--alpn takes a protocol name of 1 to 255 characters");
       O.Alpn.append(V);
       return QString();
     }},
    {"--unix", Store(&TStartOptions::UnixPath, "--unix")},
    {"--cafile", Store(&TStartOptions::CaFile, "--cafile")},
    {"--capath", Store(&TStartOptions::CaPath, "--capath")},
    {"--cert", Store(&TStartOptions::CertFile, "--cert")},
    {"--key", Store(&TStartOptions::KeyFile, "--key")},
};

const TValueRule *FindValueRule(const QString &Name)
{
  for (const TValueRule &Rule : ValueRules)
    if (Name == QLatin1String(Rule.Name))
      return &Rule;
  return nullptr;
}

} // namespace

TStartOptions ParseStartOptions(const QStringList &Args)
{
  TStartOptions Options;
  for (qsizetype I = 0; I < Args.size(); ++I) {
    const QString &Arg = Args[I];
    QString Error;
    const qsizetype Eq = Arg.startsWith(u"--") ? Arg.indexOf(u'=') : -1;
    const QString Name = Eq < 0 ? Arg : Arg.left(Eq);
    if (Arg == u"--help") {
      Options.Help = true;
    } else if (Arg == u"--version") {
      Options.Version = true;
    } else if (Arg == u"--ipv6") {
      Options.Ipv6 = true;
    } else if (const TValueRule *Rule = FindValueRule(Name)) {
      QString Value;
      if (Eq >= 0)
        Value = Arg.mid(Eq + 1);
      else if (I + 1 < Args.size())
        Value = Args[++I];
      Error = Rule->Apply(Options, Value);
    } else {
      Error = QStringLiteral("unknown option '%1'").arg(Arg);
    }
    // The first mistake is the one to report.
    if (Options.Error.isEmpty())
      Options.Error = Error;
  }
  if (Options.Error.isEmpty() && !Options.KeyFile.isEmpty() && Options.CertFile.isEmpty())
    Options.Error = QStringLiteral("--key needs the certificate it belongs to (--cert)");
  if (Options.Error.isEmpty() && !Options.UnixPath.isEmpty() && Options.Proxy.Kind != TProxySettings::pkNone)
    Options.Error = QStringLiteral("--unix and --proxy do not go together");
  if (Options.Error.isEmpty() && Options.SessionExpiry && !Options.Mqtt5)
    Options.Error = QStringLiteral("--session-expiry applies to MQTT 5: add --protocol 5");
  return Options;
}

QString StartUsage(const QString &DataFolder)
{
  return QStringLiteral(R"(vyr-mqtt: desktop MQTT 3.1, 3.1.1 and 5 client

Usage:
  vyr-mqtt [options]
  vyr-mqtt --help | --version

Without options the window starts with its own defaults. These fill its
boxes and settings instead; press Connect to use them:
      --broker HOST      broker host name or address (IPv6 with or without [ ]),
                         or a URL: ws://HOST[:PORT]/PATH and wss://... for MQTT
                         over WebSocket, mqtt://HOST[:PORT] and mqtts://...
      --port N           broker port, 1 to 65535
      --ssl yes|no       connect over TLS or not
      --user NAME        user name
      --client-id ID     client identifier
      --protocol 3.1|3.1.1|5
                         MQTT version (default 3.1). At 5, "Clean Session" Yes
                         starts a new session that ends with the connection,
                         No keeps the session on the broker for
                         --session-expiry seconds after it
      --session-expiry SEC
                         with --protocol 5: how long the broker keeps a
                         session after the connection ends, 0 to 4294967295
                         (default 4294967295: for ever, or the broker's own
                         limit)
      --cafile FILE      verify the broker's certificate and name against the
                         CA certificates in FILE (PEM); the status box then
                         says "Verified"
      --capath DIR       the same with a folder of hashed CA certificates
      --cert FILE        client certificate (PEM) for brokers that ask for one
      --key FILE         its private key (PEM; default: read from --cert)
      --ipv6             let host names resolve to IPv6 addresses too (by
                         default they resolve to IPv4 only)
      --proxy URL        connect through a proxy: http://[USER[:PASSWORD]@]HOST[:PORT]
                         (HTTP CONNECT), socks5://... (SOCKS5) or socks5h://...
                         (the proxy looks names up); port 1080 by default; the
                         status box then ends in "via proxy"
      --alpn NAME        offer NAME as the TLS application protocol when the
                         connection uses TLS (repeatable, in order of preference)
      --unix PATH        connect to the broker's Unix domain socket at PATH; the
                         Broker box still names the broker for TLS and WebSocket

Other options:
      --data-dir DIR     write the data files of "Save data" to DIR (created
                         when the first line is saved)
      --log-lines N      the most lines the log keeps (default 100000); past
                         them the oldest tenth is dropped and the first line
                         says how many lines were dropped
      --help             print this help and exit
      --version          print the version and exit
The toolkit's own options (for example -style NAME) are accepted too.

Data files go beside the program when you may write to its folder and it is
not a system folder such as /usr/bin; otherwise to $XDG_DATA_HOME/vyr-mqtt
(~/.local/share/vyr-mqtt when that is unset).
With the options given they go to:
  %1

Exit codes:
  0  the window was closed, or --help or --version
  2  bad command line, or a certificate or key that cannot be used
)").arg(DataFolder);
}
