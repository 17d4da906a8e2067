#pragma once
// The values of one topic as its topic window keeps them: the recent ones as
// text with their time stamps, and every numeric field as a series of
// (time, number) points for the plot. A value is numeric when it is a plain
// number (series "value") or a JSON object, whose numeric members are a
// series each, named after the member.
//
// History from the topic's data file comes first, in chunks, while live
// values keep arriving: those are held back until the history is complete,
// so that every series stays in time order.

#include <QString>
#include <cstdint>
#include <deque>
#include <vector>

#include "TopicSeries.h"

// The numeric fields of a value: ("value", x) for a plain number, the numeric
// members of a JSON object, nothing for anything else.
std::vector<std::pair<QString, double>> NumericFields(const QString &aValue);

struct TTextValue {
  std::int64_t Msecs = 0;
  QString Text;
};

// A piece of history, oldest first: every value for the table, the numeric
// ones for the series.
struct THistoryChunk {
  std::vector<TTextValue> Values; // at most the last TTopicValues::RecentCount of the chunk
  std::vector<std::pair<QString, std::vector<TSeriesPoint>>> Series;
  // Records the whole file is expected to hold, judged from what was read
  // so far: room is made once instead of growing the series step by step.
  std::size_t ExpectedRecords = 0;
};

class TTopicValues {
public:
  static constexpr std::size_t RecentCount = 1000;

  // A live value.
  void Add(std::int64_t aMsecs, const QString &aText);
  void BeginHistory() { FLoading = true; }
  void AddHistory(THistoryChunk &&aChunk);
  // The held-back live values follow the history.
  void EndHistory();
  bool Loading() const { return FLoading; }

  // The latest live value (the history's last one until a live one comes).
  const TTextValue &Latest() const { return FLatest; }
  bool HasLatest() const { return FHasLatest; }
  // The last RecentCount values, oldest first.
  const std::deque<TTextValue> &Recent() const { return FRecent; }
  // Values ever added to the end of Recent (history, then live); tells a
  // view what is new.
  std::uint64_t Added() const { return FAdded; }

  const std::vector<QString> &SeriesNames() const { return FNames; }
  const TTopicSeries &Series(std::size_t aIndex) const { return FSeries[aIndex]; }
  bool Numeric() const { return !FSeries.empty(); }

private:
  void Keep(std::int64_t aMsecs, const QString &aText);
  TTopicSeries &SeriesNamed(const QString &aName);

  std::deque<TTextValue> FRecent;
  std::vector<TTextValue> FHeldBack;
  std::vector<QString> FNames;
  std::deque<TTopicSeries> FSeries;
  TTextValue FLatest;
  bool FHasLatest = false;
  bool FLiveLatest = false;
  bool FLoading = false;
  std::uint64_t FAdded = 0;
};
