// Paint pacing: while a hold lives the window is painted at most once per
// interval, also across many short holds, and a paint held back still comes
// without further updates. Never is a change left unpainted.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPaintEvent>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "PaintPacer.h"

namespace {

// A window that counts its paints and remembers the last state it painted.
class TCountingWindow : public QWidget {
public:
  int Paints = 0;
  int State = 0;
  int PaintedState = -1;

protected:
  void paintEvent(QPaintEvent *) override
  {
    ++Paints;
    PaintedState = State;
  }
};

struct TPacedWindow {
  TCountingWindow Window;
  TPaintPacer Pacer{&Window, 100};
  TPacedWindow()
  {
    Window.resize(100, 100);
    Window.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&Window));
    WaitFor([&] { return Window.Paints > 0; });
  }
  // Changes the state and asks for a paint, as a handler does.
  void Change()
  {
    ++Window.State;
    Window.update();
  }
};

TEST(PaintPacer, PaintsAtMostOncePerIntervalWhileHeld)
{
  TPacedWindow P;
  const int Before = P.Window.Paints;
  QElapsedTimer Held;
  {
    TPaintPacer::THold Hold(P.Pacer);
    Held.start();
    // A drain that lets the event loop through after every change.
    while (!Held.hasExpired(600)) {
      P.Change();
      QCoreApplication::processEvents();
    }
  }
  const qint64 Elapsed = Held.elapsed();
  const int Paints = P.Window.Paints - Before;
  EXPECT_GE(Paints, 1);
  EXPECT_LE(Paints, Elapsed / P.Pacer.IntervalMs() + 2) << Paints << " paints in " << Elapsed << " ms";
  // The end of the hold paints what was held back.
  EXPECT_TRUE(WaitFor([&] { return P.Window.PaintedState == P.Window.State; }, 5000));
}

// A steady stream brings one message per drain: many short holds.
TEST(PaintPacer, ShortHoldsOneAfterAnotherArePaintedAtTheSamePace)
{
  TPacedWindow P;
  const int Before = P.Window.Paints;
  QElapsedTimer Streaming;
  Streaming.start();
  while (!Streaming.hasExpired(600)) {
    {
      TPaintPacer::THold Hold(P.Pacer);
      P.Change();
      QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
  }
  const qint64 Elapsed = Streaming.elapsed();
  const int Paints = P.Window.Paints - Before;
  EXPECT_LE(Paints, Elapsed / P.Pacer.IntervalMs() + 2) << Paints << " paints in " << Elapsed << " ms";
  EXPECT_TRUE(WaitFor([&] { return P.Window.PaintedState == P.Window.State; }, 5000));
}

TEST(PaintPacer, AHeldBackPaintComesWithoutAnotherChange)
{
  struct TCase {
    const char *Name;
    bool EndHold; // whether the hold ends right after the change
  };
  for (const TCase C : {TCase{"within the hold", false}, TCase{"at its end", true}}) {
    SCOPED_TRACE(C.Name);
    TPacedWindow P;
    auto Hold = std::make_unique<TPaintPacer::THold>(P.Pacer);
    // The first change paints, the second falls within the interval.
    P.Change();
    QCoreApplication::processEvents();
    P.Change();
    QCoreApplication::processEvents();
    if (C.EndHold)
      Hold.reset();
    EXPECT_TRUE(WaitFor([&] { return P.Window.PaintedState == P.Window.State; }, 5000));
    Hold.reset();
  }
}

TEST(PaintPacer, WithoutAHoldEveryUpdateIsServedAtOnce)
{
  TPacedWindow P;
  for (int I = 0; I < 3; ++I) {
    P.Change();
    QCoreApplication::processEvents();
    EXPECT_EQ(P.Window.PaintedState, P.Window.State);
  }
}

} // namespace
