#include "PendingDrain.h"

#include "LineList.h"
#include "PaintPacer.h"

TPendingDrain::TPendingDrain(TLineList &aPending, TPaintPacer &aPacer) : FPending(aPending), FPacer(aPacer)
{
}

void TPendingDrain::Run(const TProcess &aProcess)
{
  if (FPending.Count() == 0)
    return;
  TPaintPacer::THold Paced(FPacer);
  while (FPending.Count() > 0) {
    const QString Line = FPending.Line(0);
    const QString Name = TLineList::NameOf(Line);
    aProcess(Line, Name, FPending.Value(Name));
    if (FPending.Count() > 0 && FPending.Line(0) == Line)
      FPending.Delete(0);
  }
}
