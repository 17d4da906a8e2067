// The topic windows of the real program under Xvfb with a real mosquitto:
// opened from the topic list with a double click or Enter (a filter's line
// opens none), their plots drawing each new value with no input, a text topic
// with its table alone, the history of a data file shown before any live
// value.

#include <QCoreApplication>
#include <QDateTime>
#include <QTimeZone>
#include <QDir>
#include <QFile>
#include <QThread>
#include <gtest/gtest.h>

#include "WindowSteps.h"

namespace {

// Row r of the topic list, in the main window's coordinates.
QPoint TopicRow(int aRow) { return {Area::Topics.left() + 100, Area::Topics.top() + aRow * 13 + 6}; }

QString TopicTitle(const QString &aTopic) { return aTopic + " - Vyr MQTT Client"; }

// Where a topic window placed by Place() draws its plot and its table.
const QRect PlotArea(11, 30, 358, 168);
const QRect TableArea(11, 215, 358, 120);
// The plot's first two series colours.
const QColor FirstSeries(0x20, 0x9f, 0xdf);
const QColor SecondSeries(0x99, 0xca, 0x53);

// Pixels of a colour close to aColour inside aRegion.
int PixelsNear(const QImage &aShot, const QRect &aRegion, QColor aColour) {
  int count = 0;
  const QRect area = aRegion.intersected(aShot.rect());
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x) {
      const QColor c = aShot.pixelColor(x, y);
      if (std::abs(c.red() - aColour.red()) + std::abs(c.green() - aColour.green()) +
              std::abs(c.blue() - aColour.blue()) < 60)
        ++count;
    }
  return count;
}

class TopicWindow : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(app.Start()) << app.Failure().toStdString();
    // The main window in the top left corner, the topic windows beside it.
    ASSERT_EQ(app.Tool("xdotool", {"windowmove", "--sync", app.WindowId(), "0", "0"}), 0);
    ASSERT_TRUE(ConnectWithKeyboard(app, broker, "Vyr-plot"));
    ASSERT_TRUE(SubscribeWithKeyboard(app, broker, "plot/#", 0));
  }
  // Topic window aWindow beside the main window, in the upper or lower place.
  void Place(const QString &aWindow, int aPlace) {
    ASSERT_EQ(app.Tool("xdotool", {"windowsize", "--sync", aWindow, "380", "380"}), 0);
    ASSERT_EQ(app.Tool("xdotool", {"windowmove", "--sync", aWindow, "644", QString::number(aPlace * 388)}), 0);
  }
  // The topic's window, opened from list row aRow, placed; "" when none opens.
  QString OpenWithDoubleClick(int aRow, const QString &aTopic, int aPlace) {
    if (!app.DoubleClick(TopicRow(aRow)))
      return {};
    const QString window = app.FindWindow(TopicTitle(aTopic), 20);
    if (!window.isEmpty())
      Place(window, aPlace);
    return window;
  }
  void Publish(const QString &aTopic, const QString &aValue) {
    ASSERT_TRUE(PublishTo(broker, {"-t", aTopic, "-m", aValue}));
  }
  // Waits until the list has aRows lines: the row below the last stays empty.
  void WaitForRows(int aRows) {
    ASSERT_TRUE(WaitUntil(
        [&] {
          QImage shot;
          app.WaitForStill(Area::Topics, 10, &shot);
          const QRect row(Area::Topics.left() + 2, TopicRow(aRows - 1).y() - 4, 150, 8);
          return PixelsNear(shot, row, Qt::white) < row.width() * row.height() * 9 / 10;
        },
        30));
  }
  // Each of aValues, published in turn, changes the plot of aWindow without input.
  void EachValueChangesThePlot(const QString &aWindow, const QString &aTopic, const QStringList &aValues) {
    for (const QString &value : aValues) {
      SCOPED_TRACE(value.toStdString());
      QImage before;
      ASSERT_TRUE(WaitUntil([&] { return !(before = app.ShotOf(aWindow)).isNull(); }, 10));
      Publish(aTopic, value);
      EXPECT_TRUE(WaitUntil([&] { return !TXvfbProgram::SameRegion(before, app.ShotOf(aWindow), PlotArea); }, 20));
    }
  }
  void SaveShot(const QString &aWindow, const QString &aName) {
    app.ShotOf(aWindow).save(QDir(QCoreApplication::applicationDirPath()).filePath(aName));
  }

  TestBroker broker;
  TXvfbProgram app{VYR_MQTT_PROGRAM};
};

