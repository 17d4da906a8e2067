#pragma once
// A single-column, single-selection list box for long lists that change one
// row at a time. It is a table view without headers or grid: unlike a list
// view, which lays out every row again after each insertion, a table view
// only shifts its row positions, so a list of 100,000 lines stays cheap to
// update line by line.

#include <QTableView>

class TListBox : public QTableView {
  Q_OBJECT
public:
  TListBox(int ItemHeight, QWidget *Parent);
};
