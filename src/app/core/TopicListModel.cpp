#include "TopicListModel.h"

#include "ShownText.h"

TTopicListModel::TTopicListModel(QObject *aParent, const QCollator &aCollator)
    : QAbstractListModel(aParent), FLines(aCollator) {}

int TTopicListModel::rowCount(const QModelIndex &aParent) const {
  return aParent.isValid() ? 0 : FLines.Count();
}

QVariant TTopicListModel::data(const QModelIndex &aIndex, int aRole) const {
  if (aRole != Qt::DisplayRole || !aIndex.isValid() || aIndex.row() >= FLines.Count())
    return {};
  return ShownLine(FLines.Line(aIndex.row()));
}

int TTopicListModel::UpdateTopic(const QString &aTopic, const std::optional<QString> &aValue,
                                 int aSelected) {
  if (!aValue) {
    if (aSelected >= 0 && aSelected < FLines.Count())
      RemoveRow(aSelected);
    return -1;
  }
  SetLine(aTopic, *aValue);
  return aSelected >= 0 && aSelected < FLines.Count() ? aSelected : -1;
}

void TTopicListModel::Clear() {
  beginResetModel();
  FLines.Clear();
  endResetModel();
}

void TTopicListModel::RemoveRow(int aRow) {
  beginRemoveRows(QModelIndex(), aRow, aRow);
  FLines.Delete(aRow);
  endRemoveRows();
}

// Setting a value and sorting the whole list again gives the same lines as
// taking the line out and putting the new one where it sorts, which is what
// this does, one row at a time.
void TTopicListModel::SetLine(const QString &aTopic, const QString &aValue) {
  const int old = FLines.IndexOfName(aTopic);
  if (aValue.isEmpty()) {
    if (old >= 0)
      RemoveRow(old);
    return;
  }
  const QString line = aTopic + u'=' + aValue;
  if (old < 0) {
    const int row = FLines.SortedPosition(line);
    beginInsertRows(QModelIndex(), row, row);
    FLines.Insert(row, line);
    endInsertRows();
    return;
  }

  const bool fitsAfter = old == 0 || FLines.Compare(FLines.Line(old - 1), line) <= 0;
  const bool fitsBefore = old == FLines.Count() - 1 || FLines.Compare(line, FLines.Line(old + 1)) <= 0;
  if (!(fitsAfter && fitsBefore)) {
    // The position among the other lines: the old line, still in the list,
    // counts as sorting before the new one only when the new one moves down.
    int row = FLines.SortedPosition(line);
    if (row > old)
      --row;
    beginMoveRows(QModelIndex(), old, old, QModelIndex(), row > old ? row + 1 : row);
    FLines.Delete(old);
    FLines.Insert(row, line);
    endMoveRows();
    const QModelIndex changed = index(row);
    emit dataChanged(changed, changed, {Qt::DisplayRole});
    return;
  }
  FLines.Put(old, line);
  const QModelIndex changed = index(old);
  emit dataChanged(changed, changed, {Qt::DisplayRole});
}
