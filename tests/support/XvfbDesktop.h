#pragma once
// The real window program as a person meets it: an X server of its own
// (Xvfb, on a display of its own), the program started from a folder of
// its own (where its data files go), input only through xdotool, and what is
// on the screen read back as pictures of the window, compared region by
// region.
//
//   TXvfbProgram app(VYR_MQTT_PROGRAM);
//   ASSERT_TRUE(app.Start()) << app.Failure();
//   const QImage before = app.Shot();
//   ... something happens, with no input ...
//   EXPECT_TRUE(app.WaitForChange(before, LogArea, 10));
//
// Every wait polls with a time-out: the program and the broker do the work in
// processes of their own.

#include <QImage>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>

// Polls aDone every 100 ms until it holds or aSeconds have passed; returns its last value.
bool WaitUntil(const std::function<bool()> &aDone, double aSeconds);

// An X server on a free display number drawn at random, stopped with the object.
class TXvfb {
public:
  TXvfb();
  ~TXvfb();
  TXvfb(const TXvfb &) = delete;
  TXvfb &operator=(const TXvfb &) = delete;
  // ":N", or empty when the server did not start.
  const QString &Display() const { return FDisplay; }

private:
  QProcess FProcess;
  QString FDisplay;
};

// A program with a top-level window, started on an Xvfb of its own.
class TXvfbProgram {
public:
  // aProgram is copied into a fresh folder and run from there, in the time
  // zone three hours behind UTC, with aArguments. The TLS module of the
  // build is where an installed program finds its own.
  explicit TXvfbProgram(const QString &aProgram, const QStringList &aArguments = {});
  ~TXvfbProgram();
  TXvfbProgram(const TXvfbProgram &) = delete;
  TXvfbProgram &operator=(const TXvfbProgram &) = delete;

  // Starts the program and waits until a window titled aTitle is shown, then
  // gives it the keyboard focus. False with Failure() set when that fails.
  bool Start(const QString &aTitle = QStringLiteral("Vyr MQTT Client v2.1"));
  const QString &Failure() const { return FFailure; }
  // Asks the program to end and waits for it (also done by the destructor).
  void Stop();
  bool Running() const;
  // The program's process id (for what it costs: /proc/<id>/...).
  qint64 ProcessId() const { return FProcess.processId(); }

  // The folder the program runs from, and a file in it.
  QString Folder() const { return FFolder.filePath(QStringLiteral("bin")); }
  QString FilePath(const QString &aName) const { return Folder() + u'/' + aName; }
  const QString &Display() const { return FXvfb.Display(); }
  const QString &WindowId() const { return FWindow; }

  // Runs a tool on the program's display to its end: its exit status (-1
  // when it could not run or did not end), its standard output trimmed.
  int Tool(const QString &aProgram, const QStringList &aArguments, QString *aOutput = nullptr,
           int aTimeoutMs = 60000) const;
  // Key presses ("alt+c", "Tab", "shift+Tab", "space") and typed text, sent
  // to the focused window as X input events.
  bool Keys(const QStringList &aKeys) const;
  bool Type(const QString &aText) const;
  // A left click at a point of the window; the pointer then leaves the window
  // (to the screen's corner), so that nothing stays drawn as hovered.
  bool Click(const QPoint &aPoint) const;
  // The value of an X property of the window as xprop shows it, e.g.
  // Property("_NET_WM_NAME") gives "_NET_WM_NAME(UTF8_STRING) = \"...\"".
  QString Property(const QString &aName) const;

  // The text on the clipboard of the program's display ("" when none).
  QString Clipboard() const;

  // A picture of the window's client area, in the window's own coordinates;
  // a null image when it could not be taken.
  QImage Shot() const;
  // The same of another window of the program (an X window id).
  QImage ShotOf(const QString &aWindow) const;
  // The id of the program's window titled exactly aTitle, once it is mapped
  // ("" when none is within aSeconds).
  QString FindWindow(const QString &aTitle, double aSeconds) const;
  // A double click at a point of the window; the pointer then leaves it.
  bool DoubleClick(const QPoint &aPoint) const;
  // A picture taken after the window has been unmapped and mapped again, so
  // that the window system made the program paint all of it afresh from the
  // state of its controls; the keyboard focus is given back. Compared with
  // Shot(), it tells whether the screen showed the program's current state.
  QImage ExposedShot() const;
  // Saves a picture of the whole screen (for a person to look at).
  bool SaveScreen(const QString &aPath) const;

  // Whether two pictures are the same inside aRegion (window coordinates).
  static bool SameRegion(const QImage &aLeft, const QImage &aRight, const QRect &aRegion);
  // Takes pictures until aRegion differs from aBefore; the last one in aAfter.
  bool WaitForChange(const QImage &aBefore, const QRect &aRegion, double aSeconds,
                     QImage *aAfter = nullptr) const;
  // Takes pictures until aRegion matches aExpected.
  bool WaitForMatch(const QImage &aExpected, const QRect &aRegion, double aSeconds,
                    QImage *aAfter = nullptr) const;
  // Takes pictures until two in a row, aGapMs apart, agree inside aRegion:
  // the screen has settled. The last one in aAfter.
  bool WaitForStill(const QRect &aRegion, double aSeconds, QImage *aAfter = nullptr, int aGapMs = 500) const;

private:
  QProcessEnvironment Environment() const;
  // Takes pictures until one is wanted; the last one in aAfter.
  bool WaitForShot(const std::function<bool(const QImage &)> &aWanted, double aSeconds, QImage *aAfter) const;

  TXvfb FXvfb;
  QTemporaryDir FFolder;
  QString FProgram;
  QStringList FArguments;
  QProcess FProcess;
  QString FWindow;
  QString FFailure;
};
