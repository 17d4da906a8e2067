#include "RunLoopUntil.h"

#include <QEventLoop>
#include <QTimer>

bool WaitFor(const std::function<bool()> &aDone, int aSeconds) {
  if (aDone())
    return true;
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (aDone())
      loop.quit();
  });
  QTimer::singleShot(aSeconds * 1000, &loop, &QEventLoop::quit);
  poll.start(20);
  loop.exec();
  return aDone();
}
