#include "LookScrollBar.h"

#include <QAbstractScrollArea>
#include <QStyle>
#include <QStyleOptionSlider>

void TLookScrollBar::Set(int aMaximum, int aPageStep, bool aToEnd)
{
  const bool Scrolled = minimum() < maximum();
  FSetting = true;
  setRange(0, aMaximum);
  setPageStep(aPageStep);
  if (aToEnd)
    setValue(maximum());
  FSetting = false;
  if (Look() != FPainted)
    update();
  if (Scrolled != (minimum() < maximum()))
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
