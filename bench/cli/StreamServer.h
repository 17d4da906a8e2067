#pragma once
// A stand-in broker for receiving benches: it takes one client at a time on
// loopback, over plain MQTT or MQTT over WebSocket, answers its CONNECT and
// SUBSCRIBE, then writes a stream of QoS 0 PUBLISH packets made in advance as
// fast as the socket takes them (over WebSocket one frame per packet, as
// brokers write them). The receiver is the only one working, so what it costs
// does not depend on how a broker happens to be scheduled.

#include <string>
#include <thread>

class TStreamServer {
public:
  // Count packets of Topic carrying Payload; throws std::runtime_error.
  TStreamServer(const std::string &Topic, const std::string &Payload, int Count);
  ~TStreamServer();
  TStreamServer(const TStreamServer &) = delete;
  TStreamServer &operator=(const TStreamServer &) = delete;

  int Port() const { return FPort; }
  // Serves the next client on a thread of its own, over WebSocket or not,
  // until it goes; Wait joins that thread and rethrows what went wrong.
  void Serve(bool WebSocket);
  void Wait();

private:
  void ServeOne(bool WebSocket);
  int FListen = -1;
  int FPort = 0;
  std::string FPlain;  // the packets back to back
  std::string FFramed; // each packet in a binary frame
  std::thread FThread;
  std::string FError;
};
