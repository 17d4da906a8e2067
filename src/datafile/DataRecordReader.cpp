#include "DataRecordReader.h"

#include <tuple>

namespace {

// "yyyy-MM-ddTHH:mm:ss.zzz" and the shortest and longest offsets.
constexpr std::size_t StampBase = 23;

bool Digits(std::string_view aText, std::size_t aPos, std::size_t aCount, int &aValue)
{
  aValue = 0;
  for (std::size_t I = aPos; I < aPos + aCount; ++I) {
    const char C = aText[I];
    if (C < '0' || C > '9')
      return false;
    aValue = aValue * 10 + (C - '0');
  }
  return true;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t aYear, int aMonth, int aDay)
{
  aYear -= aMonth <= 2;
  const std::int64_t Era = (aYear >= 0 ? aYear : aYear - 399) / 400;
  const std::int64_t YearOfEra = aYear - Era * 400;
  const std::int64_t DayOfYear = (153 * (aMonth + (aMonth > 2 ? -3 : 9)) + 2) / 5 + aDay - 1;
  const std::int64_t DayOfEra = YearOfEra * 365 + YearOfEra / 4 - YearOfEra / 100 + DayOfYear;
  return Era * 146097 + DayOfEra - 719468;
}

// The stamp at the start of aText and its length (0 when there is none).
std::size_t StampPrefix(std::string_view aText, std::int64_t &aMsecs)
{
  if (aText.size() < StampBase + 1)
    return 0;
  int Y, Mo, D, H, Mi, S, Ms;
  if (!Digits(aText, 0, 4, Y) || aText[4] != '-' || !Digits(aText, 5, 2, Mo) || aText[7] != '-' ||
      !Digits(aText, 8, 2, D) || aText[10] != 'T' || !Digits(aText, 11, 2, H) || aText[13] != ':' ||
      !Digits(aText, 14, 2, Mi) || aText[16] != ':' || !Digits(aText, 17, 2, S) || aText[19] != '.' ||
      !Digits(aText, 20, 3, Ms))
    return 0;
  if (Mo < 1 || Mo > 12 || D < 1 || D > 31 || H > 23 || Mi > 59 || S > 60)
    return 0;
  std::size_t Length = StampBase;
  int OffsetMinutes = 0;
  if (aText[StampBase] == 'Z') {
    Length += 1;
  } else if (aText[StampBase] == '+' || aText[StampBase] == '-') {
    int OH, OM;
    if (aText.size() < StampBase + 6 || !Digits(aText, StampBase + 1, 2, OH) || aText[StampBase + 3] != ':' ||
        !Digits(aText, StampBase + 4, 2, OM) || OH > 23 || OM > 59)
      return 0;
    OffsetMinutes = (OH * 60 + OM) * (aText[StampBase] == '-' ? -1 : 1);
    Length += 6;
  } else {
    return 0;
  }
  const std::int64_t Seconds = DaysFromCivil(Y, Mo, D) * 86400 + H * 3600 + Mi * 60 + S - OffsetMinutes * 60;
  aMsecs = Seconds * 1000 + Ms;
  return Length;
}

} // namespace

std::optional<std::int64_t> ParseDataTimeStamp(std::string_view aText)
{
  std::int64_t Msecs = 0;
  // The prefix needs one byte past the stamp to tell its end; a bare stamp gets one.
  const std::string Padded = std::string(aText) + ' ';
  if (StampPrefix(Padded, Msecs) != aText.size())
    return std::nullopt;
  return Msecs;
}

std::size_t TDataRecordReader::RecordStartAt(std::size_t aPos, std::int64_t &aMsecs) const
{
  const std::string_view Rest = FBytes.substr(aPos);
  const std::size_t Length = StampPrefix(Rest, aMsecs);
  return Length > 0 && Length < Rest.size() && Rest[Length] == ';' ? Length + 1 : 0;
}

std::pair<std::size_t, std::size_t> TDataRecordReader::LineAt(std::size_t aPos) const
{
  const std::size_t Feed = FBytes.find('\n', aPos);
  if (Feed == std::string_view::npos)
    return {FBytes.size(), FBytes.size()};
  const std::size_t End = Feed > aPos && FBytes[Feed - 1] == '\r' ? Feed - 1 : Feed;
  return {End, Feed + 1};
}

// A quoted field ends at a lone quote followed by the line's end; anything
// else (no closing quote, text after it) is not a quoted field, and the value
// is read raw as an older file holds it.
bool TDataRecordReader::QuotedValue(std::size_t aStart, TDataRecord &aRecord)
{
  std::string Value;
  std::size_t I = aStart + 1;
  for (;;) {
    const std::size_t Quote = FBytes.find('"', I);
    if (Quote == std::string_view::npos)
      return false;
    Value.append(FBytes.substr(I, Quote - I));
    if (Quote + 1 < FBytes.size() && FBytes[Quote + 1] == '"') {
      Value += '"';
      I = Quote + 2;
      continue;
    }
    const std::size_t After = Quote + 1;
    std::size_t Next;
    if (After == FBytes.size())
      Next = After;
    else if (FBytes[After] == '\n')
      Next = After + 1;
    else if (FBytes[After] == '\r' && After + 1 < FBytes.size() && FBytes[After + 1] == '\n')
      Next = After + 2;
    else if (FBytes[After] == '\r' && After + 1 == FBytes.size())
      Next = After + 1;
    else
      return false;
    aRecord.Value = std::move(Value);
    FPos = Next;
    return true;
  }
}

bool TDataRecordReader::Next(TDataRecord &aRecord)
{
  while (FPos < FBytes.size()) {
    std::int64_t Msecs = 0;
    const std::size_t Head = RecordStartAt(FPos, Msecs);
    if (Head == 0) {
      ++FSkipped;
      FPos = LineAt(FPos).second;
      continue;
    }
    aRecord.MsecsSinceEpoch = Msecs;
    const std::size_t Start = FPos + Head;
    if (Start < FBytes.size() && FBytes[Start] == '"' && QuotedValue(Start, aRecord))
      return true;
    // A raw value runs to the end of its line, and on over every line that
    // starts no record.
    auto [End, Next] = LineAt(Start);
    std::int64_t Ignored;
    while (Next < FBytes.size() && RecordStartAt(Next, Ignored) == 0)
      std::tie(End, Next) = LineAt(Next);
    aRecord.Value.assign(FBytes.substr(Start, End - Start));
    FPos = Next;
    return true;
  }
  return false;
}
