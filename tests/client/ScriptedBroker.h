#pragma once
// A scripted MQTT peer for client tests: listens on 127.0.0.1, accepts the
// client's connections, and walks through a script of steps ("expect this
// exact packet", "send these bytes", "close", "run this on the client") while
// it pumps the Qt event loop that drives the client. Everything runs on the
// test's thread, so script steps and client events interleave deterministically.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

// Byte helpers for writing packets by hand.
std::string H(const std::string &hex);           // "20 02 00 00" -> bytes
std::string Hex(const std::string &bytes);       // bytes -> "20 02 00 00"
std::string Str(const std::string &s);           // MQTT string: 16-bit length + bytes
std::string Id(std::uint16_t id);                // 16-bit big-endian
std::string Pkt(std::uint8_t first, const std::string &body); // fixed header + remaining length + body

struct Step {
  enum Kind { Accept, Expect, Send, Do, Until, Quiet, Drop, ExpectClosed } kind;
  std::string bytes;                                       // Expect, Send
  std::function<void()> action;                            // Do
  std::function<bool()> condition;                         // Until
  std::function<std::string(const std::string &)> check;  // Expect with a check in place of bytes
  int ms = 0;                                              // Quiet; Until/Accept/Expect time-out if > 0
  std::string what;                                        // shown on failure
};
using Script = std::vector<Step>;

Step AcceptStep(int timeoutMs = 0);
Step ExpectStep(const std::string &bytes, const std::string &what = {});
// The next packet, judged by check: an empty result means it is acceptable.
Step ExpectCheck(std::function<std::string(const std::string &)> check, const std::string &what);
Step SendStep(const std::string &bytes);
Step DoStep(std::function<void()> action);
Step UntilStep(std::function<bool()> condition, const std::string &what, int timeoutMs = 0);
Step QuietStep(int ms);
Step DropStep();
Step ExpectClosedStep();

class ScriptedBroker {
public:
  ScriptedBroker();
  ~ScriptedBroker();
  ScriptedBroker(const ScriptedBroker &) = delete;
  ScriptedBroker &operator=(const ScriptedBroker &) = delete;

  int Port() const { return FPort; }
  // The client's port of the connection accepted last.
  int ClientPort() const { return FClientPort; }
  int Connections() const { return FConnections; }

  // Runs the script to its end; returns an empty string on success, else what failed.
  std::string Run(const Script &script);

  // Pumps the event loop (and the peer) until cond holds or timeoutMs passes.
  bool WaitFor(const std::function<bool()> &cond, int timeoutMs = 10000);

  std::vector<std::string> Received; // every packet received, in order of arrival

private:
  void Pump(int pollMs);
  bool TakePacket(std::string &packet);
  void CloseConnection();

  int FListen = -1;
  int FConn = -1;
  int FPort = 0;
  int FClientPort = 0;
  int FConnections = 0;
  bool FEof = false;
  std::string FRx;      // received bytes; those before FRxAt are already taken
  std::size_t FRxAt = 0;
  std::deque<std::string> FPending; // received packets not consumed by a step
};
