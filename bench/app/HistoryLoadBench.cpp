// A topic window opening a data file of ten million lines while the main
// window keeps processing a stream of messages: how long the history takes to
// load, the longest pass of the event loop meanwhile (split into time on a
// core and time waiting for one), and the messages the main window processed
// in that time. Then the cost of one redraw of the plot with 1,000 points, with
// 100,000 and with all of them, side by side: past a few points a column the
// drawing is decimated, so the last two cost the same.
//
//   history_load_bench [lines]   (default 10000000)

#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "DataFile.h"
#include "ProcessFigures.h"
#include "RunLoopUntil.h"
#include "Style.h"
#include "TApplication.h"
#include "TopicPlot.h"
#include "TopicWindow.h"
#include "untMain.h"

namespace {

int Fail(const char *aWhat) {
  std::fprintf(stderr, "history_load_bench: %s\n", aWhat);
  return 1;
}

// aLines lines a second apart, ending now, values wandering between 0 and 100.
bool WriteDataFile(const QString &aPath, long aLines) {
  QFile file(aPath);
  if (!file.open(QIODevice::WriteOnly))
    return false;
  const qint64 start = QDateTime::currentMSecsSinceEpoch() - qint64(aLines) * 1000;
  TDataStampClock clock;
  QByteArray buffer;
  for (long i = 0; i < aLines; ++i) {
    buffer += clock.Stamp(start + qint64(i) * 1000).toLatin1();
    buffer += ';';
    buffer += QByteArray::number(double((i * 7919) % 1000) / 10);
    buffer += "\r\n";
    if (buffer.size() > (1 << 20)) {
      if (file.write(buffer) != buffer.size())
        return false;
      buffer.clear();
    }
  }
  return file.write(buffer) == buffer.size();
}

// Mean time of one plot redraw, in microseconds.
double RedrawMicroseconds(TTopicWindow &aWindow) {
  aWindow.Plot()->Follow(true);
  QElapsedTimer timer;
  timer.start();
  const int rounds = 50;
  for (int i = 0; i < rounds; ++i) {
    aWindow.Plot()->Refresh();
    aWindow.Plot()->viewport()->repaint();
  }
  return double(timer.nsecsElapsed()) / rounds / 1000;
}

} // namespace

int main(int argc, char **argv) {
  const long lines = argc > 1 ? std::atol(argv[1]) : 10'000'000;
  if (lines <= 1000)
    return Fail("the number of lines must be above 1000");
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  TApplication app(argc, argv);
  ApplyStyle(QStringLiteral("Glossy"));
  QTemporaryDir dir;
  TfrmMain window;
  frmMain = &window;
  window.SetDataFolder(dir.path());
  window.show();

  const QString big = DataFileName(dir.path(), "bench/big");
  const QString small = DataFileName(dir.path(), "bench/small");
  const QString medium = DataFileName(dir.path(), "bench/medium");
  if (!WriteDataFile(big, lines) || !WriteDataFile(small, 1000) || !WriteDataFile(medium, 100'000))
    return Fail("cannot write the data files");

  // The stream: 100 messages a second through the window's message path.
  int sent = 0;
  QTimer stream;
  QObject::connect(&stream, &QTimer::timeout, [&] {
    ++sent;
    window.mqtMsg(window.mqt.get(), "bench/live", std::to_string(sent), qtAT_MOST_ONCE, false);
  });
  stream.start(10);

  QElapsedTimer clock;
  qint64 lastTick = 0, longestPass = 0;
  TThreadTimes lastTimes, longestPassTimes;
  QTimer ticker;
  ticker.setTimerType(Qt::PreciseTimer);
  ticker.setInterval(5);
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    const TThreadTimes times = ThreadTimes();
    if (now - lastTick > longestPass) {
      longestPass = now - lastTick;
      longestPassTimes = {times.Running - lastTimes.Running, times.Waiting - lastTimes.Waiting};
    }
    lastTick = now;
    lastTimes = times;
  });

  TTopicWindow *bigWindow = window.TopicWindows().Open("bench/big", big);
  clock.start();
  lastTimes = ThreadTimes();
  ticker.start();
  const int sentBefore = sent;
  const bool loaded = WaitFor([&] { return !bigWindow->Values().Loading(); }, 600);
  const double loadSeconds = double(clock.nsecsElapsed()) / 1e9;
  ticker.stop();
  const int sentDuring = sent - sentBefore;
  stream.stop();
  if (!loaded)
    return Fail("the history did not load in ten minutes");
  if (!WaitFor([&] { return window.PendingList().Count() == 0; }, 30))
    return Fail("the main window did not keep up with the stream");
  if (bigWindow->Values().Series(0).Size() != std::size_t(lines))
    return Fail("the history lost values");

  TTopicWindow *smallWindow = window.TopicWindows().Open("bench/small", small);
  TTopicWindow *mediumWindow = window.TopicWindows().Open("bench/medium", medium);
  if (!WaitFor([&] { return !smallWindow->Values().Loading() && !mediumWindow->Values().Loading(); }, 60))
    return Fail("the small histories did not load");
  // All on the screen, laid out alike, before their plots are timed.
  for (TTopicWindow *shown : {smallWindow, mediumWindow}) {
    shown->resize(bigWindow->size());
    shown->show();
  }
  WaitFor([] { return false; }, 1);
  const double smallRedraw = RedrawMicroseconds(*smallWindow);
  const double mediumRedraw = RedrawMicroseconds(*mediumWindow);
  const double bigRedraw = RedrawMicroseconds(*bigWindow);

  std::printf("history of %ld lines: loaded in %.1f s while the main window processed %d messages\n", lines,
              loadSeconds, sentDuring);
  std::printf("longest event-loop pass: %.1f ms (%.1f ms on a core, %.1f ms waiting for one)\n",
              double(longestPass) / 1e6, double(longestPassTimes.Running) / 1e6,
              double(longestPassTimes.Waiting) / 1e6);
  std::printf("plot redraw: 1000 points %.0f us (%zu drawn), 100000 points %.0f us (%zu drawn), %ld points %.0f us "
              "(%zu drawn); %ld against 100000 points: ratio %.2f\n",
              smallRedraw, smallWindow->Plot()->PointsDrawn(), mediumRedraw, mediumWindow->Plot()->PointsDrawn(), lines,
              bigRedraw, bigWindow->Plot()->PointsDrawn(), lines, bigRedraw / mediumRedraw);
  return 0;
}
