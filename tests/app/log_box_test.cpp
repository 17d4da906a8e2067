// The log box: the view follows the last line unless the user scrolled back,
// wraps and unwraps, and hands over to an edit box for the user's work
// without a visible change; the edit box goes away again unless the user
// changed the text. The undo history belongs to the user: what the user
// typed can be taken back with Ctrl+Z, a line the program appended cannot.

#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>

#include "LogBox.h"
#include <QTest>
#include <gtest/gtest.h>

#include "AppTestSupport.h"

namespace {

void PressUndo(TfrmMain &Window)
{
  QTest::keyClick(Window.memLog->Edit(), Qt::Key_Z, Qt::ControlModifier);
}

void TypeAtEnd(TfrmMain &Window, const QString &Text)
{
  Window.memLog->Edit()->moveCursor(QTextCursor::End);
  QTest::keyClicks(Window.memLog->Edit(), Text);
}

// The log's lines without their time stamps.
QStringList Texts(TfrmMain &Window)
{
  QStringList Lines = LogLines(Window);
  for (QString &Line : Lines)
    Line.remove(0, 20);
  return Lines;
}

} // namespace

TEST(LogBox, UndoTakesBackTheUsersTypingButNotTheProgramsLines)
{
  TTestWindow W;
  W->AddLog("first");
  TypeAtEnd(*W, " typed");
  ASSERT_EQ(Texts(*W), QStringList({"first typed"}));
  PressUndo(*W);
  EXPECT_EQ(Texts(*W), QStringList({"first"}));

  W->AddLog("second");
  W->AddLog("third");
  PressUndo(*W);
  EXPECT_EQ(Texts(*W), QStringList({"first", "second", "third"}));

  // Typing after the program's lines is the user's again.
  TypeAtEnd(*W, "!");
  EXPECT_EQ(Texts(*W), QStringList({"first", "second", "third!"}));
  PressUndo(*W);
  EXPECT_EQ(Texts(*W), QStringList({"first", "second", "third"}));
}

namespace {

// A log box of the window's size beside another control to move the focus to.
struct TBoxWindow {
  QWidget Window;
  TLogBox *Box = new TLogBox(&Window);
  QLineEdit *Elsewhere = new QLineEdit(&Window);

  TBoxWindow()
  {
    Window.resize(420, 300);
    Box->setGeometry(0, 0, 401, 247);
    Elsewhere->setGeometry(0, 260, 100, 20);
    Window.show();
    Window.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&Window));
  }
  void Append(int aCount, const QString &aText = QStringLiteral("line %1"))
  {
    for (int I = 0; I < aCount; ++I)
      Box->AppendLine(aText.arg(Box->Text().isEmpty() ? 0 : Box->Text().count('\n') + 1));
    // The scroll range follows the lines when the view is painted.
    Box->viewport()->repaint();
  }
  // Short lines, and every fourth one long enough to wrap.
  void AppendSensorLines(int aCount)
  {
    for (int I = 0; I < aCount; ++I)
      Append(1, I % 4 == 0 ? QStringLiteral("2024-05-07 14:03:09 sensors/%1=") + QString(120, 'v')
                           : QStringLiteral("2024-05-07 14:03:09 sensors/t%1=21.5"));
  }
  int LastTopLine() const { return Box->verticalScrollBar()->maximum(); }
  QImage Picture() const { return Box->grab().toImage(); }
  // The middle of the lowest row with text on it.
  int LastRowMiddle() const
  {
    const QImage Lines = LinesPicture();
    int Last = Lines.height() - 1;
    while (Last >= 0 && !Inked(Lines, Last))
      --Last;
    int First = Last;
    while (First > 0 && Inked(Lines, First - 1))
      --First;
    return (First + Last) / 2;
  }
  static bool Inked(const QImage &aImage, int aY)
  {
    for (int X = 0; X < aImage.width(); ++X)
      if (qGray(aImage.pixel(X, aY)) < 128)
        return true;
    return false;
  }
  // Without the scroll bar: the edit box counts its range in rows, the view
  // in lines.
  QImage LinesPicture() const { return Box->grab(Box->viewport()->geometry()).toImage(); }
  // Moves the focus away as a click on another control does.
  void LeaveBox()
  {
    Elsewhere->setFocus(Qt::MouseFocusReason);
    QCoreApplication::processEvents();
  }
};

TEST(LogBox, TheViewFollowsTheLastLineUnlessScrolledBack)
{
  TBoxWindow W;
  W.Append(100);
  EXPECT_TRUE(W.Box->AtEnd());
  const int Last = W.LastTopLine();
  EXPECT_GT(Last, 70);
  EXPECT_LT(Last, 100);
  EXPECT_EQ(W.Box->TopLine(), Last);

  W.Append(5);
  EXPECT_EQ(W.LastTopLine(), Last + 5);
  EXPECT_EQ(W.Box->TopLine(), Last + 5) << "at the end, new lines scroll into view";

  W.Box->verticalScrollBar()->setValue(10);
  W.Append(5);
  EXPECT_EQ(W.LastTopLine(), Last + 10);
  EXPECT_EQ(W.Box->TopLine(), 10) << "scrolled back, the view stays";
}

