#pragma once
// A TCP proxy of our own on 127.0.0.1 for fault injection: every connection
// it accepts is relayed to a target port, in small pieces, so that a cut
// falls in the middle of packets. Cut() ends every relayed link at once;
// Stall() stops relaying in both directions (links stay open) until
// Resume(). Runs on a thread of its own.

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

class FaultProxy {
public:
  explicit FaultProxy(int targetPort);
  ~FaultProxy();
  FaultProxy(const FaultProxy &) = delete;
  FaultProxy &operator=(const FaultProxy &) = delete;

  int Port() const { return FPort; }
  void Cut();
  void Stall() { FStalled = true; }
  void Resume() { FStalled = false; }
  int Links() const { return FLinks; } // links relayed now

private:
  struct Link {
    int Client = -1, Target = -1;
  };
  void Run();
  void CloseAll();

  int FListen = -1;
  int FPort = 0;
  int FTargetPort = 0;
  int FWake[2] = {-1, -1};
  std::atomic<bool> FStop{false};
  std::atomic<bool> FStalled{false};
  std::atomic<bool> FCutRequested{false};
  std::atomic<int> FLinks{0};
  std::vector<Link> FActive; // owned by the proxy thread
  std::thread FThread;
};
