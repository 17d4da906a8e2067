#pragma once
// The log box (memLog): a multi-line box with a vertical scroll bar that
// keeps its lines until it is cleared (up to a bound, past which the oldest go), wraps long lines when asked to, and
// lets the user edit its text.
//
// The window appends a line for every received message, so the box is built
// for long logs: the lines live in a compact store (TLogLines), and the view
// lays out and draws only the lines on the screen, when it is painted. A line
// appended between two paints costs its copy in the store; the scroll range
// is brought up to date once per paint, from the heights of the last lines.
// A text document would hold some 460 bytes for each line and lay out every
// one as it arrives.
//
// The user's work goes to a real edit box (QPlainTextEdit) that covers the
// view: it takes the log's text when the user presses a key or a mouse button
// in the box, and then handles the caret, selection, copying, editing and its
// own undo history. Once the focus leaves it with the text unchanged, the
// edit box is emptied and hidden, and the view shows the log again. Once the
// user has changed the text, the edit box holds the log from then on, until
// the log is cleared. Lines the program appends never enter the undo history:
// an undo takes back the user's typing only, and a line appended ends the
// history before it, as in a plain edit control.

#include <QAbstractScrollArea>
#include <QPixmap>
#include <QTextLayout>
#include <memory>
#include <unordered_map>

#include "LogLines.h"

class QPlainTextEdit;
class TLookScrollBar;

class TLogBox : public QAbstractScrollArea {
  Q_OBJECT
public:
  explicit TLogBox(QWidget *aParent = nullptr);

  void AppendLine(const QString &aLine);
  void Clear();
  // At most aMax lines are kept (0: no bound). Past it the oldest tenth goes
  // at once, and the first line says how many lines were dropped so far.
  void SetMaxLines(qsizetype aMax);
  qsizetype MaxLines() const { return FMaxLines; }
  void SetWrap(bool aWrap);
  bool Wrap() const { return FWrap; }
  // The box's text, lines separated by "\n".
  QString Text() const;
  // The edit box, shown in place of the view with the log's text.
  QPlainTextEdit *Edit();
  bool Editing() const;
  // The first line at the top of the view and whether the view follows the
  // last line.
  qsizetype TopLine() const;
  bool AtEnd() const;

protected:
  void paintEvent(QPaintEvent *aEvent) override;
  void resizeEvent(QResizeEvent *aEvent) override;
  void changeEvent(QEvent *aEvent) override;
  void scrollContentsBy(int aDx, int aDy) override;
  bool viewportEvent(QEvent *aEvent) override;
  void keyPressEvent(QKeyEvent *aEvent) override;
  void inputMethodEvent(QInputMethodEvent *aEvent) override;
  bool eventFilter(QObject *aWatched, QEvent *aEvent) override;

private:
  // The edit box goes away when the focus has left it and the user has not
  // changed the text.
  void EndEditUnlessChanged();
  void DropOldest();
  void EndEdit();
  void LinesChanged();
  void ForwardInput(QEvent *aEvent);
  // Lays aLayout out at the view's width; returns its height.
  qreal LayOut(QTextLayout &aLayout) const;
  // The line laid out at the view's width, kept while it is in sight.
  const QTextLayout &LaidOut(qsizetype aLine);
  int HeightOf(qsizetype aLine);
  // Drops what was laid out at another width, font or wrapping, or of lines
  // now gone.
  void Forget();
  qsizetype LastTopLine();
  void UpdateScrollRange();
  qreal Margin() const;
  // Where the top line starts: the first line keeps the margin above it.
  int TopY(qsizetype aTop) const;
  // The position in the whole text of the character shown at aPoint of the
  // view, or -1 below the last line.
  int TextPositionAt(QPointF aPoint);

  TLogLines FLines;
  TLookScrollBar *FBar;
  QPlainTextEdit *FEditor;
  bool FWrap = true;
  qsizetype FMaxLines = 0;
  qsizetype FDropped = 0; // lines dropped since the log was cleared
  // The user has changed the text: the edit box holds the log alone.
  bool FEditorOwns = false;
  bool FAppending = false;
  bool FForwarding = false;
  bool FRangeStale = false;
  bool FPainting = false;
  // Heights of the lines in sight and of the last lines, which decide how
  // far the view scrolls, at the current width and font.
  std::unordered_map<qsizetype, int> FHeights;
  std::unordered_map<qsizetype, std::unique_ptr<QTextLayout>> FLayouts;
  // The view as last drawn: the lines from FDrawnTop up to FDrawnEnd whole,
  // the last of them ending at FDrawnBottom; FDrawnTop is -1 when it must be
  // drawn afresh.
  QPixmap FDrawn;
  qsizetype FDrawnTop = -1;
  qsizetype FDrawnEnd = 0;
  int FDrawnBottom = 0;
};
