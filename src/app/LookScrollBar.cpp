#include "LookScrollBar.h"

#include <QAbstractScrollArea>
#include <QStyle>
#include <QStyleOptionSlider>
#include <utility>

void TLookScrollBar::Set(int aMaximum, int aPageStep, bool aToEnd)
{
  FSetting = true;
  setRange(0, aMaximum);
  setPageStep(aPageStep);
  if (aToEnd)
    setValue(maximum());
  FSetting = false;
  if (Look() != FPainted)
    update();
  const bool Scrolls = minimum() < maximum();
  if (Scrolls != std::exchange(FScrolls, Scrolls))
    // Setting the policy again lays the area out, which shows or hides a
    // bar shown as needed.
    FArea->setVerticalScrollBarPolicy(FArea->verticalScrollBarPolicy());
}

void TLookScrollBar::sliderChange(SliderChange aChange)
{
  if (!FSetting)
    QScrollBar::sliderChange(aChange);
}

void TLookScrollBar::paintEvent(QPaintEvent *aEvent)
{
  FPainted = Look();
  QScrollBar::paintEvent(aEvent);
}

TLookScrollBar::TLook TLookScrollBar::Look() const
{
  QStyleOptionSlider Option;
  initStyleOption(&Option);
  return {style()->subControlRect(QStyle::CC_ScrollBar, &Option, QStyle::SC_ScrollBarSlider, this),
          value() == minimum(), value() == maximum()};
}

TLookScrollBar *SetLookScrollBar(QAbstractScrollArea *aArea)
{
  auto *Bar = new TLookScrollBar(aArea);
  aArea->setVerticalScrollBar(Bar);
  QObject::disconnect(Bar, &QAbstractSlider::rangeChanged, aArea, nullptr);
  return Bar;
}
