#include <QSignalSpy>
#include <cmath>
#include <gtest/gtest.h>

#include "TopicSeries.h"
#include "TopicTableModel.h"
#include "TopicValues.h"

namespace {

TEST(TopicValues, numeric_fields_of_numbers_and_json_objects) {
  using F = std::vector<std::pair<QString, double>>;
  struct Case {
    QString Value;
    F Fields;
  };
  const Case cases[] = {
      {"21.5", F{{"value", 21.5}}},
      {" -3 ", F{{"value", -3}}},
      {"1e3", F{{"value", 1000}}},
      {"21,5", F{}},
      {"nan", F{}},
      {"inf", F{}},
      {"", F{}},
      {"hello", F{}},
      {"[1,2]", F{}},
      {R"({"t":21.5,"h":40,"name":"kitchen","ok":true,"n":null,"o":{"x":1}})", F{{"h", 40}, {"t", 21.5}}},
      {R"({"a":1)", F{}},
      {R"({})", F{}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Value.toStdString());
    EXPECT_EQ(NumericFields(c.Value), c.Fields);
  }
}

// Live values that come while the history loads wait for its end, so the
// series and the table stay in time order.
TEST(TopicValues, history_first_then_the_live_values_held_back) {
  TTopicValues values;
  values.BeginHistory();
  values.Add(5000, "5");
  EXPECT_EQ(values.Latest().Text, "5");
  THistoryChunk first;
  first.Values = {{1000, "1"}, {2000, "two"}};
  first.Series = {{"value", {{1000, 1}}}};
  values.AddHistory(std::move(first));
  THistoryChunk second;
  second.Values = {{3000, "3"}};
  second.Series = {{"value", {{3000, 3}}}};
  values.AddHistory(std::move(second));
  // The live value stays the latest while older ones load.
  EXPECT_EQ(values.Latest().Text, "5");
  values.Add(6000, "{\"value\":6}");
  values.EndHistory();

  std::vector<std::pair<std::int64_t, QString>> recent;
  for (const TTextValue &v : values.Recent())
    recent.emplace_back(v.Msecs, v.Text);
  EXPECT_EQ(recent, (std::vector<std::pair<std::int64_t, QString>>{
                        {1000, "1"}, {2000, "two"}, {3000, "3"}, {5000, "5"}, {6000, "{\"value\":6}"}}));
  ASSERT_EQ(values.SeriesNames(), std::vector<QString>{"value"});
  const TTopicSeries &series = values.Series(0);
  ASSERT_EQ(series.Size(), 4u);
  const std::int64_t times[] = {1000, 3000, 5000, 6000};
  const double numbers[] = {1, 3, 5, 6};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(series.Time(i), times[i]);
    EXPECT_EQ(series.Value(i), numbers[i]);
  }
  EXPECT_EQ(values.Latest().Text, "{\"value\":6}");
  EXPECT_FALSE(values.Loading());
}

TEST(TopicValues, keeps_the_last_thousand_texts_and_every_number) {
  TTopicValues values;
  for (int i = 0; i < 2500; ++i)
    values.Add(i, QString::number(i));
  EXPECT_EQ(values.Recent().size(), TTopicValues::RecentCount);
  EXPECT_EQ(values.Recent().front().Text, "1500");
  EXPECT_EQ(values.Recent().back().Text, "2499");
  EXPECT_EQ(values.Series(0).Size(), 2500u);
}

