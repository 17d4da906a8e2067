#pragma once
// A minimal MQTT publisher on a blocking loopback socket, for flooding a
// broker from a thread of its own: CONNECT, then QoS 0 PUBLISH packets as
// fast as the socket takes them, then DISCONNECT.

#include <string>

class TFloodPublisher {
public:
  // Connects and waits for the broker's CONNACK; throws std::runtime_error.
  TFloodPublisher(int aPort, const std::string &aClientId);
  ~TFloodPublisher();
  TFloodPublisher(const TFloodPublisher &) = delete;
  TFloodPublisher &operator=(const TFloodPublisher &) = delete;

  // Queues one PUBLISH; packets go out in batches.
  void Publish(const std::string &aTopic, const std::string &aPayload, bool aRetain = false);
  // Sends what is queued.
  void Flush();
  // Sends DISCONNECT and closes the socket.
  void Disconnect();

private:
  void SendAll(const std::string &aBytes);
  int FSocket = -1;
  std::string FQueue;
};
