#pragma once
// Reads the records of a data file (DataFile.h) back: "<time stamp>;<value>"
// and a line break (CR LF as written; a bare LF is taken too). A value that
// holds a line break or a ";", or starts with '"', is written as one quoted
// field with its inner quotes doubled, so a record may span lines. Files
// written before values were quoted hold such values raw: a line that does
// not start with a time stamp and ";" belongs to the value of the record
// before it, line break included.
//
// Works on the bytes of a whole file in memory (a mapped file), from the
// start or from any position: no copy of the file, and a value is copied only
// when it is handed out.
//
//   TDataRecordReader Reader(Bytes);
//   TDataRecord Record;
//   while (Reader.Next(Record)) ... Record.MsecsSinceEpoch, Record.Value ...

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct TDataRecord {
  std::int64_t MsecsSinceEpoch = 0;
  std::string Value; // the value's bytes, in the code page the file was written in
};

class TDataRecordReader {
public:
  explicit TDataRecordReader(std::string_view aBytes) : FBytes(aBytes) {}

  // The next record; false at the end of the bytes.
  bool Next(TDataRecord &aRecord);
  // Where the next record starts.
  std::size_t Position() const { return FPos; }
  // Lines that were no record and followed no record (a file that starts
  // with something else, or another file altogether).
  std::size_t Skipped() const { return FSkipped; }

private:
  // The length of the time stamp and ";" that start at aPos, 0 when none does.
  std::size_t RecordStartAt(std::size_t aPos, std::int64_t &aMsecs) const;
  // The end of the line that starts at aPos (the position of its line break
  // or of the end), and where the next line starts.
  std::pair<std::size_t, std::size_t> LineAt(std::size_t aPos) const;
  bool QuotedValue(std::size_t aStart, TDataRecord &aRecord);

  std::string_view FBytes;
  std::size_t FPos = 0;
  std::size_t FSkipped = 0;
};

// A data-file time stamp ("2024-05-07T14:03:09.045-03:00", "...Z") as
// milliseconds since the epoch; nothing when aText is not one.
std::optional<std::int64_t> ParseDataTimeStamp(std::string_view aText);
