#pragma once
// A private X server for running the real window in a bench: Xvfb picks a free
// display number itself (-displayfd), so benches and tests running at the same
// time never meet. Stopped when the object goes away.

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

class TXvfbServer {
public:
  // Starts the server and waits until it accepts clients; throws std::runtime_error.
  TXvfbServer();
  ~TXvfbServer();
  TXvfbServer(const TXvfbServer &) = delete;
  TXvfbServer &operator=(const TXvfbServer &) = delete;

  // ":N"
  const QString &Display() const { return FDisplay; }
  // This process's environment with DISPLAY set to the server and Qt told to use it.
  QProcessEnvironment Environment() const;

private:
  QProcess FServer;
  QString FDisplay;
};
