// The real program under Xvfb, driven only through the keyboard as a user
// would: broker, port and client id typed into their boxes, "Use SSL" set to
// No, Connect, a topic filter typed and subscribed, "Save data" checked; a
// message from mosquitto_pub then reaches the window and its data file, and
// a screenshot of the screen is saved beside the test program.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <thread>

#include "TestBroker.h"

namespace {

// Polls aDone() until it holds or aSeconds pass; the other processes do the work.
bool WaitFor(const std::function<bool()> &aDone, int aSeconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(aSeconds);
  while (!aDone()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

QString ReadFile(const QString &aPath) {
  QFile file(aPath);
  return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// An X server of its own on a display it picks itself.
class TXvfb {
public:
  TXvfb() {
    FProcess.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
    if (FProcess.waitForStarted(10000) && FProcess.waitForReadyRead(30000))
      FDisplay = ":" + QString::fromLatin1(FProcess.readLine()).trimmed();
  }
  ~TXvfb() {
    FProcess.terminate();
    FProcess.waitForFinished(10000);
  }
  const QString &Display() const { return FDisplay; }

private:
  QProcess FProcess;
  QString FDisplay;
};

class KeyboardTest : public ::testing::Test {
protected:
  // Runs a tool on the test's display and returns its exit status and output.
  int Tool(const QString &aProgram, const QStringList &aArguments, QString *aOutput = nullptr) {
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", FXvfb.Display());
    tool.setProcessEnvironment(env);
    tool.start(aProgram, aArguments);
    if (!tool.waitForFinished(60000))
      return -1;
    if (aOutput)
      *aOutput = QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
    return tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
  }
  void Keys(const QStringList &aKeys) {
    ASSERT_EQ(Tool("xdotool", QStringList{"key", "--delay", "50"} + aKeys), 0);
  }
  void Type(const QString &aText) {
    ASSERT_EQ(Tool("xdotool", {"type", "--delay", "30", aText}), 0);
  }

  TXvfb FXvfb;
};

TEST_F(KeyboardTest, connect_subscribe_receive_and_save_with_the_keyboard_only) {
  ASSERT_FALSE(FXvfb.Display().isEmpty()) << "Xvfb does not start";
  TestBroker broker;
  const QString port = QString::number(broker.Port());

  // The program runs from a folder of its own, where its data files go.
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString program = dir.filePath("vyr-mqtt");
  ASSERT_TRUE(QFile::copy(VYR_MQTT_PROGRAM, program));
  QProcess app;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("DISPLAY", FXvfb.Display());
  env.insert("QT_QPA_PLATFORM", "xcb");
  env.insert("TZ", "<-03>3");
  app.setProcessEnvironment(env);
  app.setWorkingDirectory(dir.path());
  app.setProcessChannelMode(QProcess::ForwardedChannels);
  app.start(program, {});
  ASSERT_TRUE(app.waitForStarted(10000));

  QString window;
  ASSERT_TRUE(WaitFor([&] { return Tool("xdotool", {"search", "--name", "Vyr MQTT Client v2.1"}, &window) == 0; }, 60));
  window = window.section('\n', 0, 0);
  // Without a window manager focusing works where activating does not.
  ASSERT_EQ(Tool("xdotool", {"windowfocus", "--sync", window}), 0);

  Keys({"alt+b", "ctrl+a"});
  Type("127.0.0.1");
  Keys({"alt+p", "ctrl+a"});
  Type(port);
  Keys({"alt+n", "ctrl+a"});
  Type("Vyr-kbd");
  // "Use SSL" comes last in the tab order, just before the log box.
  Keys({"alt+l", "shift+Tab", "Right", "space"});
  Keys({"alt+c"});

  // Online: the retained presence value is "1".
  QString presence;
  ASSERT_EQ(Tool("mosquitto_sub", {"-h", "127.0.0.1", "-p", port, "-t", "Vyr/Vyr-kbd/status", "-C", "1", "-W", "60"},
                 &presence),
            0);
  EXPECT_EQ(presence, "1");

  // From the Client ID box: Clean Session, Disconnect, Inactive, then the Topic
  // box (Connect, Active and Subscribe are disabled and skipped).
  Keys({"alt+n", "Tab", "Tab", "Tab", "Tab"});
  Type("kbd/#");
  Keys({"shift+Tab", "space"});
  ASSERT_TRUE(WaitFor([&] { return ReadFile(QString::fromStdString(broker.LogFile())).contains("Received SUBSCRIBE from Vyr-kbd"); }, 60))
      << "no SUBSCRIBE from the window";

  // "Save data": the fourth stop after the Topics group's first control.
  Keys({"alt+t", "Tab", "Tab", "Tab", "Tab", "space"});

  // The message is sent again until its line is saved, so that no step races
  // the window's handling of the keys.
  const QString dataFile = dir.filePath("kbd-temp.csv");
  ASSERT_TRUE(WaitFor(
      [&] {
        if (QFile::exists(dataFile))
          return true;
        Tool("mosquitto_pub", {"-h", "127.0.0.1", "-p", port, "-t", "kbd/temp", "-m", "21.5"});
        return WaitFor([&] { return QFile::exists(dataFile); }, 3);
      },
      90))
      << "no data file";
  const QString data = ReadFile(dataFile);
  EXPECT_TRUE(QRegularExpression(R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}-03:00;21\.5\r\n)+$)").match(data).hasMatch())
      << data.toStdString();

  const QString shot = QDir(QCoreApplication::applicationDirPath()).filePath("keyboard_test.png");
  QFile::remove(shot);
  ASSERT_EQ(Tool("import", {"-window", "root", shot}), 0);
  EXPECT_GT(QFileInfo(shot).size(), 10000);

  app.terminate();
  app.waitForFinished(10000);
}

} // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
