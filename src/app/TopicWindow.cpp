#include "TopicWindow.h"

#include <QBuffer>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
#include <QShortcut>
#include <QSplitter>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>
#include <limits>
#include <stdexcept>

#include "DataFile.h"
#include "ErrorBox.h"
#include "TApplication.h"
#include "TopicHistory.h"
#include "TopicPlot.h"
#include "TopicTableModel.h"

namespace {

// A CSV field: quoted when it holds a separator, a quote or a line break.
QString CsvField(const QString &aText)
{
  if (!aText.contains(u',') && !aText.contains(u'"') && !aText.contains(u'\n') && !aText.contains(u'\r'))
    return aText;
  return u'"' + QString(aText).replace(QStringLiteral("\""), QStringLiteral("\"\"")) + u'"';
}

void SaveOrThrow(const QString &aPath, const QByteArray &aBytes)
{
  QSaveFile File(aPath);
  if (!File.open(QIODevice::WriteOnly) || File.write(aBytes) != aBytes.size() || !File.commit())
    throw std::runtime_error(QStringLiteral("Could not save %1: %2").arg(aPath, File.errorString()).toStdString());
}

} // namespace

TTopicWindow::TTopicWindow(const QString &aTopic, const QString &aDataFile, QWidget *aParent)
    : QWidget(aParent, Qt::Window), FTopic(aTopic)
{
  setAttribute(Qt::WA_DeleteOnClose);
  setObjectName(QStringLiteral("frmTopic"));
  setWindowTitle(aTopic + QStringLiteral(" - Vyr MQTT Client"));
  resize(560, 480);

  FLatest = new QLabel(QStringLiteral("No value yet"), this);
  FLatest->setObjectName(QStringLiteral("lblLatest"));
  FLatest->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  FLatest->setAccessibleName(QStringLiteral("Latest value"));

  FSeriesBar = new QWidget(this);
  FSeriesLayout = new QHBoxLayout(FSeriesBar);
  FSeriesLayout->setContentsMargins(0, 0, 0, 0);
  FSeriesLayout->addStretch();
  FPlot = new TTopicPlot(FValues, this);
  FPlot->setObjectName(QStringLiteral("chtPlot"));
  FPlot->setMinimumHeight(160);
  FModel = new TTopicTableModel(FValues, this);
  FTable = new QTableView(this);
  FTable->setObjectName(QStringLiteral("tblValues"));
  FTable->setModel(FModel);
  FTable->setAccessibleName(QStringLiteral("Values"));
  FTable->setSelectionBehavior(QAbstractItemView::SelectRows);
  FTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
  FTable->setTabKeyNavigation(false);
  FTable->verticalHeader()->setVisible(false);
  FTable->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  FTable->verticalHeader()->setDefaultSectionSize(FTable->fontMetrics().height() + 4);
  FTable->horizontalHeader()->setStretchLastSection(true);
  FTable->setColumnWidth(0, FTable->fontMetrics().horizontalAdvance(QStringLiteral("0000-00-00 00:00:00.000")) + 16);
  FTable->setWordWrap(false);

  auto *Splitter = new QSplitter(Qt::Vertical, this);
  auto *PlotPane = new QWidget(Splitter);
  auto *PlotLayout = new QVBoxLayout(PlotPane);
  PlotLayout->setContentsMargins(0, 0, 0, 0);
  PlotLayout->addWidget(FSeriesBar);
  PlotLayout->addWidget(FPlot, 1);
  Splitter->addWidget(PlotPane);
  Splitter->addWidget(FTable);
  Splitter->setStretchFactor(0, 3);
  Splitter->setStretchFactor(1, 2);

  auto *Follow = new QPushButton(QStringLiteral("&Follow"), this);
  Follow->setObjectName(QStringLiteral("btnFollow"));
  Follow->setToolTip(QStringLiteral("Follow the newest value (End in the plot)"));
  Follow->setEnabled(false);
  auto *ExportPng = new QPushButton(QStringLiteral("Save &picture..."), this);
  ExportPng->setObjectName(QStringLiteral("btnSavePicture"));
  auto *ExportCsv = new QPushButton(QStringLiteral("Save &values..."), this);
  ExportCsv->setObjectName(QStringLiteral("btnSaveValues"));
  FStatus = new QLabel(this);
  FStatus->setObjectName(QStringLiteral("lblStatus"));
  FStatus->setAccessibleName(QStringLiteral("Status"));
  auto *Buttons = new QHBoxLayout;
  Buttons->addWidget(FStatus, 1);
  Buttons->addWidget(Follow);
  Buttons->addWidget(ExportPng);
  Buttons->addWidget(ExportCsv);

  auto *Layout = new QVBoxLayout(this);
  Layout->addWidget(FLatest);
  Layout->addWidget(Splitter, 1);
  Layout->addLayout(Buttons);

  // The plot appears with the first number: a text topic shows the table only.
  PlotPane->setVisible(false);
  FPlot->OnFollowing = [Follow](bool aFollowing) { Follow->setEnabled(!aFollowing); };
  FPlot->OnHover = [this](const QString &aText) { FStatus->setText(aText); };
  connect(Follow, &QPushButton::clicked, this, [this] { FPlot->Follow(false); });
  connect(ExportPng, &QPushButton::clicked, this, [this] { TApplication::Guarded([this] { ExportPngClick(); }); });
  connect(ExportCsv, &QPushButton::clicked, this, [this] { TApplication::Guarded([this] { ExportCsvClick(); }); });
  auto *Close = new QShortcut(QKeySequence::Close, this);
  connect(Close, &QShortcut::activated, this, &QWidget::close);
  auto *Escape = new QShortcut(Qt::Key_Escape, this);
  connect(Escape, &QShortcut::activated, this, &QWidget::close);

  FRefreshTimer.setSingleShot(true);
  connect(&FRefreshTimer, &QTimer::timeout, this, [this] { Refresh(); });

  if (!aDataFile.isEmpty() && QFile::exists(aDataFile)) {
    FValues.BeginHistory();
    FStatus->setText(QStringLiteral("Loading the history..."));
    FHistory = std::make_unique<TTopicHistory>(aDataFile, TCodePage::ByName(TCodePage::Ansi().Name()));
    FHistory->OnChunk = [this](THistoryChunk &&aChunk) {
      FValues.AddHistory(std::move(aChunk));
      ScheduleRefresh();
    };
    FHistory->OnDone = [this](const QString &aProblem) { HistoryDone(aProblem); };
    FHistory->Start();
  }
}