// Past its bound the log drops its oldest tenth and says in its first line
// how many lines went; a reader scrolled back keeps the same lines in sight;
// Clear starts the count again.
TEST(LogBox, TheOldestLinesGoPastTheBoundAndTheFirstLineCountsThem)
{
  TBoxWindow W;
  W.Box->SetMaxLines(1000);
  for (int I = 0; I < 1000; ++I)
    W.Box->AppendLine(QStringLiteral("line %1").arg(I));
  EXPECT_EQ(W.Box->Text().count('\n') + 1, 1000) << "up to the bound nothing goes";
  W.Box->AppendLine("line 1000");
  QStringList Lines = W.Box->Text().split('\n');
  ASSERT_EQ(Lines.size(), 900);
  EXPECT_EQ(Lines[0], "102 older lines dropped: the log keeps the latest 1000");
  EXPECT_EQ(Lines[1], "line 102");
  EXPECT_EQ(Lines.last(), "line 1000");

  W.Box->viewport()->repaint();
  W.Box->verticalScrollBar()->setValue(500); // "line 601" at the top
  for (int I = 1001; I < 1102; ++I)
    W.Box->AppendLine(QStringLiteral("line %1").arg(I));
  Lines = W.Box->Text().split('\n');
  ASSERT_EQ(Lines.size(), 900);
  EXPECT_EQ(Lines[0], "203 older lines dropped: the log keeps the latest 1000") << "one line, counting all";
  EXPECT_EQ(Lines[W.Box->TopLine()], "line 601") << "the view stays on the lines it showed";

  W.Box->Clear();
  for (int I = 0; I < 1001; ++I)
    W.Box->AppendLine(QStringLiteral("again %1").arg(I));
  EXPECT_EQ(W.Box->Text().split('\n')[0], "102 older lines dropped: the log keeps the latest 1000");
}

// Painted after every line, the view moves what it drew before up and adds
// the new lines: the picture is the one a fresh view draws of the same lines.
TEST(LogBox, AViewPaintedLineByLineShowsWhatAFreshViewShows)
{
  struct TCase {
    const char *Name;
    bool Wrap;
  };
  for (const TCase &C : {TCase{"wrapped", true}, TCase{"unwrapped", false}}) {
    SCOPED_TRACE(C.Name);
    TBoxWindow Painted, Fresh;
    Painted.Box->SetWrap(C.Wrap);
    Fresh.Box->SetWrap(C.Wrap);
    for (int I = 0; I < 40; ++I) {
      Painted.AppendSensorLines(1);
      if (I == 25) {
        // Scrolled back and to the end again on the way.
        Painted.Box->verticalScrollBar()->setValue(3);
        Painted.Box->viewport()->repaint();
        Painted.Box->verticalScrollBar()->setValue(Painted.LastTopLine());
      }
    }
    for (const QString &Line : Painted.Box->Text().split('\n'))
      Fresh.Box->AppendLine(Line);
    Fresh.Box->viewport()->repaint();
    EXPECT_EQ(Painted.Box->TopLine(), Fresh.Box->TopLine());
    EXPECT_EQ(Painted.LinesPicture(), Fresh.LinesPicture());
  }
}

// In a long log, followed at its end, the slider keeps its size and place:
// new lines repaint the lines, not the scroll bar, and the box is not laid
// out again (an event of its own, one more pass of the event loop per paint).
TEST(LogBox, NewLinesAtTheEndOfALongLogLeaveTheScrollBarAlone)
{
  struct TEventCount : QObject {
    int Paints = 0;
    int Calls = 0; // queued calls
    bool eventFilter(QObject *, QEvent *aEvent) override
    {
      Paints += aEvent->type() == QEvent::Paint;
      Calls += aEvent->type() == QEvent::MetaCall;
      return false;
    }
  };
  TBoxWindow W;
  W.Append(2000);
  ASSERT_TRUE(W.Box->AtEnd());
  // Only what asked for an update is painted.
  const auto Paint = [] {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
  };
  Paint();
  TEventCount Bar, View, Box;
  W.Box->verticalScrollBar()->installEventFilter(&Bar);
  W.Box->viewport()->installEventFilter(&View);
  W.Box->installEventFilter(&Box);
  for (int I = 0; I < 5; ++I) {
    W.Box->AppendLine(QStringLiteral("more"));
    Paint();
  }
  EXPECT_EQ(View.Paints, 5);
  EXPECT_EQ(Bar.Paints, 0);
  EXPECT_EQ(Box.Calls, 0);
  W.Box->verticalScrollBar()->setValue(0);
  Paint();
  EXPECT_EQ(Bar.Paints, 1) << "scrolled to the top, the slider moves";
}

