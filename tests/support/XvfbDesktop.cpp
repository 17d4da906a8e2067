#include "XvfbDesktop.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPoint>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QThread>
#include <chrono>

bool WaitUntil(const std::function<bool()> &aDone, double aSeconds) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long long>(aSeconds * 1000));
  for (;;) {
    if (aDone())
      return true;
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    QThread::msleep(100);
  }
}

TXvfb::TXvfb() {
  // A display number drawn at random, not the lowest free one: a server of a
  // test that has just ended may still be taking its sockets down while the
  // next one starts on the number it freed, and take the new server's socket
  // with it. -displayfd: the server writes the number once it accepts
  // clients; it ends at once when the number is taken, and another is tried.
  for (int attempt = 0; attempt < 20 && FDisplay.isEmpty(); ++attempt) {
    const QString display = ":" + QString::number(100 + QRandomGenerator::global()->bounded(5000));
    FProcess.start("Xvfb", {display, "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
    if (FProcess.waitForStarted(10000) && FProcess.waitForReadyRead(30000))
      FDisplay = ":" + QString::fromLatin1(FProcess.readLine()).trimmed();
    else
      FProcess.waitForFinished(10000);
  }
}

TXvfb::~TXvfb() {
  FProcess.terminate();
  if (!FProcess.waitForFinished(10000)) {
    FProcess.kill();
    FProcess.waitForFinished(10000);
  }
}

TXvfbProgram::TXvfbProgram(const QString &aProgram, const QStringList &aArguments)
    : FProgram(aProgram), FArguments(aArguments) {}

TXvfbProgram::~TXvfbProgram() { Stop(); }

QProcessEnvironment TXvfbProgram::Environment() const {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("DISPLAY", FXvfb.Display());
  env.insert("QT_QPA_PLATFORM", "xcb");
  env.insert("TZ", "<-03>3");
  return env;
}

bool TXvfbProgram::Start(const QString &aTitle) {
  if (FXvfb.Display().isEmpty()) {
    FFailure = "Xvfb does not start";
    return false;
  }
  if (!FFolder.isValid()) {
    FFailure = "no temporary folder";
    return false;
  }
  const QString program = FilePath(QFileInfo(FProgram).fileName());
  const QString tlsModule = QDir::cleanPath(Folder() + "/" VYR_TLS_MODULE_FROM_PROGRAMS);
  if (!QDir().mkpath(Folder()) || !QFile::copy(FProgram, program)) {
    FFailure = "cannot copy " + FProgram;
    return false;
  }
  if (!QDir().mkpath(QFileInfo(tlsModule).path()) || !QFile::link(VYR_TLS_MODULE_IN_BUILD_TREE, tlsModule)) {
    FFailure = "cannot link the TLS module at " + tlsModule;
    return false;
  }
  FProcess.setProcessEnvironment(Environment());
  FProcess.setWorkingDirectory(Folder());
  FProcess.setProcessChannelMode(QProcess::ForwardedChannels);
  FProcess.start(program, FArguments);
  if (!FProcess.waitForStarted(10000)) {
    FFailure = "the program does not start";
    return false;
  }
  QString found;
  // Only a mapped window can take the focus; a loaded machine may name the
  // window some time before it maps it.
  const QStringList search{"search", "--onlyvisible", "--name", "^" + aTitle + "$"};
  if (!WaitUntil([&] { return Tool("xdotool", search, &found) == 0; }, 60)) {
    FFailure = "no window titled " + aTitle;
    return false;
  }
  FWindow = found.section('\n', 0, 0);
  // Without a window manager focusing works where activating does not.
  if (!WaitUntil([&] { return Tool("xdotool", {"windowfocus", "--sync", FWindow}) == 0; }, 20)) {
    FFailure = "the window does not take the focus";
    return false;
  }
  return true;
}

void TXvfbProgram::Stop() {
  if (FProcess.state() == QProcess::NotRunning)
    return;
  FProcess.terminate();
  if (!FProcess.waitForFinished(10000)) {
    FProcess.kill();
    FProcess.waitForFinished(10000);
  }
}

bool TXvfbProgram::Running() const { return FProcess.state() == QProcess::Running; }

int TXvfbProgram::Tool(const QString &aProgram, const QStringList &aArguments, QString *aOutput,
                       int aTimeoutMs) const {
  QProcess tool;
  tool.setProcessEnvironment(Environment());
  tool.start(aProgram, aArguments);
  if (!tool.waitForFinished(aTimeoutMs)) {
    tool.kill();
    tool.waitForFinished(5000);
    return -1;
  }
  if (aOutput)
    *aOutput = QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
  return tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
}

bool TXvfbProgram::Keys(const QStringList &aKeys) const {
  return Tool("xdotool", QStringList{"key", "--delay", "50"} + aKeys) == 0;
}

bool TXvfbProgram::Type(const QString &aText) const {
  return Tool("xdotool", {"type", "--delay", "30", aText}) == 0;
}

bool TXvfbProgram::Click(const QPoint &aPoint) const {
  return Tool("xdotool", {"mousemove", "--sync", "--window", FWindow, QString::number(aPoint.x()),
                          QString::number(aPoint.y()), "click", "1", "mousemove", "0", "0"}) == 0;
}

bool TXvfbProgram::DoubleClick(const QPoint &aPoint) const {
  return Tool("xdotool", {"mousemove", "--sync", "--window", FWindow, QString::number(aPoint.x()),
                          QString::number(aPoint.y()), "click", "--repeat", "2", "--delay", "80", "1", "mousemove",
                          "0", "0"}) == 0;
}

QString TXvfbProgram::FindWindow(const QString &aTitle, double aSeconds) const {
  QString found;
  const QStringList search{"search", "--onlyvisible", "--name", "^" + QRegularExpression::escape(aTitle) + "$"};
  if (!WaitUntil([&] { return Tool("xdotool", search, &found) == 0; }, aSeconds))
    return {};
  return found.section('\n', 0, 0);
}

QString TXvfbProgram::Property(const QString &aName) const {
  QString out;
  Tool("xprop", {"-id", FWindow, aName}, &out);
  return out;
}

QString TXvfbProgram::Clipboard() const {
  QProcess xclip;
  xclip.setProcessEnvironment(Environment());
  xclip.start("xclip", {"-selection", "clipboard", "-o"});
  if (!xclip.waitForFinished(30000) || xclip.exitCode() != 0)
    return {};
  return QString::fromUtf8(xclip.readAllStandardOutput());
}

QImage TXvfbProgram::Shot() const { return ShotOf(FWindow); }

QImage TXvfbProgram::ShotOf(const QString &aWindow) const {
  QProcess grab;
  grab.setProcessEnvironment(Environment());
  grab.start("import", {"-window", aWindow, "png:-"});
  if (!grab.waitForFinished(30000) || grab.exitCode() != 0)
    return {};
  return QImage::fromData(grab.readAllStandardOutput(), "PNG").convertToFormat(QImage::Format_RGB32);
}

QImage TXvfbProgram::ExposedShot() const {
  if (Tool("xdotool", {"windowunmap", "--sync", FWindow}) != 0 || Tool("xdotool", {"windowmap", "--sync", FWindow}) != 0 ||
      Tool("xdotool", {"windowfocus", "--sync", FWindow}) != 0)
    return {};
  QImage shot;
  WaitForStill(QRect(0, 0, 10000, 10000), 20, &shot);
  return shot;
}

bool TXvfbProgram::SaveScreen(const QString &aPath) const {
  QFile::remove(aPath);
  return Tool("import", {"-window", "root", aPath}) == 0 && QFileInfo(aPath).size() > 0;
}

bool TXvfbProgram::SameRegion(const QImage &aLeft, const QImage &aRight, const QRect &aRegion) {
  if (aLeft.isNull() || aRight.isNull() || aLeft.size() != aRight.size())
    return false;
  const QRect area = aRegion.intersected(aLeft.rect());
  for (int y = area.top(); y <= area.bottom(); ++y) {
    const auto *left = reinterpret_cast<const QRgb *>(aLeft.constScanLine(y));
    const auto *right = reinterpret_cast<const QRgb *>(aRight.constScanLine(y));
    for (int x = area.left(); x <= area.right(); ++x)
      if (left[x] != right[x])
        return false;
  }
  return true;
}

bool TXvfbProgram::WaitForShot(const std::function<bool(const QImage &)> &aWanted, double aSeconds,
                               QImage *aAfter) const {
  QImage shot;
  const bool found = WaitUntil(
      [&] {
        shot = Shot();
        return !shot.isNull() && aWanted(shot);
      },
      aSeconds);
  if (aAfter)
    *aAfter = shot;
  return found;
}

bool TXvfbProgram::WaitForChange(const QImage &aBefore, const QRect &aRegion, double aSeconds,
                                 QImage *aAfter) const {
  return WaitForShot([&](const QImage &aShot) { return !SameRegion(aBefore, aShot, aRegion); }, aSeconds, aAfter);
}

bool TXvfbProgram::WaitForMatch(const QImage &aExpected, const QRect &aRegion, double aSeconds,
                                QImage *aAfter) const {
  return WaitForShot([&](const QImage &aShot) { return SameRegion(aExpected, aShot, aRegion); }, aSeconds, aAfter);
}

bool TXvfbProgram::WaitForStill(const QRect &aRegion, double aSeconds, QImage *aAfter, int aGapMs) const {
  QImage previous = Shot();
  QImage shot;
  const bool still = WaitUntil(
      [&] {
        QThread::msleep(static_cast<unsigned long>(aGapMs));
        shot = Shot();
        const bool same = SameRegion(previous, shot, aRegion);
        previous = shot;
        return same;
      },
      aSeconds);
  if (aAfter)
    *aAfter = shot;
  return still;
}
