// The drain's passes of the event loop: at once outside a drain, at most once
// per pass interval inside one, and again once the interval is over; and a
// steady stream of short drains painted at the paint pacer's pace.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTest>
#include <QThread>
#include <QWidget>
#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "LineList.h"
#include "PaintPacer.h"
#include "PendingDrain.h"

namespace {

// Counts the events delivered to it.
class TDeliveries : public QObject {
public:
  int Count = 0;

protected:
  bool event(QEvent *aEvent) override
  {
    if (aEvent->type() != QEvent::User)
      return QObject::event(aEvent);
    ++Count;
    return true;
  }
};

// Whether a call lets an event posted just before it through.
bool PassTaken(TPendingDrain &aDrain, TDeliveries &aTarget)
{
  const int Before = aTarget.Count;
  QCoreApplication::postEvent(&aTarget, new QEvent(QEvent::User));
  aDrain.LetEventsThrough();
  return aTarget.Count > Before;
}

} // namespace

TEST(PendingDrain, PassesAreTakenAtMostOncePerIntervalWhileItRuns)
{
  struct TCase {
    const char *Name;
    int IntervalMs;
    int WorkMs;         // work on each line before it asks for passes
    int CallsPerLine;   // passes asked for by each line
    int ExpectedPasses; // taken during a drain of three lines
  };
  const TCase Cases[] = {
      {"interval 0: every call", 0, 0, 2, 6},
      {"long interval: none while it runs", 60000, 0, 2, 0},
      {"work longer than the interval: every line gets its pass", 20, 30, 1, 3},
  };
  for (const TCase &C : Cases) {
    SCOPED_TRACE(C.Name);
    QWidget Window;
    TPaintPacer Pacer(&Window, 40);
    TLineList Pending;
    for (const char *Line : {"a=1", "b=2", "c=3"})
      Pending.Insert(Pending.Count(), QString::fromLatin1(Line));
    TPendingDrain Drain(Pending, Pacer, C.IntervalMs);
    TDeliveries Target;
    int Passes = 0;
    Drain.Run([&](const QString &, const QString &, const QString &) {
      QThread::msleep(C.WorkMs);
      for (int Call = 0; Call < C.CallsPerLine; ++Call)
        Passes += PassTaken(Drain, Target);
    });
    EXPECT_EQ(Pending.Count(), 0);
    EXPECT_EQ(Passes, C.ExpectedPasses);
    // Whatever was held back is delivered by the next pass.
    QCoreApplication::processEvents();
    EXPECT_EQ(Target.Count, C.CallsPerLine * 3);
  }
}

TEST(PendingDrain, OutsideADrainEveryCallTakesAPass)
{
  QWidget Window;
  TPaintPacer Pacer(&Window, 40);
  TLineList Pending;
  TPendingDrain Drain(Pending, Pacer, 60000);
  TDeliveries Target;
  EXPECT_TRUE(PassTaken(Drain, Target));
  EXPECT_TRUE(PassTaken(Drain, Target));
  // Also after a drain has ended.
  Pending.Insert(0, QStringLiteral("a=1"));
  Drain.Run([](const QString &, const QString &, const QString &) {});
  EXPECT_TRUE(PassTaken(Drain, Target));
}

// A steady stream: each message its own drain of one line, which asks for a
// paint and lets the event loop through nowhere itself.
TEST(PendingDrain, OneLineDrainsOneAfterAnotherArePaintedAtThePacersPace)
{
  struct TCountingWindow : QWidget {
    int Paints = 0;
    void paintEvent(QPaintEvent *) override { ++Paints; }
  } Window;
  Window.resize(100, 100);
  Window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&Window));
  ASSERT_TRUE(WaitFor([&] { return Window.Paints > 0; }));
  TPaintPacer Pacer(&Window, 100);
  TLineList Pending;
  TPendingDrain Drain(Pending, Pacer, 5);
  const int Before = Window.Paints;
  int Drains = 0;
  QElapsedTimer Streaming;
  Streaming.start();
  while (!Streaming.hasExpired(600)) {
    Pending.Insert(0, QStringLiteral("a=1"));
    Drain.Run([&](const QString &, const QString &, const QString &) { Window.update(); });
    ++Drains;
    QCoreApplication::processEvents();
  }
  const qint64 Elapsed = Streaming.elapsed();
  const int Paints = Window.Paints - Before;
  EXPECT_GE(Paints, 1);
  EXPECT_LE(Paints, Elapsed / Pacer.IntervalMs() + 2) << Paints << " paints for " << Drains << " drains in "
                                                      << Elapsed << " ms";
}
