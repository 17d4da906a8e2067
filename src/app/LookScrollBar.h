#pragma once
// A vertical scroll bar painted again only when it looks different. A long
// log or topic list changes its range at every line or row, but the slider
// soon keeps its size, and its place at either end, while a scroll bar takes
// longer to draw than the lines that moved. The range and the value are set
// one after the other; the look in between does not count.

#include <QScrollBar>
#include <tuple>

class TLookScrollBar : public QScrollBar {
public:
  TLookScrollBar() : QScrollBar(Qt::Vertical) {}

  // aToEnd moves the slider to the new end.
  void Set(int aMaximum, int aPageStep, bool aToEnd);

protected:
  void sliderChange(SliderChange aChange) override;
  void paintEvent(QPaintEvent *aEvent) override;

private:
  // The slider's place and whether either end is reached.
  using TLook = std::tuple<QRect, bool, bool>;
  TLook Look() const;

  bool FSetting = false;
  TLook FPainted;
};

// Gives aArea a vertical scroll bar of this kind. When the bar's policy is
// already set to always on or always off, the area no longer lays its bars
// out again after each change of the range: that is an event of its own, one
// pass of the event loop per line of a log, and it changes nothing when the
// bar never shows or hides. The policy is then to stay as it is.
class QAbstractScrollArea;
TLookScrollBar *SetLookScrollBar(QAbstractScrollArea *aArea);
