#include "Accessible.h"

#include <QAccessibleWidget>
#include <QItemSelectionModel>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <map>

#include "LogBox.h"
#include "TListBox.h"

namespace {

class TLogBoxAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
  explicit TLogBoxAccessible(TLogBox *aBox) : QAccessibleWidget(aBox, QAccessible::EditableText) {}

  void *interface_cast(QAccessible::InterfaceType aType) override
  {
    return aType == QAccessible::TextInterface ? static_cast<QAccessibleTextInterface *>(this)
                                               : QAccessibleWidget::interface_cast(aType);
  }
  QAccessible::State state() const override
  {
    QAccessible::State State = QAccessibleWidget::state();
    State.multiLine = true;
    State.editable = true;
    return State;
  }
  QString text(QAccessible::Text aWhat) const override
  {
    return aWhat == QAccessible::Value ? Box()->Text() : QAccessibleWidget::text(aWhat);
  }

  // The caret is the edit box's while the user works in the log, and after
  // the last line otherwise.
  int cursorPosition() const override
  {
    return Box()->Editing() ? Box()->Edit()->textCursor().position() : characterCount();
  }
  void setCursorPosition(int aPosition) override
  {
    if (Box()->Editing()) {
      QTextCursor Cursor = Box()->Edit()->textCursor();
      Cursor.setPosition(std::clamp(aPosition, 0, characterCount()));
      Box()->Edit()->setTextCursor(Cursor);
    }
  }
  void selection(int aIndex, int *aStart, int *aEnd) const override
  {
    *aStart = *aEnd = 0;
    if (aIndex == 0 && selectionCount() == 1) {
      const QTextCursor Cursor = Box()->Edit()->textCursor();
      *aStart = Cursor.selectionStart();
      *aEnd = Cursor.selectionEnd();
    }
  }
  int selectionCount() const override
  {
    return Box()->Editing() && Box()->Edit()->textCursor().hasSelection() ? 1 : 0;
  }
  void addSelection(int aStart, int aEnd) override { setSelection(0, aStart, aEnd); }
  void removeSelection(int) override
  {
    if (Box()->Editing()) {
      QTextCursor Cursor = Box()->Edit()->textCursor();
      Cursor.clearSelection();
      Box()->Edit()->setTextCursor(Cursor);
    }
  }
  void setSelection(int, int aStart, int aEnd) override
  {
    if (Box()->Editing()) {
      QTextCursor Cursor = Box()->Edit()->textCursor();
      Cursor.setPosition(aStart);
      Cursor.setPosition(aEnd, QTextCursor::KeepAnchor);
      Box()->Edit()->setTextCursor(Cursor);
    }
  }

  QString text(int aStart, int aEnd) const override { return Box()->Text().mid(aStart, aEnd - aStart); }
  int characterCount() const override { return int(Box()->Text().size()); }
  // A line is the text between two line breaks, its own break included.
  QString textAtOffset(int aOffset, QAccessible::TextBoundaryType aType, int *aStart, int *aEnd) const override
  {
    if (aType != QAccessible::LineBoundary)
      return QAccessibleTextInterface::textAtOffset(aOffset, aType, aStart, aEnd);
    const QString All = Box()->Text();
    aOffset = std::clamp<int>(aOffset, 0, int(All.size()));
    const qsizetype Start = aOffset == 0 ? 0 : All.lastIndexOf(u'\n', aOffset - 1) + 1;
    qsizetype End = All.indexOf(u'\n', aOffset);
    End = End < 0 ? All.size() : End + 1;
    *aStart = int(Start);
    *aEnd = int(End);
    return All.mid(Start, End - Start);
  }
  QString textBeforeOffset(int aOffset, QAccessible::TextBoundaryType aType, int *aStart,
                           int *aEnd) const override
  {
    if (aType != QAccessible::LineBoundary)
      return QAccessibleTextInterface::textBeforeOffset(aOffset, aType, aStart, aEnd);
    int Start = 0, End = 0;
    textAtOffset(aOffset, aType, &Start, &End);
    if (Start == 0) {
      *aStart = *aEnd = 0;
      return {};
    }
    return textAtOffset(Start - 1, aType, aStart, aEnd);
  }
  QString textAfterOffset(int aOffset, QAccessible::TextBoundaryType aType, int *aStart, int *aEnd) const override
  {
    if (aType != QAccessible::LineBoundary)
      return QAccessibleTextInterface::textAfterOffset(aOffset, aType, aStart, aEnd);
    int Start = 0, End = 0;
    textAtOffset(aOffset, aType, &Start, &End);
    if (End >= characterCount()) {
      *aStart = *aEnd = characterCount();
      return {};
    }
    return textAtOffset(End, aType, aStart, aEnd);
  }
  QRect characterRect(int) const override { return {}; }
  int offsetAtPoint(const QPoint &) const override { return -1; }
  void scrollToSubstring(int, int) override {}
  QString attributes(int aOffset, int *aStart, int *aEnd) const override
  {
    *aStart = *aEnd = aOffset;
    return {};
  }

private:
  TLogBox *Box() const { return static_cast<TLogBox *>(widget()); }
};

