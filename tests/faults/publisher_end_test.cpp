// A persistent publisher (pub -c) whose input ends must exit once everything
// it sent is acknowledged, also when its input ends while the link is down
// after several faults: then nothing is left to acknowledge on the next
// connection, and no acknowledgement would ever wake it.

#include <gtest/gtest.h>

#include <QThread>

#include <signal.h>

#include <memory>

#include "CliHarness.h"
#include "FaultProxy.h"
#include "Tally.h"
#include "TestBroker.h"

namespace {

constexpr int PerBatch = 50;

struct Publisher {
  std::string Name;
  int Qos;
  bool Repeats; // --repeat of one message rather than lines of standard input
  std::unique_ptr<Proc> Sub, Pub;
  int Sent = 0;

  std::string Topic() const { return "pubend/" + Name; }
};

void Sleep(int ms) { QThread::msleep(static_cast<unsigned long>(ms)); }

TEST(PublisherEnd, InputEndedWhileOfflineAfterFaultsStillExits) {
  TestBroker broker({.Persistence = true, .ExtraConfig = "autosave_on_changes true\n"});
  FaultProxy proxy(broker.Port());
  Publisher pubs[] = {{"lines0", 0, false}, {"lines1", 1, false}, {"lines2", 2, false}, {"repeat0", 0, true}};
  // Subscribers talk to the broker directly: only the publishers' links fail.
  for (Publisher &p : pubs) {
    p.Sub = std::make_unique<Proc>(
        CliPath(), CliArgs("sub", broker.Port(), {"-t", p.Topic(), "-q", std::to_string(p.Qos), "-c", "-i", "s" + p.Name}));
    p.Sub->Start();
    ASSERT_TRUE(WaitForFileText(broker.LogFile(), "Sending SUBACK to s" + p.Name + "\n")) << p.Name;
  }
  const auto writeBatch = [&] {
    for (Publisher &p : pubs) {
      if (p.Repeats) continue;
      std::string lines;
      for (int i = 0; i < PerBatch; ++i) lines += std::to_string(p.Sent++) + "\n";
      p.Pub->Write(lines);
    }
  };
  for (Publisher &p : pubs) {
    std::vector<std::string> more{"-t", p.Topic(), "-q", std::to_string(p.Qos), "-c", "-i", "p" + p.Name};
    if (p.Repeats) {
      // Repeats run through the faults below, so that some fall while offline.
      for (const char *a : {"-m", "r", "--repeat", "60", "--repeat-delay", "0.2"}) more.push_back(a);
      p.Pub = std::make_unique<Proc>(CliPath(), CliArgs("pub", proxy.Port(), more));
      p.Pub->Start();
    } else {
      more.push_back("-l");
      p.Pub = std::make_unique<Proc>(CliPath(), CliArgs("pub", proxy.Port(), more));
      p.Pub->Start({}, true);
    }
  }

  writeBatch();
  Sleep(500);
  broker.Kill();
  Sleep(500);
  broker.Start();
  writeBatch();
  // The publishers come back after their six-second pause.
  for (Publisher &p : pubs) EXPECT_TRUE(p.Pub->WaitForErr("reconnecting", 20000)) << p.Name;
  Sleep(8000);
  writeBatch();
  Sleep(500);
  proxy.Cut();
  Sleep(300);
  // The end of input, read while the links are down (lines written while
  // offline were read then too, after the broker was killed).
  for (Publisher &p : pubs)
    if (!p.Repeats) p.Pub->CloseStdin();

  for (Publisher &p : pubs) {
    const ProcResult r = p.Pub->Wait(60000);
    EXPECT_TRUE(r.Finished) << p.Name << " still running a minute after its input ended";
    EXPECT_EQ(r.ExitCode, 0) << p.Name << ": " << r.Err;
  }
  for (Publisher &p : pubs) {
    if (p.Qos == 0) continue; // QoS 0 may lose what a fault catches in flight
    EXPECT_TRUE(p.Sub->WaitForOutLines(std::size_t(p.Sent), 20000)) << p.Name;
    Sleep(500); // late duplicates count too
    p.Sub->Signal(SIGTERM);
    const Tally t = CountNumbers(p.Sub->Wait(10000).Out, p.Sent);
    EXPECT_EQ(t.Lost, 0) << p.Name;
    if (p.Qos == 2) {
      EXPECT_EQ(t.Duplicated, 0) << p.Name;
    }
  }
}

} // namespace
