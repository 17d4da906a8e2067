#include "StreamServer.h"

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "TestBroker.h"

namespace {

std::string RemainingLength(std::size_t n) {
  std::string out;
  do {
    char digit = char(n % 128);
    n /= 128;
    if (n) digit = char(digit | 0x80);
    out += digit;
  } while (n);
  return out;
}

// A server's frame: binary, final, unmasked.
std::string Frame(const std::string &payload) {
  std::string out("\x82", 1);
  if (payload.size() < 126) {
    out += char(payload.size());
  } else if (payload.size() < 65536) {
    out += char(126);
    out += char(payload.size() >> 8);
    out += char(payload.size() & 0xff);
  } else {
    throw std::runtime_error("frame too large for the bench");
  }
  return out + payload;
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}

// One client connection: blocking reads and writes.
class TClient {
public:
  TClient(int fd, bool webSocket) : FFd(fd), FWebSocket(webSocket) {}
  ~TClient() { ::close(FFd); }

  void Write(const std::string &bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
      const ssize_t n = ::send(FFd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("the client stopped reading");
      at += std::size_t(n);
    }
  }
  // A packet for the client, framed over WebSocket.
  void WritePacket(const std::string &packet) { Write(FWebSocket ? Frame(packet) : packet); }

  // Reads the upgrade request and answers it, echoing the protocol asked for.
  void Upgrade() {
    while (FIn.find("\r\n\r\n") == std::string::npos) Fill();
    const std::string head = FIn.substr(0, FIn.find("\r\n\r\n") + 2);
    FIn.erase(0, head.size() + 2);
    const std::string key = Header(head, "sec-websocket-key");
    const std::string protocol = Header(head, "sec-websocket-protocol");
    const std::string text = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char *>(text.data()), text.size(), digest);
    unsigned char accept[64];
    EVP_EncodeBlock(accept, digest, SHA_DIGEST_LENGTH);
    Write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " +
          std::string(reinterpret_cast<char *>(accept)) + "\r\n" +
          (protocol.empty() ? "" : "Sec-WebSocket-Protocol: " + protocol.substr(0, protocol.find(',')) + "\r\n") +
          "\r\n");
  }

  // The next MQTT packet from the client; empty once it has gone.
  std::string ReadPacket() {
    for (;;) {
      if (FMqtt.size() >= 2) {
        std::size_t length = 0, at = 1;
        for (int shift = 0; at < FMqtt.size() && at < 5; shift += 7) {
          const auto digit = static_cast<unsigned char>(FMqtt[at++]);
          length |= std::size_t(digit & 0x7f) << shift;
          if (!(digit & 0x80)) {
            if (FMqtt.size() >= at + length) {
              std::string packet = FMqtt.substr(0, at + length);
              FMqtt.erase(0, at + length);
              return packet;
            }
            break;
          }
        }
      }
      if (!(FWebSocket ? ReadFrame() : Take(FMqtt))) return {};
    }
  }

private:
  static std::string Header(const std::string &head, const std::string &name) {
    const std::string lower = Lower(head);
    const auto at = lower.find("\r\n" + name + ":");
    if (at == std::string::npos) return {};
    const auto start = head.find_first_not_of(' ', at + name.size() + 3);
    return head.substr(start, head.find("\r\n", start) - start);
  }
  bool Fill() {
    char buf[65536];
    const ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    FIn.append(buf, std::size_t(n));
    return true;
  }
  bool Take(std::string &to) {
    if (FIn.empty() && !Fill()) return false;
    to += FIn;
    FIn.clear();
    return true;
  }
  // One client frame, unmasked; data goes to the MQTT bytes.
  bool ReadFrame() {
    auto need = [&](std::size_t n) {
      while (FIn.size() < n)
        if (!Fill()) return false;
      return true;
    };
    if (!need(2)) return false;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(FIn[i]); };
    const unsigned opcode = byte(0) & 0x0f;
    std::size_t length = byte(1) & 0x7f, at = 2;
    if (length == 126) {
      if (!need(4)) return false;
      length = std::size_t(byte(2)) << 8 | byte(3);
      at = 4;
    } else if (length == 127) {
      if (!need(10)) return false;
      length = 0;
      for (int i = 2; i < 10; ++i) length = length << 8 | byte(std::size_t(i));
      at = 10;
    }
    const bool masked = byte(1) & 0x80;
    if (!need(at + (masked ? 4 : 0) + length)) return false;
    const std::string mask = masked ? FIn.substr(at, 4) : std::string(4, '\0');
    at += masked ? 4 : 0;
    std::string payload = FIn.substr(at, length);
    FIn.erase(0, at + length);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = char(payload[i] ^ mask[i % 4]);
    if (opcode == 8) return false;  // close
    if (opcode <= 2) FMqtt += payload;
    return true;
  }

  int FFd;
  bool FWebSocket;
  std::string FIn;    // bytes read and not used yet
  std::string FMqtt;  // MQTT bytes not parsed yet
};

} // namespace

TStreamServer::TStreamServer(const std::string &Topic, const std::string &Payload, int Count) {
  FListen = ListenOnLoopback(4, FPort);
  const std::string body = std::string(1, char(Topic.size() >> 8)) + char(Topic.size() & 0xff) + Topic + Payload;
  const std::string packet = "\x30" + RemainingLength(body.size()) + body;
  const std::string framed = Frame(packet);
  FPlain.reserve(packet.size() * std::size_t(Count));
  FFramed.reserve(framed.size() * std::size_t(Count));
  for (int i = 0; i < Count; ++i) {
    FPlain += packet;
    FFramed += framed;
  }
}

TStreamServer::~TStreamServer() {
  if (FThread.joinable()) FThread.join();
  ::close(FListen);
}

void TStreamServer::Serve(bool WebSocket) {
  FError.clear();
  FThread = std::thread([this, WebSocket] {
    try {
      ServeOne(WebSocket);
    } catch (const std::exception &e) {
      FError = e.what();
    }
  });
}

void TStreamServer::Wait() {
  FThread.join();
  if (!FError.empty()) throw std::runtime_error("stream server: " + FError);
}

void TStreamServer::ServeOne(bool WebSocket) {
  const int fd = ::accept(FListen, nullptr, nullptr);
  if (fd < 0) throw std::runtime_error("accept failed");
  TClient client(fd, WebSocket);
  if (WebSocket) client.Upgrade();
  if ((client.ReadPacket()[0] & 0xf0) != 0x10) throw std::runtime_error("the client's first packet is no CONNECT");
  client.WritePacket(std::string("\x20\x02\x00\x00", 4));
  const std::string subscribe = client.ReadPacket();
  if (subscribe.empty() || (subscribe[0] & 0xf0) != 0x80) throw std::runtime_error("no SUBSCRIBE came");
  // The packet identifier follows the one-byte remaining length of a short SUBSCRIBE.
  client.WritePacket(std::string("\x90\x03", 2) + subscribe.substr(2, 2) + std::string(1, '\0'));
  client.Write(WebSocket ? FFramed : FPlain);
  // Until the client goes (DISCONNECT, close frame or end of stream).
  for (std::string packet; !(packet = client.ReadPacket()).empty() && (packet[0] & 0xf0) != 0xe0;) {
  }
}
