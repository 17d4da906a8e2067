// The real window watching a steady stream, beside mosquitto_sub writing the
// same stream to a file, in the same run: a publisher sends 100 and then 1,000
// messages per second over 1,000 topics (QoS 0, 20-byte payloads) to a real
// mosquitto; the window runs under Xvfb, subscribed to "#" with "Save data"
// checked, driven through xdotool. For each rate it prints the CPU each
// process used (percent of one core over the publishing time, counting the
// window's work until its data files hold the last message), then both
// processes' peak and final memory, and checks that every message is in its
// data file and in mosquitto_sub's file.
//
//   sustained_rate_bench [--seconds N] [--program PATH]   (60 s per rate)

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>
#include <vector>

#include "BenchFlags.h"
#include "FloodPublisher.h"
#include "ProcessFigures.h"
#include "TestBroker.h"
#include "XvfbDesktop.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTopics = 1000;
constexpr int kRates[] = {100, 1000};
// How long the window may take after the last message before it counts as
// not keeping up.
constexpr int kCatchUpMs = 120000;
const QString kProbeTopic = QStringLiteral("bench/probe");

struct TOptions {
  int Seconds = 60;
  QString Program = QStringLiteral(VYR_MQTT_PROGRAM);
};

TOptions ParseOptions(const QStringList &aArguments)
{
  TOptions Options;
  ReadFlags(aArguments, "usage: sustained_rate_bench [--seconds N] [--program PATH]",
            {{"--seconds", [&](const QString &aValue) { Options.Seconds = PositiveNumber(aValue, "--seconds"); }},
             {"--program", [&](const QString &aValue) { Options.Program = aValue; }}});
  return Options;
}

QString TopicOf(int aMessage)
{
  return QStringLiteral("bench/sensor/%1").arg(aMessage % kTopics, 4, 10, QLatin1Char('0'));
}

// Twenty digits: every message of the run is told apart by its payload.
QString PayloadOf(int aMessage)
{
  return QStringLiteral("%1").arg(aMessage, 20, 10, QLatin1Char('0'));
}

QByteArray ReadFile(const QString &aPath)
{
  QFile File(aPath);
  return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
}

// The window's data file of a topic: "<time stamp>;<payload>" CR LF per message.
QString DataFileOf(const QDir &aFolder, const QString &aTopic)
{
  return aFolder.filePath(QString(aTopic).replace(QLatin1Char('/'), QLatin1Char('-')) + QStringLiteral(".csv"));
}

QStringList DataFilePayloads(const QString &aPath)
{
  QStringList Payloads;
  for (const QByteArray &Line : ReadFile(aPath).split('\n')) {
    const qsizetype Separator = Line.indexOf(';');
    if (Separator >= 0)
      Payloads << QString::fromLatin1(Line.mid(Separator + 1).chopped(Line.endsWith('\r') ? 1 : 0));
  }
  return Payloads;
}

// mosquitto_sub -v writes "<topic> <payload>" per message.
QHash<QString, QStringList> SubscriberPayloads(const QString &aPath)
{
  QHash<QString, QStringList> Payloads;
  for (const QByteArray &Line : ReadFile(aPath).split('\n')) {
    const qsizetype Space = Line.indexOf(' ');
    if (Space > 0)
      Payloads[QString::fromUtf8(Line.left(Space))] << QString::fromLatin1(Line.mid(Space + 1));
  }
  return Payloads;
}

bool FileEndsWithLine(const QString &aPath, const QByteArray &aLine)
{
  QFile File(aPath);
  if (!File.open(QIODevice::ReadOnly))
    return false;
  File.seek(std::max<qint64>(0, File.size() - 4096));
  return File.readAll().contains(aLine);
}

// Polls aDone every 20 ms for up to aTimeoutMs.
bool WaitFor(const std::function<bool()> &aDone, int aTimeoutMs)
{
  QElapsedTimer Clock;
  Clock.start();
  while (!aDone()) {
    if (Clock.hasExpired(aTimeoutMs))
      return false;
    QThread::msleep(20);
  }
  return true;
}

// Messages found where they belong, in order, out of those sent.
int Delivered(const std::vector<QStringList> &aSent, const std::function<QStringList(int)> &aReceived)
{
  int Found = 0;
  for (int Topic = 0; Topic < kTopics; ++Topic) {
    const QStringList Got = aReceived(Topic);
    const QStringList &Want = aSent[size_t(Topic)];
    // Whatever else arrived, the sent messages must be there in their order.
    qsizetype At = 0;
    for (const QString &Payload : Want) {
      const qsizetype Next = Got.indexOf(Payload, At);
      if (Next >= 0) {
        ++Found;
        At = Next + 1;
      }
    }
  }
  return Found;
}

