#include "TopicListModel.h"
#include "EnglishCollator.h"

#include <QAbstractItemModelTester>
#include <gtest/gtest.h>
#include <random>

namespace {

QStringList Rows(const QAbstractItemModel &aModel) {
  QStringList rows;
  for (int i = 0; i < aModel.rowCount(); ++i)
    rows << aModel.data(aModel.index(i, 0)).toString();
  return rows;
}

// The topic-list update done the plain way: set the value in a list of lines
// (linear search by name), sort everything, keep the selected position.
class TPlainTopicList {
public:
  int Update(const QString &aTopic, const std::optional<QString> &aValue, int aSelected) {
    int p = aSelected;
    if (aValue) {
      int found = -1;
      for (int i = 0; i < FLines.size() && found < 0; ++i)
        if (TLineList::NameOf(FLines[i]).compare(aTopic, Qt::CaseInsensitive) == 0)
          found = i;
      if (aValue->isEmpty()) {
        if (found >= 0)
          FLines.removeAt(found);
      } else if (found >= 0) {
        FLines[found] = aTopic + '=' + *aValue;
      } else {
        FLines << aTopic + '=' + *aValue;
      }
    } else {
      p = -1;
      if (aSelected >= 0 && aSelected < FLines.size())
        FLines.removeAt(aSelected);
    }
    std::stable_sort(FLines.begin(), FLines.end(),
                     [this](const QString &a, const QString &b) { return FCollator.compare(a, b) < 0; });
    return p < FLines.size() ? p : -1;
  }
  const QStringList &Lines() const { return FLines; }

private:
  QCollator FCollator = EnglishCollator();
  QStringList FLines;
};

// Rebuilds the rows from the model's change signals alone, as a view does.
class TSignalMirror {
public:
  explicit TSignalMirror(const QAbstractItemModel &aModel) : FModel(aModel) {
    QObject::connect(&aModel, &QAbstractItemModel::rowsInserted, [this](const QModelIndex &, int first, int last) {
      for (int row = first; row <= last; ++row)
        FRows.insert(row, Text(row));
    });
    QObject::connect(&aModel, &QAbstractItemModel::rowsRemoved, [this](const QModelIndex &, int first, int last) {
      FRows.remove(first, last - first + 1);
    });
    QObject::connect(&aModel, &QAbstractItemModel::rowsMoved,
                     [this](const QModelIndex &, int first, int last, const QModelIndex &, int destination) {
                       ASSERT_EQ(first, last);
                       FRows.move(first, destination > first ? destination - 1 : destination);
                     });
    QObject::connect(&aModel, &QAbstractItemModel::dataChanged,
                     [this](const QModelIndex &from, const QModelIndex &to) {
                       for (int row = from.row(); row <= to.row(); ++row)
                         FRows[row] = Text(row);
                     });
    QObject::connect(&aModel, &QAbstractItemModel::modelReset, [this] { FRows = Rows(FModel); });
  }
  const QStringList &RowsSeen() const { return FRows; }

private:
  QString Text(int aRow) const { return FModel.data(FModel.index(aRow, 0)).toString(); }
  const QAbstractItemModel &FModel;
  QStringList FRows;
};

TEST(TopicListModel, updates_keep_lines_sorted_and_selection_on_its_position) {
  struct Step {
    const char *What;
    QString Topic;
    std::optional<QString> Value;
    int Selected;
    QStringList After;
    int NewSelection;
  };
  const Step steps[] = {
      {"subscribe on an empty list", "sensors/#", "[subscribed]", -1, {"sensors/#=[subscribed]"}, -1},
      {"a message sorts by whole line", "sensors/t1", "21.5", -1,
       {"sensors/#=[subscribed]", "sensors/t1=21.5"}, -1},
      {"a new line before the selection: the position stays", "alpha", "1", 1,
       {"alpha=1", "sensors/#=[subscribed]", "sensors/t1=21.5"}, 1},
      {"a new line after the selection", "zulu", "1", 0,
       {"alpha=1", "sensors/#=[subscribed]", "sensors/t1=21.5", "zulu=1"}, 0},
      // Accents count after letters and "=", so a value can move its line.
      {"an accented topic", "é", "m", 3,
       {"alpha=1", "é=m", "sensors/#=[subscribed]", "sensors/t1=21.5", "zulu=1"}, 3},
      {"its base letter", "E", "z", 1,
       {"alpha=1", "é=m", "E=z", "sensors/#=[subscribed]", "sensors/t1=21.5", "zulu=1"}, 1},
      {"a value that moves its line up, in the new letter case", "e", "a", 2,
       {"alpha=1", "e=a", "é=m", "sensors/#=[subscribed]", "sensors/t1=21.5", "zulu=1"}, 2},
      {"a value that moves its line down", "e", "n", 1,
       {"alpha=1", "é=m", "e=n", "sensors/#=[subscribed]", "sensors/t1=21.5", "zulu=1"}, 1},
      {"a value that keeps its place", "SENSORS/T1", "22", 4,
       {"alpha=1", "é=m", "e=n", "sensors/#=[subscribed]", "SENSORS/T1=22", "zulu=1"}, 4},
      {"a topic with \"=\" records the text before it", "b=c", "x", -1,
       {"alpha=1", "b=c=x", "é=m", "e=n", "sensors/#=[subscribed]", "SENSORS/T1=22", "zulu=1"}, -1},
      {"subscribing again marks the line", "sensors/t1", "[subscribed]", 2,
       {"alpha=1", "b=c=x", "é=m", "e=n", "sensors/#=[subscribed]", "sensors/t1=[subscribed]", "zulu=1"}, 2},
      {"removal deletes the selected line", "ignored", std::nullopt, 5,
       {"alpha=1", "b=c=x", "é=m", "e=n", "sensors/#=[subscribed]", "zulu=1"}, -1},
      {"removal without a selection does nothing", "alpha", std::nullopt, -1,
       {"alpha=1", "b=c=x", "é=m", "e=n", "sensors/#=[subscribed]", "zulu=1"}, -1},
      {"an empty value deletes by name; the position may vanish", "ZULU", "", 5,
       {"alpha=1", "b=c=x", "é=m", "e=n", "sensors/#=[subscribed]"}, -1},
      {"a single byte 0 is a value like any other", "nul", QString(QChar(u'\0')), 2,
       {"alpha=1", "b=c=x", "é=m", "e=n", "nul=" + QString(QChar(u'\0')), "sensors/#=[subscribed]"}, 2},
  };
  TTopicListModel model(nullptr, EnglishCollator());
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  TSignalMirror mirror(model);
  for (const Step &s : steps) {
    SCOPED_TRACE(s.What);
    EXPECT_EQ(model.UpdateTopic(s.Topic, s.Value, s.Selected), s.NewSelection);
    EXPECT_EQ(Rows(model), s.After);
    EXPECT_EQ(mirror.RowsSeen(), s.After);
  }
  model.Clear();
  EXPECT_EQ(model.rowCount(), 0);
  EXPECT_EQ(model.TopicList().Count(), 0);
  EXPECT_TRUE(mirror.RowsSeen().isEmpty());
}

// Random updates, removals and selections on many topics: the model, the
// rows its signals describe and the plain algorithm agree at every step.
TEST(TopicListModel, random_updates_agree_with_set_value_and_full_sort) {
  std::mt19937 random(3);
  TTopicListModel model(nullptr, EnglishCollator());
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  TSignalMirror mirror(model);
  TPlainTopicList plain;
  int moves = 0;
  QObject::connect(&model, &QAbstractItemModel::rowsMoved, [&moves] { ++moves; });
  // Accented and unaccented names interleave by value, so lines move.
  const QStringList stems{"e", "É", "è", "f"};
  for (int step = 0; step < 4000; ++step) {
    const int count = model.rowCount();
    const int selected = count > 0 && random() % 3 ? int(random() % count) : -1;
    const QString topic =
        stems[random() % 4] + (random() % 2 ? QStringLiteral("/%1").arg(random() % 100) : QString()) +
        (random() % 8 ? "" : "=k");
    std::optional<QString> value;
    const int kind = int(random() % 20);
    if (kind == 0)
      value = std::nullopt;
    else if (kind == 1)
      value = QString();
    else
      value = QStringLiteral("%1%2").arg(QChar(char16_t(u'a' + random() % 26))).arg(random() % 10);
    const int expectedSelection = plain.Update(topic, value, selected);
    ASSERT_EQ(model.UpdateTopic(topic, value, selected), expectedSelection) << "step " << step;
    ASSERT_EQ(Rows(model), plain.Lines()) << "step " << step;
    ASSERT_EQ(mirror.RowsSeen(), plain.Lines()) << "step " << step;
  }
  EXPECT_GT(model.rowCount(), 100);
  EXPECT_GT(moves, 50); // the run went through the move path, not only inserts

}

} // namespace
