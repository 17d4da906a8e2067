#pragma once
// A vertical scroll bar painted again only when it looks different. A long
// log or topic list changes its range at every line or row, but the slider
// soon keeps its size, and its place at either end, while a scroll bar takes
// longer to draw than the lines that moved. The range and the value are set
// one after the other; the look in between does not count.

#include <QScrollBar>
#include <tuple>

class QAbstractScrollArea;

class TLookScrollBar : public QScrollBar {
public:
  explicit TLookScrollBar(QAbstractScrollArea *aArea) : QScrollBar(Qt::Vertical), FArea(aArea) {}

  // aToEnd moves the slider to the new end.
  void Set(int aMaximum, int aPageStep, bool aToEnd);

protected:
  void sliderChange(SliderChange aChange) override;
  void paintEvent(QPaintEvent *aEvent) override;

private:
  // The slider's place and whether either end is reached.
  using TLook = std::tuple<QRect, bool, bool>;
  TLook Look() const;

  QAbstractScrollArea *FArea;
  bool FSetting = false;
  TLook FPainted;
};

// Gives aArea a vertical scroll bar of this kind, which takes over laying
// the area out again when the bar is to show or hide: the area's own way is an
// event after every change of the range, one pass of the event loop per line
// of a log or row of a list, which changes nothing but once. The range is then
// to be set through Set alone.
TLookScrollBar *SetLookScrollBar(QAbstractScrollArea *aArea);
