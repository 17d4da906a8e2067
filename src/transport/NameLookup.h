#pragma once
// Host-name lookup off the event loop: getaddrinfo runs on a worker thread and
// its answer is handed back on the thread of the receiver, through its event
// loop, so that a slow resolver never holds that loop up. A lookup that is
// cancelled, restarted or whose owner is gone delivers nothing.

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QObject;

struct TSockAddr {
  sockaddr_storage Addr{};
  socklen_t Len = 0;
};

struct TLookupResult {
  int Code = 0;                 // 0, or the error in the Windows Sockets numbering (11001 host not found, ...)
  std::vector<TSockAddr> Addrs; // in the resolver's order, without repeats
};

// Looks host up now, on the calling thread. family is AF_INET, AF_INET6 or AF_UNSPEC.
TLookupResult LookUpHost(const std::string &host, int family);

class TNameLookup {
public:
  // Answers are delivered through receiver's event loop.
  explicit TNameLookup(QObject *receiver);
  ~TNameLookup();
  TNameLookup(const TNameLookup &) = delete;
  TNameLookup &operator=(const TNameLookup &) = delete;

  // Starts a lookup; a pending one is cancelled first.
  void Start(const std::string &host, int family, std::function<void(const TLookupResult &)> done);
  void Cancel();

private:
  struct TShared;
  std::shared_ptr<TShared> FShared;
};
