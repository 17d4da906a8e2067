#pragma once
// TLineList: an ordered list of "name=value" text lines, as used for the
// window's TopicList and PendingList.
//
// - The name of a line is the text before its first "=", the value the rest.
// - Names are matched without regard to case (Unicode case folding); lines
//   are sorted whole (name, "=" and value together) by the collator given at
//   construction, which by default is the user's locale, case-insensitive.
// - The list keeps its lines in blocks of a few hundred, and an index from
//   the hash of the case-folded name to line, so that lookups by name and
//   insertions or deletions at any position stay cheap with a hundred
//   thousand lines. The index holds no text of its own: a window watching
//   100,000 topics keeps one such list for its topics and one for the
//   messages waiting, and every byte per line counts twice.
//
// The list does not keep itself sorted; Sort() sorts it, and the
// SortedPosition()/Insert()/Put() trio lets a caller keep a sorted list
// sorted one line at a time.

#include <QCollator>
#include <QString>
#include <array>
#include <memory>
#include <unordered_map>
#include <vector>

class TLineList {
public:
  // The user's locale collation, case-insensitive.
  static QCollator DefaultCollator();

  explicit TLineList(const QCollator &aCollator = DefaultCollator());
  ~TLineList();
  TLineList(const TLineList &) = delete;
  TLineList &operator=(const TLineList &) = delete;

  // Text before the first "=" of a line (the whole line when it has none).
  static QString NameOf(const QString &aLine);
  // Text after the first "=" of a line (empty when it has none).
  static QString ValueOf(const QString &aLine);

  int Count() const { return FCount; }
  // The line at a position, 0 <= aIndex < Count(); throws std::out_of_range otherwise.
  const QString &Line(int aIndex) const;
  const QString &First() const { return Line(0); }
  QString Name(int aIndex) const { return NameOf(Line(aIndex)); }

  // Position of the first line whose name equals aName (case-insensitive), or -1.
  int IndexOfName(const QString &aName) const;
  // Value of the first line named aName; empty when there is none.
  QString Value(const QString &aName) const;
  // An empty aValue deletes the first line named aName (if any); otherwise that
  // line becomes aName + "=" + aValue in place (taking aName's letter case), or
  // that text is appended when no line has the name.
  void SetValue(const QString &aName, const QString &aValue);

  void Clear();
  void Delete(int aIndex);                       // 0 <= aIndex < Count()
  void Insert(int aIndex, const QString &aLine); // 0 <= aIndex <= Count()
  void Put(int aIndex, const QString &aLine);    // replaces the line at aIndex

  // Whole-line comparison by the list's collator (<0, 0, >0).
  int Compare(const QString &aLeft, const QString &aRight) const;
  // Sorts all lines by Compare (the order of lines that compare equal is kept).
  void Sort();
  // For a sorted list: the first position whose line does not sort before aLine.
  int SortedPosition(const QString &aLine) const;

private:
  struct TBlock;
  struct TEntry {
    QString Text;
    size_t KeyHash = 0; // of the case-folded name
    TBlock *Block = nullptr;
  };
  struct TBlock {
    std::vector<std::unique_ptr<TEntry>> Items;
    int Start = 0; // position of Items[0] in the list
    int Index = 0; // position of this block in FBlocks
  };

  struct TPlace {
    int BlockIndex;
    int Offset;
  };
  TPlace Locate(int aIndex) const;
  int PositionOf(const TEntry *aEntry) const;
  void Renumber(int aFromBlock);
  static QString KeyOf(const QString &aName) { return aName.toCaseFolded(); }
  static size_t HashOf(const QString &aKey);
  void AddKey(TEntry *aEntry);
  void RemoveKey(TEntry *aEntry);
  void Rebuild(std::vector<std::unique_ptr<TEntry>> &&aEntries);

  QCollator FCollator;
  std::vector<std::unique_ptr<TBlock>> FBlocks;
  // Lines whose names share a hash, equal or not; the names tell them apart.
  // The index is split by the hash's top bits: a part that grows rehashes
  // its own lines only. Whole, the index of 85,000 topics took 15 ms to
  // rehash, all in the one list update that crossed the threshold.
  using TIndexPart = std::unordered_multimap<size_t, TEntry *>;
  static constexpr int kIndexPartBits = 6;
  std::array<TIndexPart, 1 << kIndexPartBits> FIndex;
  TIndexPart &IndexPart(size_t aHash) { return FIndex[aHash >> (sizeof(size_t) * 8 - kIndexPartBits)]; }
  const TIndexPart &IndexPart(size_t aHash) const { return FIndex[aHash >> (sizeof(size_t) * 8 - kIndexPartBits)]; }
  int FCount = 0;
};
