#pragma once
// The lines of the log box, kept compactly: a window that logs every received
// message holds a hundred thousand lines and more, and keeps every one until
// the user clears the log or the log's bound drops it. A line costs its characters (one byte each when
// they all fit in Latin-1, as time stamps and most topics do; two otherwise)
// and twelve bytes of index. The text lives in large chunks that are filled
// one after the other and never moved, so appending never copies what is
// already stored.

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <cstdint>
#include <vector>

class TLogLines {
public:
  void Append(QStringView aLine);
  void Clear();
  // Keeps the last aCount lines behind aFirst, in fresh chunks: the memory of
  // the lines dropped goes back.
  void KeepLast(qsizetype aCount, QStringView aFirst);
  qsizetype Count() const { return qsizetype(FLines.size()); }
  QString Line(qsizetype aIndex) const;
  qsizetype Length(qsizetype aIndex) const { return qsizetype(FLines.at(std::size_t(aIndex)).Length); }
  // Every line, each but the last followed by "\n".
  QString Text() const;

private:
  struct TLine {
    std::uint32_t Chunk;
    std::uint32_t Offset;
    std::uint32_t Length : 31; // in characters
    std::uint32_t Wide : 1;    // stored as UTF-16, not Latin-1
  };
  // Room in the chunk being filled, in bytes.
  char *Reserve(std::size_t aBytes, std::uint32_t &aChunk, std::uint32_t &aOffset);

  std::vector<QByteArray> FChunks;
  std::vector<TLine> FLines;
};