class TSustainedRateBench {
public:
  explicit TSustainedRateBench(const TOptions &aOptions) : FOptions(aOptions), FWindow(aOptions.Program) {}
  ~TSustainedRateBench();
  int Run();

private:
  void StartSubscriber();
  void StartWindow();
  void ConnectAndSubscribe();
  void RunRate(int aRate);
  void Xdotool(const QStringList &aArguments, QString *aOutput = nullptr);
  // Clicks at a point of the window's layout (pixels at 96 dots per inch).
  void Click(int aX, int aY);
  // Selects all text of the focused edit box and types aText in its place.
  void Retype(const QString &aText);

  TOptions FOptions;
  TestBroker FBroker;
  QTemporaryDir FWork;
  TXvfbProgram FWindow;
  QDir FDataFolder;
  QProcess FSubscriber;
  double FScale = 1;
  int FSent = 0;
  std::vector<QStringList> FSentTo = std::vector<QStringList>(kTopics);
  std::vector<double> FResults; // the window's CPU percent at each rate
};

TSustainedRateBench::~TSustainedRateBench()
{
  FSubscriber.kill();
  FSubscriber.waitForFinished(5000);
}

void TSustainedRateBench::Xdotool(const QStringList &aArguments, QString *aOutput)
{
  if (FWindow.Tool(QStringLiteral("xdotool"), aArguments, aOutput) != 0)
    throw std::runtime_error("xdotool fails: " + aArguments.join(' ').toStdString());
}

void TSustainedRateBench::Click(int aX, int aY)
{
  Xdotool({QStringLiteral("mousemove"), QStringLiteral("--sync"), QStringLiteral("--window"), FWindow.WindowId(),
           QString::number(int(aX * FScale)), QString::number(int(aY * FScale)), QStringLiteral("click"),
           QStringLiteral("1")});
}

void TSustainedRateBench::Retype(const QString &aText)
{
  if (!FWindow.Keys({QStringLiteral("ctrl+a")}) || !FWindow.Type(aText))
    throw std::runtime_error("xdotool cannot type");
}

void TSustainedRateBench::StartSubscriber()
{
  FSubscriber.setStandardOutputFile(FWork.filePath(QStringLiteral("sub.txt")));
  FSubscriber.start(QStringLiteral("mosquitto_sub"), {QStringLiteral("-h"), QStringLiteral("127.0.0.1"),
                                                      QStringLiteral("-p"), QString::number(FBroker.Port()),
                                                      QStringLiteral("-q"), QStringLiteral("0"),
                                                      QStringLiteral("-t"), QStringLiteral("#"), QStringLiteral("-v")});
  if (!FSubscriber.waitForStarted(10000))
    throw std::runtime_error("mosquitto_sub does not start");
  if (!WaitFor([&] { return FileEndsWithLine(FWork.filePath(QStringLiteral("sub.txt")), "bench/probe ready"); },
               30000))
    throw std::runtime_error("mosquitto_sub does not receive the probe");
}

// The program runs from a folder of its own and writes its data files there.
void TSustainedRateBench::StartWindow()
{
  if (!FWindow.Start())
    throw std::runtime_error(FWindow.Failure().toStdString());
  FDataFolder = QDir(FWindow.Folder());
  // The layout's pixels are at 96 dots per inch; the window is 644 of them wide.
  QString Geometry;
  Xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), FWindow.WindowId()}, &Geometry);
  for (const QString &Line : Geometry.split(QLatin1Char('\n')))
    if (Line.startsWith(QStringLiteral("WIDTH=")))
      FScale = Line.mid(6).toInt() / 644.0;
}

// Points are the middle of each control, or its check mark, in the window's layout.
void TSustainedRateBench::ConnectAndSubscribe()
{
  Click(557, 26); // Broker
  Retype(QStringLiteral("127.0.0.1"));
  Click(557, 53); // Port
  Retype(QString::number(FBroker.Port()));
  Click(498, 169); // Use SSL: No
  Click(24, 482);  // Save data
  Click(489, 198); // Connect
  const QString Sub = FWork.filePath(QStringLiteral("sub.txt"));
  if (!WaitFor([&] { return ReadFile(Sub).contains("/status 1"); }, 30000))
    throw std::runtime_error("the window does not come online");
  Click(568, 260); // Topic
  Retype(QStringLiteral("#"));
  Click(472, 260); // Subscribe
  // The retained probe reaches the data files once the subscription and
  // "Save data" are in place.
  if (!WaitFor([&] { return QFile::exists(DataFileOf(FDataFolder, kProbeTopic)); }, 30000))
    throw std::runtime_error("the window does not save the probe: subscription or Save data missing");
}

