#pragma once
// The drain of PendingList: the idle handler's loop over the received
// messages not yet processed, in the order their topics became pending, with
// the window's paint paced while it runs.
//
// A line is removed once it has been processed, unless a message for its
// topic replaced it meanwhile (that one is processed on the next pass) or
// emptied it (then it is gone already).

#include <QString>
#include <functional>

class TLineList;
class TPaintPacer;

class TPendingDrain {
public:
  // Line is the whole pending line; Name and Value its two parts.
  using TProcess = std::function<void(const QString &Line, const QString &Name, const QString &Value)>;

  TPendingDrain(TLineList &aPending, TPaintPacer &aPacer);

  // Processes pending lines until none is left; what Process throws ends the
  // drain, leaves its line at the head and reaches the caller.
  void Run(const TProcess &aProcess);

private:
  TLineList &FPending;
  TPaintPacer &FPacer;
};
