// Creates, finds and acknowledges N QoS 1 packets in the client's packet store
// (identifier index beside the ordered list) and in a plain ordered list whose
// lookups scan it, as the stores would without an index. Prints the time per
// packet for growing N; a store that stays linear keeps its time per packet
// flat while the plain list's grows with N. Times are the thread's CPU time.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <numeric>
#include <random>
#include <vector>

#include "MQTTStores.h"

namespace {

// CPU time of this thread: the machine may be busy with other work.
double ThreadNs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e9 + ts.tv_nsec;
}

// The stores without an index: every lookup walks the list.
struct PlainStore {
  std::vector<std::unique_ptr<TMQTTPacket>> List;
  void AddPacket(std::uint16_t id, TByteStream &msg) {
    auto p = std::make_unique<TMQTTPacket>();
    p->ID = id;
    p->Msg.Write(msg.View());
    List.push_back(std::move(p));
  }
  TMQTTPacket *GetPacket(std::uint16_t id) {
    for (auto &p : List)
      if (p->ID == id) return p.get();
    return nullptr;
  }
  bool HasID(std::uint16_t id) { return GetPacket(id) != nullptr; }
  void DelPacket(std::uint16_t id) {
    for (auto it = List.rbegin(); it != List.rend(); ++it)
      if ((*it)->ID == id) {
        List.erase(std::next(it).base());
        return;
      }
  }
};

// One run: N identifiers chosen as NextMessageID would (skipping those in
// flight), N packets added, each found once, then all acknowledged in the
// given order. Returns nanoseconds per packet.
template <class Store>
double Run(int n, const std::vector<std::uint16_t> &ackOrder) {
  Store store;
  TByteStream packet(std::string(70, 'x'));
  const double t0 = ThreadNs();
  std::uint16_t next = 0;
  for (int i = 0; i < n; ++i) {
    do
      if (++next == 0) next = 1;
    while (store.HasID(next));
    store.AddPacket(next, packet);
  }
  std::size_t found = 0;
  for (int i = 1; i <= n; ++i) found += store.GetPacket(static_cast<std::uint16_t>(i)) != nullptr;
  for (auto id : ackOrder) store.DelPacket(id);
  const double ns = ThreadNs() - t0;
  if (found != static_cast<std::size_t>(n)) std::printf("lookup failure\n");
  return ns / n;
}

struct Indexed {
  TMQTTPacketStore S;
  void AddPacket(std::uint16_t id, TByteStream &msg) { S.AddPacket(id, msg, 0, 60); }
  TMQTTPacket *GetPacket(std::uint16_t id) { return S.GetPacket(id); }
  bool HasID(std::uint16_t id) { return S.HasID(id); }
  void DelPacket(std::uint16_t id) { S.DelPacket(id); }
};

} // namespace

int main(int argc, char **argv) {
  // "client_store_bench N": one run of the indexed store only, for profilers.
  if (argc == 2) {
    const int n = std::atoi(argv[1]);
    std::vector<std::uint16_t> acks(n);
    std::iota(acks.begin(), acks.end(), 1);
    std::printf("indexed %d: %.1f ns/pkt\n", n, Run<Indexed>(n, acks));
    return 0;
  }
  std::printf("%-10s %7s %14s %14s %10s\n", "order", "N", "indexed ns/pkt", "plain ns/pkt", "plain/indexed");
  for (const char *order : {"in-order", "shuffled"}) {
    double firstIndexed = 0, lastIndexed = 0, firstPlain = 0, lastPlain = 0;
    const std::vector<int> sizes = {6250, 12500, 25000, 50000};
    for (int n : sizes) {
      std::vector<std::uint16_t> acks(n);
      std::iota(acks.begin(), acks.end(), 1);
      if (order[0] == 's') std::shuffle(acks.begin(), acks.end(), std::mt19937(1));
      double indexed = 1e300;
      for (int rep = 0; rep < 3; ++rep) indexed = std::min(indexed, Run<Indexed>(n, acks));
      const double plain = Run<PlainStore>(n, acks);
      std::printf("%-10s %7d %14.1f %14.1f %10.1f\n", order, n, indexed, plain, plain / indexed);
      if (n == sizes.front()) firstIndexed = indexed, firstPlain = plain;
      lastIndexed = indexed, lastPlain = plain;
    }
    // Time per packet at 50,000 over time per packet at 6,250: 1 for linear total cost, 8 for quadratic.
    std::printf("%s growth of time per packet, 8x more packets: indexed %.2f, plain %.2f\n", order,
                lastIndexed / firstIndexed, lastPlain / firstPlain);
  }
}
