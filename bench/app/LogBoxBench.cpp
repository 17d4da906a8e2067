// The log box against a plain edit box holding the same lines: memory per
// line and time per line, with the view painted once per 40 lines (a window
// receiving 1,000 messages per second, painted 25 times per second). Each box
// runs in a process of its own, so that one's freed memory does not hide the
// other's.
//
//   log_box_bench [lines]   (default 100000)

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QProcess>
#include <cstdio>
#include <functional>

#include "LogBox.h"
#include "ProcessFigures.h"

namespace {

constexpr int kLinesPerPaint = 40;

QString LineOf(int aIndex)
{
  return QStringLiteral("2026-12-10 16:43:45 bench/sensor/%1=%2")
      .arg(aIndex % 1000, 4, 10, QLatin1Char('0'))
      .arg(aIndex, 20, 10, QLatin1Char('0'));
}

// Appends aLines lines with aAppend, painting aBox every kLinesPerPaint lines;
// prints "<bytes per line> <microseconds per line>".
int Measure(QAbstractScrollArea &aBox, int aLines, const std::function<void(const QString &)> &aAppend)
{
  aBox.resize(401, 247);
  aBox.show();
  QApplication::processEvents();
  const double Before = ResidentMegabytes(QApplication::applicationPid());
  QElapsedTimer Clock;
  Clock.start();
  for (int I = 0; I < aLines; ++I) {
    aAppend(LineOf(I));
    if (I % kLinesPerPaint == kLinesPerPaint - 1)
      aBox.viewport()->repaint();
  }
  const qint64 Elapsed = Clock.nsecsElapsed();
  const double After = ResidentMegabytes(QApplication::applicationPid());
  std::printf("%.0f %.2f\n", (After - Before) * 1024 * 1024 / aLines, double(Elapsed) / 1000 / aLines);
  return 0;
}

int RunBox(const QString &aKind, int aLines)
{
  if (aKind == QStringLiteral("log")) {
    TLogBox Box;
    return Measure(Box, aLines, [&](const QString &aLine) { Box.AppendLine(aLine); });
  }
  // As the window appended lines before the log box: outside the undo history.
  QPlainTextEdit Box;
  return Measure(Box, aLines, [&](const QString &aLine) {
    Box.setUndoRedoEnabled(false);
    Box.appendPlainText(aLine);
    Box.setUndoRedoEnabled(true);
  });
}

bool RunChild(const QString &aKind, int aLines, double &aBytes, double &aMicroseconds)
{
  QProcess Child;
  Child.start(QApplication::applicationFilePath(), {QStringLiteral("--box"), aKind, QString::number(aLines)});
  if (!Child.waitForFinished(600000) || Child.exitCode() != 0)
    return false;
  return std::sscanf(Child.readAllStandardOutput().constData(), "%lf %lf", &aBytes, &aMicroseconds) == 2;
}

} // namespace

int main(int argc, char **argv)
{
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication App(argc, argv);
  const QStringList Arguments = App.arguments();
  if (Arguments.size() == 4 && Arguments[1] == QStringLiteral("--box"))
    return RunBox(Arguments[2], Arguments[3].toInt());
  const int Lines = Arguments.size() > 1 ? Arguments[1].toInt() : 100000;
  if (Lines <= 0) {
    std::fprintf(stderr, "log_box_bench: the number of lines must be positive\n");
    return 2;
  }
  double LogBytes = 0, LogUs = 0, EditBytes = 0, EditUs = 0;
  if (!RunChild(QStringLiteral("log"), Lines, LogBytes, LogUs) ||
      !RunChild(QStringLiteral("edit"), Lines, EditBytes, EditUs)) {
    std::fprintf(stderr, "log_box_bench: a measuring process failed\n");
    return 1;
  }
  std::printf("%d lines of %d characters, painted every %d lines, load %.2f\n", Lines, int(LineOf(0).size()),
              kLinesPerPaint, LoadAverage());
  std::printf("log box:    %6.0f bytes per line, %6.2f us per line\n", LogBytes, LogUs);
  std::printf("plain edit: %6.0f bytes per line, %6.2f us per line\n", EditBytes, EditUs);
  std::printf("log box / plain edit: memory %.2f, time %.2f\n", LogBytes / EditBytes, LogUs / EditUs);
  return 0;
}
