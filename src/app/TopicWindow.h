#pragma once
// The window of one topic, opened from the topic list: the latest value with
// its time, a plot of the numeric fields (a check box each to show or hide
// it), the last values as a table, and the history from the topic's data
// file loaded first.
//
// Values are kept as they come; everything on the screen is brought up to
// date at most once per refresh interval, and only while the window is on the
// screen, so a hidden or minimised window costs no drawing at all.

#include <QElapsedTimer>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <vector>

#include "TopicValues.h"

class QCheckBox;
class QHBoxLayout;
class QLabel;
class QTableView;
class TTopicHistory;
class TTopicPlot;
class TTopicTableModel;

class TTopicWindow : public QWidget {
  Q_OBJECT
public:
  // With aDataFile empty there is no history to load.
  TTopicWindow(const QString &aTopic, const QString &aDataFile, QWidget *aParent = nullptr);
  ~TTopicWindow() override;

  const QString &Topic() const { return FTopic; }
  // Closed by the user, and about to go.
  bool Closed() const { return FClosed; }
  void Add(std::int64_t aMsecs, const QString &aValue);
  // The value the topic list showed when the window opened, shown as the
  // latest until one comes (its time is not known, so it is not plotted).
  void SetEarlierValue(const QString &aValue);
  const TTopicValues &Values() const { return FValues; }
  TTopicPlot *Plot() const { return FPlot; }
  QTableView *Table() const { return FTable; }

  // The plot as a picture, and the values in the plot's time range (all
  // recent values for a topic without numbers) as CSV; throw with a text for
  // an error box.
  void ExportPng(const QString &aPath) const;
  void ExportCsv(const QString &aPath) const;

  // Refreshes done so far (what the window drew, not what it was sent). At
  // most one per interval under a steady stream, the first value after a
  // quiet spell at once: ten windows left open under a stream add less than
  // half of what the main window costs (topic_window_cpu_bench).
  int Refreshes() const { return FRefreshes; }
  static constexpr int RefreshMs = 2000;

protected:
  void showEvent(QShowEvent *aEvent) override;
  void changeEvent(QEvent *aEvent) override;
  void closeEvent(QCloseEvent *aEvent) override;

private:
  void ScheduleRefresh();
  void Refresh();
  bool OnScreen() const;
  void AddSeriesBoxes();
  void HistoryDone(const QString &aProblem);
  void ExportPngClick();
  void ExportCsvClick();

  QString FTopic;
  TTopicValues FValues;
  std::unique_ptr<TTopicHistory> FHistory;
  QLabel *FLatest;
  QLabel *FStatus;
  QWidget *FSeriesBar;
  QHBoxLayout *FSeriesLayout;
  std::vector<QCheckBox *> FSeriesBoxes;
  TTopicPlot *FPlot;
  QTableView *FTable;
  TTopicTableModel *FModel;
  QTimer FRefreshTimer;
  QElapsedTimer FSinceRefresh;
  bool FDirty = false;
  int FRefreshes = 0;
  QString FHistoryProblem;
  bool FClosed = false;
};

// The topic windows of the main window: one per topic (topics that differ
// only in letter case share one, as they share a line of the list).
class TTopicWindows {
public:
  ~TTopicWindows();
  // Opens the topic's window, or raises the one already open.
  TTopicWindow *Open(const QString &aTopic, const QString &aDataFile, const QString &aEarlierValue = {});
  // A live value for the topic's window, if one is open.
  void Add(const QString &aTopic, std::int64_t aMsecs, const QString &aValue);
  void CloseAll();
  TTopicWindow *Find(const QString &aTopic) const;
  int Count() const;

private:
  std::vector<QPointer<TTopicWindow>> FWindows;
};