TTopicWindow::~TTopicWindow() = default;

void TTopicWindow::HistoryDone(const QString &aProblem)
{
  FValues.EndHistory();
  FHistoryProblem = aProblem;
  FStatus->setText(aProblem);
  ScheduleRefresh();
}

void TTopicWindow::SetEarlierValue(const QString &aValue)
{
  if (!FValues.HasLatest())
    FLatest->setText(QStringLiteral("%1  (before this window opened)").arg(aValue));
}

void TTopicWindow::Add(std::int64_t aMsecs, const QString &aValue)
{
  FValues.Add(aMsecs, aValue);
  ScheduleRefresh();
}

bool TTopicWindow::OnScreen() const
{
  return isVisible() && !isMinimized();
}

// Refreshes come at most once an interval; a window off the screen only
// notes that it is behind, and catches up when it is shown again.
void TTopicWindow::ScheduleRefresh()
{
  FDirty = true;
  // The first value after a quiet spell shows at once, later ones wait for the interval.
  if (OnScreen() && !FRefreshTimer.isActive())
    FRefreshTimer.start(FSinceRefresh.isValid() ? int(std::max<qint64>(0, RefreshMs - FSinceRefresh.elapsed())) : 0);
}

void TTopicWindow::showEvent(QShowEvent *aEvent)
{
  QWidget::showEvent(aEvent);
  if (FDirty)
    Refresh();
}

void TTopicWindow::changeEvent(QEvent *aEvent)
{
  QWidget::changeEvent(aEvent);
  if (aEvent->type() == QEvent::WindowStateChange && FDirty && OnScreen())
    Refresh();
}

void TTopicWindow::closeEvent(QCloseEvent *aEvent)
{
  QWidget::closeEvent(aEvent);
  // Deleted later, from the event loop; until then it is no topic's window.
  FClosed = aEvent->isAccepted();
  if (FClosed)
    FHistory.reset();
}

void TTopicWindow::AddSeriesBoxes()
{
  const auto &Names = FValues.SeriesNames();
  while (FSeriesBoxes.size() < Names.size()) {
    const std::size_t Index = FSeriesBoxes.size();
    auto *Box = new QCheckBox(Names[Index], FSeriesBar);
    Box->setChecked(true);
    Box->setAccessibleName(QStringLiteral("Show %1").arg(Names[Index]));
    FSeriesLayout->insertWidget(int(Index), Box);
    connect(Box, &QCheckBox::toggled, this, [this, Index](bool aOn) { FPlot->SetSeriesShown(Index, aOn); });
    FSeriesBoxes.push_back(Box);
  }
}

void TTopicWindow::Refresh()
{
  FRefreshTimer.stop();
  if (!OnScreen())
    return;
  FDirty = false;
  ++FRefreshes;
  FSinceRefresh.start();
  if (FValues.HasLatest())
    FLatest->setText(QStringLiteral("%1  at %2").arg(FValues.Latest().Text, TableTimeStamp(FValues.Latest().Msecs)));
  if (FValues.Loading())
    FStatus->setText(QStringLiteral("Loading the history... %1 values so far").arg(FValues.Added()));
  FModel->Sync();
  if (FValues.Numeric()) {
    AddSeriesBoxes();
    // One series needs no switch.
    FSeriesBar->setVisible(FSeriesBoxes.size() > 1);
    FPlot->parentWidget()->setVisible(true);
    FPlot->Refresh();
  }
}

