// The session file through a real mosquitto with persistence: a persistent
// QoS 2 publisher stopped by SIGTERM while its exchanges hang in a stalled
// link writes them to its session file; the next run of the same client
// identifier finishes them before it sends anything of its own, and every
// message reaches the subscriber exactly once.

#include <gtest/gtest.h>

#include <QThread>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "CliHarness.h"
#include "FaultProxy.h"
#include "TestBroker.h"

namespace {

constexpr int FirstRun = 30;  // lines 0..29; the last ones hang in the stall
constexpr int SecondRun = 20; // lines 30..49
constexpr int Total = FirstRun + SecondRun;

std::string Lines(int from, int to) {
  std::string s;
  for (int n = from; n < to; ++n) s += std::to_string(n) + "\n";
  return s;
}

TEST(SessionFileEndToEnd, StoppedRunsExchangesAreFinishedByTheNextRunFirst) {
  TestBroker broker({.Persistence = true, .ExtraConfig = "autosave_on_changes true\n"});
  FaultProxy proxy(broker.Port());
  const std::string file = broker.Dir() + "/pub.session";
  const std::vector<std::string> pubArgs{"-t", "sess/t", "-q", "2", "-c", "-i", "sesspub", "-l", "--session-file", file};

  Proc sub(CliPath(), CliArgs("sub", broker.Port(), {"-t", "sess/t", "-q", "2", "-c", "-i", "sesssub"}));
  sub.Start();
  ASSERT_TRUE(WaitForFileText(broker.LogFile(), "Sending SUBACK to sesssub\n"));

  Proc first(CliPath(), CliArgs("pub", proxy.Port(), pubArgs));
  first.Start(Lines(0, 20), true);
  ASSERT_TRUE(sub.WaitForOutLines(20, 20000));
  proxy.Stall();
  first.Write(Lines(20, FirstRun));
  QThread::msleep(500); // the publications go into the stalled link
  first.Signal(SIGTERM);
  const ProcResult stopped = first.Wait(20000);
  ASSERT_TRUE(stopped.Finished) << stopped.Err;
  ASSERT_EQ(::access(file.c_str(), F_OK), 0) << "no session file written: " << stopped.Err;
  // What was held in the stall reaches the broker after its publisher has gone.
  proxy.Resume();
  QThread::msleep(500);

  Proc second(CliPath(), CliArgs("pub", proxy.Port(), pubArgs));
  second.Start(Lines(FirstRun, Total));
  const ProcResult done = second.Wait(60000);
  EXPECT_EQ(done.ExitCode, 0) << done.Err;
  EXPECT_NE(::access(file.c_str(), F_OK), 0) << "the session file outlived its exchanges";

  sub.WaitForOutLines(Total, 20000);
  QThread::msleep(1000); // late duplicates count too
  sub.Signal(SIGTERM);
  std::istringstream out(sub.Wait(10000).Out);
  std::map<int, int> seen;
  int lastOfFirstRun = -1, firstOfSecondRun = -1, at = 0;
  for (std::string line; std::getline(out, line); ++at) {
    const int n = std::stoi(line);
    ++seen[n];
    if (n < FirstRun) lastOfFirstRun = at;
    if (n >= FirstRun && firstOfSecondRun < 0) firstOfSecondRun = at;
  }
  for (int n = 0; n < Total; ++n) EXPECT_EQ(seen[n], 1) << "message " << n;
  EXPECT_LT(lastOfFirstRun, firstOfSecondRun) << "the second run's own messages came before the first run's were done";
}

} // namespace
