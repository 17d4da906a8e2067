#pragma once
// The application object: shows exceptions that escape handlers in an error box
// and carries on, and raises the idle notification when the event loop has
// nothing left to do.

#include <QApplication>
#include <functional>

class TApplication : public QApplication {
  Q_OBJECT
public:
  TApplication(int &argc, char **argv);
  ~TApplication() override;

  bool notify(QObject *Receiver, QEvent *Event) override;

  // Runs Handler; an exception escaping it is shown in an error box.
  static void Guarded(const std::function<void()> &Handler);

  // Raised each time the event loop is about to wait for new events; never
  // re-entered, also not while an error box of the idle handler is open.
  std::function<void(QObject *Sender, bool &Done)> OnIdle;

  static TApplication *Instance();

private:
  void RaiseIdle();
  bool FInIdle = false;
};
