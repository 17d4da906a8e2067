// Runs the window tests on the offscreen platform, in a fixed time zone three
// hours behind UTC, with error boxes recorded instead of shown.

#include <QAbstractItemModel>
#include <QFile>
#include "TListBox.h"
#include "LogBox.h"
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "TApplication.h"

QStringList ShownTopics(TfrmMain &Window)
{
  QStringList Lines;
  QAbstractItemModel *Model = Window.lbxTopic->model();
  for (int Row = 0; Row < Model->rowCount(); ++Row)
    Lines << Model->index(Row, 0).data().toString();
  return Lines;
}

QStringList LogLines(TfrmMain &Window)
{
  const QString Text = Window.memLog->Text();
  return Text.isEmpty() ? QStringList() : Text.split(QLatin1Char('\n'));
}

QByteArray FileBytes(const QString &Path)
{
  QFile File(Path);
  return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
}

int main(int argc, char **argv)
{
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ::setenv("TZ", "<-03>3", 1);
  ::tzset();
  ::testing::InitGoogleTest(&argc, argv);
  TApplication App(argc, argv);
  return RUN_ALL_TESTS();
}
