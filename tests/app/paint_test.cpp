// What a received message repaints: the log and the topic list, inside their
// frames. The window's background, the group boxes, the buttons, the edit
// boxes and the radio groups are not drawn again when nothing on them changed.

#include <QPaintEvent>
#include "LogBox.h"
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "TListBox.h"

namespace {

// Records every widget that gets a paint event while it lives.
class TPaintRecorder : public QObject {
public:
  TPaintRecorder() { qApp->installEventFilter(this); }
  ~TPaintRecorder() override { qApp->removeEventFilter(this); }
  QList<QWidget *> Painted;

protected:
  bool eventFilter(QObject *aObject, QEvent *aEvent) override
  {
    if (aEvent->type() == QEvent::Paint && !Painted.contains(aObject))
      Painted << static_cast<QWidget *>(aObject);
    return false;
  }
};

QString NameOf(QWidget *aWidget)
{
  QString Name = QString::fromLatin1(aWidget->metaObject()->className());
  for (QWidget *W = aWidget; W; W = W->parentWidget())
    if (!W->objectName().isEmpty())
      return Name + QStringLiteral(" in ") + W->objectName();
  return Name;
}

void Receive(TfrmMain &aWindow, const std::vector<std::string> &aTopics, const std::string &aValue)
{
  for (const std::string &Topic : aTopics)
    aWindow.mqtMsg(aWindow.mqt.get(), Topic, aValue, qtAT_MOST_ONCE, false);
  ASSERT_TRUE(WaitFor([&] { return aWindow.PendingList().Count() == 0; }));
  // Paint is paced: let the last one through.
  RunLoop(300);
}

} // namespace

TEST(Paint, AReceivedMessageRepaintsOnlyTheLogAndTheTopicList)
{
  TTestWindow W;
  W->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(W.Window.get()));
  // Rows sensors/t00 to sensors/t29, the first ones visible.
  std::vector<std::string> Topics;
  for (int I = 0; I < 30; ++I)
    Topics.push_back("sensors/t" + std::to_string(I / 10) + std::to_string(I % 10));
  Receive(*W, Topics, "20.5");

  struct TCase {
    const char *Name;
    std::string Topic;
  };
  // A new value on the second row, and a topic new to the list that sorts
  // in as its first row.
  for (const TCase &C : {TCase{"known topic", "sensors/t01"}, TCase{"new topic", "sensors/s"}}) {
    SCOPED_TRACE(C.Name);
    TPaintRecorder Recorder;
    Receive(*W, {C.Topic}, "21.5");
    EXPECT_TRUE(Recorder.Painted.contains(W->memLog->viewport()));
    EXPECT_TRUE(Recorder.Painted.contains(W->lbxTopic->viewport()));
    for (QWidget *Painted : Recorder.Painted)
      EXPECT_TRUE(W->memLog->isAncestorOf(Painted) || W->lbxTopic->isAncestorOf(Painted)) << NameOf(Painted).toStdString();
  }
}
