// The real window over a long run: 50 messages a second spread over 2,000
// topics (QoS 0, 20-byte payloads) through a real mosquitto, the window under
// Xvfb subscribed to "#" with "Save data" checked, beside a mosquitto_sub
// receiving the same stream. Each minute it prints both processes' resident
// memory; at the end, each one's memory at the last minute against its
// memory at the end of the first hour (or of the first minute, in a shorter
// run) as a ratio, and whether every message reached its data file.
//
//   window_soak_bench [--minutes N] [--rate R] [--log-lines N] [--program PATH]
//
// N minutes default to 5; 1,440 is the 24-hour run. --rate sends the same
// messages faster: the minutes counted are those of the 50 msg/s stream, so
// "--minutes 1440 --rate 1000" puts a day's messages through in 72 minutes
// (what grows with time alone, not with messages, is not covered by that).
// --log-lines is handed to the window, so that a short run reaches the log's
// bound too.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "BenchFlags.h"
#include "FloodPublisher.h"
#include "ProcessFigures.h"
#include "TestBroker.h"
#include "XvfbDesktop.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTopics = 2000;
constexpr int kRate = 50;

struct TOptions {
  int Minutes = 5;
  int Rate = kRate;
  QString LogLines;
  QString Program = QStringLiteral(VYR_MQTT_PROGRAM);
};

TOptions ParseOptions(const QStringList &aArguments)
{
  TOptions Options;
  ReadFlags(aArguments, "usage: window_soak_bench [--minutes N] [--rate R] [--log-lines N] [--program PATH]",
            {{"--minutes", [&](const QString &aValue) { Options.Minutes = PositiveNumber(aValue, "--minutes"); }},
             {"--rate", [&](const QString &aValue) { Options.Rate = PositiveNumber(aValue, "--rate"); }},
             {"--log-lines", [&](const QString &aValue) { Options.LogLines = aValue; }},
             {"--program", [&](const QString &aValue) { Options.Program = aValue; }}});
  return Options;
}

QStringList WindowArguments(const TOptions &aOptions, int aPort)
{
  QStringList Arguments{"--broker", "127.0.0.1", "--port", QString::number(aPort), "--ssl", "no"};
  if (!aOptions.LogLines.isEmpty())
    Arguments << "--log-lines" << aOptions.LogLines;
  return Arguments;
}

bool WaitFor(const std::function<bool()> &aDone, int aTimeoutMs)
{
  QElapsedTimer Clock;
  Clock.start();
  while (!aDone()) {
    if (Clock.hasExpired(aTimeoutMs))
      return false;
    QThread::msleep(50);
  }
  return true;
}

QByteArray ReadFile(const QString &aPath)
{
  QFile File(aPath);
  return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
}

QString TopicOf(int aMessage) { return QStringLiteral("soak/%1").arg(aMessage % kTopics, 4, 10, QLatin1Char('0')); }
QString PayloadOf(int aMessage) { return QStringLiteral("%1").arg(aMessage, 20, 10, QLatin1Char('0')); }

