#pragma once
// TTopicListModel: the window's TopicList (a sorted TLineList) presented as a
// list model, so that the list box lbxTopic shows line i of TopicList at row i.
//
// The window drives it through UpdateTopic, which does the list part of a
// topic-list update (set the value, keep the list sorted, work out the row to
// select) with single-row inserts, moves, changes and removals, so the view
// never has to be refilled. The window keeps the rest of its update around
// the call: remember and disable Publish, process pending events, call
// UpdateTopic, select the returned row, restore Publish, process events.
//
//   int row = model.UpdateTopic(topic, value, selectedRow); // value given
//   int row = model.UpdateTopic(topic, std::nullopt, selectedRow); // removal
//   row >= 0: select that row; row == -1: clear the selection.
//
// The view's own selection model moves the selection along with a moved or
// shifted row; the window overrides that by selecting the returned row, which
// follows the position, not the topic. Selecting from the program must not
// count as the user's selection change (lbxTopicClick).

#include <QAbstractListModel>
#include <optional>

#include "LineList.h"

class TTopicListModel : public QAbstractListModel {
  Q_OBJECT
public:
  explicit TTopicListModel(QObject *aParent = nullptr,
                           const QCollator &aCollator = TLineList::DefaultCollator());

  int rowCount(const QModelIndex &aParent = QModelIndex()) const override;
  QVariant data(const QModelIndex &aIndex, int aRole = Qt::DisplayRole) const override;

  // TopicList itself, sorted whole-line and case-insensitively at all times.
  const TLineList &TopicList() const { return FLines; }

  // With a value: the line of aTopic becomes aTopic + "=" + aValue (an empty
  // value deletes it), the list stays sorted, and the row to select is
  // aSelected when it is still a row (-1 otherwise).
  // Without a value: deletes the line at aSelected (nothing when aSelected is
  // not a row) and returns -1: nothing is selected afterwards.
  int UpdateTopic(const QString &aTopic, const std::optional<QString> &aValue, int aSelected);

  // Empties TopicList and the view (Connect).
  void Clear();

private:
  void SetLine(const QString &aTopic, const QString &aValue);
  void RemoveRow(int aRow);

  TLineList FLines;
};
