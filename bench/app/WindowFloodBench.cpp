// Floods the running window through a real mosquitto with distinct topics and
// compares it with mosquitto_sub receiving the same messages in the same run:
// the time until every topic is processed and shown in order, the peak
// memory, and the longest pass of the event loop while the window drains.
//
//   window_flood_bench [messages]   (default 100000)

#include <QCheckBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <sys/resource.h>
#include <thread>

#include "FloodPublisher.h"
#include "ProcessFigures.h"
#include "RunLoopUntil.h"
#include "Style.h"
#include "TApplication.h"
#include "TRadioGroup.h"
#include "TestBroker.h"
#include "untMain.h"

namespace {

constexpr const char *kProbeTopic = "flood/!probe";

int Fail(const char *aWhat) {
  std::fprintf(stderr, "window_flood_bench: %s\n", aWhat);
  return 1;
}

long PeakMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

} // namespace

int main(int argc, char **argv) {
  const int messages = argc > 1 ? std::atoi(argv[1]) : 100000;
  if (messages <= 0)
    return Fail("the number of messages must be positive");
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");

  TApplication app(argc, argv);
  ApplyStyle(QStringLiteral("Glossy"));
  TestBroker broker;
  const int port = broker.Port();

  // A retained probe tells each subscriber that its subscription is in place.
  {
    TFloodPublisher probe(port, "bench-probe");
    probe.Publish(kProbeTopic, "ready", true);
    probe.Disconnect();
  }

  QTemporaryDir dir;
  QProcess sub;
  sub.setStandardOutputFile(dir.filePath("sub.txt"));
  sub.start("mosquitto_sub", {"-h", "127.0.0.1", "-p", QString::number(port), "-q", "0", "-t", "flood/#",
                              "-C", QString::number(messages + 1)});
  if (!sub.waitForStarted(10000))
    return Fail("mosquitto_sub does not start");

  TfrmMain window;
  frmMain = &window;
  if (!qEnvironmentVariableIsSet("BENCH_HIDDEN"))
    window.show();
  window.rdgSSL->SetItemIndex(1);
  window.edtBroker->setText("127.0.0.1");
  window.edtPort->setText(QString::number(port));
  window.btnConn->click();
  if (!WaitFor([&] { return window.mqt->Online(); }, 30))
    return Fail("the window does not connect");
  window.edtTopic->setText("flood/#");
  window.btnSubs->click();
  const TLineList &topics = window.TopicList().TopicList();
  if (!WaitFor([&] { return topics.IndexOfName(kProbeTopic) >= 0; }, 30))
    return Fail("the window does not receive the probe");
  if (!WaitFor([&] { return QFileInfo(dir.filePath("sub.txt")).size() > 0; }, 30))
    return Fail("mosquitto_sub does not receive the probe");
  const int expectedRows = messages + 2; // the filter's line, the probe, the flood

  // Topics in random order, so that most rows land in the middle of the list.
  std::vector<int> order(static_cast<size_t>(messages));
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), std::mt19937(42));

  // The longest stretch between two firings of a 5 ms timer is the longest
  // the event loop went without coming back to it.
  QElapsedTimer clock;
  qint64 lastTick = 0, longestPass = 0, mostRunning = 0;
  TThreadTimes lastTimes, longestPassTimes;
  QTimer ticker;
  ticker.setTimerType(Qt::PreciseTimer);
  ticker.setInterval(5);
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    const TThreadTimes times = ThreadTimes();
    const TThreadTimes pass{times.Running - lastTimes.Running, times.Waiting - lastTimes.Waiting};
    if (now - lastTick > longestPass) {
      longestPass = now - lastTick;
      longestPassTimes = pass;
    }
    mostRunning = std::max(mostRunning, pass.Running);
    lastTick = now;
    lastTimes = times;
  });

  // Messages the client hands over between two ticks: a long pass that is
  // one big burst of them comes from reading the socket, not from the window.
  int burst = 0, longestBurst = 0;
  auto onMsg = window.mqt->OnMsg;
  window.mqt->OnMsg = [&](auto... aArguments) {
    longestBurst = std::max(longestBurst, ++burst);
    onMsg(aArguments...);
  };
  QObject::connect(&ticker, &QTimer::timeout, [&] { burst = 0; });

  qint64 subDone = -1, guiDone = -1;
  QObject::connect(&sub, &QProcess::finished, [&] { subDone = clock.nsecsElapsed(); });
  clock.start();
  lastTimes = ThreadTimes();
  ticker.start();
  std::string publishError;
  std::thread publisher([&] {
    try {
      TFloodPublisher flood(port, "bench-flood");
      for (int k : order)
        flood.Publish("flood/" + std::to_string(k), "v" + std::to_string(k));
      flood.Disconnect();
    } catch (const std::exception &e) {
      publishError = e.what();
    }
  });

  const bool drained = WaitFor(
      [&] {
        if (guiDone < 0 && topics.Count() == expectedRows && window.PendingList().Count() == 0) {
          guiDone = clock.nsecsElapsed();
          ticker.stop();
        }
        return guiDone >= 0 && subDone >= 0;
      },
      600);
  publisher.join();
  if (!publishError.empty())
    return Fail(publishError.c_str());
  if (!drained)
    return Fail(guiDone < 0 ? "the window did not show every topic in time"
                            : "mosquitto_sub did not receive every message in time");

  // Every topic shown once, with its value, in collation order.
  for (int row = 0; row + 1 < topics.Count(); ++row)
    if (topics.Compare(topics.Line(row), topics.Line(row + 1)) > 0)
      return Fail("the topic list is out of order");
  for (int k = 0; k < messages; ++k)
    if (topics.Value(QStringLiteral("flood/%1").arg(k)) != QStringLiteral("v%1").arg(k))
      return Fail("a topic is missing or has the wrong value");
  if (window.TopicList().rowCount() != expectedRows)
    return Fail("the list box does not show every line");

  const double subSeconds = double(subDone) / 1e9;
  const double guiSeconds = double(guiDone) / 1e9;
  std::printf("messages: %d distinct topics, QoS 0, loopback mosquitto\n", messages);
  std::printf("mosquitto_sub: %.3f s\n", subSeconds);
  std::printf("gui: %.3f s\n", guiSeconds);
  std::printf("peak memory: %ld MB (goal <= 100)\n", PeakMegabytes());
  std::printf("longest event loop pass: %.1f ms (goal <= 50): %.1f ms running, %.1f ms waiting for a core\n",
              double(longestPass) / 1e6, double(longestPassTimes.Running) / 1e6,
              double(longestPassTimes.Waiting) / 1e6);
  std::printf("longest time running in one pass: %.1f ms\n", double(mostRunning) / 1e6);
  std::printf("most messages received in one pass: %d\n", longestBurst);
  std::printf("load average: %.2f\n", LoadAverage());
  std::printf("gui/mosquitto_sub: %.2f (goal <= 2.5)\n", guiSeconds / subSeconds);
  window.mqt->Activate(false);
  return 0;
}