void TSustainedRateBench::RunRate(int aRate)
{
  const qint64 Window = FWindow.ProcessId(), Subscriber = FSubscriber.processId();
  const double WindowCpu = CpuSeconds(Window), SubscriberCpu = CpuSeconds(Subscriber);
  const double LoadBefore = LoadAverage();

  TFloodPublisher Publisher(FBroker.Port(), "bench-rate");
  const int Count = aRate * FOptions.Seconds;
  const auto Start = Clock::now();
  for (int I = 0; I < Count; ++I) {
    const auto Due = Start + std::chrono::nanoseconds(qint64(I) * 1000000000 / aRate);
    if (Clock::now() < Due) {
      Publisher.Flush();
      std::this_thread::sleep_until(Due);
    }
    const int Message = FSent++;
    FSentTo[size_t(Message % kTopics)] << PayloadOf(Message);
    Publisher.Publish(TopicOf(Message).toStdString(), PayloadOf(Message).toStdString());
  }
  Publisher.Disconnect();
  const auto Published = Clock::now();

  const int Last = FSent - 1;
  const QString LastFile = DataFileOf(FDataFolder, TopicOf(Last));
  const QByteArray LastDataLine = ";" + PayloadOf(Last).toLatin1() + "\r\n";
  const QByteArray LastSubLine = (TopicOf(Last) + QLatin1Char(' ') + PayloadOf(Last) + QLatin1Char('\n')).toLatin1();
  double WindowUsed = -1, SubscriberUsed = -1;
  double WindowLagMs = -1;
  WaitFor(
      [&] {
        if (SubscriberUsed < 0 && FileEndsWithLine(FWork.filePath(QStringLiteral("sub.txt")), LastSubLine))
          SubscriberUsed = CpuSeconds(Subscriber) - SubscriberCpu;
        if (WindowUsed < 0 && FileEndsWithLine(LastFile, LastDataLine)) {
          WindowUsed = CpuSeconds(Window) - WindowCpu;
          WindowLagMs = std::chrono::duration<double, std::milli>(Clock::now() - Published).count();
        }
        return WindowUsed >= 0 && SubscriberUsed >= 0;
      },
      kCatchUpMs);
  if (WindowUsed < 0)
    throw std::runtime_error("the window did not save the last message within two minutes");
  if (SubscriberUsed < 0)
    throw std::runtime_error("mosquitto_sub did not write the last message within two minutes");

  const double Seconds = std::chrono::duration<double>(Published - Start).count();
  const double WindowPercent = 100 * WindowUsed / Seconds, SubscriberPercent = 100 * SubscriberUsed / Seconds;
  std::printf("%d msg/s: window %.2f %% of one core, mosquitto_sub %.2f %%, window/mosquitto_sub %.1f; "
              "last message saved %.0f ms after it was sent; load %.2f -> %.2f\n",
              aRate, WindowPercent, SubscriberPercent, SubscriberPercent > 0 ? WindowPercent / SubscriberPercent : 0,
              WindowLagMs, LoadBefore, LoadAverage());
  FResults.push_back(WindowPercent);
}

int TSustainedRateBench::Run()
{
  {
    TFloodPublisher Probe(FBroker.Port(), "bench-probe");
    Probe.Publish(kProbeTopic.toStdString(), "ready", true);
    Probe.Disconnect();
  }
  StartSubscriber();
  StartWindow();
  ConnectAndSubscribe();
  std::printf("sustained rate: %d topics, QoS 0, 20-byte payloads, %d s per rate, loopback mosquitto, "
              "window under Xvfb %s, %d cores\n",
              kTopics, FOptions.Seconds, qPrintable(FWindow.Display()), QThread::idealThreadCount());
  std::fflush(stdout);
  for (int Rate : kRates) {
    RunRate(Rate);
    std::fflush(stdout);
  }

  const qint64 Window = FWindow.ProcessId(), Subscriber = FSubscriber.processId();
  const double WindowPeak = PeakMegabytes(Window);
  std::printf("memory: window peak %.1f MB, final %.1f MB; mosquitto_sub peak %.1f MB, final %.1f MB\n", WindowPeak,
              ResidentMegabytes(Window), PeakMegabytes(Subscriber), ResidentMegabytes(Subscriber));

  const int InDataFiles =
      Delivered(FSentTo, [&](int aTopic) { return DataFilePayloads(DataFileOf(FDataFolder, TopicOf(aTopic))); });
  const QHash<QString, QStringList> Received = SubscriberPayloads(FWork.filePath(QStringLiteral("sub.txt")));
  const int InSubscriberFile = Delivered(FSentTo, [&](int aTopic) { return Received.value(TopicOf(aTopic)); });
  std::printf("messages: %d sent; %d in the window's data files; %d in mosquitto_sub's file\n", FSent, InDataFiles,
              InSubscriberFile);
  std::printf("sustained cpu 100/s: %.2f\n", FResults[0]);
  std::printf("sustained cpu 1000/s: %.2f\n", FResults[1]);
  std::printf("sustained memory: %.1f\n", WindowPeak);
  return InDataFiles == FSent && InSubscriberFile == FSent ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
  QCoreApplication App(argc, argv);
  try {
    TSustainedRateBench Bench(ParseOptions(App.arguments()));
    return Bench.Run();
  } catch (const std::exception &E) {
    std::fprintf(stderr, "sustained_rate_bench: %s\n", E.what());
    return 2;
  }
}
