#include <gtest/gtest.h>

#include "TestBroker.h"

// The test broker serves plain and TLS clients and comes back after a restart.
TEST(TestBroker, ServesPlainAndTlsAndRestarts) {
  TestBroker broker({.Tls = true});
  auto pubsub = [&](const std::string &tlsArgs, int port) {
    return RunShell("mosquitto_sub -h 127.0.0.1 -p " + std::to_string(port) + tlsArgs +
                    " -V mqttv31 -t smoke -C 1 -W 5 > " + broker.Dir() + "/out & sleep 0.5; "
                    "mosquitto_pub -h 127.0.0.1 -p " + std::to_string(port) + tlsArgs +
                    " -V mqttv31 -t smoke -m hello; wait; grep -qx hello " + broker.Dir() + "/out");
  };
  EXPECT_EQ(pubsub("", broker.Port()), 0);
  EXPECT_EQ(pubsub(" --cafile " + broker.Certificate().CertFile + " --insecure", broker.TlsPort()), 0);
  broker.Restart();
  EXPECT_EQ(pubsub("", broker.Port()), 0);
}
