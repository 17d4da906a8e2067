#include "TopicValues.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

std::vector<std::pair<QString, double>> NumericFields(const QString &aValue)
{
  std::vector<std::pair<QString, double>> Fields;
  const QString Text = aValue.trimmed();
  if (Text.isEmpty())
    return Fields;
  if (Text.startsWith(u'{')) {
    const QJsonDocument Document = QJsonDocument::fromJson(Text.toUtf8());
    const QJsonObject Object = Document.object();
    for (auto It = Object.begin(); It != Object.end(); ++It)
      if (It.value().isDouble() && std::isfinite(It.value().toDouble()))
        Fields.emplace_back(It.key(), It.value().toDouble());
    return Fields;
  }
  // The C locale's numbers, as devices send them: "21.5", "-3", "1e3";
  // "nan" and "inf" draw nothing.
  bool Ok = false;
  const double Number = Text.toDouble(&Ok);
  if (Ok && std::isfinite(Number))
    Fields.emplace_back(QStringLiteral("value"), Number);
  return Fields;
}

void TTopicValues::Keep(std::int64_t aMsecs, const QString &aText)
{
  FRecent.push_back({aMsecs, aText});
  if (FRecent.size() > RecentCount)
    FRecent.pop_front();
  ++FAdded;
}

TTopicSeries &TTopicValues::SeriesNamed(const QString &aName)
{
  for (std::size_t I = 0; I < FNames.size(); ++I)
    if (FNames[I] == aName)
      return FSeries[I];
  FNames.push_back(aName);
  return FSeries.emplace_back();
}

void TTopicValues::Add(std::int64_t aMsecs, const QString &aText)
{
  FLatest = {aMsecs, aText};
  FHasLatest = FLiveLatest = true;
  if (FLoading) {
    FHeldBack.push_back(FLatest);
    return;
  }
  Keep(aMsecs, aText);
  for (const auto &[Name, Number] : NumericFields(aText))
    SeriesNamed(Name).Append(aMsecs, Number);
}

void TTopicValues::AddHistory(THistoryChunk &&aChunk)
{
  for (TTextValue &Value : aChunk.Values)
    Keep(Value.Msecs, Value.Text);
  if (!FLiveLatest && !aChunk.Values.empty()) {
    FLatest = aChunk.Values.back();
    FHasLatest = true;
  }
  for (auto &[Name, Points] : aChunk.Series) {
    TTopicSeries &Series = SeriesNamed(Name);
    Series.Reserve(aChunk.ExpectedRecords);
    for (const TSeriesPoint &Point : Points)
      Series.Append(Point.Msecs, Point.Value);
  }
}

void TTopicValues::EndHistory()
{
  if (!FLoading)
    return;
  FLoading = false;
  std::vector<TTextValue> HeldBack;
  HeldBack.swap(FHeldBack);
  for (const TTextValue &Value : HeldBack)
    Add(Value.Msecs, Value.Text);
}
