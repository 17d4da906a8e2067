#pragma once
// Command line of the window: where it points at start (broker, port, TLS,
// user, client id, protocol level, certificates, IPv6, proxy, ALPN, Unix
// socket), --data-dir, --help and
// --version. Nothing given: the window starts with its fixed defaults. The
// toolkit's own options (-style, -platform ...) are taken out by the
// application object before the strict parse.

#include <QString>
#include <QStringList>

#include <optional>

#include "ProxyUrl.h"

struct TStartOptions {
  bool Help = false;    // print StartUsage() and exit 0
  bool Version = false; // print the version and exit 0
  QString DataDir;      // --data-dir; empty when not given
  // The window's boxes and connection settings; unset: as the window starts.
  std::optional<QString> Broker;
  std::optional<QString> Port;   // digits, 1 to 65535
  std::optional<bool> Ssl;       // --ssl yes|no
  std::optional<QString> User;
  std::optional<QString> ClientId;
  bool Mqtt311 = false;          // --protocol 3.1.1
  bool Mqtt5 = false;            // --protocol 5
  // --session-expiry: how long a kept session ("Clean Session" No) outlives
  // the connection at level 5, in seconds.
  std::optional<qint64> SessionExpiry;
  QString CaFile;                // verify the broker against these authorities
  QString CaPath;
  QString CertFile;              // client certificate and key
  QString KeyFile;
  bool Ipv6 = false;             // host names may resolve to IPv6 addresses too
  TProxySettings Proxy;          // --proxy; Kind pkNone when not given
  QStringList Alpn;              // --alpn: application protocols offered on TLS, in order
  QString UnixPath;              // --unix: the broker's Unix domain socket
  std::optional<qsizetype> LogLines; // --log-lines: the most lines the log keeps
  QString Error;                 // set when the command line is wrong
};

// Args excludes the program name.
TStartOptions ParseStartOptions(const QStringList &Args);
// The help text; DataFolder is where "Save data" writes with these options.
QString StartUsage(const QString &DataFolder);
