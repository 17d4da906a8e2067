// The real program under Xvfb, driven only through the keyboard as a user
// would: broker, port and client id typed into their boxes, "Use SSL" set to
// No, Connect, a topic filter typed and subscribed, "Save data" checked; a
// message from mosquitto_pub then reaches the window and its data file, and
// a picture of the screen is saved beside the test program.

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include "WindowSteps.h"

namespace {

TEST(Keyboard, connect_subscribe_receive_and_save_with_the_keyboard_only) {
  TestBroker broker;
  TXvfbProgram app(VYR_MQTT_PROGRAM);
  ASSERT_TRUE(app.Start()) << app.Failure().toStdString();

  ASSERT_TRUE(ConnectWithKeyboard(app, broker, "Vyr-kbd")) << "not online";
  ASSERT_TRUE(SubscribeWithKeyboard(app, broker, "kbd/#", 0)) << "no SUBSCRIBE from the window";
  ASSERT_TRUE(CheckSaveData(app));

  // The message is sent again until its line is saved, so that no step races
  // the window's handling of the keys.
  const QString dataFile = app.FilePath("kbd-temp.csv");
  // The file exists a moment before its first line is in it.
  const auto saved = [&] { return FileContent(dataFile).endsWith("\r\n"); };
  ASSERT_TRUE(WaitUntil(
      [&] {
        if (saved())
          return true;
        PublishTo(broker, {"-t", "kbd/temp", "-m", "21.5"});
        return WaitUntil(saved, 3);
      },
      90))
      << "no data file";
  const QString data = QString::fromUtf8(FileContent(dataFile));
  EXPECT_TRUE(QRegularExpression(R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}-03:00;21\.5\r\n)+$)").match(data).hasMatch())
      << data.toStdString();

  const QString shot = QDir(QCoreApplication::applicationDirPath()).filePath("keyboard_test.png");
  ASSERT_TRUE(app.SaveScreen(shot));
  EXPECT_GT(QFileInfo(shot).size(), 10000);
}

} // namespace
