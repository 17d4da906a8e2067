#include "TRadioGroup.h"

#include <QButtonGroup>
#include <QRadioButton>

TRadioGroup::TRadioGroup(const QString &Caption, const QStringList &Items, int Columns, int Selected,
                         QWidget *Parent)
    : QGroupBox(Caption, Parent), FColumns(Columns < 1 ? 1 : Columns)
{
  auto *Group = new QButtonGroup(this);
  Group->setExclusive(true);
  for (const QString &Item : Items) {
    auto *Button = new QRadioButton(Item, this);
    Group->addButton(Button, int(FButtons.size()));
    FButtons.push_back(Button);
  }
  SetItemIndex(Selected);
  LayoutItems();
}

int TRadioGroup::ItemIndex() const
{
  for (size_t I = 0; I < FButtons.size(); ++I)
    if (FButtons[I]->isChecked())
      return int(I);
  return -1;
}

void TRadioGroup::SetItemIndex(int Index)
{
  if (Index >= 0 && Index < Count())
    FButtons[size_t(Index)]->setChecked(true);
}

void TRadioGroup::resizeEvent(QResizeEvent *Event)
{
  QGroupBox::resizeEvent(Event);
  LayoutItems();
}

// Items fill the area below the caption in equal columns, row by row.
void TRadioGroup::LayoutItems()
{
  const int Left = 6, Top = 13, Right = 2, Bottom = 2;
  const int Rows = (Count() + FColumns - 1) / FColumns;
  if (Rows == 0)
    return;
  const int ColumnWidth = (width() - Left - Right) / FColumns;
  const int RowHeight = (height() - Top - Bottom) / Rows;
  for (int I = 0; I < Count(); ++I)
    FButtons[size_t(I)]->setGeometry(Left + (I % FColumns) * ColumnWidth, Top + (I / FColumns) * RowHeight,
                                     ColumnWidth, RowHeight);
}
