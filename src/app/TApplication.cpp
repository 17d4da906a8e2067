#include "TApplication.h"

#include "ErrorBox.h"

#include <QAbstractEventDispatcher>
#include <exception>

namespace {

void ShowException(std::exception_ptr Error)
{
  try {
    std::rethrow_exception(Error);
  } catch (const std::exception &E) {
    ShowErrorBox(QString::fromUtf8(E.what()));
  } catch (...) {
    ShowErrorBox(QStringLiteral("Unknown error"));
  }
}

} // namespace

TApplication::TApplication(int &argc, char **argv) : QApplication(argc, argv)
{
  // aboutToBlock is emitted only when the loop is going to wait, that is when
  // every pending event has been handled.
  connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
          &TApplication::RaiseIdle, Qt::DirectConnection);
}

TApplication::~TApplication() = default;

TApplication *TApplication::Instance()
{
  return qobject_cast<TApplication *>(QCoreApplication::instance());
}

bool TApplication::notify(QObject *Receiver, QEvent *Event)
{
  try {
    return QApplication::notify(Receiver, Event);
  } catch (...) {
    ShowException(std::current_exception());
    return true;
  }
}

void TApplication::Guarded(const std::function<void()> &Handler)
{
  try {
    Handler();
  } catch (...) {
    ShowException(std::current_exception());
  }
}

void TApplication::RaiseIdle()
{
  if (FInIdle || !OnIdle)
    return;
  FInIdle = true;
  // The flag stays set while an error box of the handler is open, so the box's
  // own event loop does not run the idle handler again.
  Guarded([this] {
    bool Done = true;
    OnIdle(this, Done);
  });
  FInIdle = false;
}
