#include "TopicPlot.h"

#include <QDateTime>
#include <QDateTimeAxis>
#include <QGraphicsLayout>
#include <QLineSeries>
#include <QToolTip>
#include <QValueAxis>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <limits>

#include "TopicValues.h"

namespace {

// The time format of the axis for a span in view.
QString TimeFormat(std::int64_t aSpanMs)
{
  if (aSpanMs <= 10'000)
    return QStringLiteral("HH:mm:ss.zzz");
  if (aSpanMs <= 86'400'000)
    return QStringLiteral("HH:mm:ss");
  if (aSpanMs <= 30LL * 86'400'000)
    return QStringLiteral("MM-dd HH:mm");
  return QStringLiteral("yyyy-MM-dd");
}

QString PointText(const QString &aSeries, std::int64_t aMsecs, double aValue)
{
  return QStringLiteral("%1 = %2 at %3")
      .arg(aSeries, QString::number(aValue, 'g', 15),
           QDateTime::fromMSecsSinceEpoch(aMsecs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")));
}

} // namespace

TTopicPlot::TTopicPlot(const TTopicValues &aValues, QWidget *aParent)
    : QChartView(new QChart, aParent), FValues(aValues)
{
  QChart *Chart = chart();
  Chart->setAnimationOptions(QChart::NoAnimation);
  Chart->legend()->setVisible(false);
  Chart->layout()->setContentsMargins(0, 0, 0, 0);
  Chart->setBackgroundRoundness(0);
  FX = new QDateTimeAxis;
  FX->setTickCount(5);
  FY = new QValueAxis;
  Chart->addAxis(FX, Qt::AlignBottom);
  Chart->addAxis(FY, Qt::AlignLeft);
  setRenderHint(QPainter::Antialiasing, false);
  setMouseTracking(true);
  setFocusPolicy(Qt::StrongFocus);
  setAccessibleName(QStringLiteral("Plot"));
  setAccessibleDescription(
      QStringLiteral("Wheel or + and - zoom, drag or Left and Right pan, End follows the newest value, Home shows all"));
  ApplyPalette();
}

// The chart's own themes know nothing of the application's palette; a dark
// palette must give a dark plot with light text.
void TTopicPlot::ApplyPalette()
{
  const QPalette &P = palette();
  QChart *Chart = chart();
  Chart->setBackgroundBrush(P.color(QPalette::Base));
  Chart->setPlotAreaBackgroundVisible(false);
  setBackgroundBrush(P.color(QPalette::Base));
  for (QAbstractAxis *Axis : {static_cast<QAbstractAxis *>(FX), static_cast<QAbstractAxis *>(FY)}) {
    Axis->setLabelsColor(P.color(QPalette::Text));
    Axis->setLinePenColor(P.color(QPalette::Mid));
    Axis->setGridLineColor(P.color(QPalette::Midlight));
  }
}

void TTopicPlot::changeEvent(QEvent *aEvent)
{
  QChartView::changeEvent(aEvent);
  if (aEvent->type() == QEvent::PaletteChange)
    ApplyPalette();
}

bool TTopicPlot::Extent(std::int64_t &aFirst, std::int64_t &aLast) const
{
  bool Any = false;
  aFirst = std::numeric_limits<std::int64_t>::max();
  aLast = std::numeric_limits<std::int64_t>::min();
  for (std::size_t I = 0; I < FValues.SeriesNames().size(); ++I) {
    const TTopicSeries &Series = FValues.Series(I);
    if (Series.Size() == 0)
      continue;
    Any = true;
    aFirst = std::min(aFirst, Series.Time(0));
    aLast = std::max(aLast, Series.Time(Series.Size() - 1));
  }
  return Any;
}

void TTopicPlot::Refresh()
{
  QChart *Chart = chart();
  // A series for each field seen since the last refresh, in the palette's
  // colours for charts.
  while (FLines.size() < FValues.SeriesNames().size()) {
    auto *Line = new QLineSeries;
    Line->setName(FValues.SeriesNames()[FLines.size()]);
    Chart->addSeries(Line);
    Line->attachAxis(FX);
    Line->attachAxis(FY);
    FLines.push_back(Line);
    FShown.push_back(true);
  }
  std::int64_t First = 0, Last = 0;
  if (!Extent(First, Last))
    return;
  if (FFollowing) {
    FTo = Last;
    FFrom = FSpan > 0 ? Last - FSpan : First;
  }
  if (FTo <= FFrom)
    FTo = FFrom + 1000;
  const int Columns = std::max(1, int(Chart->plotArea().width()));
  double Low = std::numeric_limits<double>::infinity(), High = -Low;
  FPointsDrawn = 0;
  for (std::size_t I = 0; I < FLines.size(); ++I) {
    if (!FShown[I]) {
      FLines[I]->setVisible(false);
      continue;
    }
    const QList<QPointF> Points = FValues.Series(I).Decimate(FFrom, FTo, Columns, Low, High);
    FPointsDrawn += std::size_t(Points.size());
    FLines[I]->replace(Points);
    FLines[I]->setVisible(true);
  }
  if (!std::isfinite(Low)) {
    Low = 0;
    High = 1;
  } else if (Low == High) {
    Low -= 1;
    High += 1;
  }
  FY->setRange(Low, High);
  FY->applyNiceNumbers();
  FX->setFormat(TimeFormat(FTo - FFrom));
  // As many time labels as fit side by side.
  FX->setTickCount(std::clamp(int(Chart->plotArea().width() / 80), 2, 8));
  FX->setRange(QDateTime::fromMSecsSinceEpoch(FFrom), QDateTime::fromMSecsSinceEpoch(FTo));
}

void TTopicPlot::SetFollowing(bool aFollowing)
{
  if (FFollowing == aFollowing)
    return;
  FFollowing = aFollowing;
  if (OnFollowing)
    OnFollowing(aFollowing);
}

void TTopicPlot::Follow(bool aAll)
{
  FSpan = aAll ? 0 : FTo - FFrom;
  SetFollowing(true);
  Refresh();
}

void TTopicPlot::SetSeriesShown(std::size_t aIndex, bool aShown)
{
  if (aIndex < FShown.size())
    FShown[aIndex] = aShown;
  Refresh();
}

void TTopicPlot::ShowRange(std::int64_t aFrom, std::int64_t aTo)
{
  // A millisecond is the least that can be told apart.
  if (aTo - aFrom < 10)
    return;
  FFrom = aFrom;
  FTo = aTo;
  SetFollowing(false);
  Refresh();
}

void TTopicPlot::Zoom(double aFactor, std::int64_t aCentre)
{
  ShowRange(aCentre - std::int64_t(double(aCentre - FFrom) * aFactor),
            aCentre + std::int64_t(double(FTo - aCentre) * aFactor));
}

void TTopicPlot::Pan(double aFraction)
{
  const auto Shift = std::int64_t(double(FTo - FFrom) * aFraction);
  ShowRange(FFrom + Shift, FTo + Shift);
}

void TTopicPlot::wheelEvent(QWheelEvent *aEvent)
{
  const int Delta = aEvent->angleDelta().y();
  if (Delta == 0)
    return;
  const auto Centre = std::int64_t(chart()->mapToValue(aEvent->position()).x());
  Zoom(Delta > 0 ? 0.8 : 1.25, std::clamp(Centre, FFrom, FTo));
  aEvent->accept();
}

void TTopicPlot::mousePressEvent(QMouseEvent *aEvent)
{
  if (aEvent->button() != Qt::LeftButton)
    return QChartView::mousePressEvent(aEvent);
  setFocus(Qt::MouseFocusReason);
  FDragging = true;
  FDragStart = aEvent->position().toPoint();
  FDragFrom = FFrom;
  FDragTo = FTo;
  aEvent->accept();
}

void TTopicPlot::mouseMoveEvent(QMouseEvent *aEvent)
{
  if (FDragging) {
    const double Width = std::max(1.0, chart()->plotArea().width());
    const double Fraction = (aEvent->position().x() - FDragStart.x()) / Width;
    const auto Shift = std::int64_t(double(FDragTo - FDragFrom) * Fraction);
    if (Shift != 0)
      ShowRange(FDragFrom - Shift, FDragTo - Shift);
    aEvent->accept();
    return;
  }
  const QString Text = NearestPointText(aEvent->position().toPoint());
  if (Text.isEmpty())
    QToolTip::hideText();
  else
    QToolTip::showText(aEvent->globalPosition().toPoint(), Text, this);
  if (OnHover)
    OnHover(Text);
}

void TTopicPlot::mouseReleaseEvent(QMouseEvent *aEvent)
{
  if (aEvent->button() == Qt::LeftButton)
    FDragging = false;
  QChartView::mouseReleaseEvent(aEvent);
}

void TTopicPlot::keyPressEvent(QKeyEvent *aEvent)
{
  // Zooming keeps the newest value in view when it is; else the middle stays put.
  std::int64_t First = 0, Last = 0;
  const std::int64_t Centre = Extent(First, Last) && FTo >= Last ? FTo : FFrom + (FTo - FFrom) / 2;
  switch (aEvent->key()) {
  case Qt::Key_End:
    Follow(false);
    break;
  case Qt::Key_Home:
    Follow(true);
    break;
  case Qt::Key_Plus:
  case Qt::Key_Equal:
    Zoom(0.8, Centre);
    break;
  case Qt::Key_Minus:
    Zoom(1.25, Centre);
    break;
  case Qt::Key_Left:
    Pan(-0.1);
    break;
  case Qt::Key_Right:
    Pan(0.1);
    break;
  default:
    return QChartView::keyPressEvent(aEvent);
  }
  aEvent->accept();
}

void TTopicPlot::resizeEvent(QResizeEvent *aEvent)
{
  QChartView::resizeEvent(aEvent);
  Refresh();
}

QString TTopicPlot::NearestPointText(const QPoint &aPosition) const
{
  const QPointF Position = mapToScene(aPosition);
  if (!chart()->plotArea().contains(Position))
    return {};
  const auto Time = std::int64_t(chart()->mapToValue(Position).x());
  double Best = std::numeric_limits<double>::infinity();
  QString Text;
  for (std::size_t I = 0; I < FLines.size(); ++I) {
    const TTopicSeries &Series = FValues.Series(I);
    if (!FShown[I] || Series.Size() == 0)
      continue;
    const std::size_t Index = Series.Nearest(Time);
    const QPointF At = chart()->mapToPosition(QPointF(double(Series.Time(Index)), Series.Value(Index)), FLines[I]);
    const double Distance = std::hypot(At.x() - Position.x(), At.y() - Position.y());
    if (Distance < Best) {
      Best = Distance;
      Text = PointText(FValues.SeriesNames()[I], Series.Time(Index), Series.Value(Index));
    }
  }
  return Text;
}
