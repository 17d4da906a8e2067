#include "LineList.h"
#include "EnglishCollator.h"

#include <gtest/gtest.h>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

QStringList Lines(const TLineList &aList) {
  QStringList lines;
  for (int i = 0; i < aList.Count(); ++i)
    lines << aList.Line(i);
  return lines;
}

TEST(LineList, name_and_value_split_at_the_first_equals_sign) {
  struct Case {
    QString Line, Name, Value;
  };
  const Case cases[] = {
      {"a/b=3", "a/b", "3"},
      {"a=b=x", "a", "b=x"},
      {"a==x", "a", "=x"},
      {"=x", "", "x"},
      {"plain", "plain", ""},
      {"t=", "t", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Line.toStdString());
    EXPECT_EQ(TLineList::NameOf(c.Line), c.Name);
    EXPECT_EQ(TLineList::ValueOf(c.Line), c.Value);
  }
}

TEST(LineList, set_value_replaces_in_place_appends_or_deletes) {
  struct Step {
    QString Name, Value;
    QStringList After;
  };
  const Step steps[] = {
      {"a/b", "1", {"a/b=1"}},
      {"c", "2", {"a/b=1", "c=2"}},
      {"A/B", "3", {"A/B=3", "c=2"}},       // in place, in the new letter case
      {"x", "", {"A/B=3", "c=2"}},          // nothing to delete
      {"a/b", "", {"c=2"}},                 // deleted
      {"d", "=", {"c=2", "d=="}},
      {"c=2", "y", {"c=2", "d==", "c=2=y"}}, // a name never holds "=": no match
      {"Ünïcode", "1", {"c=2", "d==", "c=2=y", "Ünïcode=1"}},
      {"üNÏCODE", "2", {"c=2", "d==", "c=2=y", "üNÏCODE=2"}},
  };
  TLineList list(EnglishCollator());
  for (const Step &s : steps) {
    SCOPED_TRACE((s.Name + " <- " + s.Value).toStdString());
    list.SetValue(s.Name, s.Value);
    EXPECT_EQ(Lines(list), s.After);
  }
  EXPECT_EQ(list.Value("C"), "2"); // the first line named c, not "c=2=y"
  EXPECT_EQ(list.Value("D"), "=");
  EXPECT_EQ(list.Value("missing"), "");
  EXPECT_EQ(list.IndexOfName("ünïcode"), 3);
  EXPECT_EQ(list.IndexOfName("missing"), -1);
}

TEST(LineList, lookup_finds_the_first_of_lines_sharing_a_name) {
  TLineList list(EnglishCollator());
  list.Insert(0, "k=late");
  list.Insert(0, "other=1");
  list.Insert(0, "K=early");
  EXPECT_EQ(list.IndexOfName("k"), 0);
  EXPECT_EQ(list.Value("k"), "early");
  list.SetValue("k", "");
  EXPECT_EQ(Lines(list), (QStringList{"other=1", "k=late"}));
  EXPECT_EQ(list.Value("K"), "late");
}

TEST(LineList, sort_compares_whole_lines_case_insensitively_by_locale) {
  struct Case {
    const char *What;
    QStringList Input, Sorted;
  };
  const Case cases[] = {
      {"whole line, not name", {"a=1", "a/b=2"}, {"a/b=2", "a=1"}},
      {"case ignored", {"b=1", "A=2", "C=0"}, {"A=2", "b=1", "C=0"}},
      {"value decides between equal names", {"t=b", "t=A"}, {"t=A", "t=b"}},
      {"accented letter beside its base", {"f=1", "étage=1", "e=1"}, {"e=1", "étage=1", "f=1"}},
      {"digits by collation", {"x=10", "x=9", "x=1"}, {"x=1", "x=10", "x=9"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.What);
    TLineList list(EnglishCollator());
    for (const QString &line : c.Input)
      list.Insert(list.Count(), line);
    list.Sort();
    EXPECT_EQ(Lines(list), c.Sorted);
  }
}

TEST(LineList, positions_out_of_range_throw) {
  TLineList list(EnglishCollator());
  EXPECT_THROW(list.First(), std::out_of_range);
  EXPECT_THROW(list.Delete(0), std::out_of_range);
  EXPECT_THROW(list.Insert(1, "a=1"), std::out_of_range);
  list.Insert(0, "a=1");
  EXPECT_THROW(list.Line(1), std::out_of_range);
  EXPECT_THROW(list.Line(-1), std::out_of_range);
  EXPECT_THROW(list.Put(1, "b=2"), std::out_of_range);
  EXPECT_EQ(list.First(), "a=1");
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.IndexOfName("a"), -1);
}

// Thousands of random inserts, replacements and deletions across many blocks,
// checked line by line against a plain vector.
TEST(LineList, random_edits_match_a_plain_vector) {
  std::mt19937 random(7);
  TLineList list(EnglishCollator());
  std::vector<QString> expected;
  for (int step = 0; step < 30000; ++step) {
    const int size = int(expected.size());
    const int op = int(random() % 10);
    if (op < 5 || size == 0) {
      const int at = int(random() % (size + 1));
      const QString line = QStringLiteral("n%1=%2").arg(step).arg(random() % 100);
      list.Insert(at, line);
      expected.insert(expected.begin() + at, line);
    } else if (op < 7) {
      const int at = int(random() % size);
      const QString line = QStringLiteral("N%1=r").arg(step);
      list.Put(at, line);
      expected[at] = line;
    } else {
      // Deleting at the head now and then empties whole blocks, as PendingList does.
      const int at = op == 9 ? 0 : int(random() % size);
      list.Delete(at);
      expected.erase(expected.begin() + at);
    }
    if (step % 997 == 0 || step == 29999) {
      ASSERT_EQ(list.Count(), int(expected.size()));
      for (int i = 0; i < list.Count(); ++i) {
        ASSERT_EQ(list.Line(i), expected[i]) << "step " << step << " line " << i;
        ASSERT_EQ(list.IndexOfName(TLineList::NameOf(expected[i]).toLower()), i);
      }
    }
  }
}

TEST(LineList, sorted_position_keeps_a_sorted_list_sorted) {
  std::mt19937 random(11);
  TLineList list(EnglishCollator());
  for (int i = 0; i < 3000; ++i) {
    const QString line = QStringLiteral("s/%1/%2=v").arg(random() % 5000).arg(i % 2 ? "X" : "y");
    list.Insert(list.SortedPosition(line), line);
  }
  QStringList lines = Lines(list);
  const QCollator collator = EnglishCollator();
  std::stable_sort(lines.begin(), lines.end(),
                   [&](const QString &a, const QString &b) { return collator.compare(a, b) < 0; });
  EXPECT_EQ(Lines(list), lines);
  const QString name = TLineList::NameOf(lines[1234]);
  int first = 0;
  while (TLineList::NameOf(lines[first]).compare(name, Qt::CaseInsensitive) != 0)
    ++first;
  EXPECT_EQ(list.IndexOfName(name.toUpper()), first);
  EXPECT_EQ(list.SortedPosition("a"), 0);
  EXPECT_EQ(list.SortedPosition("zzz"), list.Count());
}

} // namespace
