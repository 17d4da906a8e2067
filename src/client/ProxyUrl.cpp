#include "ProxyUrl.h"

#include "BrokerUrl.h"

bool ParseProxyUrl(const std::string &text, TProxySettings &proxy, std::string &error) {
  TBrokerUrl url;
  if (!ParseBrokerUrl(text, url, error)) {
    error = "--proxy " + error;
    return false;
  }
  if (url.Scheme != "http" && url.Scheme != "socks5" && url.Scheme != "socks5h") {
    error = "--proxy takes http://, socks5:// or socks5h:// URLs, not '" + url.Scheme + "://'";
    return false;
  }
  if (!url.Path.empty() && url.Path != "/") {
    error = "--proxy " + text + ": a proxy URL has no path";
    return false;
  }
  proxy = {};
  proxy.Kind = url.Scheme == "http" ? TProxySettings::pkHttp : TProxySettings::pkSocks5;
  proxy.RemoteResolve = url.Scheme == "socks5h";
  proxy.Host = url.Host;
  proxy.Port = std::to_string(url.Port ? url.Port : 1080);
  proxy.User = url.User;
  proxy.Password = url.Password;
  return true;
}
