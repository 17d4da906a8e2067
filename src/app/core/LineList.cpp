#include "LineList.h"

#include <QHashFunctions>
#include <QLocale>
#include <algorithm>
#include <stdexcept>

namespace {
// Blocks are split above this size and merged with a neighbour when small.
constexpr int kMaxBlock = 512;
constexpr int kMinBlock = kMaxBlock / 8;
} // namespace

QCollator TLineList::DefaultCollator() {
  QCollator collator{QLocale()};
  collator.setCaseSensitivity(Qt::CaseInsensitive);
  return collator;
}

TLineList::TLineList(const QCollator &aCollator) : FCollator(aCollator) {}

TLineList::~TLineList() = default;

QString TLineList::NameOf(const QString &aLine) {
  const qsizetype eq = aLine.indexOf(u'=');
  return eq < 0 ? aLine : aLine.left(eq);
}

QString TLineList::ValueOf(const QString &aLine) {
  const qsizetype eq = aLine.indexOf(u'=');
  return eq < 0 ? QString() : aLine.mid(eq + 1);
}

TLineList::TPlace TLineList::Locate(int aIndex) const {
  if (aIndex < 0 || aIndex >= FCount)
    throw std::out_of_range("TLineList: line index out of range");
  // The last block that starts at or before aIndex.
  auto it = std::upper_bound(FBlocks.begin(), FBlocks.end(), aIndex,
                             [](int index, const std::unique_ptr<TBlock> &block) {
                               return index < block->Start;
                             });
  const TBlock &block = **(it - 1);
  return {block.Index, aIndex - block.Start};
}

int TLineList::PositionOf(const TEntry *aEntry) const {
  const auto &items = aEntry->Block->Items;
  auto it = std::find_if(items.begin(), items.end(),
                         [aEntry](const std::unique_ptr<TEntry> &e) { return e.get() == aEntry; });
  return aEntry->Block->Start + int(it - items.begin());
}

void TLineList::Renumber(int aFromBlock) {
  int start = aFromBlock > 0 ? FBlocks[aFromBlock - 1]->Start + int(FBlocks[aFromBlock - 1]->Items.size()) : 0;
  for (int b = aFromBlock; b < int(FBlocks.size()); ++b) {
    FBlocks[b]->Index = b;
    FBlocks[b]->Start = start;
    start += int(FBlocks[b]->Items.size());
  }
}

size_t TLineList::HashOf(const QString &aKey) {
  // The process's random seed: topics come from the network.
  return qHash(aKey, QHashSeed::globalSeed());
}

void TLineList::AddKey(TEntry *aEntry) {
  aEntry->KeyHash = HashOf(KeyOf(NameOf(aEntry->Text)));
  IndexPart(aEntry->KeyHash).emplace(aEntry->KeyHash, aEntry);
}

void TLineList::RemoveKey(TEntry *aEntry) {
  TIndexPart &part = IndexPart(aEntry->KeyHash);
  auto [first, last] = part.equal_range(aEntry->KeyHash);
  for (auto it = first; it != last; ++it)
    if (it->second == aEntry) {
      part.erase(it);
      return;
    }
}

const QString &TLineList::Line(int aIndex) const {
  const TPlace place = Locate(aIndex);
  return FBlocks[place.BlockIndex]->Items[place.Offset]->Text;
}

int TLineList::IndexOfName(const QString &aName) const {
  const QString key = KeyOf(aName);
  const size_t hash = HashOf(key);
  auto [it, last] = IndexPart(hash).equal_range(hash);
  int first = -1;
  for (; it != last; ++it) {
    const TEntry *entry = it->second;
    if (KeyOf(NameOf(entry->Text)) != key)
      continue;
    const int position = PositionOf(entry);
    if (first < 0 || position < first)
      first = position;
  }
  return first;
}

QString TLineList::Value(const QString &aName) const {
  const int index = IndexOfName(aName);
  return index < 0 ? QString() : ValueOf(Line(index));
}

void TLineList::SetValue(const QString &aName, const QString &aValue) {
  const int index = IndexOfName(aName);
  if (aValue.isEmpty()) {
    if (index >= 0)
      Delete(index);
  } else if (index >= 0) {
    Put(index, aName + u'=' + aValue);
  } else {
    Insert(FCount, aName + u'=' + aValue);
  }
}

void TLineList::Clear() {
  FBlocks.clear();
  for (TIndexPart &part : FIndex)
    part.clear();
  FCount = 0;
}

