#include "FloodPublisher.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void AppendLength(std::string &aOut, size_t aLength) {
  do {
    unsigned char digit = aLength % 128;
    aLength /= 128;
    if (aLength > 0)
      digit |= 0x80;
    aOut.push_back(char(digit));
  } while (aLength > 0);
}

void AppendString(std::string &aOut, const std::string &aText) {
  aOut.push_back(char(aText.size() >> 8));
  aOut.push_back(char(aText.size() & 0xFF));
  aOut += aText;
}

} // namespace

TFloodPublisher::TFloodPublisher(int aPort, const std::string &aClientId) {
  FSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(uint16_t(aPort));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (FSocket < 0 || connect(FSocket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
    throw std::runtime_error("publisher: cannot connect to the broker");

  std::string body;
  AppendString(body, "MQTT");
  body.push_back(4);    // protocol level 3.1.1
  body.push_back(0x02); // clean session
  body.push_back(0);
  body.push_back(60); // keep-alive
  AppendString(body, aClientId);
  std::string packet(1, char(0x10));
  AppendLength(packet, body.size());
  SendAll(packet + body);

  unsigned char connack[4];
  size_t got = 0;
  while (got < sizeof connack) {
    const ssize_t n = recv(FSocket, connack + got, sizeof connack - got, 0);
    if (n <= 0)
      throw std::runtime_error("publisher: no CONNACK");
    got += size_t(n);
  }
  if (connack[0] != 0x20 || connack[3] != 0)
    throw std::runtime_error("publisher: connection refused");
}

TFloodPublisher::~TFloodPublisher() {
  if (FSocket >= 0)
    close(FSocket);
}

void TFloodPublisher::Publish(const std::string &aTopic, const std::string &aPayload, bool aRetain) {
  FQueue.push_back(char(aRetain ? 0x31 : 0x30));
  AppendLength(FQueue, 2 + aTopic.size() + aPayload.size());
  AppendString(FQueue, aTopic);
  FQueue += aPayload;
  if (FQueue.size() >= 64 * 1024)
    Flush();
}

void TFloodPublisher::Flush() {
  SendAll(FQueue);
  FQueue.clear();
}

void TFloodPublisher::Disconnect() {
  Flush();
  SendAll(std::string("\xE0\x00", 2));
  close(FSocket);
  FSocket = -1;
}

void TFloodPublisher::SendAll(const std::string &aBytes) {
  size_t sent = 0;
  while (sent < aBytes.size()) {
    const ssize_t n = send(FSocket, aBytes.data() + sent, aBytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0)
      throw std::runtime_error("publisher: send failed");
    sent += size_t(n);
  }
}
