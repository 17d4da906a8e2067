#include "PaintPacer.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

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
  if (FHolds++ == 0)
    FSincePaint.start();
}

void TPaintPacer::End()
{
  if (--FHolds == 0)
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
  if (Pacing() && !FSincePaint.hasExpired(FIntervalMs)) {
    FHeldBack = true;
    if (!FRelease.isActive())
      FRelease.start(int(FIntervalMs - FSincePaint.elapsed()));
    return true;
  }
  FHeldBack = false;
  FRelease.stop();
  FSincePaint.start();
  return false;
}
