#pragma once
// What the transport tests observe of a TWSocket: its events in order, with
// the code and the state at the time, and the bytes read in OnDataAvailable.

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <QDeadlineTimer>

#include <functional>
#include <string>
#include <vector>

#include "TWSocket.h"

// Runs the Qt event loop until cond holds or the time is up.
inline bool WaitUntil(const std::function<bool()> &cond, int timeoutMs = 20000) {
  QDeadlineTimer deadline(timeoutMs);
  while (!cond()) {
    if (deadline.hasExpired()) return false;
    QEventLoop loop;
    QTimer::singleShot(5, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return true;
}

// Lets the event loop run for a while (for checking that nothing happens).
inline void RunEventsFor(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

struct TEventLog {
  // "Connected(0)@wsConnected", "Data", "Closed(10054)@wsClosed"; several
  // OnDataAvailable in a row are logged once.
  std::vector<std::string> Events;
  std::string Data;
  int DataEvents = 0;
  bool ReadData = true;

  static std::string StateName(TSocketState s) {
    static const char *names[] = {"wsInvalidState", "wsOpened",    "wsBound",     "wsConnecting", "wsSocksConnected",
                                  "wsConnected",    "wsAccepting", "wsListening", "wsClosed",     "wsDnsLookup"};
    return names[s];
  }

  void Attach(TWSocket &s) {
    s.OnSessionConnected = [this](TWSocket *sender, std::uint16_t code) {
      Events.push_back("Connected(" + std::to_string(code) + ")@" + StateName(sender->State()));
    };
    s.OnDataAvailable = [this](TWSocket *sender, std::uint16_t code) {
      ++DataEvents;
      if (Events.empty() || Events.back() != "Data") Events.push_back("Data");
      if (ReadData && code == 0) Data += sender->ReceiveStrA();
    };
    s.OnSessionClosed = [this](TWSocket *sender, std::uint16_t code) {
      Events.push_back("Closed(" + std::to_string(code) + ")@" + StateName(sender->State()));
    };
  }
  bool Has(const std::string &prefix) const {
    for (auto &e : Events)
      if (e.rfind(prefix, 0) == 0) return true;
    return false;
  }
  bool Closed() const { return Has("Closed"); }
};

// Sets the remote end of s to 127.0.0.1:port.
inline void Target(TWSocket &s, int port, const std::string &addr = "127.0.0.1") {
  s.SetAddr(addr);
  s.SetPort(std::to_string(port));
  s.SetProto("tcp");
}

// A byte pattern whose every position is recognisable.
inline std::string Pattern(std::size_t size, unsigned seed = 1) {
  std::string s(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}