TEST(LogBox, WrapBreaksLongLinesAtTheWidthAndUnwrapsThemAgain)
{
  TBoxWindow W;
  W.Append(20, QStringLiteral("long %1 ") + QString(300, 'x'));
  const int Wrapped = W.LastTopLine();
  const QImage WrappedPicture = W.Picture();
  W.Box->SetWrap(false);
  W.Box->viewport()->repaint();
  const int Unwrapped = W.LastTopLine();
  EXPECT_GT(Wrapped, Unwrapped) << "wrapped, fewer long lines fit in the view";
  EXPECT_NE(W.Picture(), WrappedPicture);
  EXPECT_EQ(W.Box->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  W.Box->SetWrap(true);
  W.Box->viewport()->repaint();
  EXPECT_EQ(W.LastTopLine(), Wrapped);
  EXPECT_EQ(W.Picture(), WrappedPicture);
}

// The edit box takes over without a visible change: same lines, same places.
// (At the end it shows its own end, which may differ by a row when lines are
// wrapped: it scrolls by rows, the view by lines.)
TEST(LogBox, TheEditBoxShowsWhatTheViewShowed)
{
  struct TCase {
    const char *Name;
    bool Wrap;
    int Top;
  };
  const TCase Cases[] = {{"wrapped, at the top", true, 0},
                         {"wrapped, in the middle", true, 7},
                         {"unwrapped, at the top", false, 0},
                         {"unwrapped, in the middle", false, 7}};
  for (const TCase &C : Cases) {
    SCOPED_TRACE(C.Name);
    TBoxWindow W;
    W.Box->SetWrap(C.Wrap);
    W.AppendSensorLines(30);
    W.Box->verticalScrollBar()->setValue(C.Top);
    W.Box->viewport()->repaint();
    // Without the focus, the edit box shows no caret.
    W.LeaveBox();
    const QImage View = W.LinesPicture();
    W.Box->Edit();
    ASSERT_TRUE(W.Box->Editing());
    EXPECT_EQ(W.LinesPicture(), View);
  }
}

// The press that brings up the edit box puts the caret on the line that was
// under the mouse, also at the end, where the edit box may show the lines a
// row higher or lower.
TEST(LogBox, AClickPutsTheCaretOnTheLineClicked)
{
  struct TCase {
    const char *Name;
    int Top;     // -1: at the end
    int Row;     // of the view, counted from its top
    int Clicked; // -1: the last line
  };
  const TCase Cases[] = {{"first row, scrolled back", 10, 0, 10},
                         {"last row, at the end", -1, -1, -1}};
  for (const TCase &C : Cases) {
    SCOPED_TRACE(C.Name);
    TBoxWindow W;
    W.AppendSensorLines(40);
    if (C.Top >= 0)
      W.Box->verticalScrollBar()->setValue(C.Top);
    W.Box->viewport()->repaint();
    ASSERT_EQ(W.Box->AtEnd(), C.Top < 0);
    const int Row = W.Box->fontMetrics().lineSpacing();
    const int Y = C.Row >= 0 ? (C.Top == 0 ? 4 : 0) + C.Row * Row + Row / 2
                             : W.LastRowMiddle();
    QTest::mouseClick(W.Box->viewport(), Qt::LeftButton, {}, QPoint(30, Y));
    ASSERT_TRUE(W.Box->Editing());
    const QTextCursor Caret = W.Box->Edit()->textCursor();
    EXPECT_EQ(Caret.blockNumber(), C.Clicked >= 0 ? C.Clicked : 39);
    EXPECT_TRUE(W.Box->Edit()->hasFocus());
  }
}

TEST(LogBox, TheEditBoxStaysOnlyOnceTheUserChangedTheText)
{
  TBoxWindow W;
  W.Append(3);
  W.Box->setFocus(Qt::TabFocusReason);
  EXPECT_FALSE(W.Box->Editing()) << "the focus alone does not need the edit box";

  // Selecting and copying leave the text as it was.
  QTest::keyClick(W.Box, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(W.Box, Qt::Key_C, Qt::ControlModifier);
  EXPECT_TRUE(W.Box->Editing());
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "line 0\nline 1\nline 2");
  W.LeaveBox();
  EXPECT_TRUE(WaitFor([&] { return !W.Box->Editing(); }));
  W.Append(1);
  EXPECT_EQ(W.Box->Text(), "line 0\nline 1\nline 2\nline 3");

  W.Box->setFocus(Qt::TabFocusReason);
  QTest::keyClick(W.Box, Qt::Key_End, Qt::ControlModifier);
  QTest::keyClicks(W.Box, " typed");
  W.LeaveBox();
  RunLoop(20);
  EXPECT_TRUE(W.Box->Editing());
  W.Box->AppendLine("after");
  EXPECT_EQ(W.Box->Text(), "line 0\nline 1\nline 2\nline 3 typed\nafter");

  W.Box->Clear();
  EXPECT_EQ(W.Box->Text(), "");
  EXPECT_FALSE(W.Box->Editing()) << "cleared, with the focus elsewhere";
  W.Box->AppendLine("new");
  EXPECT_EQ(W.Box->Text(), "new");
}

} // namespace
