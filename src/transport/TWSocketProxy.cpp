// The proxy handshake of TWSocket, between TCP connecting to the proxy and
// the connection being reported: HTTP CONNECT or SOCKS5. Only then do TLS and
// WebSocket start, inside the tunnel, as they would on a direct connection.

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <QByteArray>

#include "TWSocket.h"

namespace {

std::string Bracketed(const std::string &host) {
  return host.find(':') != std::string::npos && host.front() != '[' ? "[" + host + "]" : host;
}

std::string Unbracket(const std::string &host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
  return host;
}

const char *SocksReplyText(unsigned code) {
  switch (code) {
  case 1: return "general SOCKS server failure";
  case 2: return "connection not allowed by ruleset";
  case 3: return "network unreachable";
  case 4: return "host unreachable";
  case 5: return "connection refused";
  case 6: return "TTL expired";
  case 7: return "command not supported";
  case 8: return "address type not supported";
  default: return "unassigned reply";
  }
}

std::string Hex2(unsigned v) {
  static const char *digits = "0123456789abcdef";
  return std::string("0x") + digits[(v >> 4) & 15] + digits[v & 15];
}

}  // namespace

void TWSocket::SetProxy(const TProxySettings &value) {
  if (FState != wsClosed) throw ESocketException("Cannot change Proxy if not closed");
  FProxy = value;
  FAddrResolved = FPortResolved = false;
}

void TWSocket::ProxyStart() {
  FProxyStep = 0;
  FProxyBuf.clear();
  UpdateNotifiers();
  if (FProxy.Kind == TProxySettings::pkHttp) {
    const std::string target = Bracketed(FAddrStr) + ":" + FPortStr;
    std::string req = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
    if (!FProxy.User.empty())
      req += "Proxy-Authorization: Basic " +
             QByteArray::fromStdString(FProxy.User + ":" + FProxy.Password).toBase64().toStdString() + "\r\n";
    req += "\r\n";
    FSendQueue.Append(req.data(), req.size());
  } else {
    // Methods offered: none, and user/password when there is a user.
    const std::string hello = FProxy.User.empty() ? std::string("\x05\x01\x00", 3) : std::string("\x05\x02\x00\x02", 4);
    FSendQueue.Append(hello.data(), hello.size());
  }
  TryToSend();
}

void TWSocket::ProxySendRequest() {
  std::string req("\x05\x01\x00", 3);
  const std::string host = Unbracket(FAddrStr);
  in_addr a4;
  in6_addr a6;
  if (inet_pton(AF_INET, host.c_str(), &a4) == 1) {
    req += '\x01';
    req.append(reinterpret_cast<const char *>(&a4), 4);
  } else if (inet_pton(AF_INET6, host.c_str(), &a6) == 1) {
    req += '\x04';
    req.append(reinterpret_cast<const char *>(&a6), 16);
  } else if (FProxy.RemoteResolve) {
    if (host.size() > 255) return ProxyFail("the broker's name is too long for SOCKS", 10061);
    req += '\x03';
    req += static_cast<char>(host.size());
    req += host;
  } else {
    // socks5:// leaves the name to us. The proxy is the only way out, so the
    // system's resolver is asked directly.
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res)
      return ProxyFail("cannot look up '" + host + "' to give it to the SOCKS proxy (socks5h:// lets the proxy do it)",
                       11001);
    if (res->ai_family == AF_INET6) {
      req += '\x04';
      req.append(reinterpret_cast<const char *>(&reinterpret_cast<sockaddr_in6 *>(res->ai_addr)->sin6_addr), 16);
    } else {
      req += '\x01';
      req.append(reinterpret_cast<const char *>(&reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr), 4);
    }
    freeaddrinfo(res);
  }
  const unsigned port = static_cast<unsigned>(std::stoul(FPortStr));
  req += static_cast<char>(port >> 8);
  req += static_cast<char>(port & 0xff);
  FSendQueue.Append(req.data(), req.size());
  FProxyStep = 2;
  TryToSend();
}

