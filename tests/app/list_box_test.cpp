// The topic list's view on its own, as real widgets: where rows are, what
// the mouse and the keys select, how the scroll range follows the rows, and
// which changes of the list are painted (only those in sight).

#include <QPaintEvent>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "TListBox.h"
#include "TopicListModel.h"
#include "core/EnglishCollator.h"

namespace {

// A list box of the window's size, shown, over a topic-list model.
struct TListFixture {
  TTopicListModel Model{nullptr, EnglishCollator()};
  QWidget Parent;
  TListBox *List;

  TListFixture()
  {
    Parent.resize(640, 200);
    List = new TListBox(13, &Parent);
    List->setGeometry(8, 16, 605, 137);
    List->setModel(&Model);
    Parent.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&Parent));
  }
  // Topics t000, t001, ... each with the value v, and the event loop's pass
  // that mends the scroll range.
  void AddRows(int aCount)
  {
    for (int I = 0; I < aCount; ++I)
      Model.UpdateTopic(QStringLiteral("t%1").arg(I, 3, 10, QLatin1Char('0')), QStringLiteral("v"), -1);
    QCoreApplication::processEvents();
  }
  int CurrentRow() const { return List->currentIndex().isValid() ? List->currentIndex().row() : -1; }
  QList<int> SelectedRows() const
  {
    QList<int> Rows;
    for (const QModelIndex &Index : List->selectionModel()->selectedIndexes())
      Rows << Index.row();
    return Rows;
  }
  void Click(int aRow)
  {
    const QRect Rect = List->visualRect(Model.index(aRow));
    QTest::mouseClick(List->viewport(), Qt::LeftButton, {}, Rect.center());
  }
  int LastRow() const { return Model.rowCount() - 1; }
  bool InSight(int aRow) const { return aRow >= List->TopRow() && aRow < List->TopRow() + List->VisibleRows(); }
};

// Records the regions of the paint events a widget gets while it lives.
class TPaintRegions : public QObject {
public:
  explicit TPaintRegions(QWidget *aWidget) : FWidget(aWidget) { aWidget->installEventFilter(this); }
  ~TPaintRegions() override { FWidget->removeEventFilter(this); }
  QRegion Painted;

protected:
  bool eventFilter(QObject *, QEvent *aEvent) override
  {
    if (aEvent->type() == QEvent::Paint)
      Painted += static_cast<QPaintEvent *>(aEvent)->region();
    return false;
  }

private:
  QWidget *FWidget;
};

} // namespace

TEST(ListBox, RowsLieOneUnderAnotherFromTheTopRow)
{
  TListFixture F;
  F.AddRows(40);
  ASSERT_EQ(F.List->VisibleRows(), 10) << "the window's list box shows ten rows of 13 pixels";
  for (int Scroll : {0, 7, 30}) {
    SCOPED_TRACE(Scroll);
    F.List->verticalScrollBar()->setValue(Scroll);
    ASSERT_EQ(F.List->TopRow(), Scroll);
    for (int Row = 0; Row < 40; ++Row) {
      const QRect Rect = F.List->visualRect(F.Model.index(Row));
      EXPECT_EQ(Rect.top(), (Row - Scroll) * 13);
      EXPECT_EQ(Rect.height(), 13);
      EXPECT_EQ(Rect.width(), F.List->viewport()->width());
      if (F.InSight(Row))
        EXPECT_EQ(F.List->indexAt(Rect.center()).row(), Row);
    }
  }
  // Below the last row and above the viewport there is no row.
  F.List->verticalScrollBar()->setValue(0);
  F.Model.Clear();
  F.AddRows(3);
  EXPECT_FALSE(F.List->indexAt(QPoint(5, 3 * 13 + 2)).isValid());
  EXPECT_FALSE(F.List->indexAt(QPoint(5, -2)).isValid());
}

TEST(ListBox, TheScrollRangeFollowsTheRowsAtTheNextPass)
{
  TListFixture F;
  QScrollBar *Bar = F.List->verticalScrollBar();
  EXPECT_EQ(Bar->maximum(), 0);
  EXPECT_FALSE(Bar->isVisible());
  F.AddRows(25);
  EXPECT_EQ(Bar->maximum(), 15);
  EXPECT_EQ(Bar->pageStep(), 10);
  // The bar is shown once the rows outgrow the view, and the rows make room.
  EXPECT_TRUE(Bar->isVisible());
  EXPECT_LE(F.List->viewport()->geometry().right(), Bar->parentWidget()->geometry().left());
  Bar->setValue(15);
  // Removing the selected row (as Unsubscribe does) shrinks the range, and
  // the top row with it.
  F.Model.UpdateTopic(QString(), std::nullopt, 24);
  QCoreApplication::processEvents();
  EXPECT_EQ(Bar->maximum(), 14);
  EXPECT_EQ(F.List->TopRow(), 14);
  // A new row is scrolled to at once, before the pass.
  F.Model.UpdateTopic(QStringLiteral("u"), QStringLiteral("v"), -1);
  F.List->scrollTo(F.Model.index(F.LastRow()));
  EXPECT_EQ(F.List->TopRow(), 15);
  F.Model.Clear();
  EXPECT_EQ(Bar->maximum(), 0);
  EXPECT_EQ(F.List->TopRow(), 0);
  EXPECT_FALSE(Bar->isVisible());
}

