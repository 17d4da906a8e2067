#pragma once
// A TMQTTClient with every event recorded, for the client tests.

#include <QCoreApplication>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "TMQTTClient.h"

struct Delivery {
  std::string Topic, Message;
  TMQTTQOSType Qos;
  bool Retained;
  bool operator==(const Delivery &) const = default;
};

struct RecordedClient {
  std::unique_ptr<TMQTTClient> Client = std::make_unique<TMQTTClient>();
  std::vector<std::string> MonLines;
  std::vector<Delivery> Msgs;
  int Onlines = 0;
  std::vector<bool> Offlines; // Graceful of each OnOffline
  int EnableChanges = 0;
  int Failures = 0;
  bool KeepOpenOnFailure = false;
  std::chrono::steady_clock::time_point LastOffline;

  RecordedClient() {
    TMQTTClient &c = *Client;
    c.OnMon = [this](TMQTTClient *, const std::string &s) { MonLines.push_back(s); };
    c.OnMsg = [this](TMQTTClient *, const std::string &t, const std::string &m, TMQTTQOSType q, bool r) {
      Msgs.push_back({t, m, q, r});
    };
    c.OnOnline = [this](TMQTTClient *) { ++Onlines; };
    c.OnOffline = [this](TMQTTClient *, bool graceful) {
      Offlines.push_back(graceful);
      LastOffline = std::chrono::steady_clock::now();
    };
    c.OnEnableChange = [this](TMQTTClient *) { ++EnableChanges; };
    c.OnFailure = [this](TMQTTClient *, std::int32_t reason, bool &closeClient) {
      if (reason == 1) ++Failures;
      if (KeepOpenOnFailure) closeClient = false;
    };
  }
  TMQTTClient &C() { return *Client; }

  bool Has(const std::string &line) const {
    for (const auto &l : MonLines)
      if (l == line) return true;
    return false;
  }
  int CountOf(const std::string &line) const {
    int n = 0;
    for (const auto &l : MonLines) n += l == line;
    return n;
  }
  // Every monitor line, for failure messages.
  std::string Transcript() const {
    std::string all;
    for (const auto &l : MonLines) all += "\n  " + l;
    return all;
  }
  // Empty when the lines appear in this order (others may come between them),
  // else the first line missing.
  std::string MissingInOrder(const std::vector<std::string> &lines) const {
    std::size_t at = 0;
    for (const auto &want : lines) {
      while (at < MonLines.size() && MonLines[at] != want) ++at;
      if (at == MonLines.size()) return want;
      ++at;
    }
    return {};
  }
};

// Runs the Qt event loop until cond holds or timeoutMs has passed.
inline bool WaitUntil(const std::function<bool()> &cond, int timeoutMs = 15000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}
