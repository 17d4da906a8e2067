#include "BrokerUrl.h"

#include <algorithm>
#include <cctype>

int TBrokerUrl::EffectivePort() const {
  if (Port) return Port;
  if (Scheme == "mqtts") return 8883;
  if (Scheme == "ws") return 80;
  if (Scheme == "wss") return 443;
  return 1883;
}

bool LooksLikeUrl(const std::string &text) {
  const auto sep = text.find("://");
  return sep != std::string::npos && sep > 0 &&
         std::all_of(text.begin(), text.begin() + long(sep), [](unsigned char c) { return std::isalnum(c) != 0; });
}

bool ParseBrokerUrl(const std::string &text, TBrokerUrl &url, std::string &error) {
  url = {};
  if (!LooksLikeUrl(text)) {
    error = "'" + text + "' is not a URL of the form scheme://host[:port][/path]";
    return false;
  }
  const auto sep = text.find("://");
  url.Scheme = text.substr(0, sep);
  std::transform(url.Scheme.begin(), url.Scheme.end(), url.Scheme.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  std::string rest = text.substr(sep + 3);
  const auto slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  if (slash != std::string::npos) url.Path = rest.substr(slash);
  // The last '@' ends the credentials: a password may hold one.
  if (const auto at = authority.rfind('@'); at != std::string::npos) {
    const std::string cred = authority.substr(0, at);
    authority.erase(0, at + 1);
    const auto colon = cred.find(':');
    url.User = cred.substr(0, colon);
    url.HasUser = true;
    if (colon != std::string::npos) {
      url.Password = cred.substr(colon + 1);
      url.HasPassword = true;
    }
  }
  std::string portText;
  if (!authority.empty() && authority.front() == '[') {
    const auto close = authority.find(']');
    if (close == std::string::npos) {
      error = "'" + text + "': the IPv6 address lacks its ']'";
      return false;
    }
    url.Host = authority.substr(0, close + 1);
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') {
        error = "'" + text + "': only ':port' may follow the IPv6 address";
        return false;
      }
      portText = authority.substr(close + 2);
      if (portText.empty()) portText = "x";
    }
  } else {
    const auto colon = authority.find(':');
    url.Host = authority.substr(0, colon);
    if (colon != std::string::npos) {
      portText = authority.substr(colon + 1);
      if (portText.empty()) portText = "x";
    }
  }
  if (url.Host.empty() || url.Host == "[]") {
    error = "'" + text + "' names no host";
    return false;
  }
  if (!portText.empty()) {
    long port = 0;
    bool digits = portText.size() <= 5;
    for (char c : portText) digits = digits && c >= '0' && c <= '9';
    if (digits) port = std::stol(portText);
    if (!digits || port < 1 || port > 65535) {
      error = "'" + text + "': the port must be a number from 1 to 65535, not '" + (portText == "x" ? "" : portText) + "'";
      return false;
    }
    url.Port = int(port);
  }
  return true;
}
