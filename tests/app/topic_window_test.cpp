// The topic windows on the offscreen platform: opened from the list (once per
// topic, never for a filter's line), fed with the processed values, closed
// with the main window, idle while hidden, loading a data file's history
// before the live values, and their exports.

#include <QChart>
#include <QAbstractAxis>
#include <QDateTime>
#include <QFile>
#include <QImage>
#include <QTableView>
#include <QTest>
#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "DataFile.h"
#include "TListBox.h"
#include "TopicPlot.h"
#include "TopicWindow.h"

namespace {

void Receive(TfrmMain &W, const std::string &Topic, const std::string &Payload)
{
  W.mqtMsg(W.mqt.get(), Topic, Payload, qtAT_MOST_ONCE, false);
  ASSERT_TRUE(WaitFor([&] { return W.PendingList().Count() == 0; }));
}

int RowOf(TfrmMain &W, const QString &Topic)
{
  for (int Row = 0; Row < W.TopicList().rowCount(); ++Row)
    if (W.TopicList().TopicList().Name(Row) == Topic)
      return Row;
  return -1;
}

QStringList RecentTexts(const TTopicWindow &Window)
{
  QStringList Texts;
  for (const TTextValue &Value : Window.Values().Recent())
    Texts << Value.Text;
  return Texts;
}

TEST(TopicWindows, OpenedOncePerTopicFromTheListAndClosedWithTheMainWindow)
{
  TTestWindow W;
  W->show();
  W->UpdateTopic("room/#", "[subscribed]");
  Receive(*W, "room/temp", "20");
  Receive(*W, "room/name", "kitchen");

  // The filter's line opens nothing, by Enter or by a double click.
  TListBox *List = W->lbxTopic;
  List->setCurrentIndex(List->model()->index(RowOf(*W, "room/#"), 0));
  QTest::keyClick(List, Qt::Key_Return);
  QTest::mouseDClick(List->viewport(), Qt::LeftButton, {}, List->visualRect(List->currentIndex()).center());
  EXPECT_EQ(W->TopicWindows().Count(), 0);

  // Enter on the selected line, then a double click on the same topic: one window.
  List->setCurrentIndex(List->model()->index(RowOf(*W, "room/temp"), 0));
  QTest::keyClick(List, Qt::Key_Enter);
  ASSERT_EQ(W->TopicWindows().Count(), 1);
  QTest::mouseDClick(List->viewport(), Qt::LeftButton, {}, List->visualRect(List->currentIndex()).center());
  EXPECT_EQ(W->TopicWindows().Count(), 1);
  TTopicWindow *Temp = W->TopicWindows().Find("room/temp");
  ASSERT_NE(Temp, nullptr);
  EXPECT_TRUE(Temp->isVisible());

  // Processed values reach the window of their topic, in any letter case, and no other.
  Receive(*W, "room/temp", "21");
  Receive(*W, "ROOM/TEMP", "22");
  Receive(*W, "room/name", "hall");
  EXPECT_EQ(RecentTexts(*Temp), (QStringList{"21", "22"}));

  List->setCurrentIndex(List->model()->index(RowOf(*W, "room/name"), 0));
  QTest::keyClick(List, Qt::Key_Return);
  ASSERT_EQ(W->TopicWindows().Count(), 2);

  // Each closes on its own; the main window closes the rest.
  QPointer<TTopicWindow> Name = W->TopicWindows().Find("room/name");
  Temp->close();
  EXPECT_TRUE(WaitFor([&] { return W->TopicWindows().Count() == 1; }));
  EXPECT_FALSE(Name.isNull());
  W->close();
  EXPECT_EQ(W->TopicWindows().Count(), 0);
  EXPECT_TRUE(Name.isNull() || !Name->isVisible());
}

// Nothing is drawn for a window off the screen; it catches up when shown.
TEST(TopicWindows, HiddenOrMinimisedWindowsDrawNothingAndCatchUpWhenShown)
{
  TTopicWindows Windows;
  TTopicWindow *Window = Windows.Open("a/b", {});
  Window->Add(1000, "1");
  ASSERT_TRUE(WaitFor([&] { return Window->Table()->model()->rowCount() == 1; }));
  for (auto Away : {std::function<void()>([&] { Window->hide(); }),
                    std::function<void()>([&] { Window->showMinimized(); })}) {
    Away();
    const int Refreshes = Window->Refreshes();
    for (int I = 0; I < 5; ++I) {
      Window->Add(2000 + I * 100, QString::number(I));
      RunLoop(TTopicWindow::RefreshMs / 4);
    }
    EXPECT_EQ(Window->Refreshes(), Refreshes);
    const int Rows = Window->Table()->model()->rowCount();
    Window->showNormal();
    EXPECT_TRUE(WaitFor([&] { return Window->Table()->model()->rowCount() == Rows + 5; }));
    EXPECT_GT(Window->Refreshes(), Refreshes);
  }
}

// A data file of many lines (quoted and raw values among them) loads in the
// background; live values that come meanwhile follow it, in order.
TEST(TopicWindows, HistoryFromTheDataFileComesFirstThenTheLiveValues)
{
  TTestWindow W;
  const QString Path = DataFileName(W->DataFolder(), "h/t");
  QFile File(Path);
  ASSERT_TRUE(File.open(QIODevice::WriteOnly));
  const int Lines = 200000;
  const qint64 Start = QDateTime::currentMSecsSinceEpoch() - qint64(Lines) * 1000;
  for (int I = 0; I < Lines; ++I)
    File.write(DataLine(QString::number(I), *TCodePage::Utf8(), DataTimeStamp(QDateTime::fromMSecsSinceEpoch(Start + I * 1000))).c_str());
  File.write((DataTimeStamp(QDateTime::fromMSecsSinceEpoch(Start + Lines * 1000)) + ";\"a;\r\nb\"\r\n").toUtf8());
  File.close();

  TTopicWindow *Window = W->TopicWindows().Open("h/t", Path);
  // Straight away, while the file is read: it must come after the history.
  Window->Add(QDateTime::currentMSecsSinceEpoch(), "live");
  EXPECT_TRUE(Window->Values().Loading());
  ASSERT_TRUE(WaitFor([&] { return !Window->Values().Loading(); }, 60000));
  const QStringList Recent = RecentTexts(*Window);
  ASSERT_EQ(Recent.size(), 1000);
  EXPECT_EQ(Recent.last(), "live");
  EXPECT_EQ(Recent[998], "a;\r\nb");
  EXPECT_EQ(Recent[997], QString::number(Lines - 1));
  const TTopicSeries &Series = Window->Values().Series(0);
  ASSERT_EQ(Series.Size(), std::size_t(Lines));
  for (std::size_t I = 1; I < Series.Size(); ++I)
    ASSERT_EQ(Series.Value(I), Series.Value(I - 1) + 1);
  // The plot draws a few points per column, not the file's.
  ASSERT_TRUE(WaitFor([&] { return Window->Plot()->PointsDrawn() > 0; }));
  EXPECT_LE(Window->Plot()->PointsDrawn(), std::size_t(Window->Plot()->width()) * 4 + 2);
}

TEST(TopicWindows, ExportsThePictureAndTheValuesInView)
{
  QTemporaryDir Folder;
  TTopicWindows Windows;
  TTopicWindow *Window = Windows.Open("j", {});
  const qint64 T0 = 1715101389045; // 2024-05-07T14:03:09.045-03:00 in the tests' zone
  Window->Add(T0, R"({"a":1,"b":2})");
  Window->Add(T0 + 1000, R"({"a":1.5})");
  Window->Add(T0 + 2000, R"({"b":-3,"c":"x"})");
  ASSERT_TRUE(WaitFor([&] { return Window->Plot()->PointsDrawn() == 4; }));

  const QString Csv = Folder.filePath("view.csv");
  Window->ExportCsv(Csv);
  EXPECT_EQ(QString::fromUtf8(FileBytes(Csv)), "time,a,b\r\n"
                                               "2024-05-07T14:03:09.045-03:00,1,2\r\n"
                                               "2024-05-07T14:03:10.045-03:00,1.5,\r\n"
                                               "2024-05-07T14:03:11.045-03:00,,-3\r\n");
  // Zoomed to the last moment, the view holds its values alone.
  QTest::keyClick(Window->Plot(), Qt::Key_Plus);
  QTest::keyClick(Window->Plot(), Qt::Key_Plus);
  QTest::keyClick(Window->Plot(), Qt::Key_Plus);
  QTest::keyClick(Window->Plot(), Qt::Key_Plus);
  EXPECT_FALSE(Window->Plot()->Following());
  Window->ExportCsv(Csv);
  EXPECT_EQ(QString::fromUtf8(FileBytes(Csv)), "time,a,b\r\n2024-05-07T14:03:11.045-03:00,,-3\r\n");
  QTest::keyClick(Window->Plot(), Qt::Key_End);
  EXPECT_TRUE(Window->Plot()->Following());

  const QString Png = Folder.filePath("plot.png");
  Window->ExportPng(Png);
  const QImage Picture(Png);
  EXPECT_EQ(Picture.size(), Window->Plot()->size() * Window->Plot()->devicePixelRatio());

  // A text topic's values, quoted where CSV needs it.
  TTopicWindow *Text = Windows.Open("t", {});
  Text->Add(T0, "plain");
  Text->Add(T0 + 1, "a,\"b\"");
  Text->ExportCsv(Csv);
  EXPECT_EQ(QString::fromUtf8(FileBytes(Csv)), "time,value\r\n"
                                               "2024-05-07T14:03:09.045-03:00,plain\r\n"
                                               "2024-05-07T14:03:09.046-03:00,\"a,\"\"b\"\"\"\r\n");

  // An unwritable place is named in the error.
  const QString Nowhere = Folder.filePath("missing/plot.png");
  try {
    Window->ExportPng(Nowhere);
    FAIL() << "no error";
  } catch (const std::runtime_error &E) {
    EXPECT_TRUE(QString::fromUtf8(E.what()).startsWith("Could not save " + Nowhere + ": ")) << E.what();
  }
}

} // namespace

