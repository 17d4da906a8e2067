#pragma once
// A single-column, single-selection list box for long lists that change one
// row at a time, as the topic list does under a flood of new topics.
//
// Every row has the same height, so the view needs no layout at all: the
// scroll bar counts rows, row r sits at (r - first visible row) x height,
// and a paint draws only the rows in sight, straight from the model. An
// insertion, removal or change costs the same with ten rows as with a
// hundred thousand; a table or list view of Qt's own keeps per-row geometry
// (header sections, item positions) that every insertion shifts or rebuilds.
//
// Selection, the current row, the keyboard (arrows, Page Up/Down, Home, End,
// typing a row's first letters) and the mouse behave as in Qt's item views,
// whose machinery this view keeps; it only says where the rows are.

#include <QAbstractItemView>

class TLookScrollBar;

class TListBox : public QAbstractItemView {
  Q_OBJECT
public:
  TListBox(int ItemHeight, QWidget *Parent);

  int ItemHeight() const { return FItemHeight; }
  // The first row in sight (the scroll bar's position) and how many rows fit.
  int TopRow() const;
  int VisibleRows() const;

  void setModel(QAbstractItemModel *aModel) override;
  QRect visualRect(const QModelIndex &aIndex) const override;
  void scrollTo(const QModelIndex &aIndex, ScrollHint aHint = EnsureVisible) override;
  QModelIndex indexAt(const QPoint &aPoint) const override;
  void reset() override;

Q_SIGNALS:
  // A double click on a row, or Enter on the current row.
  void LineActivated(int aRow);

protected:
  void keyPressEvent(QKeyEvent *aEvent) override;
  QModelIndex moveCursor(CursorAction aAction, Qt::KeyboardModifiers aModifiers) override;
  int horizontalOffset() const override { return 0; }
  int verticalOffset() const override;
  bool isIndexHidden(const QModelIndex &) const override { return false; }
  void setSelection(const QRect &aRect, QItemSelectionModel::SelectionFlags aCommand) override;
  QRegion visualRegionForSelection(const QItemSelection &aSelection) const override;
  void updateGeometries() override;
  void scrollContentsBy(int aDx, int aDy) override;
  void paintEvent(QPaintEvent *aEvent) override;
  void resizeEvent(QResizeEvent *aEvent) override;
  void rowsInserted(const QModelIndex &aParent, int aFirst, int aLast) override;

private:
  int RowCount() const;
  int RowAt(int aY) const;
  // Rows were inserted or removed from aFirst on: the scroll range is mended
  // once per pass of the event loop, and the rows in sight repainted when
  // they moved.
  void RowCountChanged(int aFirst);
  void UpdateScrollRange();

  int FItemHeight;
  TLookScrollBar *FBar;
  bool FRangeQueued = false;
  QMetaObject::Connection FRowsRemoved;
};