void TLineList::Insert(int aIndex, const QString &aLine) {
  if (aIndex < 0 || aIndex > FCount)
    throw std::out_of_range("TLineList: insert position out of range");
  if (FBlocks.empty())
    FBlocks.push_back(std::make_unique<TBlock>());
  TPlace place;
  if (aIndex == FCount)
    place = {int(FBlocks.size()) - 1, int(FBlocks.back()->Items.size())};
  else
    place = Locate(aIndex);
  TBlock *block = FBlocks[place.BlockIndex].get();

  auto entry = std::make_unique<TEntry>();
  entry->Text = aLine;
  entry->Block = block;
  AddKey(entry.get());
  block->Items.insert(block->Items.begin() + place.Offset, std::move(entry));
  ++FCount;

  if (int(block->Items.size()) > kMaxBlock) {
    auto tail = std::make_unique<TBlock>();
    const auto middle = block->Items.begin() + kMaxBlock / 2;
    tail->Items.assign(std::make_move_iterator(middle), std::make_move_iterator(block->Items.end()));
    block->Items.erase(middle, block->Items.end());
    for (auto &moved : tail->Items)
      moved->Block = tail.get();
    FBlocks.insert(FBlocks.begin() + place.BlockIndex + 1, std::move(tail));
  }
  Renumber(place.BlockIndex);
}

void TLineList::Delete(int aIndex) {
  const TPlace place = Locate(aIndex);
  TBlock *block = FBlocks[place.BlockIndex].get();
  RemoveKey(block->Items[place.Offset].get());
  block->Items.erase(block->Items.begin() + place.Offset);
  --FCount;

  int first = place.BlockIndex;
  if (block->Items.empty()) {
    FBlocks.erase(FBlocks.begin() + place.BlockIndex);
  } else if (int(block->Items.size()) < kMinBlock && place.BlockIndex + 1 < int(FBlocks.size()) &&
             int(block->Items.size() + FBlocks[place.BlockIndex + 1]->Items.size()) <= kMaxBlock) {
    // Fold the next block into this one so that blocks do not dwindle.
    auto &next = FBlocks[place.BlockIndex + 1]->Items;
    for (auto &moved : next) {
      moved->Block = block;
      block->Items.push_back(std::move(moved));
    }
    FBlocks.erase(FBlocks.begin() + place.BlockIndex + 1);
  }
  if (first >= int(FBlocks.size()))
    first = int(FBlocks.size()) - 1;
  if (first >= 0)
    Renumber(first);
}

void TLineList::Put(int aIndex, const QString &aLine) {
  const TPlace place = Locate(aIndex);
  TEntry *entry = FBlocks[place.BlockIndex]->Items[place.Offset].get();
  RemoveKey(entry);
  entry->Text = aLine;
  AddKey(entry);
}

int TLineList::Compare(const QString &aLeft, const QString &aRight) const {
  return FCollator.compare(aLeft, aRight);
}

void TLineList::Rebuild(std::vector<std::unique_ptr<TEntry>> &&aEntries) {
  FBlocks.clear();
  const int half = kMaxBlock / 2;
  for (size_t i = 0; i < aEntries.size(); i += half) {
    auto block = std::make_unique<TBlock>();
    const size_t end = std::min(aEntries.size(), i + half);
    for (size_t j = i; j < end; ++j) {
      aEntries[j]->Block = block.get();
      block->Items.push_back(std::move(aEntries[j]));
    }
    FBlocks.push_back(std::move(block));
  }
  Renumber(0);
}

void TLineList::Sort() {
  std::vector<std::unique_ptr<TEntry>> entries;
  entries.reserve(FCount);
  for (auto &block : FBlocks)
    for (auto &entry : block->Items)
      entries.push_back(std::move(entry));
  std::stable_sort(entries.begin(), entries.end(),
                   [this](const std::unique_ptr<TEntry> &a, const std::unique_ptr<TEntry> &b) {
                     return Compare(a->Text, b->Text) < 0;
                   });
  Rebuild(std::move(entries));
}

int TLineList::SortedPosition(const QString &aLine) const {
  // First the block, by its last line, then the position inside it.
  auto block = std::partition_point(FBlocks.begin(), FBlocks.end(),
                                    [&](const std::unique_ptr<TBlock> &b) {
                                      return Compare(b->Items.back()->Text, aLine) < 0;
                                    });
  if (block == FBlocks.end())
    return FCount;
  const auto &items = (*block)->Items;
  auto item = std::partition_point(items.begin(), items.end(),
                                   [&](const std::unique_ptr<TEntry> &e) {
                                     return Compare(e->Text, aLine) < 0;
                                   });
  return (*block)->Start + int(item - items.begin());
}
