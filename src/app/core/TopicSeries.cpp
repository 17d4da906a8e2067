#include "TopicSeries.h"

#include <algorithm>

void TTopicSeries::Append(std::int64_t aMsecs, double aValue)
{
  if (!FTimes.empty())
    aMsecs = std::max(aMsecs, FTimes.back());
  if (FTimes.size() % BlockSize == 0) {
    FBlockLow.push_back(aValue);
    FBlockHigh.push_back(aValue);
  } else {
    FBlockLow.back() = std::min(FBlockLow.back(), aValue);
    FBlockHigh.back() = std::max(FBlockHigh.back(), aValue);
  }
  FTimes.push_back(aMsecs);
  FValues.push_back(aValue);
}

void TTopicSeries::Reserve(std::size_t aPoints)
{
  if (aPoints <= FTimes.capacity())
    return;
  aPoints += aPoints / 16;
  FTimes.reserve(aPoints);
  FValues.reserve(aPoints);
  FBlockLow.reserve(aPoints / BlockSize + 1);
  FBlockHigh.reserve(aPoints / BlockSize + 1);
}

std::size_t TTopicSeries::LowerBound(std::int64_t aMsecs) const
{
  return std::size_t(std::lower_bound(FTimes.begin(), FTimes.end(), aMsecs) - FTimes.begin());
}

void TTopicSeries::Range(std::size_t aFirst, std::size_t aLast, double &aLow, double &aHigh) const
{
  std::size_t I = aFirst;
  for (; I < aLast && I % BlockSize != 0; ++I) {
    aLow = std::min(aLow, FValues[I]);
    aHigh = std::max(aHigh, FValues[I]);
  }
  for (; I + BlockSize <= aLast; I += BlockSize) {
    aLow = std::min(aLow, FBlockLow[I / BlockSize]);
    aHigh = std::max(aHigh, FBlockHigh[I / BlockSize]);
  }
  for (; I < aLast; ++I) {
    aLow = std::min(aLow, FValues[I]);
    aHigh = std::max(aHigh, FValues[I]);
  }
}

QList<QPointF> TTopicSeries::Decimate(std::int64_t aFrom, std::int64_t aTo, int aColumns, double &aLow,
                                      double &aHigh) const
{
  QList<QPointF> Points;
  if (FTimes.empty() || aTo < aFrom)
    return Points;
  aColumns = std::max(aColumns, 1);
  const std::size_t First = LowerBound(aFrom);
  const std::size_t Last = std::size_t(std::upper_bound(FTimes.begin(), FTimes.end(), aTo) - FTimes.begin());
  auto Point = [this](std::size_t I) { return QPointF(double(FTimes[I]), FValues[I]); };
  if (First > 0)
    Points.append(Point(First - 1));
  if (First < Last)
    Range(First, Last, aLow, aHigh);
  if (Last - First <= std::size_t(aColumns) * 4) {
    for (std::size_t I = First; I < Last; ++I)
      Points.append(Point(I));
  } else {
    const double Width = double(aTo - aFrom + 1) / aColumns;
    std::size_t Start = First;
    for (int Column = 0; Column < aColumns && Start < Last; ++Column) {
      const auto Edge = std::int64_t(double(aFrom) + Width * (Column + 1));
      const std::size_t End =
          Column + 1 == aColumns
              ? Last
              : std::size_t(std::lower_bound(FTimes.begin() + std::ptrdiff_t(Start),
                                             FTimes.begin() + std::ptrdiff_t(Last), Edge) -
                            FTimes.begin());
      if (End - Start <= 4) {
        for (std::size_t I = Start; I < End; ++I)
          Points.append(Point(I));
      } else {
        double Low = FValues[Start], High = Low;
        Range(Start, End, Low, High);
        const double Middle = double(FTimes[Start] + FTimes[End - 1]) / 2;
        Points.append(Point(Start));
        Points.append(QPointF(Middle, Low));
        Points.append(QPointF(Middle, High));
        Points.append(Point(End - 1));
      }
      Start = End;
    }
  }
  if (Last < FTimes.size())
    Points.append(Point(Last));
  return Points;
}

std::size_t TTopicSeries::Nearest(std::int64_t aMsecs) const
{
  if (FTimes.empty())
    return 0;
  const std::size_t After = LowerBound(aMsecs);
  if (After == 0)
    return 0;
  if (After == FTimes.size())
    return After - 1;
  return aMsecs - FTimes[After - 1] <= FTimes[After] - aMsecs ? After - 1 : After;
}
