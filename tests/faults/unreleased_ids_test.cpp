// An earlier run of a client identifier left QoS 2 messages unreleased in
// the broker's session (PUBREC received, PUBREL never sent). They count
// against mosquitto's quota of messages in flight, and past it mosquitto
// answers a PUBLISH with what a 3.1 client reads as an ordinary PUBREC, then
// closes the connection. A persistent publisher of the same identifier must
// still deliver each of its messages exactly once; mosquitto_pub runs beside
// it in the same run, for comparison.

#include <gtest/gtest.h>

#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "CliHarness.h"
#include "Tally.h"
#include "TestBroker.h"

namespace {

constexpr int Messages = 50;
constexpr int LeftOver = 18; // of mosquitto's default quota of 20

std::string Str16(const std::string &s) {
  return std::string{char(s.size() >> 8), char(s.size() & 0xFF)} + s;
}

// One MQTT 3.1 packet; every body here is under 128 bytes.
std::string Packet(unsigned char first, const std::string &body) {
  return std::string{char(first), char(body.size())} + body;
}

bool ReadExactly(int fd, std::size_t n) {
  char buf[256];
  while (n > 0) {
    const ssize_t r = ::recv(fd, buf, std::min(n, sizeof buf), 0);
    if (r <= 0) return false;
    n -= std::size_t(r);
  }
  return true;
}

// Connects as clientId without a clean session, sends count QoS 2 messages,
// waits for their PUBRECs and leaves without releasing any of them.
void LeaveUnreleased(int port, const std::string &clientId, int count) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(std::uint16_t(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  std::string out = Packet(0x10, Str16("MQIsdp") + std::string{3, 0, 0, 60} + Str16(clientId));
  for (int i = 0; i < count; ++i) {
    const int id = 1000 + i;
    out += Packet(0x34, Str16("left/over") + std::string{char(id >> 8), char(id & 0xFF)} + "old");
  }
  ASSERT_EQ(::send(fd, out.data(), out.size(), MSG_NOSIGNAL), ssize_t(out.size()));
  EXPECT_TRUE(ReadExactly(fd, 4 + 4 * std::size_t(count))) << "CONNACK and PUBRECs";
  ::close(fd);
}

TEST(UnreleasedIds, PersistentQos2PublisherDeliversEachMessageOnce) {
  TestBroker broker;
  std::string lines;
  for (int n = 0; n < Messages; ++n) lines += std::to_string(n) + "\n";
  struct Run {
    bool Vyr;
    std::string Id, Topic;
    std::unique_ptr<Proc> Sub, Pub;
  } runs[] = {{true, "vleft", "left/vyr"}, {false, "mleft", "left/mosq"}};
  for (Run &r : runs) {
    LeaveUnreleased(broker.Port(), r.Id, LeftOver);
    r.Sub = std::make_unique<Proc>(CliPath(), CliArgs("sub", broker.Port(), {"-t", r.Topic, "-q", "2", "-i", r.Id + "sub"}));
    r.Sub->Start();
    ASSERT_TRUE(WaitForFileText(broker.LogFile(), "Sending SUBACK to " + r.Id + "sub\n"));
  }
  for (Run &r : runs) {
    const std::vector<std::string> more{"-t", r.Topic, "-q", "2", "-c", "-i", r.Id, "-l"};
    r.Pub = std::make_unique<Proc>(r.Vyr ? CliPath() : "mosquitto_pub",
                                   r.Vyr ? CliArgs("pub", broker.Port(), more) : MosquittoArgs(broker.Port(), more));
    r.Pub->Start(lines);
  }
  const ProcResult vyrPub = runs[0].Pub->Wait(60000);
  EXPECT_EQ(vyrPub.ExitCode, 0) << vyrPub.Err;
  // mosquitto_pub may stop or hang at the refusal; what it delivered counts.
  if (!runs[1].Pub->Wait(10000).Finished) runs[1].Pub->Signal(SIGTERM);

  runs[0].Sub->WaitForOutLines(Messages, 20000);
  QThread::msleep(1000); // late duplicates count too
  Tally tally[2];
  for (int i = 0; i < 2; ++i) {
    runs[i].Sub->Signal(SIGTERM);
    tally[i] = CountNumbers(runs[i].Sub->Wait(10000).Out, Messages);
  }
  std::printf("[ fault    ] %d unreleased QoS 2 ids left: vyr-cli delivered %d of %d, %d duplicated; "
              "mosquitto_pub delivered %d, %d duplicated\n",
              LeftOver, Messages - tally[0].Lost, Messages, tally[0].Duplicated, Messages - tally[1].Lost,
              tally[1].Duplicated);
  EXPECT_EQ(tally[0].Lost, 0);
  EXPECT_EQ(tally[0].Duplicated, 0);
}

} // namespace