void TWSocket::ProxyRead() {
  char buf[4096];
  const ssize_t r = ::recv(FHSocket, buf, sizeof buf, 0);
  if (r == 0) return ProxyFail("the proxy closed the connection during its handshake", 10053);
  if (r < 0) {
    const int code = ErrnoToWSocketError(errno);
    if (code == 10035) return;
    return ProxyFail("the proxy connection failed: " + WSocketErrorDesc(code), code);
  }
  FProxyBuf.append(buf, static_cast<std::size_t>(r));
  if (FProxy.Kind == TProxySettings::pkHttp) {
    const auto end = FProxyBuf.find("\r\n\r\n");
    if (end == std::string::npos) {
      if (FProxyBuf.size() > 16384) ProxyFail("the proxy's answer is not HTTP", 10053);
      return;
    }
    const std::string status = FProxyBuf.substr(0, FProxyBuf.find("\r\n"));
    const auto sp = status.find(' ');
    if (status.rfind("HTTP/", 0) != 0 || sp == std::string::npos)
      return ProxyFail("the proxy's answer is not HTTP: " + status.substr(0, 80), 10053);
    if (status.compare(sp + 1, 1, "2") != 0) return ProxyFail("the proxy refused the tunnel: " + status, 10061);
    return ProxyOpen();
  }
  // SOCKS5.
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(FProxyBuf[i]); };
  for (;;) {
    if (FProxyStep == 0) {  // method choice
      if (FProxyBuf.size() < 2) return;
      if (byte(0) != 5) return ProxyFail("the proxy does not speak SOCKS5", 10053);
      const unsigned method = byte(1);
      FProxyBuf.erase(0, 2);
      if (method == 0) {
        ProxySendRequest();
      } else if (method == 2 && !FProxy.User.empty()) {
        std::string auth("\x01", 1);
        auth += static_cast<char>(std::min<std::size_t>(FProxy.User.size(), 255));
        auth += FProxy.User.substr(0, 255);
        auth += static_cast<char>(std::min<std::size_t>(FProxy.Password.size(), 255));
        auth += FProxy.Password.substr(0, 255);
        FSendQueue.Append(auth.data(), auth.size());
        FProxyStep = 1;
        TryToSend();
      } else {
        return ProxyFail(FProxy.User.empty() ? "the SOCKS proxy asks for a user name and password"
                                             : "the SOCKS proxy accepts none of the offered ways to log in",
                         10061);
      }
      if (FProxyStep == 0) return;  // failed meanwhile
    } else if (FProxyStep == 1) {  // user and password
      if (FProxyBuf.size() < 2) return;
      if (byte(1) != 0) return ProxyFail("the SOCKS proxy refused the user name and password", 10061);
      FProxyBuf.erase(0, 2);
      ProxySendRequest();
      if (FProxyStep != 2) return;
    } else {  // the reply to CONNECT
      if (FProxyBuf.size() < 5) return;
      if (byte(1) != 0)
        return ProxyFail("the SOCKS proxy refused the connection: reply " + Hex2(byte(1)) + " (" +
                             SocksReplyText(byte(1)) + ")",
                         10061);
      const std::size_t addrLen = byte(3) == 1 ? 4 : byte(3) == 4 ? 16 : std::size_t(byte(4)) + 1;
      if (FProxyBuf.size() < 4 + addrLen + 2) return;
      return ProxyOpen();
    }
  }
}

void TWSocket::ProxyOpen() {
  FProxyDone = true;
  FProxyBuf.clear();
  FState = wsConnecting;
  Do_FD_CONNECT(0);
}

void TWSocket::ProxyFail(const std::string &why, int code) {
  FProxyFailure = why;
  FProxyDone = true;
  FNextCandidate = FCandidates.size();  // another address of the proxy would say the same
  FState = wsConnecting;
  Do_FD_CONNECT(code);
}
