#pragma once
// A group box holding a row of mutually exclusive radio buttons laid out in
// columns; exactly one item is selected at any time.

#include <QGroupBox>
#include <QStringList>
#include <vector>

class QRadioButton;

class TRadioGroup : public QGroupBox {
  Q_OBJECT
public:
  TRadioGroup(const QString &Caption, const QStringList &Items, int Columns, int Selected,
              QWidget *Parent);

  int ItemIndex() const;
  void SetItemIndex(int Index);
  int Count() const { return int(FButtons.size()); }
  QRadioButton *Button(int Index) const { return FButtons.at(size_t(Index)); }

protected:
  void resizeEvent(QResizeEvent *Event) override;

private:
  void LayoutItems();

  std::vector<QRadioButton *> FButtons; // owned by the group box as Qt children
  int FColumns;
};