namespace {

// Under a dark palette the plot is dark with light labels, like the rest of
// the window; the table is a named item view reached with Tab.
TEST(TopicWindows, DarkPaletteAndKeyboardReach)
{
  TTopicWindows Windows;
  TTopicWindow *Window = Windows.Open("d", {});
  Window->Add(1000, "1");
  Window->Add(2000, "2");
  QPalette Dark;
  Dark.setColor(QPalette::Base, QColor(30, 30, 30));
  Dark.setColor(QPalette::Text, QColor(230, 230, 230));
  Dark.setColor(QPalette::Window, QColor(45, 45, 45));
  Dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
  Window->setPalette(Dark);
  ASSERT_TRUE(WaitFor([&] { return Window->Plot()->PointsDrawn() > 0; }));
  QChart *Chart = Window->Plot()->chart();
  EXPECT_EQ(Chart->backgroundBrush().color(), QColor(30, 30, 30));
  for (QAbstractAxis *Axis : Chart->axes())
    EXPECT_EQ(Axis->labelsColor(), QColor(230, 230, 230));

  EXPECT_EQ(Window->Table()->accessibleName(), "Values");
  EXPECT_EQ(Window->Table()->focusPolicy() & Qt::TabFocus, Qt::TabFocus);
  QWidget *Start = Window->Plot();
  QWidget *Next = Start->nextInFocusChain();
  while (Next != Start && Next != Window->Table())
    Next = Next->nextInFocusChain();
  EXPECT_EQ(Next, Window->Table());
}

} // namespace
