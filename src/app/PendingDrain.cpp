#include "PendingDrain.h"

#include <QCoreApplication>

#include "LineList.h"
#include "PaintPacer.h"

TPendingDrain::TPendingDrain(TLineList &aPending, TPaintPacer &aPacer, int aPassIntervalMs)
    : FPending(aPending), FPacer(aPacer), FPassIntervalMs(aPassIntervalMs)
{
}

void TPendingDrain::Run(const TProcess &aProcess)
{
  if (FPending.Count() == 0)
    return;
  TPaintPacer::THold Paced(FPacer);
  // The idle notification comes at the end of a pass.
  FSincePass.start();
  struct TRunning {
    bool &Flag;
    explicit TRunning(bool &aFlag) : Flag(aFlag) { Flag = true; }
    ~TRunning() { Flag = false; }
  } Running(FRunning);
  while (FPending.Count() > 0) {
    const QString Line = FPending.Line(0);
    const QString Name = TLineList::NameOf(Line);
    aProcess(Line, Name, FPending.Value(Name));
    if (FPending.Count() > 0 && FPending.Line(0) == Line)
      FPending.Delete(0);
  }
}

void TPendingDrain::LetEventsThrough()
{
  if (FRunning && FSincePass.elapsed() < FPassIntervalMs)
    return;
  QCoreApplication::processEvents();
  FSincePass.start();
}
