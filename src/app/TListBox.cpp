#include "TListBox.h"

#include <QHeaderView>

#include "OpaqueScrollArea.h"

TListBox::TListBox(int ItemHeight, QWidget *Parent) : QTableView(Parent)
{
  setShowGrid(false);
  setWordWrap(false);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setTabKeyNavigation(false);
  horizontalHeader()->hide();
  horizontalHeader()->setStretchLastSection(true);
  verticalHeader()->hide();
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setMinimumSectionSize(ItemHeight);
  verticalHeader()->setDefaultSectionSize(ItemHeight);
  KeepScrollAreaOpaque(this);
}
