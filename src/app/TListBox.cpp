#include "TListBox.h"

#include <QKeyEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>

#include "LookScrollBar.h"
#include "OpaqueScrollArea.h"

TListBox::TListBox(int ItemHeight, QWidget *Parent) : QAbstractItemView(Parent), FItemHeight(ItemHeight)
{
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  FBar = SetLookScrollBar(this);
  // The item view's own reactions to its bar, which the new bar does not have.
  connect(FBar, &QScrollBar::actionTriggered, this, &TListBox::verticalScrollbarAction);
  connect(FBar, &QScrollBar::valueChanged, this, &TListBox::verticalScrollbarValueChanged);
  setTabKeyNavigation(false);
  setTextElideMode(Qt::ElideRight);
  KeepScrollAreaOpaque(this);
  // Not Qt's activated(): whether a single click activates depends on the style.
  connect(this, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex &aIndex) {
    if (aIndex.isValid())
      Q_EMIT LineActivated(aIndex.row());
  });
}

void TListBox::keyPressEvent(QKeyEvent *aEvent)
{
  if ((aEvent->key() == Qt::Key_Return || aEvent->key() == Qt::Key_Enter) && currentIndex().isValid()) {
    Q_EMIT LineActivated(currentIndex().row());
    aEvent->accept();
    return;
  }
  QAbstractItemView::keyPressEvent(aEvent);
}

int TListBox::RowCount() const
{
  return model() ? model()->rowCount(rootIndex()) : 0;
}

int TListBox::TopRow() const
{
  return verticalScrollBar()->value();
}

int TListBox::VisibleRows() const
{
  return std::max(1, viewport()->height() / FItemHeight);
}

// Rows above the viewport give negative positions here, rows below it
// positions past the last row in sight.
int TListBox::RowAt(int aY) const
{
  const int Offset = aY >= 0 ? aY / FItemHeight : -((FItemHeight - 1 - aY) / FItemHeight);
  return TopRow() + Offset;
}

void TListBox::setModel(QAbstractItemModel *aModel)
{
  disconnect(FRowsRemoved);
  QAbstractItemView::setModel(aModel);
  // Qt's item views lay themselves out again after a removal; this one only
  // has its scroll range to mend.
  if (aModel)
    FRowsRemoved = connect(aModel, &QAbstractItemModel::rowsRemoved, this,
                           [this](const QModelIndex &aParent, int aFirst, int) {
                             if (aParent == rootIndex())
                               RowCountChanged(aFirst);
                           });
  updateGeometries();
}

QRect TListBox::visualRect(const QModelIndex &aIndex) const
{
  if (!aIndex.isValid() || aIndex.parent() != rootIndex())
    return {};
  return {0, (aIndex.row() - TopRow()) * FItemHeight, viewport()->width(), FItemHeight};
}

void TListBox::scrollTo(const QModelIndex &aIndex, ScrollHint aHint)
{
  if (!aIndex.isValid() || aIndex.parent() != rootIndex())
    return;
  // The row may be new, beyond a range not yet mended.
  if (FRangeQueued)
    UpdateScrollRange();
  const int Row = aIndex.row();
  const int Top = TopRow();
  const int Visible = VisibleRows();
  int NewTop = Top;
  switch (aHint) {
  case PositionAtTop:
    NewTop = Row;
    break;
  case PositionAtBottom:
    NewTop = Row - Visible + 1;
    break;
  case PositionAtCenter:
    NewTop = Row - Visible / 2;
    break;
  case EnsureVisible:
    if (Row < Top)
      NewTop = Row;
    else if (Row >= Top + Visible)
      NewTop = Row - Visible + 1;
    break;
  }
  verticalScrollBar()->setValue(NewTop);
}

QModelIndex TListBox::indexAt(const QPoint &aPoint) const
{
  const int Row = RowAt(aPoint.y());
  if (aPoint.y() < 0 || Row >= RowCount())
    return {};
  return model()->index(Row, 0, rootIndex());
}

// As in a list box: Home and End go to the first and the last row, Page Up
// and Page Down by the rows in sight.
QModelIndex TListBox::moveCursor(CursorAction aAction, Qt::KeyboardModifiers)
{
  const int Count = RowCount();
  if (Count == 0)
    return {};
  const QModelIndex Current = currentIndex();
  if (!Current.isValid())
    return model()->index(0, 0, rootIndex());
  int Row = Current.row();
  switch (aAction) {
  case MoveUp:
  case MovePrevious:
    --Row;
    break;
  case MoveDown:
  case MoveNext:
    ++Row;
    break;
  case MovePageUp:
    Row -= VisibleRows();
    break;
  case MovePageDown:
    Row += VisibleRows();
    break;
  case MoveHome:
    Row = 0;
    break;
  case MoveEnd:
    Row = Count - 1;
    break;
  case MoveLeft:
  case MoveRight:
    break;
  }
  return model()->index(std::clamp(Row, 0, Count - 1), 0, rootIndex());
}

