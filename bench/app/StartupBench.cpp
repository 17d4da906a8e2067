// Start-up of the real window against a minimal Qt Widgets program, side by
// side under the same Xvfb: the time from starting the process until its window
// is shown and the process has gone quiet (no thread of it ran for a while),
// taken as the moment it last ran. The two programs take turns; the medians
// are compared.
//
//   startup_bench [--rounds N] [--program PATH]   (7 rounds)

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "BenchFlags.h"
#include "ProcessFigures.h"
#include "XvfbDesktop.h"

namespace {

// A process that has not run for this long, with its window shown, is idle.
constexpr qint64 kQuietNs = 300'000'000;
constexpr int kTimeoutMs = 30000;

struct TOptions {
  int Rounds = 7;
  QString Program = QStringLiteral(VYR_MQTT_PROGRAM);
  QString Minimal = QStringLiteral(VYR_MINIMAL_WINDOW);
};

TOptions ParseOptions(const QStringList &aArguments)
{
  TOptions Options;
  ReadFlags(aArguments, "usage: startup_bench [--rounds N] [--program PATH]",
            {{"--rounds", [&](const QString &aValue) { Options.Rounds = PositiveNumber(aValue, "--rounds"); }},
             {"--program", [&](const QString &aValue) { Options.Program = aValue; }}});
  return Options;
}

QProcessEnvironment DisplayEnvironment(const TXvfb &aDisplay)
{
  QProcessEnvironment Env = QProcessEnvironment::systemEnvironment();
  Env.insert(QStringLiteral("DISPLAY"), aDisplay.Display());
  Env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
  return Env;
}

// Whether the process has a window on the screen (xdotool runs in a process
// of its own: it costs the measured program nothing).
bool HasVisibleWindow(qint64 aPid, const TXvfb &aDisplay)
{
  QProcess Xdotool;
  Xdotool.setProcessEnvironment(DisplayEnvironment(aDisplay));
  Xdotool.start(QStringLiteral("xdotool"),
                {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"), QString::number(aPid)});
  return Xdotool.waitForFinished(kTimeoutMs) && Xdotool.exitCode() == 0 && !Xdotool.readAllStandardOutput().trimmed().isEmpty();
}

// Milliseconds from starting aProgram until its window is shown and it is idle.
double StartupMs(const QString &aProgram, const TXvfb &aDisplay)
{
  QProcess Child;
  Child.setProcessEnvironment(DisplayEnvironment(aDisplay));
  Child.setStandardOutputFile(QProcess::nullDevice());
  Child.setStandardErrorFile(QProcess::nullDevice());
  QElapsedTimer Clock;
  Clock.start();
  Child.start(aProgram, {});
  if (!Child.waitForStarted(kTimeoutMs))
    throw std::runtime_error("cannot start " + aProgram.toStdString());
  const qint64 Pid = Child.processId();
  qint64 Ran = -1, LastRan = 0;
  while (!Clock.hasExpired(kTimeoutMs)) {
    const qint64 Now = Clock.nsecsElapsed();
    const qint64 Running = RunNanoseconds(Pid);
    if (Running < 0)
      throw std::runtime_error(aProgram.toStdString() + " ended at start");
    if (Running != Ran) {
      Ran = Running;
      LastRan = Now;
    } else if (Now - LastRan >= kQuietNs) {
      // Quiet; idle only once the window is up.
      if (HasVisibleWindow(Pid, aDisplay) && RunNanoseconds(Pid) == Ran) {
        Child.kill();
        Child.waitForFinished(kTimeoutMs);
        return double(LastRan) / 1e6;
      }
      LastRan = Clock.nsecsElapsed();
    }
    QThread::usleep(500);
  }
  Child.kill();
  Child.waitForFinished(kTimeoutMs);
  throw std::runtime_error(aProgram.toStdString() + " does not become idle");
}

double Median(std::vector<double> aValues)
{
  std::sort(aValues.begin(), aValues.end());
  return aValues[aValues.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
  QCoreApplication App(argc, argv);
  try {
    const TOptions Options = ParseOptions(App.arguments());
    TXvfb Display;
    if (Display.Display().isEmpty())
      throw std::runtime_error("Xvfb does not start");
    // A first start of each fills the caches the later ones find warm.
    StartupMs(Options.Program, Display);
    StartupMs(Options.Minimal, Display);
    std::vector<double> Program, Minimal;
    for (int Round = 0; Round < Options.Rounds; ++Round) {
      Program.push_back(StartupMs(Options.Program, Display));
      Minimal.push_back(StartupMs(Options.Minimal, Display));
    }
    std::printf("startup until shown and idle, medians of %d starts each under Xvfb (load %.2f):\n", Options.Rounds,
                LoadAverage());
    std::printf("vyr-mqtt: %.1f ms\n", Median(Program));
    std::printf("minimal Qt Widgets window: %.1f ms\n", Median(Minimal));
    std::printf("startup/minimal: %.2f\n", Median(Program) / Median(Minimal));
    return 0;
  } catch (const std::exception &E) {
    std::fprintf(stderr, "startup_bench: %s\n", E.what());
    return 2;
  }
}
