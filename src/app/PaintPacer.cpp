#include "PaintPacer.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>
#include <algorithm>

TPaintPacer::TPaintPacer(QWidget *aWindow, int aIntervalMs) : FWindow(aWindow), FIntervalMs(aIntervalMs)
{
  FRelease.setSingleShot(true);
  connect(&FRelease, &QTimer::timeout, this, &TPaintPacer::Release);
  FWindow->installEventFilter(this);
}

TPaintPacer::~TPaintPacer()
{
  FWindow->removeEventFilter(this);
}

void TPaintPacer::Begin()
{
  ++FHolds;
}

void TPaintPacer::End()
{
  if (--FHolds > 0)
    return;
  FSinceHold.start();
  // Otherwise the timer asks for the paint held back when the interval is over.
  if (IntervalOver())
    Release();
}

void TPaintPacer::Release()
{
  FRelease.stop();
  if (!FHeldBack)
    return;
  FHeldBack = false;
  // The window's own request was taken; until a new one is served, Qt asks
  // for no other, so this one must be made.
  QCoreApplication::postEvent(FWindow, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
}

bool TPaintPacer::eventFilter(QObject *aWatched, QEvent *aEvent)
{
  if (aWatched != FWindow || aEvent->type() != QEvent::UpdateRequest)
    return false;
  if (Pacing() && !IntervalOver()) {
    FHeldBack = true;
    if (!FRelease.isActive())
      // The interval may have run out since IntervalOver() looked.
      FRelease.start(int(std::max<qint64>(0, FIntervalMs - FSincePaint.elapsed())));
    return true;
  }
  FHeldBack = false;
  FRelease.stop();
  FSincePaint.start();
  return false;
}
