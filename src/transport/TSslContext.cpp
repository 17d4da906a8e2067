#include "TSslContext.h"

#include "TSslSession.h"
#include "TlsModule.h"

TSslContext::TSslContext(QObject *owner) : QObject(owner) {}

TSslContext::~TSslContext() = default;

void TSslContext::InitContext() {
  std::lock_guard<std::mutex> lock(FLock);
  if (FEngine) return;
  FEngine.reset(TlsModuleEntry()(*this));
}

void TSslContext::DeInitContext() {
  std::lock_guard<std::mutex> lock(FLock);
  FEngine.reset();
}

std::unique_ptr<TSslSession> TSslContext::NewSession(const std::string &name, bool checkName, bool sendServerName) {
  std::lock_guard<std::mutex> lock(FLock);
  if (!FEngine) throw ESslContextException("The TLS context is not initialized");
  return FEngine->NewSession(name, checkName, sendServerName);
}