TEST_F(TopicWindow, opened_from_the_list_plots_numbers_and_json_fields_and_shows_text_as_a_table) {
  Publish("plot/num", "1");
  Publish("plot/json", R"({"a":1,"b":9,"name":"x"})");
  Publish("plot/text", "hello");
  // Rows: plot/#=[subscribed], plot/json, plot/num, plot/text.
  WaitForRows(4);

  // The filter's line opens nothing.
  ASSERT_TRUE(app.DoubleClick(TopicRow(0)));
  EXPECT_TRUE(app.FindWindow(TopicTitle("plot/#"), 3).isEmpty());

  // A double click opens the number's window: one series, drawn anew for each value.
  const QString num = OpenWithDoubleClick(2, "plot/num", 0);
  ASSERT_FALSE(num.isEmpty());
  EachValueChangesThePlot(num, "plot/num", {"4", "2", "8"});
  EXPECT_GT(PixelsNear(app.ShotOf(num), PlotArea, FirstSeries), 40);

  // Enter on the selected line opens the JSON topic's window: a series per numeric field.
  ASSERT_TRUE(app.Click(TopicRow(1)));
  ASSERT_EQ(app.Tool("xdotool", {"windowfocus", "--sync", app.WindowId()}), 0);
  ASSERT_TRUE(app.Keys({"Return"}));
  const QString json = app.FindWindow(TopicTitle("plot/json"), 20);
  ASSERT_FALSE(json.isEmpty());
  Place(json, 1);
  EachValueChangesThePlot(json, "plot/json", {R"({"a":2,"b":7})", R"({"a":4,"b":3})", R"({"a":3,"b":5})"});
  const QImage jsonShot = app.ShotOf(json);
  // Below the two series' switches.
  const QRect jsonPlot = PlotArea.adjusted(0, 24, 0, 0);
  EXPECT_GT(PixelsNear(jsonShot, jsonPlot, FirstSeries), 40);
  EXPECT_GT(PixelsNear(jsonShot, jsonPlot, SecondSeries), 40);
  SaveShot(json, "topic_window_json.png");

  // Opening again raises the same window, no second one.
  ASSERT_TRUE(app.DoubleClick(TopicRow(2)));
  QString all;
  ASSERT_EQ(app.Tool("xdotool", {"search", "--onlyvisible", "--name", "^plot/num - "}, &all), 0);
  EXPECT_EQ(all.split('\n').size(), 1);

  // A window closes on its own (Escape), the others stay.
  ASSERT_EQ(app.Tool("xdotool", {"windowfocus", "--sync", num}), 0);
  ASSERT_TRUE(app.Keys({"Escape"}));
  EXPECT_TRUE(WaitUntil([&] { return app.Tool("xdotool", {"search", "--onlyvisible", "--name", "^plot/num - "}) != 0; }, 10));
  EXPECT_FALSE(app.FindWindow(TopicTitle("plot/json"), 1).isEmpty());

  // A text topic: the table, no plot.
  const QString text = OpenWithDoubleClick(3, "plot/text", 0);
  ASSERT_FALSE(text.isEmpty());
  QImage before = app.ShotOf(text);
  Publish("plot/text", "world");
  QImage after;
  EXPECT_TRUE(WaitUntil([&] { return !TXvfbProgram::SameRegion(before, after = app.ShotOf(text), QRect(0, 0, 380, 100)); }, 20));
  EXPECT_EQ(PixelsNear(after, QRect(0, 0, 380, 380), FirstSeries), 0);
  SaveShot(text, "topic_window_text.png");
}

TEST_F(TopicWindow, history_from_the_data_file_comes_before_any_live_value) {
  // Two hours of values a second apart, in the file the window saves to.
  QFile file(app.FilePath("plot-hist.csv"));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  const qint64 start = QDateTime::currentMSecsSinceEpoch() - 7200 * 1000;
  for (int i = 0; i < 7200; ++i)
    file.write((QDateTime::fromMSecsSinceEpoch(start + i * 1000, Qt::UTC).toString("yyyy-MM-ddTHH:mm:ss.zzz") +
                "Z;" + QString::number(i % 100) + "\r\n")
                   .toUtf8());
  file.close();
  Publish("plot/hist", "50");
  WaitForRows(2);
  const QString hist = OpenWithDoubleClick(1, "plot/hist", 0);
  ASSERT_FALSE(hist.isEmpty());
  QImage shot;
  // With no new value the plot shows the history, and the table its last values.
  EXPECT_TRUE(WaitUntil([&] { return PixelsNear(shot = app.ShotOf(hist), PlotArea, FirstSeries) > 200; }, 30));
  EXPECT_LT(PixelsNear(shot, TableArea, Qt::white), TableArea.width() * TableArea.height() * 9 / 10);
  SaveShot(hist, "topic_window_history.png");
}

} // namespace
