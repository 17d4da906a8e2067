#pragma once
// Drives a real window on an X display through xdotool, as a person would:
// finds the window of a process, clicks at points of it, types.

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

class TXdoTool {
public:
  explicit TXdoTool(const QProcessEnvironment &aDisplay) : FDisplay(aDisplay) {}

  // The visible window of a process, waiting up to aTimeoutMs for it; throws
  // std::runtime_error when there is none.
  QString WindowOf(qint64 aPid, int aTimeoutMs);
  // The window's width in pixels.
  int Width(const QString &aWindow);
  // Gives the window the keyboard focus.
  void Focus(const QString &aWindow);
  // Clicks the left button at aX, aY of the window (pixels from its top left).
  void Click(const QString &aWindow, int aX, int aY);
  // Selects all text of the focused edit box and types aText in its place.
  void Retype(const QString &aText);

private:
  QString Run(const QStringList &aArguments);
  QProcessEnvironment FDisplay;
};
