#pragma once
// TLS settings shared by every TLS connection of a socket. The engine's
// context is made lazily, on the first TLS connection, and reused afterwards.

#include <QObject>

#include <memory>
#include <mutex>
#include <string>

#include "SslSettings.h"

class TSslContext : public QObject, public TSslSettings {
  Q_OBJECT
public:
  explicit TSslContext(QObject *owner = nullptr);
  ~TSslContext() override;
  TSslContext(const TSslContext &) = delete;
  TSslContext &operator=(const TSslContext &) = delete;

  // Settings (TSslSettings) take effect at the next InitContext.

  // Loads the TLS engine if need be and builds its context from the settings;
  // throws ESslContextException.
  void InitContext();
  // Drops the context; the next InitContext builds a new one.
  void DeInitContext();
  bool IsInitialized() const { return FEngine != nullptr; }
  // A session of the context (see TSslContextEngine::NewSession); throws
  // ESslContextException, also before InitContext.
  std::unique_ptr<TSslSession> NewSession(const std::string &name, bool checkName, bool sendServerName);

private:
  std::unique_ptr<TSslContextEngine> FEngine;
  std::mutex FLock;
};
