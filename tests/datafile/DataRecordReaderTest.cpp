#include "DataRecordReader.h"

#include <QDateTime>
#include <gtest/gtest.h>
#include <vector>

#include "DataFile.h"

namespace {

// 2024-05-07T14:03:09.045-03:00 and one second later.
constexpr std::int64_t T0 = 1715101389045;
constexpr std::int64_t T1 = T0 + 1000;
const std::string S0 = "2024-05-07T14:03:09.045-03:00;";
const std::string S1 = "2024-05-07T14:03:10.045-03:00;";

struct TRead {
  std::vector<std::pair<std::int64_t, std::string>> Records;
  std::size_t Skipped = 0;
};

TRead ReadAll(std::string_view aBytes) {
  TRead Result;
  TDataRecordReader Reader(aBytes);
  TDataRecord Record;
  while (Reader.Next(Record))
    Result.Records.emplace_back(Record.MsecsSinceEpoch, Record.Value);
  Result.Skipped = Reader.Skipped();
  return Result;
}

TEST(DataRecordReader, records_plain_quoted_and_spanning_lines) {
  using R = std::vector<std::pair<std::int64_t, std::string>>;
  struct Case {
    const char *Name;
    std::string Bytes;
    R Records;
    std::size_t Skipped;
  };
  const Case cases[] = {
      {"plain lines", S0 + "21.5\r\n" + S1 + "22\r\n", R{{T0, "21.5"}, {T1, "22"}}, 0},
      {"empty file", "", R{}, 0},
      {"bare line feeds", S0 + "a\n" + S1 + "b\n", R{{T0, "a"}, {T1, "b"}}, 0},
      {"last line without its break", S0 + "a\r\n" + S1 + "b", R{{T0, "a"}, {T1, "b"}}, 0},
      {"an empty value", S0 + "\r\n", R{{T0, ""}}, 0},
      {"a raw ';' stays in the value", S0 + "a;b;c\r\n", R{{T0, "a;b;c"}}, 0},
      {"quoted with a line break and doubled quotes", S0 + "\"x\r\ny \"\"q\"\"\"\r\n" + S1 + "2\r\n",
       R{{T0, "x\r\ny \"q\""}, {T1, "2"}}, 0},
      {"quoted ';'", S0 + "\"a;b\"\r\n", R{{T0, "a;b"}}, 0},
      {"quoted value that starts with a quote", S0 + "\"\"\"hi\"\r\n", R{{T0, "\"hi"}}, 0},
      {"quoted line break that looks like a record", S0 + "\"one\r\n" + S1 + "two\"\r\n", R{{T0, "one\r\n" + S1 + "two"}},
       0},
      {"quoted at the end without a break", S0 + "\"a\"", R{{T0, "a"}}, 0},
      // Written before values were quoted: raw quotes and raw line breaks.
      {"raw value that starts with a quote", S0 + "\"a\" b\r\n" + S1 + "c\r\n", R{{T0, "\"a\" b"}, {T1, "c"}}, 0},
      {"raw quote never closed", S0 + "\"a\r\n" + S1 + "c\r\n", R{{T0, "\"a"}, {T1, "c"}}, 0},
      {"raw line breaks join the record before", S0 + "one\r\ntwo\r\nthree\r\n" + S1 + "4\r\n",
       R{{T0, "one\r\ntwo\r\nthree"}, {T1, "4"}}, 0},
      {"lines before the first record", "junk\r\nmore\r\n" + S0 + "1\r\n", R{{T0, "1"}}, 2},
      {"a stamp without ';' is no record", "2024-05-07T14:03:09.045-03:00 1\r\n" + S1 + "2\r\n", R{{T1, "2"}}, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    const TRead Read = ReadAll(c.Bytes);
    EXPECT_EQ(Read.Records, c.Records);
    EXPECT_EQ(Read.Skipped, c.Skipped);
  }
}

TEST(DataRecordReader, time_stamps_with_every_offset_and_bad_ones) {
  struct Case {
    const char *Stamp;
    std::optional<std::int64_t> Msecs;
  };
  const Case cases[] = {
      {"2024-05-07T14:03:09.045Z", 1715090589045},
      {"2024-05-07T14:03:09.045-03:00", 1715101389045},
      {"2024-05-07T22:33:09.045+05:30", 1715101389045},
      {"2024-11-03T01:30:00.000-04:00", 1730611800000},
      {"2024-11-03T01:30:00.000-05:00", 1730615400000},
      {"1969-12-31T23:59:59.999Z", -1},
      {"2024-02-29T00:00:00.000Z", 1709164800000},
      {"2024-13-01T00:00:00.000Z", std::nullopt},
      {"2024-05-07T24:00:00.000Z", std::nullopt},
      {"2024-05-07T14:03:09.045", std::nullopt},
      {"2024-05-07T14:03:09.045+0300", std::nullopt},
      {"2024-05-07 14:03:09.045Z", std::nullopt},
      {"2024-05-07T14:03:09,045Z", std::nullopt},
      {"2024-05-07T14:03:09.045Zx", std::nullopt},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Stamp);
    EXPECT_EQ(ParseDataTimeStamp(c.Stamp), c.Msecs);
  }
}

// What the writer writes today reads back as it was given.
TEST(DataRecordReader, reads_back_the_lines_the_writer_makes) {
  const auto Utf8 = TCodePage::Utf8();
  const QString Values[] = {"21.5", "{\"a\":1,\"b\":2}", "café", "", "x;y"};
  std::string Bytes;
  std::int64_t Moment = 1715101389045;
  for (const QString &Value : Values)
    Bytes += DataLine(Value, *Utf8, DataTimeStamp(QDateTime::fromMSecsSinceEpoch(Moment++)));
  const TRead Read = ReadAll(Bytes);
  ASSERT_EQ(Read.Records.size(), std::size(Values));
  for (std::size_t I = 0; I < std::size(Values); ++I) {
    EXPECT_EQ(Read.Records[I].first, 1715101389045 + std::int64_t(I));
    EXPECT_EQ(Utf8->ToUnicode(Read.Records[I].second), Values[I]);
  }
}

} // namespace