void TTopicWindow::ExportPng(const QString &aPath) const
{
  const QPixmap Picture = FPlot->grab();
  QByteArray Bytes;
  QBuffer Buffer(&Bytes);
  Buffer.open(QIODevice::WriteOnly);
  if (!Picture.save(&Buffer, "PNG"))
    throw std::runtime_error(QStringLiteral("Could not make a picture of the plot").toStdString());
  SaveOrThrow(aPath, Bytes);
}

void TTopicWindow::ExportCsv(const QString &aPath) const
{
  QString Text;
  const auto &Names = FValues.SeriesNames();
  if (!FValues.Numeric()) {
    Text += QStringLiteral("time,value\r\n");
    for (const TTextValue &Value : FValues.Recent())
      Text += DataTimeStamp(QDateTime::fromMSecsSinceEpoch(Value.Msecs)) + u',' + CsvField(Value.Text) +
              QStringLiteral("\r\n");
  } else {
    // One row per moment; a field without a value at that moment stays empty.
    std::vector<std::size_t> Next, End;
    Text += QStringLiteral("time");
    for (std::size_t I = 0; I < Names.size(); ++I) {
      Text += u',' + CsvField(Names[I]);
      const TTopicSeries &Series = FValues.Series(I);
      Next.push_back(Series.LowerBound(FPlot->From()));
      End.push_back(Series.LowerBound(FPlot->To() + 1));
    }
    Text += QStringLiteral("\r\n");
    for (;;) {
      std::int64_t Moment = std::numeric_limits<std::int64_t>::max();
      for (std::size_t I = 0; I < Names.size(); ++I)
        if (Next[I] < End[I])
          Moment = std::min(Moment, FValues.Series(I).Time(Next[I]));
      if (Moment == std::numeric_limits<std::int64_t>::max())
        break;
      Text += DataTimeStamp(QDateTime::fromMSecsSinceEpoch(Moment));
      for (std::size_t I = 0; I < Names.size(); ++I) {
        Text += u',';
        const TTopicSeries &Series = FValues.Series(I);
        if (Next[I] < End[I] && Series.Time(Next[I]) == Moment)
          Text += QString::number(Series.Value(Next[I]++), 'g', 17);
      }
      Text += QStringLiteral("\r\n");
    }
  }
  SaveOrThrow(aPath, Text.toUtf8());
}

void TTopicWindow::ExportPngClick()
{
  const QString Path = QFileDialog::getSaveFileName(this, QStringLiteral("Save picture"),
                                                    QString(FTopic).replace(u'/', u'-') + QStringLiteral(".png"),
                                                    QStringLiteral("PNG pictures (*.png)"));
  if (!Path.isEmpty())
    ExportPng(Path);
}

void TTopicWindow::ExportCsvClick()
{
  const QString Path = QFileDialog::getSaveFileName(this, QStringLiteral("Save values"),
                                                    QString(FTopic).replace(u'/', u'-') + QStringLiteral("-view.csv"),
                                                    QStringLiteral("CSV files (*.csv)"));
  if (!Path.isEmpty())
    ExportCsv(Path);
}

TTopicWindows::~TTopicWindows()
{
  for (const QPointer<TTopicWindow> &Window : FWindows)
    delete Window.data();
}

TTopicWindow *TTopicWindows::Find(const QString &aTopic) const
{
  for (const QPointer<TTopicWindow> &Window : FWindows)
    if (Window && !Window->Closed() && Window->Topic().compare(aTopic, Qt::CaseInsensitive) == 0)
      return Window.data();
  return nullptr;
}

int TTopicWindows::Count() const
{
  return int(std::count_if(FWindows.begin(), FWindows.end(), [](const auto &aWindow) { return aWindow && !aWindow->Closed(); }));
}

TTopicWindow *TTopicWindows::Open(const QString &aTopic, const QString &aDataFile, const QString &aEarlierValue)
{
  TTopicWindow *Window = Find(aTopic);
  if (!Window) {
    std::erase_if(FWindows, [](const QPointer<TTopicWindow> &aWindow) { return !aWindow || aWindow->Closed(); });
    Window = new TTopicWindow(aTopic, aDataFile);
    if (!aEarlierValue.isEmpty())
      Window->SetEarlierValue(aEarlierValue);
    FWindows.emplace_back(Window);
  }
  Window->show();
  Window->setWindowState(Window->windowState() & ~Qt::WindowMinimized);
  Window->raise();
  Window->activateWindow();
  return Window;
}

void TTopicWindows::Add(const QString &aTopic, std::int64_t aMsecs, const QString &aValue)
{
  if (TTopicWindow *Window = Find(aTopic))
    Window->Add(aMsecs, aValue);
}

void TTopicWindows::CloseAll()
{
  for (const QPointer<TTopicWindow> &Window : FWindows)
    if (Window)
      Window->close();
}
