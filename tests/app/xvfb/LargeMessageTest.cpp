// Large messages never stall the window: a 60,000-character topic, and
// payloads of 1 MB and 16 MB each followed by a small message. Every data file
// gets its value whole, the small message follows on screen and in its file,
// the broker never drops the client, and the screen stays current.

#include <QDateTime>
#include <QFile>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include "WindowSteps.h"

namespace {

// When a data line was written, from its local time stamp.
QDateTime LineTime(const QByteArray &aLine) {
  return QDateTime::fromString(QString::fromLatin1(aLine.left(29)), Qt::ISODateWithMs);
}

TEST(LargeMessages, NeverStallTheWindow) {
  TestBroker broker;
  TXvfbProgram app(VYR_MQTT_PROGRAM);
  ASSERT_TRUE(app.Start()) << app.Failure().toStdString();
  ASSERT_TRUE(ConnectWithKeyboard(app, broker, "Vyr-big"));
  ASSERT_TRUE(SubscribeWithKeyboard(app, broker, "big/#", 1));

  // A topic of 60,000 characters, not saved (no file system takes such a name).
  QImage before;
  ASSERT_TRUE(app.WaitForStill(Area::Topics, 30, &before));
  ASSERT_TRUE(PublishTo(broker, {"-t", "big/" + QString(59996, 'y'), "-m", "long topic"}));
  EXPECT_TRUE(app.WaitForChange(before, Area::Topics, 30));

  ASSERT_TRUE(CheckSaveData(app));
  // 1 MB and 16 MB, in decimal megabytes (16 MB stays below the client's
  // limit of 16 MiB per received packet).
  for (const int size : {1000000, 16000000}) {
    SCOPED_TRACE(size);
    const QByteArray payload(size, 'x');
    const QString payloadFile = app.FilePath("payload.bin");
    {
      QFile out(payloadFile);
      ASSERT_TRUE(out.open(QIODevice::WriteOnly) && out.write(payload) == size);
    }
    const QString big = QString("big/%1").arg(size), small = QString("big/after%1").arg(size);
    ASSERT_TRUE(PublishTo(broker, {"-t", big, "-q", "1", "-f", payloadFile}));
    ASSERT_TRUE(PublishTo(broker, {"-t", small, "-q", "1", "-m", "small"}));
    const QDateTime sent = QDateTime::currentDateTime();
    const QString smallFile = app.FilePath(QString(small).replace('/', '-') + ".csv");
    ASSERT_TRUE(WaitUntil([&] { return FileContent(smallFile).endsWith(";small\r\n"); }, 60));
    const QByteArray bigLine = FileContent(app.FilePath(QString(big).replace('/', '-') + ".csv"));
    EXPECT_TRUE(bigLine.endsWith(";" + payload + "\r\n")) << "the whole value, byte for byte";
    EXPECT_EQ(bigLine.size(), 29 + 1 + size + 2) << "one line";
    // How long the small message took to reach its file (for the record).
    const qint64 delay = sent.msecsTo(LineTime(FileContent(smallFile)));
    RecordProperty("small_message_after_" + std::to_string(size) + "_bytes_ms", std::to_string(delay));
    std::printf("small message after %d bytes: in its data file %lld ms after it was sent\n", size,
                static_cast<long long>(delay));
  }

  // The broker kept the client all along, and the screen shows the current state.
  const QString log = BrokerLogText(broker);
  EXPECT_EQ(log.count(" as Vyr-big ("), 1) << "one session all along";
  EXPECT_FALSE(log.contains("Client Vyr-big has exceeded timeout")) << log.toStdString();
  EXPECT_FALSE(log.contains("Client Vyr-big disconnected")) << log.toStdString();
  EXPECT_EQ(RetainedValue(broker, "Vyr/Vyr-big/status"), "1");
  QImage settled;
  ASSERT_TRUE(app.WaitForStill(QRect(0, 0, 644, 511), 30, &settled));
  const QImage fresh = app.ExposedShot();
  for (const QRect &area : {Area::Log, Area::Topics, Area::Status})
    EXPECT_TRUE(TXvfbProgram::SameRegion(settled, fresh, area)) << "stale screen at " << area.y();
}

} // namespace
