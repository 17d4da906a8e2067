#include "NameLookup.h"

#include <QObject>

#include <netdb.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "TWSocket.h"

namespace {

int AddrInfoErrorToWSocketError(int eai) {
  switch (eai) {
  case EAI_NONAME: return 11001;
#ifdef EAI_NODATA
  case EAI_NODATA: return 11004;
#endif
  case EAI_AGAIN: return 11002;
  case EAI_FAIL: return 11003;
  case EAI_FAMILY: return 10047;
  case EAI_MEMORY: return 10055;
  case EAI_SYSTEM: return ErrnoToWSocketError(errno);
  default: return 11003;
  }
}

} // namespace

TLookupResult LookUpHost(const std::string &host, int family) {
  TLookupResult result;
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *res = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (rc != 0 || !res) {
    if (res) freeaddrinfo(res);
    result.Code = rc != 0 ? AddrInfoErrorToWSocketError(rc) : 11001;
    return result;
  }
  for (const addrinfo *ai = res; ai; ai = ai->ai_next) {
    TSockAddr a;
    std::memcpy(&a.Addr, ai->ai_addr, ai->ai_addrlen);
    a.Len = ai->ai_addrlen;
    bool seen = false;
    for (const TSockAddr &b : result.Addrs) seen = seen || (b.Len == a.Len && std::memcmp(&b.Addr, &a.Addr, a.Len) == 0);
    if (!seen) result.Addrs.push_back(a);
  }
  freeaddrinfo(res);
  return result;
}

// Shared between the owner and its worker threads; Generation tells a
// current lookup from a cancelled one.
struct TNameLookup::TShared {
  std::mutex Lock;
  QObject *Receiver = nullptr;
  std::uint64_t Generation = 0;
};

TNameLookup::TNameLookup(QObject *receiver) : FShared(std::make_shared<TShared>()) { FShared->Receiver = receiver; }

TNameLookup::~TNameLookup() {
  std::lock_guard<std::mutex> lock(FShared->Lock);
  FShared->Receiver = nullptr;
  ++FShared->Generation;
}

void TNameLookup::Cancel() {
  std::lock_guard<std::mutex> lock(FShared->Lock);
  ++FShared->Generation;
}

void TNameLookup::Start(const std::string &host, int family, std::function<void(const TLookupResult &)> done) {
  std::uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(FShared->Lock);
    generation = ++FShared->Generation;
  }
  std::thread([shared = FShared, generation, host, family, done = std::move(done)] {
    TLookupResult result = LookUpHost(host, family);
    // Held while posting: the receiver cannot go away in between.
    std::lock_guard<std::mutex> lock(shared->Lock);
    if (!shared->Receiver || shared->Generation != generation) return;
    QMetaObject::invokeMethod(
        shared->Receiver,
        [shared, generation, done, result = std::move(result)] {
          bool current;
          {
            std::lock_guard<std::mutex> again(shared->Lock);
            current = shared->Generation == generation;
          }
          if (current) done(result);
        },
        Qt::QueuedConnection);
  }).detach();
}
