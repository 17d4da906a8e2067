#pragma once
// The ordered list behind both stores. Entries keep the order they were added
// in, and can be reached by position, by packet identifier (oldest or newest
// entry with it) and by address. Every operation is O(log n) amortised, so a
// store holding tens of thousands of unacknowledged packets never turns an
// acknowledgement or a lookup into a scan.
//
// Layout: entries live in slots that are only ever appended; taking an entry
// out leaves an empty slot behind. A Fenwick tree over the slots counts the
// live ones, which turns a position into a slot and back. When empty slots
// outnumber live ones, the slots are compacted (order unchanged) and the
// indexes rebuilt. Each entry is indexed under the identifier it had when it
// entered the list; the owner must not change an entry's ID while it is listed.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

template <class T>
class TIndexedList {
public:
  int Count() const { return static_cast<int>(FCount); }

  T *Append(std::unique_ptr<T> item) {
    T *p = item.get();
    const std::size_t slot = FSlots.size();
    FSlots.push_back(std::move(item));
    GrowTree();
    FById[p->ID].push_back(slot);
    FSlotOf.emplace(p, slot);
    ++FCount;
    return p;
  }

  T *At(int index) const {
    if (index < 0 || index >= Count()) return nullptr;
    return FSlots[SlotOfRank(static_cast<std::size_t>(index))].get();
  }

  // Replaces the entry at index and hands the old one back; out of range, the
  // new entry is handed back untouched.
  std::unique_ptr<T> Replace(int index, std::unique_ptr<T> value) {
    if (index < 0 || index >= Count() || !value) return value;
    const std::size_t slot = SlotOfRank(static_cast<std::size_t>(index));
    std::unique_ptr<T> old = std::move(FSlots[slot]);
    Unindex(old.get(), slot);
    T *p = value.get();
    FSlots[slot] = std::move(value);
    auto &positions = FById[p->ID];
    positions.insert(std::upper_bound(positions.begin(), positions.end(), slot), slot);
    FSlotOf.emplace(p, slot);
    return old;
  }

  T *FirstWithID(std::uint16_t id) const {
    auto it = FById.find(id);
    return it == FById.end() ? nullptr : FSlots[it->second.front()].get();
  }

  T *LastWithID(std::uint16_t id) const {
    auto it = FById.find(id);
    return it == FById.end() ? nullptr : FSlots[it->second.back()].get();
  }

  bool HasID(std::uint16_t id) const { return FById.contains(id); }
  // How many different identifiers the entries carry.
  std::size_t DistinctIDs() const { return FById.size(); }

  // Takes the entry out of the list and hands it to the caller; null when the
  // entry is not listed.
  std::unique_ptr<T> Take(const T *item) {
    auto it = FSlotOf.find(item);
    if (it == FSlotOf.end()) return nullptr;
    const std::size_t slot = it->second;
    std::unique_ptr<T> out = std::move(FSlots[slot]);
    Unindex(out.get(), slot);
    TreeAdd(slot, -1);
    --FCount;
    ++FDead;
    if (FDead > 32 && FDead > FCount) Compact();
    return out;
  }

  // Frees every entry, first to last.
  void Clear() {
    for (auto &slot : FSlots) slot.reset();
    FSlots.clear();
    FTree.clear();
    FById.clear();
    FSlotOf.clear();
    FCount = FDead = 0;
  }

private:
  void Unindex(const T *p, std::size_t slot) {
    FSlotOf.erase(p);
    auto it = FById.find(p->ID);
    auto &positions = it->second;
    if (positions.back() == slot)
      positions.pop_back();
    else
      positions.erase(std::lower_bound(positions.begin(), positions.end(), slot));
    if (positions.empty()) FById.erase(it);
  }

  // Fenwick tree, 1-based inside FTree: node i covers positions (i - lowbit(i), i].
  static std::size_t LowBit(std::size_t i) { return i & (~i + 1); }

  std::size_t Prefix(std::size_t n) const { // live positions among the first n
    std::size_t sum = 0;
    for (; n > 0; n -= LowBit(n)) sum += FTree[n - 1];
    return sum;
  }

  void TreeAdd(std::size_t slot, int delta) {
    for (std::size_t i = slot + 1; i <= FTree.size(); i += LowBit(i))
      FTree[i - 1] = static_cast<std::size_t>(static_cast<long long>(FTree[i - 1]) + delta);
  }

  // Adds the node of the newest slot, which holds a live entry.
  void GrowTree() {
    const std::size_t i = FTree.size() + 1;
    FTree.push_back(1 + Prefix(i - 1) - Prefix(i - LowBit(i)));
  }

  std::size_t SlotOfRank(std::size_t rank) const { // rank is 0-based
    if (FDead == 0) return rank;
    std::size_t pos = 0, remaining = rank + 1;
    std::size_t step = 1;
    while (step * 2 <= FTree.size()) step *= 2;
    for (; step > 0; step /= 2) {
      if (pos + step <= FTree.size() && FTree[pos + step - 1] < remaining) {
        pos += step;
        remaining -= FTree[pos - 1];
      }
    }
    return pos; // the 0-based slot
  }

  void Compact() {
    std::vector<std::unique_ptr<T>> live;
    live.reserve(FCount);
    for (auto &slot : FSlots)
      if (slot) live.push_back(std::move(slot));
    FSlots = std::move(live);
    FTree.assign(FSlots.size(), 0);
    for (std::size_t i = 1; i <= FTree.size(); ++i) { // linear build
      FTree[i - 1] += 1;
      const std::size_t parent = i + LowBit(i);
      if (parent <= FTree.size()) FTree[parent - 1] += FTree[i - 1];
    }
    FById.clear();
    FSlotOf.clear();
    for (std::size_t slot = 0; slot < FSlots.size(); ++slot) {
      FById[FSlots[slot]->ID].push_back(slot);
      FSlotOf.emplace(FSlots[slot].get(), slot);
    }
    FDead = 0;
  }

  std::vector<std::unique_ptr<T>> FSlots;
  std::vector<std::size_t> FTree;
  std::unordered_map<std::uint16_t, std::vector<std::size_t>> FById;
  std::unordered_map<const T *, std::size_t> FSlotOf;
  std::size_t FCount = 0;
  std::size_t FDead = 0;
};