TEST(ListBox, RowsAddedBeforeTheListIsShownShowTheBar)
{
  TTopicListModel Model{nullptr, EnglishCollator()};
  QWidget Parent;
  Parent.resize(640, 200);
  auto *List = new TListBox(13, &Parent);
  List->setGeometry(8, 16, 605, 137);
  List->setModel(&Model);
  for (int I = 0; I < 25; ++I)
    Model.UpdateTopic(QStringLiteral("t%1").arg(I), QStringLiteral("v"), -1);
  QCoreApplication::processEvents();
  Parent.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&Parent));
  EXPECT_TRUE(List->verticalScrollBar()->isVisible());
}

TEST(ListBox, AClickSelectsTheRowUnderTheMouse)
{
  TListFixture F;
  F.AddRows(30);
  QSignalSpy Changes(F.List->selectionModel(), &QItemSelectionModel::selectionChanged);
  F.Click(3);
  EXPECT_EQ(F.CurrentRow(), 3);
  EXPECT_EQ(F.SelectedRows(), QList<int>{3});
  F.List->verticalScrollBar()->setValue(12);
  F.Click(14);
  EXPECT_EQ(F.SelectedRows(), QList<int>{14});
  EXPECT_EQ(F.List->TopRow(), 12) << "a click does not scroll";
  EXPECT_EQ(Changes.count(), 2);

  // Below the last row a click clears the selection, as in Qt's item views.
  F.Model.Clear();
  F.AddRows(2);
  F.Click(1);
  Changes.clear();
  QTest::mouseClick(F.List->viewport(), Qt::LeftButton, {}, QPoint(20, 5 * 13));
  EXPECT_EQ(F.SelectedRows(), QList<int>{});
  EXPECT_EQ(Changes.count(), 1);
}

TEST(ListBox, KeysMoveTheSelectionAndKeepItInSight)
{
  struct TCase {
    const char *Name;
    int Start; // current row before the key, -1 for none
    Qt::Key Key;
    Qt::KeyboardModifiers Modifiers;
    int Expected;
  };
  // 40 rows, 10 in sight.
  const TCase Cases[] = {
      {"down without a current row takes the first", -1, Qt::Key_Down, {}, 0},
      {"down", 4, Qt::Key_Down, {}, 5},
      {"up", 4, Qt::Key_Up, {}, 3},
      {"up at the first row stays", 0, Qt::Key_Up, {}, 0},
      {"down at the last row stays", 39, Qt::Key_Down, {}, 39},
      {"page down moves by the rows in sight", 5, Qt::Key_PageDown, {}, 15},
      {"page down stops at the last row", 35, Qt::Key_PageDown, {}, 39},
      {"page up moves by the rows in sight", 25, Qt::Key_PageUp, {}, 15},
      {"page up stops at the first row", 3, Qt::Key_PageUp, {}, 0},
      {"home", 27, Qt::Key_Home, {}, 0},
      {"end", 7, Qt::Key_End, {}, 39},
      {"ctrl+end", 7, Qt::Key_End, Qt::ControlModifier, 39},
      {"left and right do nothing", 7, Qt::Key_Right, {}, 7},
      {"typing a topic's first letters finds it", 0, Qt::Key_T, {}, 1},
  };
  for (const TCase &C : Cases) {
    SCOPED_TRACE(C.Name);
    TListFixture F;
    F.AddRows(40);
    F.List->setFocus();
    if (C.Start >= 0)
      F.List->setCurrentIndex(F.Model.index(C.Start));
    QTest::keyClick(F.List, C.Key, C.Modifiers);
    EXPECT_EQ(F.CurrentRow(), C.Expected);
    EXPECT_EQ(F.SelectedRows(), QList<int>{C.Expected});
    EXPECT_TRUE(F.InSight(C.Expected)) << "top row " << F.List->TopRow();
  }
}

TEST(ListBox, OnlyChangesInSightArePainted)
{
  struct TCase {
    const char *Name;
    int Top; // the top row while the list changes
    QString Topic;
    QString Value;
    int PaintedRow; // row in sight that must be painted again, -1 for no paint
  };
  // Rows t000 to t099, ten in sight.
  const TCase Cases[] = {
      {"a new value for a row in sight", 0, "t002", "w", 2},
      {"a new value for a row out of sight", 0, "t050", "w", -1},
      {"a new topic that sorts in below the rows in sight", 0, "u", "w", -1},
      {"a new topic that sorts in above the top row shifts every row in sight", 50, "a", "w", 55},
      {"a new topic that sorts in among the rows in sight", 50, "t0525", "w", 53},
  };
  for (const TCase &C : Cases) {
    SCOPED_TRACE(C.Name);
    TListFixture F;
    F.AddRows(100);
    F.List->verticalScrollBar()->setValue(C.Top);
    RunLoop(50);
    TPaintRegions Paints(F.List->viewport());
    F.Model.UpdateTopic(C.Topic, C.Value, -1);
    RunLoop(100);
    if (C.PaintedRow < 0)
      EXPECT_TRUE(Paints.Painted.isEmpty()) << Paints.Painted.boundingRect().height() << " pixels high painted";
    else
      EXPECT_TRUE(Paints.Painted.contains(F.List->visualRect(F.Model.index(C.PaintedRow))));
  }
}
