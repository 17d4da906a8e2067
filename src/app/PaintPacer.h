#pragma once
// Paint pacing for a window whose handler lets the event loop through again
// and again in the middle of long work (the idle handler draining received
// messages): while the work runs, the window is painted at most once per
// interval instead of at every pass. A paint held back is not lost: it is
// asked for again when the interval since the last paint is over, by a timer
// of its own, so every change reaches the screen within one interval without
// any input. The end of the work does not cut the interval short: a steady
// stream that brings one message at a time runs one short piece of work per
// message, and is painted at the same pace as a burst.
//
// Paint stays paced for one interval after the last hold ends: a steady
// stream drains each message in a hold of its own, and the paint that
// message asked for is served after the hold, in the event loop's next pass.
//
// Qt coalesces every update of a window into one update request for the
// top-level widget; the pacer only decides when that request is served. It
// never switches the window's updates off.
//
//   TPaintPacer Pacer(Window, 40);
//   { TPaintPacer::THold Hold(Pacer); ... processEvents() ... }

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QWidget;

class TPaintPacer : public QObject {
  Q_OBJECT
public:
  TPaintPacer(QWidget *aWindow, int aIntervalMs);
  ~TPaintPacer() override;

  // Paint is paced while at least one hold lives.
  class THold {
  public:
    explicit THold(TPaintPacer &aPacer) : FPacer(aPacer) { FPacer.Begin(); }
    ~THold() { FPacer.End(); }
    THold(const THold &) = delete;
    THold &operator=(const THold &) = delete;

  private:
    TPaintPacer &FPacer;
  };

  bool Pacing() const { return FHolds > 0 || (FSinceHold.isValid() && !FSinceHold.hasExpired(FIntervalMs)); }
  int IntervalMs() const { return FIntervalMs; }

protected:
  bool eventFilter(QObject *aWatched, QEvent *aEvent) override;

private:
  void Begin();
  void End();
  // Asks for the paint held back, if any.
  void Release();
  bool IntervalOver() const { return !FSincePaint.isValid() || FSincePaint.hasExpired(FIntervalMs); }

  QWidget *FWindow;
  int FIntervalMs;
  int FHolds = 0;
  bool FHeldBack = false;
  QElapsedTimer FSincePaint; // since the last paint served
  QElapsedTimer FSinceHold;  // since the last hold ended
  QTimer FRelease;
};
