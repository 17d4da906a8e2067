#pragma once
// The drain of PendingList: the idle handler's loop over the received
// messages not yet processed, in the order their topics became pending, with
// the window's paint paced while it runs.
//
// A line is removed once it has been processed, unless a message for its
// topic replaced it meanwhile (that one is processed on the next pass) or
// emptied it (then it is gone already).
//
// Each topic-list update lets the event loop through twice. While the drain
// runs, those passes are taken at most once per pass interval: an empty pass
// costs as much as a list update, and a pass that finds received data parses
// a whole slice of it, so one pass per update made the socket outrun the
// drain and the pending lines pile up. Input, timers, paint and the socket
// still get their turn within the interval.

#include <QElapsedTimer>
#include <QString>
#include <functional>

class TLineList;
class TPaintPacer;

class TPendingDrain {
public:
  // Line is the whole pending line; Name and Value its two parts.
  using TProcess = std::function<void(const QString &Line, const QString &Name, const QString &Value)>;

  TPendingDrain(TLineList &aPending, TPaintPacer &aPacer, int aPassIntervalMs);

  // Processes pending lines until none is left; what Process throws ends the
  // drain, leaves its line at the head and reaches the caller.
  void Run(const TProcess &aProcess);

  // Lets the event loop take a pass: at once outside a drain, during one
  // when the last pass is at least the pass interval ago.
  void LetEventsThrough();

private:
  TLineList &FPending;
  TPaintPacer &FPacer;
  int FPassIntervalMs;
  bool FRunning = false;
  QElapsedTimer FSincePass;
};
