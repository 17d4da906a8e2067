#pragma once
// The recent values of a topic (TTopicValues::Recent) as a table, newest
// first: the time stamp and the value. The view learns of new values only in
// Sync, which the window calls at its pace while it is on the screen, so a
// hidden window's table costs nothing.

#include <QAbstractTableModel>
#include <cstdint>

class TTopicValues;

class TTopicTableModel : public QAbstractTableModel {
  Q_OBJECT
public:
  explicit TTopicTableModel(const TTopicValues &aValues, QObject *aParent = nullptr);

  int rowCount(const QModelIndex &aParent = QModelIndex()) const override;
  int columnCount(const QModelIndex &aParent = QModelIndex()) const override;
  QVariant data(const QModelIndex &aIndex, int aRole = Qt::DisplayRole) const override;
  QVariant headerData(int aSection, Qt::Orientation aOrientation, int aRole = Qt::DisplayRole) const override;

  // Brings the rows up to the values: new rows at the top, the oldest gone.
  void Sync();

private:
  const TTopicValues &FValues;
  int FRows = 0;
  std::uint64_t FSynced = 0;
};

// A time stamp as the table shows it: local time with milliseconds.
QString TableTimeStamp(std::int64_t aMsecs);
