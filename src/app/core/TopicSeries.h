#pragma once
// One numeric series of a topic, in time order, and its decimation for a
// plot: per pixel column the first, smallest, largest and last point, so a
// plot of any number of points draws at most four per column and still shows
// every spike. The smallest and largest value of each block of points is kept
// as points are appended, so decimating a range of millions of points reads
// the blocks, not the points.

#include <QList>
#include <QPointF>
#include <cstdint>
#include <vector>

struct TSeriesPoint {
  std::int64_t Msecs;
  double Value;
};

class TTopicSeries {
public:
  static constexpr std::size_t BlockSize = 256;

  // Points come in time order; one older than the last is placed at the last's time.
  void Append(std::int64_t aMsecs, double aValue);
  std::size_t Size() const { return FTimes.size(); }
  // Room for aPoints points in all; a little more, so live values find room too.
  void Reserve(std::size_t aPoints);
  std::int64_t Time(std::size_t aIndex) const { return FTimes[aIndex]; }
  double Value(std::size_t aIndex) const { return FValues[aIndex]; }

  // The first point at or after aMsecs.
  std::size_t LowerBound(std::int64_t aMsecs) const;
  // The points of [aFrom, aTo] reduced to aColumns columns, plus the point on
  // either side of the range so that the line reaches the plot's edges; x is
  // the time in milliseconds since the epoch. Smallest and largest value of
  // the points in the range go to aLow and aHigh (left alone when there are
  // none).
  QList<QPointF> Decimate(std::int64_t aFrom, std::int64_t aTo, int aColumns, double &aLow, double &aHigh) const;
  // The point nearest to aMsecs in time; Size() when there is none.
  std::size_t Nearest(std::int64_t aMsecs) const;

private:
  // Smallest and largest value of the points [aFirst, aLast).
  void Range(std::size_t aFirst, std::size_t aLast, double &aLow, double &aHigh) const;

  std::vector<std::int64_t> FTimes;
  std::vector<double> FValues;
  std::vector<double> FBlockLow, FBlockHigh;
};
