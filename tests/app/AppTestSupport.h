#pragma once
// Shared by the window tests: a running event loop until a condition holds,
// the error boxes recorded instead of shown, and a window whose data files go
// to a temporary folder.

#include <QEventLoop>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <ostream>

#include "ErrorBox.h"
#include "untMain.h"

// Readable values in test failures.
inline void PrintTo(const QString &Text, std::ostream *Out)
{
  *Out << '"' << Text.toStdString() << '"';
}
inline void PrintTo(const QStringList &Texts, std::ostream *Out)
{
  *Out << '{';
  for (const QString &Text : Texts)
    *Out << " \"" << Text.toStdString() << '"';
  *Out << " }";
}

// Runs a real event loop (so the idle handler runs as in the program) until
// Condition holds or the time-out passes; returns the condition's last value.
inline bool WaitFor(const std::function<bool()> &Condition, int TimeoutMs = 10000)
{
  if (Condition())
    return true;
  QEventLoop Loop;
  QTimer Poll;
  QObject::connect(&Poll, &QTimer::timeout, &Loop, [&] {
    if (Condition())
      Loop.quit();
  });
  QTimer::singleShot(TimeoutMs, &Loop, &QEventLoop::quit);
  Poll.start(5);
  Loop.exec();
  return Condition();
}

// Lets the event loop run for a while (the idle handler included).
inline void RunLoop(int Ms)
{
  QEventLoop Loop;
  QTimer::singleShot(Ms, &Loop, &QEventLoop::quit);
  Loop.exec();
}

// Records every error box while it lives.
struct TErrorBoxes {
  QStringList Texts;
  TErrorBoxes() { ErrorBoxHook = [this](const QString &Text) { Texts << Text; }; }
  ~TErrorBoxes() { ErrorBoxHook = nullptr; }
};

struct TTestWindow {
  QTemporaryDir Data;
  std::unique_ptr<TfrmMain> Window;
  TTestWindow() : Window(std::make_unique<TfrmMain>())
  {
    Window->SetDataFolder(Data.path());
    frmMain = Window.get();
  }
  TfrmMain *operator->() const { return Window.get(); }
  TfrmMain &operator*() const { return *Window; }
};

// The lines of the list box, as shown.
QStringList ShownTopics(TfrmMain &Window);
// The lines of the log box.
QStringList LogLines(TfrmMain &Window);
// The bytes of a file, or an empty string when it cannot be read.
QByteArray FileBytes(const QString &Path);
