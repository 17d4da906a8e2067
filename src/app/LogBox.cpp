#include "LogBox.h"

#include <QCoreApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextLayout>
#include <algorithm>
#include <cmath>
#include <limits>

#include "LookScrollBar.h"
#include "OpaqueScrollArea.h"

namespace {

void ShapeAsLog(QAbstractScrollArea *aBox)
{
  aBox->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  aBox->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  KeepScrollAreaOpaque(aBox);
}

bool IsMouseEvent(QEvent::Type aType)
{
  return aType == QEvent::MouseButtonPress || aType == QEvent::MouseButtonDblClick ||
         aType == QEvent::MouseMove || aType == QEvent::MouseButtonRelease;
}

} // namespace

TLogBox::TLogBox(QWidget *aParent)
    : QAbstractScrollArea(aParent), FEditor(new QPlainTextEdit(this))
{
  // The bar before the shape, which makes it opaque.
  FBar = SetLookScrollBar(this);
  ShapeAsLog(this);
  // The view draws every pixel of its picture.
  viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_InputMethodEnabled);
  verticalScrollBar()->setSingleStep(1);
  // The edit box comes right after the view in the focus chain: Tab leaves
  // it for the control after the log.
  ShapeAsLog(FEditor);
  FEditor->setTabChangesFocus(true);
  FEditor->hide();
  FEditor->installEventFilter(this);
  connect(FEditor->document(), &QTextDocument::modificationChanged, this, [this](bool aChanged) {
    if (!aChanged || FAppending || FEditorOwns)
      return;
    FEditorOwns = true;
    FLines.Clear();
    Forget();
  });
}

void TLogBox::AppendLine(const QString &aLine)
{
  if (!FEditorOwns) {
    FLines.Append(aLine);
    if (FMaxLines > 0 && FLines.Count() > FMaxLines)
      DropOldest();
    LinesChanged();
  }
  if (!Editing())
    return;
  FAppending = true;
  const bool Changed = FEditor->document()->isModified();
  FEditor->setUndoRedoEnabled(false);
  FEditor->appendPlainText(aLine);
  // Once the user has changed the text the edit box holds the log alone and
  // keeps the bound itself; the user's undo history cannot outlive the lines
  // it was about.
  const bool Trim = FEditorOwns && FMaxLines > 0 && FEditor->document()->blockCount() > FMaxLines;
  if (Trim) {
    QTextCursor Cut(FEditor->document());
    Cut.setPosition(FEditor->document()->findBlockByNumber(int(FEditor->document()->blockCount() - FMaxLines)).position());
    Cut.setPosition(0, QTextCursor::KeepAnchor);
    Cut.removeSelectedText();
  }
  FEditor->setUndoRedoEnabled(true);
  FEditor->document()->setModified(Changed);
  FAppending = false;
}

void TLogBox::SetMaxLines(qsizetype aMax)
{
  FMaxLines = std::max<qsizetype>(aMax, 0);
}

// A tenth at a time: copying the kept lines is then paid once per many
// appended lines, and the memory of the dropped ones is given back.
void TLogBox::DropOldest()
{
  const bool Noted = FDropped > 0;
  const qsizetype Keep = std::max<qsizetype>(FMaxLines - FMaxLines / 10 - 1, 0);
  const qsizetype FirstKept = FLines.Count() - Keep;
  FDropped += FirstKept - (Noted ? 1 : 0);
  // A reader scrolled back keeps the lines in sight that are still there.
  if (!AtEnd())
    verticalScrollBar()->setValue(int(std::max<qsizetype>(TopLine() - FirstKept + 1, 0)));
  FLines.KeepLast(Keep, QStringLiteral("%1 older lines dropped: the log keeps the latest %2")
                            .arg(FDropped)
                            .arg(FMaxLines));
  Forget();
}

void TLogBox::Clear()
{
  FDropped = 0;
  FLines.Clear();
  Forget();
  LinesChanged();
  verticalScrollBar()->setValue(0);
  if (!Editing())
    return;
  FAppending = true;
  FEditor->clear();
  FEditor->document()->setModified(false);
  FAppending = false;
  FEditorOwns = false;
  if (!FEditor->hasFocus())
    EndEdit();
}

