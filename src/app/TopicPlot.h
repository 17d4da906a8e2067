#pragma once
// The plot of a topic window: every numeric series of the topic against
// time, decimated to the plot's width (TTopicSeries::Decimate), so that a
// redraw costs the same for a thousand points or ten million.
//
// It follows the newest value, keeping its time span, until the user zooms
// (mouse wheel, + and -) or pans (drag, Left and Right); End follows again
// with the span in view, Home follows with everything in view. Hovering
// names the nearest point.
//
// Nothing is drawn until Refresh: the window calls it at its own pace, and
// only while it is on the screen.

#include <QChartView>
#include <cstdint>
#include <functional>
#include <vector>

class QDateTimeAxis;
class QLineSeries;
class QValueAxis;
class TTopicValues;

class TTopicPlot : public QChartView {
  Q_OBJECT
public:
  TTopicPlot(const TTopicValues &aValues, QWidget *aParent);

  void Refresh();
  bool Following() const { return FFollowing; }
  // Follows the newest value; aAll: with every value in view, else with the span in view.
  void Follow(bool aAll);
  void SetSeriesShown(std::size_t aIndex, bool aShown);
  bool SeriesShown(std::size_t aIndex) const { return aIndex < FShown.size() && FShown[aIndex]; }
  // The time range in view, milliseconds since the epoch.
  std::int64_t From() const { return FFrom; }
  std::int64_t To() const { return FTo; }
  // Points drawn by the last Refresh, all series together.
  std::size_t PointsDrawn() const { return FPointsDrawn; }
  // The text shown for the point nearest to aPosition (viewport coordinates),
  // empty when there is none.
  QString NearestPointText(const QPoint &aPosition) const;

  // Raised when following starts or stops.
  std::function<void(bool aFollowing)> OnFollowing;
  // Raised with the nearest point's text as the pointer moves ("" when none).
  std::function<void(const QString &aText)> OnHover;

protected:
  void wheelEvent(QWheelEvent *aEvent) override;
  void mousePressEvent(QMouseEvent *aEvent) override;
  void mouseMoveEvent(QMouseEvent *aEvent) override;
  void mouseReleaseEvent(QMouseEvent *aEvent) override;
  void keyPressEvent(QKeyEvent *aEvent) override;
  void resizeEvent(QResizeEvent *aEvent) override;
  void changeEvent(QEvent *aEvent) override;

private:
  void SetFollowing(bool aFollowing);
  // Shows [aFrom, aTo] and stops following.
  void ShowRange(std::int64_t aFrom, std::int64_t aTo);
  void Zoom(double aFactor, std::int64_t aCentre);
  void Pan(double aFraction);
  // First and last time of all series.
  bool Extent(std::int64_t &aFirst, std::int64_t &aLast) const;
  void ApplyPalette();

  const TTopicValues &FValues;
  QDateTimeAxis *FX;
  QValueAxis *FY;
  std::vector<QLineSeries *> FLines;
  std::vector<bool> FShown;
  bool FFollowing = true;
  std::int64_t FSpan = 0; // while following; 0: everything
  std::int64_t FFrom = 0, FTo = 0;
  std::size_t FPointsDrawn = 0;
  bool FDragging = false;
  QPoint FDragStart;
  std::int64_t FDragFrom = 0, FDragTo = 0;
};
