// The window and vyr-cli log keep the same record of the same messages: a
// table of awkward values published to a real mosquitto reaches both data
// files, and Python's csv module, told that ";" separates fields, reads each
// value back byte for byte from either file.

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "TRadioGroup.h"
#include "TestBroker.h"

namespace {

int RunTool(const QString &Program, const QStringList &Args, QByteArray *Output = nullptr)
{
  QProcess Tool;
  Tool.start(Program, Args);
  bool Done = WaitFor([&] { return Tool.state() == QProcess::NotRunning; }, 60000);
  if (!Done) {
    Tool.kill();
    Tool.waitForFinished(5000);
    return -1;
  }
  if (Output)
    *Output = Tool.readAllStandardOutput();
  return Tool.exitStatus() == QProcess::NormalExit ? Tool.exitCode() : -1;
}

// The values of a data file as Python's csv reader gives them, in hex, one a
// line; every record must be a time stamp and one value.
const char *ReadBack = R"(
import csv, re, sys
csv.field_size_limit(sys.maxsize)
stamp = re.compile(r'\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d)$')
with open(sys.argv[1], newline='', encoding='utf-8', errors='surrogateescape') as f:
    for row in csv.reader(f, delimiter=';'):
        if len(row) != 2 or not stamp.match(row[0]):
            print('bad record', repr(row)[:200])
        else:
            print(row[1].encode('utf-8', 'surrogateescape').hex())
)";

QStringList ReadWithPython(const QString &Path)
{
  QByteArray Out;
  EXPECT_EQ(RunTool("python3", {"-c", ReadBack, Path}, &Out), 0);
  return QString::fromLatin1(Out).split('\n', Qt::SkipEmptyParts);
}

} // namespace

TEST(DataRecord, WindowAndLoggerSaveEveryValueTheSameWay)
{
  TestBroker Broker;
  const QString Port = QString::number(Broker.Port());
  TTestWindow W;
  W->chkSave->setChecked(true);
  W->show();
  W->edtBroker->setText("127.0.0.1");
  W->edtPort->setText(Port);
  W->rdgSSL->SetItemIndex(1);
  QTest::mouseClick(W->btnConn, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return W->sttConnection->text() != "Offline"; }, 20000));
  W->edtTopic->setText("rec/#");
  W->rdgQosSub->SetItemIndex(1);
  QTest::mouseClick(W->btnSubs, Qt::LeftButton);

  QTemporaryDir LoggerDir;
  QProcess Logger;
  Logger.start(VYR_CLI_PATH, {"log", "-h", "127.0.0.1", "-p", Port, "-t", "rec/#", "-q", "1", "-d", LoggerDir.path()});
  const QString BrokerLog = QString::fromStdString(Broker.LogFile());
  ASSERT_TRUE(WaitFor([&] { return FileBytes(BrokerLog).count("Sending SUBACK") >= 2; }, 20000));

  std::string AllBytes;
  for (int B = 0; B < 256; ++B)
    AllBytes += char(B);
  std::string Megabyte(1 << 20, 'x');
  for (std::size_t I = 0; I < Megabyte.size(); I += 1000)
    Megabyte[I] = "\";\n\r"[I / 1000 % 4];
  const std::string Values[] = {
      "21.5",
      "a;b",
      "line1\nline2",
      "a\r\nb",
      "cr only\r",
      "\"starts with a quote",
      "a \"quoted\" word",
      "caf\xC3\xA9",
      "caf\xE9",                  // not UTF-8
      std::string("\0nul\0", 5),
      AllBytes,
      Megabyte,
      "", // never saved, by either program
      "end",
  };
  QTemporaryDir Payloads;
  for (std::size_t I = 0; I < std::size(Values); ++I) {
    const QString File = Payloads.filePath(QString::number(I));
    QFile Out(File);
    ASSERT_TRUE(Out.open(QIODevice::WriteOnly));
    Out.write(Values[I].data(), qint64(Values[I].size()));
    Out.close();
    QStringList Args{"-h", "127.0.0.1", "-p", Port, "-t", "rec/v", "-q", "1"};
    Args << (Values[I].empty() ? QStringList{"-n"} : QStringList{"-f", File});
    ASSERT_EQ(RunTool("mosquitto_pub", Args), 0) << I;
  }
  const QString WindowFile = W.Data.filePath("rec-v.csv");
  const QString LoggerFile = LoggerDir.filePath("rec-v.csv");
  for (const QString &File : {WindowFile, LoggerFile})
    ASSERT_TRUE(WaitFor([&] { return FileBytes(File).endsWith(";end\r\n"); }, 30000)) << File.toStdString();
  Logger.terminate();
  Logger.waitForFinished(10000);

  QStringList Expected;
  for (const std::string &Value : Values)
    if (!Value.empty())
      Expected << QString::fromLatin1(QByteArray(Value.data(), qsizetype(Value.size())).toHex());
  EXPECT_EQ(ReadWithPython(WindowFile), Expected);
  EXPECT_EQ(ReadWithPython(LoggerFile), Expected);
  // The same bytes but for the moments in the time stamps.
  static const QRegularExpression Stamps("(^|\\r\\n)[0-9T:.+-]+Z?;");
  EXPECT_EQ(QString::fromLatin1(FileBytes(WindowFile)).replace(Stamps, "\\1T;"),
            QString::fromLatin1(FileBytes(LoggerFile)).replace(Stamps, "\\1T;"));
}
