#include "OpaqueScrollArea.h"

#include <QAbstractScrollArea>
#include <QEvent>
#include <QScrollBar>

namespace {

class TViewportFill : public QObject {
public:
  explicit TViewportFill(QAbstractScrollArea *aArea) : QObject(aArea), FArea(aArea)
  {
    aArea->installEventFilter(this);
    aArea->viewport()->installEventFilter(this);
    Fill();
  }

protected:
  // Both events come after the style has polished the widget.
  bool eventFilter(QObject *, QEvent *aEvent) override
  {
    if (aEvent->type() == QEvent::Polish || aEvent->type() == QEvent::StyleChange)
      Fill();
    return false;
  }

private:
  void Fill()
  {
    FArea->viewport()->setAutoFillBackground(true);
  }

  QAbstractScrollArea *FArea;
};

} // namespace

void KeepScrollAreaOpaque(QAbstractScrollArea *aArea)
{
  new TViewportFill(aArea);
  // The style draws the groove over the whole bar.
  aArea->verticalScrollBar()->setAttribute(Qt::WA_OpaquePaintEvent);
  aArea->horizontalScrollBar()->setAttribute(Qt::WA_OpaquePaintEvent);
}