int Run(const TOptions &aOptions)
{
  TestBroker Broker;
  QTemporaryDir Work;
  QProcess Subscriber;
  Subscriber.setStandardOutputFile(Work.filePath("sub.txt"));
  Subscriber.start("mosquitto_sub", {"-h", "127.0.0.1", "-p", QString::number(Broker.Port()), "-t", "soak/#", "-v"});
  if (!Subscriber.waitForStarted(10000))
    throw std::runtime_error("mosquitto_sub does not start");

  TXvfbProgram Window(aOptions.Program, WindowArguments(aOptions, Broker.Port()));
  if (!Window.Start())
    throw std::runtime_error(Window.Failure().toStdString());
  // Save data, Connect, then the filter typed into the Topic box and
  // subscribed at QoS 0 (the way the window tests go by keyboard).
  const bool Typed = Window.Keys({"alt+b", "shift+Tab", "space", "alt+c"});
  QThread::msleep(1500);
  const bool Subscribed = Typed && Window.Click(QPoint(216, 147)) &&
                          Window.Keys({"shift+Tab", "shift+Tab", "shift+Tab", "ctrl+a"}) && Window.Type("soak/#") &&
                          Window.Keys({"Tab", "Left", "Left", "space", "shift+Tab", "shift+Tab", "space"});
  const QString Probe = QDir(Window.Folder()).filePath("soak-probe.csv");
  {
    TFloodPublisher Publisher(Broker.Port(), "soak-probe");
    WaitFor(
        [&] {
          Publisher.Publish("soak/probe", "ready");
          Publisher.Flush();
          return QFile::exists(Probe);
        },
        30000);
  }
  if (!Subscribed || !QFile::exists(Probe))
    throw std::runtime_error("the window did not connect, subscribe and save the probe");

  const qint64 WindowPid = Window.ProcessId(), SubscriberPid = Subscriber.processId();
  std::printf("soak: %d msg/s over %d topics (sent at %d msg/s), QoS 0, 20-byte payloads, %d min, log lines %s, "
              "window under Xvfb %s\n",
              kRate, kTopics, aOptions.Rate, aOptions.Minutes, aOptions.LogLines.isEmpty() ? "default" : qPrintable(aOptions.LogLines),
              qPrintable(Window.Display()));
  std::printf("minute  window RSS MB  mosquitto_sub RSS MB\n");
  std::fflush(stdout);

  TFloodPublisher Publisher(Broker.Port(), "soak-flood");
  const int Count = kRate * 60 * aOptions.Minutes;
  const auto Start = Clock::now();
  // The reference point: the end of the first hour, or of the first minute.
  const int ReferenceMinute = aOptions.Minutes >= 120 ? 60 : 1;
  double WindowReference = 0, SubscriberReference = 0, WindowLast = 0, SubscriberLast = 0;
  for (int I = 0; I < Count; ++I) {
    const auto Due = Start + std::chrono::nanoseconds(qint64(I) * 1000000000 / aOptions.Rate);
    if (Clock::now() < Due) {
      Publisher.Flush();
      std::this_thread::sleep_until(Due);
    }
    Publisher.Publish(TopicOf(I).toStdString(), PayloadOf(I).toStdString());
    if ((I + 1) % (kRate * 60) == 0) {
      const int Minute = (I + 1) / (kRate * 60);
      WindowLast = ResidentMegabytes(WindowPid);
      SubscriberLast = ResidentMegabytes(SubscriberPid);
      if (WindowLast < 0)
        throw std::runtime_error("the window is gone");
      if (Minute == ReferenceMinute) {
        WindowReference = WindowLast;
        SubscriberReference = SubscriberLast;
      }
      std::printf("%6d  %13.1f  %20.1f\n", Minute, WindowLast, SubscriberLast);
      std::fflush(stdout);
    }
  }
  Publisher.Disconnect();

  // Every message in its data file: the last one of each topic is enough to
  // wait for, the count of lines says the rest.
  const QDir Folder(Window.Folder());
  const auto FileOf = [&](int aTopic) { return Folder.filePath(QString(TopicOf(aTopic)).replace('/', '-') + ".csv"); };
  WaitFor(
      [&] {
        for (int Topic = 0; Topic < kTopics; ++Topic) {
          const int Last = Count - 1 - ((Count - 1 - Topic) % kTopics + kTopics) % kTopics;
          if (Last >= 0 && !ReadFile(FileOf(Topic)).endsWith(";" + PayloadOf(Last).toLatin1() + "\r\n"))
            return false;
        }
        return true;
      },
      120000);
  qint64 Saved = 0;
  for (int Topic = 0; Topic < kTopics; ++Topic)
    Saved += ReadFile(FileOf(Topic)).count("\r\n");
  const qint64 Received = ReadFile(Work.filePath("sub.txt")).count('\n') - 1; // less the probe

  std::printf("memory at the last minute against minute %d: window %.2f, mosquitto_sub %.2f\n", ReferenceMinute,
              WindowReference > 0 ? WindowLast / WindowReference : 0,
              SubscriberReference > 0 ? SubscriberLast / SubscriberReference : 0);
  std::printf("messages: %d sent; %lld in the window's data files; %lld received by mosquitto_sub\n", Count,
              static_cast<long long>(Saved), static_cast<long long>(Received));
  Subscriber.kill();
  Subscriber.waitForFinished(5000);
  return Saved == Count ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
  QCoreApplication App(argc, argv);
  try {
    return Run(ParseOptions(App.arguments()));
  } catch (const std::exception &E) {
    std::fprintf(stderr, "window_soak_bench: %s\n", E.what());
    return 2;
  }
}
