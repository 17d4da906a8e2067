#include "TopicTableModel.h"

#include <QDateTime>
#include <algorithm>

#include "TopicValues.h"

QString TableTimeStamp(std::int64_t aMsecs)
{
  return QDateTime::fromMSecsSinceEpoch(aMsecs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

TTopicTableModel::TTopicTableModel(const TTopicValues &aValues, QObject *aParent)
    : QAbstractTableModel(aParent), FValues(aValues)
{
}

int TTopicTableModel::rowCount(const QModelIndex &aParent) const
{
  return aParent.isValid() ? 0 : FRows;
}

int TTopicTableModel::columnCount(const QModelIndex &aParent) const
{
  return aParent.isValid() ? 0 : 2;
}

QVariant TTopicTableModel::data(const QModelIndex &aIndex, int aRole) const
{
  if (!aIndex.isValid() || aIndex.row() >= FRows || (aRole != Qt::DisplayRole && aRole != Qt::ToolTipRole))
    return {};
  const auto &Recent = FValues.Recent();
  const TTextValue &Value = Recent[Recent.size() - 1 - std::size_t(aIndex.row())];
  return aIndex.column() == 0 ? TableTimeStamp(Value.Msecs) : Value.Text;
}

QVariant TTopicTableModel::headerData(int aSection, Qt::Orientation aOrientation, int aRole) const
{
  if (aRole != Qt::DisplayRole)
    return {};
  if (aOrientation == Qt::Vertical)
    return aSection + 1;
  return aSection == 0 ? QStringLiteral("Time") : QStringLiteral("Value");
}

void TTopicTableModel::Sync()
{
  const std::uint64_t New = FValues.Added() - FSynced;
  if (New == 0)
    return;
  FSynced = FValues.Added();
  const int Target = int(FValues.Recent().size());
  // More new values than rows: every row is another.
  if (New >= std::uint64_t(Target)) {
    beginResetModel();
    FRows = Target;
    endResetModel();
    return;
  }
  const int Gone = FRows + int(New) - Target;
  if (Gone > 0) {
    beginRemoveRows({}, FRows - Gone, FRows - 1);
    FRows -= Gone;
    endRemoveRows();
  }
  // The rows below show the same values as before; only their place moves.
  beginInsertRows({}, 0, int(New) - 1);
  FRows += int(New);
  endInsertRows();
}