// Decimation draws a bounded number of points whatever the series' length,
// and loses no extreme: the spike of one point among a million shows.
TEST(TopicSeries, decimation_keeps_every_extreme_within_four_points_a_column) {
  struct Case {
    std::size_t Points;
    int Columns;
  };
  for (const Case c : {Case{10, 500}, Case{2000, 500}, Case{1'000'000, 500}, Case{1'000'000, 7}}) {
    SCOPED_TRACE(c.Points);
    TTopicSeries series;
    for (std::size_t i = 0; i < c.Points; ++i)
      series.Append(std::int64_t(i) * 10, std::sin(double(i) / 1000));
    const std::size_t spike = c.Points * 2 / 3;
    TTopicSeries spiked;
    for (std::size_t i = 0; i < c.Points; ++i)
      spiked.Append(std::int64_t(i) * 10, i == spike ? 50.0 : i == spike + 1 ? -50.0 : series.Value(i));
    double low = 1e300, high = -1e300;
    const QList<QPointF> points = spiked.Decimate(0, std::int64_t(c.Points) * 10, c.Columns, low, high);
    EXPECT_LE(std::size_t(points.size()), std::min(c.Points, std::size_t(c.Columns) * 4 + 2));
    EXPECT_EQ(low, -50.0);
    EXPECT_EQ(high, 50.0);
    EXPECT_TRUE(std::any_of(points.begin(), points.end(), [](const QPointF &p) { return p.y() == 50.0; }));
    EXPECT_TRUE(std::any_of(points.begin(), points.end(), [](const QPointF &p) { return p.y() == -50.0; }));
    for (qsizetype i = 1; i < points.size(); ++i)
      EXPECT_LE(points[i - 1].x(), points[i].x());
  }
}

TEST(TopicSeries, a_range_brings_its_neighbours_and_nearest_finds_the_closest_point) {
  TTopicSeries series;
  for (int i = 0; i < 10; ++i)
    series.Append(i * 100, i);
  double low = 1e300, high = -1e300;
  const QList<QPointF> points = series.Decimate(250, 550, 100, low, high);
  // 300, 400, 500 in range; 200 and 600 so the line reaches both edges.
  ASSERT_EQ(points.size(), 5);
  EXPECT_EQ(points.front(), QPointF(200, 2));
  EXPECT_EQ(points.back(), QPointF(600, 6));
  EXPECT_EQ(low, 3);
  EXPECT_EQ(high, 5);
  EXPECT_EQ(series.Nearest(-50), 0u);
  EXPECT_EQ(series.Nearest(449), 4u);
  EXPECT_EQ(series.Nearest(451), 5u);
  EXPECT_EQ(series.Nearest(5000), 9u);
  // A point older than the last one is placed at the last one's time.
  series.Append(50, 99);
  EXPECT_EQ(series.Time(10), 900);
}

// The table shows the newest value first and only learns of new ones in Sync.
TEST(TopicTableModel, rows_follow_the_values_newest_first) {
  TTopicValues values;
  TTopicTableModel model(values);
  QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
  QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
  values.Add(1000, "a");
  values.Add(2000, "b");
  EXPECT_EQ(model.rowCount(), 0);
  model.Sync();
  ASSERT_EQ(model.rowCount(), 2);
  EXPECT_EQ(model.data(model.index(0, 1)).toString(), "b");
  EXPECT_EQ(model.data(model.index(1, 1)).toString(), "a");
  EXPECT_EQ(model.data(model.index(0, 0)).toString(), TableTimeStamp(2000));
  for (int i = 0; i < 1200; ++i)
    values.Add(3000 + i, QString::number(i));
  model.Sync();
  EXPECT_EQ(model.rowCount(), 1000);
  // Every row changed twice over: reset; one new value: one row in at the top.
  EXPECT_EQ(reset.count(), 2);
  EXPECT_EQ(inserted.count(), 0);
  values.Add(9000, "last");
  model.Sync();
  EXPECT_EQ(inserted.count(), 1);
  EXPECT_EQ(reset.count(), 2);
  EXPECT_EQ(model.rowCount(), 1000);
  EXPECT_EQ(model.data(model.index(0, 1)).toString(), "last");
  EXPECT_EQ(model.data(model.index(999, 1)).toString(), "201");
  EXPECT_EQ(model.headerData(0, Qt::Horizontal).toString(), "Time");
}

} // namespace