int TListBox::verticalOffset() const
{
  return TopRow() * FItemHeight;
}

void TListBox::setSelection(const QRect &aRect, QItemSelectionModel::SelectionFlags aCommand)
{
  const int Count = RowCount();
  const QRect Rect = aRect.normalized();
  const int First = std::max(0, RowAt(Rect.top()));
  const int Last = std::min(Count - 1, RowAt(Rect.bottom()));
  // With no row in the rectangle, the command still clears what it clears.
  QItemSelection Rows;
  if (First <= Last)
    Rows.select(model()->index(First, 0, rootIndex()), model()->index(Last, 0, rootIndex()));
  selectionModel()->select(Rows, aCommand);
}

QRegion TListBox::visualRegionForSelection(const QItemSelection &aSelection) const
{
  QRegion Region;
  for (const QItemSelectionRange &Range : aSelection) {
    if (Range.parent() != rootIndex())
      continue;
    const int Top = (Range.top() - TopRow()) * FItemHeight;
    const int Height = (Range.bottom() - Range.top() + 1) * FItemHeight;
    Region += QRect(0, Top, viewport()->width(), Height).intersected(viewport()->rect());
  }
  return Region;
}

void TListBox::UpdateScrollRange()
{
  FRangeQueued = false;
  FBar->setSingleStep(1);
  FBar->Set(std::max(0, RowCount() - VisibleRows()), VisibleRows(), false);
}

void TListBox::updateGeometries()
{
  UpdateScrollRange();
  QAbstractItemView::updateGeometries();
}

// The scroll bar counts rows; every row in sight changes, and the paint that
// follows draws only those, so a repaint costs no more than a blit would.
void TListBox::scrollContentsBy(int, int)
{
  viewport()->update();
}

// Each change of the scroll range has the scroll area lay out its bars
// again, through an event of its own: once per inserted row, under a flood
// of new topics that was a fifth of the window's time.
void TListBox::RowCountChanged(int aFirst)
{
  if (!FRangeQueued) {
    FRangeQueued = true;
    QMetaObject::invokeMethod(
        this, [this] { if (FRangeQueued) UpdateScrollRange(); }, Qt::QueuedConnection);
  }
  const int LastInSight = TopRow() + (viewport()->height() + FItemHeight - 1) / FItemHeight - 1;
  if (aFirst <= LastInSight)
    viewport()->update();
}

void TListBox::rowsInserted(const QModelIndex &aParent, int aFirst, int aLast)
{
  QAbstractItemView::rowsInserted(aParent, aFirst, aLast);
  if (aParent != rootIndex())
    return;
  RowCountChanged(aFirst);
}

void TListBox::reset()
{
  QAbstractItemView::reset();
  updateGeometries();
}

void TListBox::resizeEvent(QResizeEvent *aEvent)
{
  QAbstractItemView::resizeEvent(aEvent);
  updateGeometries();
}

// Each row in sight drawn as Qt's item views draw a cell: the style's row
// panel, then the item delegate, with the selection and focus states.
void TListBox::paintEvent(QPaintEvent *aEvent)
{
  if (!model())
    return;
  QPainter Painter(viewport());
  QStyleOptionViewItem Base;
  initViewItemOption(&Base);
  const QRect Area = aEvent->rect();
  const int First = std::max(0, RowAt(Area.top()));
  const int Last = std::min(RowCount() - 1, RowAt(Area.bottom()));
  const QModelIndex Current = currentIndex();
  const bool Focused = hasFocus() || viewport()->hasFocus();
  for (int Row = First; Row <= Last; ++Row) {
    const QModelIndex Index = model()->index(Row, 0, rootIndex());
    QStyleOptionViewItem Option = Base;
    Option.rect = visualRect(Index);
    if (selectionModel()->isSelected(Index))
      Option.state |= QStyle::State_Selected;
    if (Option.state & QStyle::State_Enabled)
      Option.palette.setCurrentColorGroup(QPalette::Normal);
    if (Focused && Index == Current)
      Option.state |= QStyle::State_HasFocus;
    style()->drawPrimitive(QStyle::PE_PanelItemViewRow, &Option, &Painter, this);
    itemDelegateForIndex(Index)->paint(&Painter, Option, Index);
  }
}