void TLogBox::SetWrap(bool aWrap)
{
  FWrap = aWrap;
  FEditor->setLineWrapMode(aWrap ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
  Forget();
  LinesChanged();
}

QString TLogBox::Text() const
{
  return Editing() ? FEditor->toPlainText() : FLines.Text();
}

bool TLogBox::Editing() const
{
  return !FEditor->isHidden();
}

QPlainTextEdit *TLogBox::Edit()
{
  if (Editing())
    return FEditor;
  const qsizetype Top = TopLine();
  const bool Follow = AtEnd();
  FAppending = true;
  FEditor->setPlainText(FLines.Text());
  FEditor->document()->setModified(false);
  FAppending = false;
  FEditor->setGeometry(rect());
  FEditor->show();
  FEditor->raise();
  // The same line at the top; at the end, the edit box's own end, which
  // shows the last line a row higher or lower than the view when lines are
  // wrapped: it scrolls by rows, the view by lines.
  QScrollBar *Bar = FEditor->verticalScrollBar();
  Bar->setValue(Follow ? Bar->maximum() : FEditor->document()->findBlockByNumber(int(Top)).firstLineNumber());
  const bool Focused = hasFocus();
  setFocusProxy(FEditor);
  if (Focused)
    FEditor->setFocus(Qt::OtherFocusReason);
  return FEditor;
}

void TLogBox::EndEditUnlessChanged()
{
  if (Editing() && !FEditorOwns && !FEditor->hasFocus())
    EndEdit();
}

void TLogBox::EndEdit()
{
  // Following when the last line is in sight, as the edit box does.
  const QRect Shown = FEditor->viewport()->rect();
  const bool Follow = FEditor->cursorForPosition(Shown.bottomLeft()).blockNumber() + 1 >= FEditor->blockCount();
  const int Top = FEditor->cursorForPosition(Shown.topLeft()).blockNumber();
  setFocusProxy(nullptr);
  // The log group's accelerator goes back to the control last focused inside
  // it: that is to be the view again, not the hidden edit box.
  FEditor->clearFocus();
  FEditor->hide();
  // Its document would hold a second copy of the log.
  FAppending = true;
  FEditor->clear();
  FEditor->document()->setModified(false);
  FAppending = false;
  UpdateScrollRange();
  verticalScrollBar()->setValue(Follow ? verticalScrollBar()->maximum() : Top);
  viewport()->update();
}

qsizetype TLogBox::TopLine() const
{
  return verticalScrollBar()->value();
}

bool TLogBox::AtEnd() const
{
  return verticalScrollBar()->value() >= verticalScrollBar()->maximum();
}

void TLogBox::LinesChanged()
{
  FRangeStale = true;
  if (!Editing())
    viewport()->update();
}

qreal TLogBox::Margin() const
{
  return FEditor->document()->documentMargin();
}

// As a plain edit box lays out a line: leading included, breaking at word
// boundaries or anywhere when wrapping.
qreal TLogBox::LayOut(QTextLayout &aLayout) const
{
  QTextOption Option;
  Option.setWrapMode(FWrap ? QTextOption::WrapAtWordBoundaryOrAnywhere : QTextOption::NoWrap);
  aLayout.setTextOption(Option);
  const qreal Width = FWrap ? std::max<qreal>(1, viewport()->width() - 2 * Margin()) : qreal(INT_MAX / 256);
  qreal Height = 0;
  aLayout.beginLayout();
  for (QTextLine Line = aLayout.createLine(); Line.isValid(); Line = aLayout.createLine()) {
    Line.setLeadingIncluded(true);
    Line.setLineWidth(Width);
    Line.setPosition(QPointF(0, Height));
    Height += Line.height();
  }
  aLayout.endLayout();
  return Height;
}

const QTextLayout &TLogBox::LaidOut(qsizetype aLine)
{
  std::unique_ptr<QTextLayout> &Layout = FLayouts[aLine];
  if (!Layout) {
    Layout = std::make_unique<QTextLayout>(FLines.Line(aLine), font(), viewport());
    FHeights[aLine] = int(std::ceil(LayOut(*Layout)));
  }
  return *Layout;
}

int TLogBox::HeightOf(qsizetype aLine)
{
  const auto Known = FHeights.find(aLine);
  if (Known != FHeights.end())
    return Known->second;
  LaidOut(aLine);
  return FHeights[aLine];
}

void TLogBox::Forget()
{
  FHeights.clear();
  FLayouts.clear();
  FDrawnTop = -1;
}

// The top line that shows the last line whole at the bottom, with the margin
// below it (and above the first line) that an edit box leaves.
qsizetype TLogBox::LastTopLine()
{
  qreal Room = viewport()->height() - Margin();
  qsizetype Top = FLines.Count();
  while (Top > 0) {
    const qreal Needed = HeightOf(Top - 1) + (Top == 1 ? Margin() : 0);
    if (Needed > Room)
      break;
    Room -= Needed;
    --Top;
  }
  return std::min(Top, std::max<qsizetype>(0, FLines.Count() - 1));
}

void TLogBox::UpdateScrollRange()
{
  FRangeStale = false;
  const qsizetype Last = std::min<qsizetype>(LastTopLine(), std::numeric_limits<int>::max());
  FBar->Set(int(Last), std::max(1, viewport()->height() / std::max(1, fontMetrics().lineSpacing())), AtEnd());
}

// The view is drawn into a picture of its own, which the next paint moves up
// when the lines it holds are still in sight: a view that follows the log
// draws only the lines added since, not every line in sight again.
void TLogBox::paintEvent(QPaintEvent *)
{
  if (FRangeStale) {
    // Moving the scroll bar here asks for no second paint of the view.
    FPainting = true;
    UpdateScrollRange();
    FPainting = false;
  }
  const qreal Ratio = viewport()->devicePixelRatio();
  const QSize Size = viewport()->size();
  if (FDrawn.size() != Size * Ratio) {
    FDrawn = QPixmap(Size * Ratio);
    FDrawn.setDevicePixelRatio(Ratio);
    FDrawnTop = -1;
  }
  const qsizetype Top = TopLine();
  int Y = TopY(Top);
  qsizetype Line = Top;
  int Stale = 0; // the picture is wrong from here down
  if (FDrawnTop >= 0 && FDrawnTop <= Top && Top < FDrawnEnd) {
    int Shift = TopY(FDrawnTop) - Y;
    for (qsizetype Above = FDrawnTop; Above < Top; ++Above)
      Shift += HeightOf(Above);
    FDrawn.scroll(0, -qRound(Shift * Ratio), FDrawn.rect());
    Y = FDrawnBottom - Shift;
    Line = FDrawnEnd;
    Stale = Y;
  }
  QPainter Painter(&FDrawn);
  Painter.fillRect(QRect(0, Stale, Size.width(), Size.height() - Stale),
                   viewport()->palette().brush(viewport()->backgroundRole()));
  Painter.setPen(palette().color(QPalette::Text));
  FDrawnTop = Top;
  FDrawnEnd = Line;
  FDrawnBottom = Y;
  for (; Line < FLines.Count() && Y < Size.height(); ++Line) {
    LaidOut(Line).draw(&Painter, QPointF(Margin(), Y));
    Y += HeightOf(Line);
    // A line cut off at the bottom is drawn whole next time.
    if (Y <= Size.height()) {
      FDrawnEnd = Line + 1;
      FDrawnBottom = Y;
    }
  }
  Painter.end();
  QPainter(viewport()).drawPixmap(0, 0, FDrawn);
  // The lines in sight are drawn again when they move, the others are laid
  // out again if they come back.
  const auto OutOfSight = [&](qsizetype aLine) { return aLine < Top || aLine >= Line; };
  std::erase_if(FLayouts, [&](const auto &aLaidOut) { return OutOfSight(aLaidOut.first); });
  std::erase_if(FHeights, [&](const auto &aHeight) {
    return OutOfSight(aHeight.first) && aHeight.first < verticalScrollBar()->maximum();
  });
}

int TLogBox::TopY(qsizetype aTop) const
{
  return aTop == 0 ? int(Margin()) : 0;
}

int TLogBox::TextPositionAt(QPointF aPoint)
{
  qsizetype Start = 0; // of the line in the whole text
  for (qsizetype Line = 0; Line < TopLine(); ++Line)
    Start += FLines.Length(Line) + 1;
  qreal Y = TopY(TopLine());
  for (qsizetype Line = TopLine(); Line < FLines.Count() && Y <= aPoint.y(); ++Line) {
    const QTextLayout &Layout = LaidOut(Line);
    const int Height = HeightOf(Line);
    if (aPoint.y() < Y + Height)
      for (int Row = 0; Row < Layout.lineCount(); ++Row) {
        const QTextLine Shown = Layout.lineAt(Row);
        if (aPoint.y() < Y + Shown.rect().bottom() || Row + 1 == Layout.lineCount())
          return int(Start + Shown.xToCursor(aPoint.x() - Margin()));
      }
    Y += Height;
    Start += FLines.Length(Line) + 1;
  }
  return -1;
}

void TLogBox::resizeEvent(QResizeEvent *aEvent)
{
  QAbstractScrollArea::resizeEvent(aEvent);
  FEditor->setGeometry(rect());
  Forget();
  UpdateScrollRange();
}

void TLogBox::changeEvent(QEvent *aEvent)
{
  QAbstractScrollArea::changeEvent(aEvent);
  if (aEvent->type() == QEvent::FontChange || aEvent->type() == QEvent::StyleChange ||
      aEvent->type() == QEvent::PaletteChange) {
    Forget();
    LinesChanged();
  }
}

void TLogBox::scrollContentsBy(int, int)
{
  if (!FPainting)
    viewport()->update();
}

// A press of a mouse button in the view starts the user's work in the edit
// box, which then gets that press and whatever follows it.
bool TLogBox::viewportEvent(QEvent *aEvent)
{
  const QEvent::Type Type = aEvent->type();
  const bool Starts = !Editing() && (Type == QEvent::MouseButtonPress || Type == QEvent::MouseButtonDblClick ||
                                     Type == QEvent::ContextMenu);
  if (!Starts && (!Editing() || (!IsMouseEvent(Type) && Type != QEvent::ContextMenu)))
    return QAbstractScrollArea::viewportEvent(aEvent);
  const int Clicked = Starts && Type != QEvent::ContextMenu ? TextPositionAt(static_cast<QMouseEvent *>(aEvent)->position()) : -1;
  Edit();
  if (Type == QEvent::ContextMenu) {
    const auto *Menu = static_cast<QContextMenuEvent *>(aEvent);
    QContextMenuEvent Forwarded(Menu->reason(), FEditor->viewport()->mapFromGlobal(Menu->globalPos()),
                                Menu->globalPos(), Menu->modifiers());
    QCoreApplication::sendEvent(FEditor->viewport(), &Forwarded);
    return true;
  }
  const auto *Mouse = static_cast<QMouseEvent *>(aEvent);
  QPointF At = FEditor->viewport()->mapFromGlobal(Mouse->globalPosition());
  if (Clicked >= 0) {
    // The edit box may show the last lines a row higher or lower than the
    // view did (it scrolls by rows, the view by lines): the press goes to the
    // character that was under the mouse.
    QTextCursor Cursor(FEditor->document());
    Cursor.setPosition(Clicked);
    At = QPointF(FEditor->cursorRect(Cursor).center());
  }
  QMouseEvent Forwarded(Type, At, Mouse->scenePosition(),
                        Mouse->globalPosition(), Mouse->button(), Mouse->buttons(), Mouse->modifiers(),
                        Mouse->pointingDevice());
  QCoreApplication::sendEvent(FEditor->viewport(), &Forwarded);
  return true;
}

// A key the edit box does not take goes on from it to the box's parents, as
// it would from the focused edit box itself, and comes through here on its
// way: it is neither sent back nor passed on a second time.
void TLogBox::ForwardInput(QEvent *aEvent)
{
  if (FForwarding) {
    aEvent->ignore();
    return;
  }
  FForwarding = true;
  QCoreApplication::sendEvent(Edit(), aEvent);
  FForwarding = false;
  aEvent->accept();
}

void TLogBox::keyPressEvent(QKeyEvent *aEvent)
{
  // A modifier pressed alone is usually the start of an accelerator or a
  // shortcut elsewhere in the window, not the start of an edit.
  switch (aEvent->key()) {
  case Qt::Key_Alt:
  case Qt::Key_AltGr:
  case Qt::Key_Control:
  case Qt::Key_Shift:
  case Qt::Key_Meta:
  case Qt::Key_Super_L:
  case Qt::Key_Super_R:
    aEvent->ignore();
    return;
  default:
    ForwardInput(aEvent);
  }
}

void TLogBox::inputMethodEvent(QInputMethodEvent *aEvent)
{
  ForwardInput(aEvent);
}

bool TLogBox::eventFilter(QObject *aWatched, QEvent *aEvent)
{
  if (aWatched == FEditor && aEvent->type() == QEvent::FocusOut) {
    // A menu or another window takes the focus only for a while.
    const Qt::FocusReason Reason = static_cast<QFocusEvent *>(aEvent)->reason();
    if (Reason != Qt::PopupFocusReason && Reason != Qt::ActiveWindowFocusReason)
      QMetaObject::invokeMethod(this, &TLogBox::EndEditUnlessChanged, Qt::QueuedConnection);
  }
  return QAbstractScrollArea::eventFilter(aWatched, aEvent);
}
