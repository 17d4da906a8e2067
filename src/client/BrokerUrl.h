#pragma once
// Broker and proxy addresses given as URLs:
// scheme://[user[:password]@]host[:port][/path], the host a name, an IPv4
// address or an IPv6 address in brackets.

#include <string>

struct TBrokerUrl {
  std::string Scheme;  // lower case: "mqtt", "mqtts", "ws", "wss", ...
  std::string User;
  std::string Password;
  bool HasUser = false;
  bool HasPassword = false;
  std::string Host;  // IPv6 in brackets, as given
  int Port = 0;      // 0: none given
  std::string Path;  // from the '/' after the authority on; empty when none

  bool Tls() const { return Scheme == "mqtts" || Scheme == "wss"; }
  bool WebSocket() const { return Scheme == "ws" || Scheme == "wss"; }
  // The port, or the scheme's usual one (1883, 8883, 80, 443).
  int EffectivePort() const;
};

// Splits text into its parts; false with error set ("... must look like
// scheme://host:port/path") when it is not a URL.
bool ParseBrokerUrl(const std::string &text, TBrokerUrl &url, std::string &error);
// Whether text starts with "letters://": a URL rather than a bare host name.
bool LooksLikeUrl(const std::string &text);