class TListBoxAccessible;

// One row of the topic list.
class TListRowAccessible : public QAccessibleInterface {
public:
  TListRowAccessible(TListBoxAccessible *aList, int aRow) : FList(aList), FRow(aRow) {}
  bool isValid() const override;
  QObject *object() const override { return nullptr; }
  QWindow *window() const override;
  QAccessibleInterface *focusChild() const override { return nullptr; }
  QAccessibleInterface *childAt(int, int) const override { return nullptr; }
  QAccessibleInterface *parent() const override;
  QAccessibleInterface *child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface *) const override { return -1; }
  QString text(QAccessible::Text aWhat) const override;
  void setText(QAccessible::Text, const QString &) override {}
  QRect rect() const override;
  QAccessible::Role role() const override { return QAccessible::ListItem; }
  QAccessible::State state() const override;

private:
  TListBox *View() const;
  QModelIndex Index() const;
  TListBoxAccessible *FList;
  int FRow;
};

class TListBoxAccessible : public QAccessibleWidget {
public:
  explicit TListBoxAccessible(TListBox *aList) : QAccessibleWidget(aList, QAccessible::List) {}
  ~TListBoxAccessible() override
  {
    for (const auto &[Row, Id] : FRows)
      QAccessible::deleteAccessibleInterface(Id);
  }
  TListBox *View() const { return static_cast<TListBox *>(widget()); }
  int childCount() const override { return View()->model() ? View()->model()->rowCount() : 0; }
  QAccessibleInterface *child(int aIndex) const override
  {
    if (aIndex < 0 || aIndex >= childCount())
      return nullptr;
    auto It = FRows.find(aIndex);
    if (It == FRows.end()) {
      auto *Row = new TListRowAccessible(const_cast<TListBoxAccessible *>(this), aIndex);
      It = FRows.emplace(aIndex, QAccessible::registerAccessibleInterface(Row)).first;
    }
    return QAccessible::accessibleInterface(It->second);
  }
  int indexOfChild(const QAccessibleInterface *aChild) const override
  {
    for (const auto &[Row, Id] : FRows)
      if (QAccessible::accessibleInterface(Id) == aChild)
        return Row;
    return -1;
  }
  QAccessibleInterface *focusChild() const override
  {
    const QModelIndex Current = View()->currentIndex();
    return Current.isValid() ? child(Current.row()) : nullptr;
  }

private:
  // Rows are positions: an item stands for whatever line is at its row.
  mutable std::map<int, QAccessible::Id> FRows;
};

bool TListRowAccessible::isValid() const { return FList->isValid() && FRow < FList->childCount(); }
QWindow *TListRowAccessible::window() const { return FList->window(); }
QAccessibleInterface *TListRowAccessible::parent() const { return FList; }
TListBox *TListRowAccessible::View() const { return FList->View(); }
QModelIndex TListRowAccessible::Index() const { return View()->model()->index(FRow, 0); }

QString TListRowAccessible::text(QAccessible::Text aWhat) const
{
  return aWhat == QAccessible::Name && isValid() ? Index().data().toString() : QString();
}

QRect TListRowAccessible::rect() const
{
  if (!isValid())
    return {};
  const QRect Local = View()->visualRect(Index());
  return QRect(View()->viewport()->mapToGlobal(Local.topLeft()), Local.size());
}

QAccessible::State TListRowAccessible::state() const
{
  QAccessible::State State;
  if (!isValid()) {
    State.invalid = true;
    return State;
  }
  State.selectable = true;
  State.focusable = true;
  State.selected = View()->selectionModel() && View()->selectionModel()->isSelected(Index());
  State.focused = View()->hasFocus() && View()->currentIndex() == Index();
  const QRect Shown = View()->visualRect(Index());
  State.invisible = !View()->viewport()->rect().intersects(Shown);
  State.offscreen = State.invisible;
  return State;
}

QAccessibleInterface *Factory(const QString &aClass, QObject *aObject)
{
  if (aClass == QLatin1String("TLogBox"))
    return new TLogBoxAccessible(static_cast<TLogBox *>(aObject));
  if (aClass == QLatin1String("TListBox"))
    return new TListBoxAccessible(static_cast<TListBox *>(aObject));
  return nullptr;
}

} // namespace

void InstallAccessibleViews()
{
  static const bool Installed = [] {
    QAccessible::installFactory(Factory);
    return true;
  }();
  (void)Installed;
}
