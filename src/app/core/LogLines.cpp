#include "LogLines.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace {

constexpr std::size_t kChunkBytes = 64 * 1024;

bool FitsLatin1(QStringView aText)
{
  return std::all_of(aText.begin(), aText.end(), [](QChar C) { return C.unicode() <= 0xFF; });
}

} // namespace

char *TLogLines::Reserve(std::size_t aBytes, std::uint32_t &aChunk, std::uint32_t &aOffset)
{
  if (FChunks.empty() || std::size_t(FChunks.back().capacity() - FChunks.back().size()) < aBytes) {
    FChunks.emplace_back();
    FChunks.back().reserve(qsizetype(std::max(kChunkBytes, aBytes)));
  }
  QByteArray &Chunk = FChunks.back();
  aChunk = std::uint32_t(FChunks.size() - 1);
  aOffset = std::uint32_t(Chunk.size());
  // Within the capacity reserved above: the chunk's data never moves.
  Chunk.resize(Chunk.size() + qsizetype(aBytes));
  return Chunk.data() + aOffset;
}

void TLogLines::Append(QStringView aLine)
{
  if (std::size_t(aLine.size()) > std::numeric_limits<std::int32_t>::max() / 2)
    throw std::length_error("log line too long");
  TLine Line{};
  Line.Length = std::uint32_t(aLine.size());
  Line.Wide = !FitsLatin1(aLine);
  const std::size_t Bytes = std::size_t(aLine.size()) * (Line.Wide ? 2 : 1);
  char *To = Reserve(Bytes, Line.Chunk, Line.Offset);
  if (Line.Wide)
    std::memcpy(To, aLine.utf16(), Bytes);
  else
    std::transform(aLine.begin(), aLine.end(), To, [](QChar C) { return char(C.unicode()); });
  FLines.push_back(Line);
}

void TLogLines::Clear()
{
  // Swapped with empty ones: clear() would keep the capacity.
  std::vector<QByteArray>().swap(FChunks);
  std::vector<TLine>().swap(FLines);
}

void TLogLines::KeepLast(qsizetype aCount, QStringView aFirst)
{
  TLogLines Kept;
  Kept.FLines.reserve(std::size_t(aCount) + 1);
  Kept.Append(aFirst);
  for (qsizetype I = std::max<qsizetype>(0, Count() - aCount); I < Count(); ++I)
    Kept.Append(Line(I));
  std::swap(FChunks, Kept.FChunks);
  std::swap(FLines, Kept.FLines);
}

QString TLogLines::Line(qsizetype aIndex) const
{
  const TLine &Line = FLines.at(std::size_t(aIndex));
  const char *From = FChunks[Line.Chunk].constData() + Line.Offset;
  if (!Line.Wide)
    return QString::fromLatin1(From, qsizetype(Line.Length));
  // Copied byte by byte: a wide line may start at an odd offset.
  QString Wide(qsizetype(Line.Length), Qt::Uninitialized);
  std::memcpy(Wide.data(), From, std::size_t(Line.Length) * 2);
  return Wide;
}

QString TLogLines::Text() const
{
  QString All;
  for (qsizetype I = 0; I < Count(); ++I) {
    if (I > 0)
      All += QLatin1Char('\n');
    All += Line(I);
  }
  return All;
}
