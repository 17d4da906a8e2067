// The cost of topic windows left open: two copies of the real program under
// Xvfb, each on an X server of its own, receive the same stream from one
// mosquitto (10 topics, 10 numeric values a second each); one shows its main
// window alone, the other has the 10 topics' windows open as well. Prints
// the CPU each used over the same seconds and the ratio, for two rounds.
//
//   topic_window_cpu_bench [--seconds N]   (30 s per round)

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "FloodPublisher.h"
#include "ProcessFigures.h"
#include "TestBroker.h"
#include "WindowSteps.h"
#include "XvfbDesktop.h"

namespace {

constexpr int kTopics = 10;
constexpr int kRatePerTopic = 10;

QString TopicOf(int aIndex) { return QStringLiteral("cpu/t%1").arg(aIndex); }

void Check(bool aDone, const char *aWhat)
{
  if (!aDone)
    throw std::runtime_error(aWhat);
}

// Connected, subscribed to every topic of the stream, each topic on its line.
void Prepare(TXvfbProgram &aApp, const TestBroker &aBroker, const QString &aClientId)
{
  Check(aApp.Start(), "the program does not start");
  Check(aApp.Tool("xdotool", {"windowmove", "--sync", aApp.WindowId(), "0", "0"}) == 0, "xdotool fails");
  Check(ConnectWithKeyboard(aApp, aBroker, aClientId), "the program does not connect");
  Check(SubscribeWithKeyboard(aApp, aBroker, "cpu/#", 0), "the program does not subscribe");
}

// Opens the window of every topic with Enter on its line (row 0 is the
// filter's, the last is below the list's edge: Down reaches it), each placed
// beside the main window.
void OpenTopicWindows(TXvfbProgram &aApp)
{
  for (int i = 0; i < kTopics; ++i) {
    Check((i > 0 || aApp.Click(QPoint(116, 326 + 13 + 6))) &&
              aApp.Tool("xdotool", {"windowfocus", "--sync", aApp.WindowId()}) == 0 &&
              aApp.Keys(i > 0 ? QStringList{"Down", "Return"} : QStringList{"Return"}),
          "xdotool fails");
    const QString window = aApp.FindWindow(TopicOf(i) + " - Vyr MQTT Client", 20);
    if (window.isEmpty())
      aApp.SaveScreen("topic_window_cpu_bench_failure.png");
    Check(!window.isEmpty(), "a topic window does not open");
    Check(aApp.Tool("xdotool", {"windowsize", "--sync", window, "380", "380"}) == 0 &&
              aApp.Tool("xdotool", {"windowmove", "--sync", window, "644", QString::number(i * 38)}) == 0,
          "xdotool fails");
  }
}

} // namespace

int main(int argc, char **argv)
{
  QCoreApplication App(argc, argv);
  int Seconds = 30;
  const QStringList Args = App.arguments();
  if (Args.size() == 3 && Args[1] == "--seconds")
    Seconds = Args[2].toInt();
  if (Seconds <= 0) {
    std::fprintf(stderr, "usage: topic_window_cpu_bench [--seconds N]\n");
    return 2;
  }
  try {
    TestBroker Broker;
    TXvfbProgram Alone(VYR_MQTT_PROGRAM), WithWindows(VYR_MQTT_PROGRAM);
    Prepare(Alone, Broker, "Vyr-alone");
    Prepare(WithWindows, Broker, "Vyr-windows");
    for (int i = 0; i < kTopics; ++i)
      Check(PublishTo(Broker, {"-t", TopicOf(i), "-m", "0"}), "mosquitto_pub fails");
    QThread::sleep(2);
    OpenTopicWindows(WithWindows);

    std::atomic<bool> Stop{false};
    std::thread Publisher([&] {
      TFloodPublisher Flood(Broker.Port(), "bench-cpu");
      QElapsedTimer Clock;
      Clock.start();
      for (long Tick = 0; !Stop; ++Tick) {
        // Ten ticks a second, each a value for every topic.
        while (Clock.elapsed() < Tick * 1000 / kRatePerTopic && !Stop)
          QThread::msleep(2);
        for (int i = 0; i < kTopics; ++i)
          Flood.Publish(TopicOf(i).toStdString(), std::to_string(50 + (Tick * 7 + i * 13) % 50));
        Flood.Flush();
      }
      Flood.Disconnect();
    });
    // The stream settles before anything is counted.
    QThread::sleep(3);
    std::printf("%d topics x %d values/s for %d s per round\n", kTopics, kRatePerTopic, Seconds);
    for (int Round = 1; Round <= 2; ++Round) {
      const double AloneBefore = CpuSeconds(Alone.ProcessId());
      const double WindowsBefore = CpuSeconds(WithWindows.ProcessId());
      QThread::sleep(static_cast<unsigned long>(Seconds));
      const double AloneCpu = CpuSeconds(Alone.ProcessId()) - AloneBefore;
      const double WindowsCpu = CpuSeconds(WithWindows.ProcessId()) - WindowsBefore;
      std::printf("round %d: main window alone %.1f%% of a core, with %d topic windows %.1f%%, ratio %.2f\n", Round,
                  100 * AloneCpu / Seconds, kTopics, 100 * WindowsCpu / Seconds, WindowsCpu / AloneCpu);
      std::fflush(stdout);
    }
    Stop = true;
    Publisher.join();
  } catch (const std::exception &E) {
    std::fprintf(stderr, "topic_window_cpu_bench: %s\n", E.what());
    return 1;
  }
  return 0;
}
