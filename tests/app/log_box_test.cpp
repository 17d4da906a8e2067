// The log box's undo history belongs to the user: what the user typed can be
// taken back with Ctrl+Z, a line the program appended cannot.

#include <QPlainTextEdit>

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
