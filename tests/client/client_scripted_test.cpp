// The client against a scripted broker on 127.0.0.1: one scenario per
// behaviour. Each scenario configures the client, runs a script of exact
// packets in both directions, and then checks events, stores and monitor lines.

#include <gtest/gtest.h>

#include <QTimer>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>

#include "ClientSession.h"
#include "ScriptedBroker.h"
#include "TWSocket.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Connect(const std::string &clientId, std::uint16_t keepAlive = 0, std::uint8_t flags = 0,
                    const std::string &rest = {}) {
  return Pkt(0x10, Str("MQIsdp") + "\x03" + std::string(1, static_cast<char>(flags)) + Id(keepAlive) +
                       Str(clientId) + rest);
}
const std::string ConnAckOk = H("20 02 00 00");
const std::string Disconnect = H("E0 00");
const std::string PingReq = H("C0 00");
const std::string PingResp = H("D0 00");

std::string Publish(std::uint8_t first, const std::string &topic, std::uint16_t id, const std::string &payload) {
  const unsigned qos = (first >> 1) & 3;
  return Pkt(first, Str(topic) + (qos == 1 || qos == 2 ? Id(id) : "") + payload);
}
std::string Ack(std::uint8_t first, std::uint16_t id) { return Pkt(first, Id(id)); }

constexpr int BulkCount = 50000; // publications in flight at once in the bulk scenario

constexpr std::size_t FloodCount = 240000;

// Counts the messages delivered between consecutive passes of the event loop.
struct PassCounter {
  explicit PassCounter(RecordedClient &r) : R(r) {
    QObject::connect(&Timer, &QTimer::timeout, [this] {
      MaxPerPass = std::max(MaxPerPass, R.Msgs.size() - Seen);
      Seen = R.Msgs.size();
    });
  }
  void Start() {
    Seen = R.Msgs.size();
    Timer.start(0);
  }
  void Stop() { Timer.stop(); }
  RecordedClient &R;
  QTimer Timer;
  std::size_t Seen = 0, MaxPerPass = 0;
};

struct Scenario {
  const char *name;
  std::function<void(RecordedClient &)> setup;
  std::function<Script(RecordedClient &, ScriptedBroker &)> script;
  std::function<void(RecordedClient &, ScriptedBroker &)> check;
};

// A broken stream ends the connection like a close by the broker: offline,
// still enabled (so it reconnects), a monitor line, and nothing delivered.
void ExpectClosedAsBrokenStream(RecordedClient &r, ScriptedBroker &) {
  EXPECT_EQ(r.Offlines, std::vector<bool>{false});
  EXPECT_TRUE(r.C().Enabled()) << "the client reconnects as after any close";
  EXPECT_TRUE(std::any_of(r.MonLines.begin(), r.MonLines.end(),
                          [](const std::string &l) { return l.rfind("Broken stream (", 0) == 0; }));
  EXPECT_TRUE(r.Msgs.empty());
}

// Accept, CONNECT from "tc" with keep-alive 0, CONNACK accepted, online.
Script Online(RecordedClient &r, std::uint8_t flags = 0, std::uint16_t keepAlive = 0) {
  return {AcceptStep(), ExpectStep(Connect("tc", keepAlive, flags), "CONNECT"), SendStep(ConnAckOk),
          UntilStep([&r] { return r.C().Online(); }, "online")};
}

Script operator+(Script a, const Script &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Four PUBLISH packets, one of them 100,000 bytes, sent as one write or in
// pieces that the client reads separately: each is decoded whole.
Scenario LargeMessages(const char *name, std::size_t piece) {
  return {name, nullptr,
          [piece](RecordedClient &r, ScriptedBroker &) {
            const std::string all = Publish(0x30, "q/0", 0, "zero") +
                                    Publish(0x32, "q/1", 1, std::string("\0\x01\xff\r\n", 5)) +
                                    Publish(0x34, "q/2", 2, std::string(100000, 'z')) + Publish(0x34, "q/e", 3, "");
            Script s = Online(r);
            for (std::size_t at = 0; at < all.size(); at += piece) {
              auto sent = std::make_shared<Clock::time_point>();
              s.push_back(SendStep(all.substr(at, piece)));
              s.push_back(DoStep([sent] { *sent = Clock::now(); }));
              s.push_back(UntilStep([sent] { return Clock::now() - *sent > std::chrono::milliseconds(3); },
                                    "a pause, so that the client reads each piece"));
            }
            return s + Script{ExpectStep(Ack(0x40, 1)),
                              ExpectStep(Ack(0x50, 2)),
                              ExpectStep(Ack(0x50, 3)),
                              SendStep(Ack(0x62, 2) + Ack(0x62, 3)),
                              ExpectStep(Ack(0x70, 2)),
                              ExpectStep(Ack(0x70, 3)),
                              UntilStep([&r] { return r.Msgs.size() == 4; }, "four deliveries")};
          },
          [](RecordedClient &r, ScriptedBroker &) {
            const std::vector<Delivery> want = {{"q/0", "zero", qtAT_MOST_ONCE, false},
                                                {"q/1", std::string("\0\x01\xff\r\n", 5), qtAT_LEAST_ONCE, false},
                                                {"q/2", std::string(100000, 'z'), qtEXACTLY_ONCE, false},
                                                {"q/e", "", qtEXACTLY_ONCE, false}};
            EXPECT_EQ(r.Msgs, want);
          }};
}

const std::vector<Scenario> &Scenarios() {
  static const std::vector<Scenario> list = {
      {"ConnectAccepted", nullptr, [](RecordedClient &r, ScriptedBroker &) { return Online(r); },
       [](RecordedClient &r, ScriptedBroker &b) {
         EXPECT_EQ(r.MissingInOrder({"Connecting to 127.0.0.1 on Port " + std::to_string(b.Port()),
                                     "Connection ACCEPTED"}),
                   "");
         EXPECT_EQ(r.Onlines, 1);
         EXPECT_EQ(r.EnableChanges, 1);
         EXPECT_TRUE(r.Offlines.empty());
       }},

      {"RefusedConnAckDisablesTheClient", nullptr,
       [](RecordedClient &, ScriptedBroker &) {
         return Script{AcceptStep(), ExpectStep(Connect("tc"), "CONNECT"), SendStep(H("20 02 00 05")),
                       ExpectStep(Disconnect), ExpectClosedStep()};
       },
       [](RecordedClient &r, ScriptedBroker &) {
         EXPECT_TRUE(r.Has("Connection NOT AUTHORISED"));
         EXPECT_FALSE(r.C().Enabled());
         EXPECT_FALSE(r.C().Online());
         EXPECT_EQ(r.EnableChanges, 2);
         EXPECT_EQ(r.Onlines, 0);
         EXPECT_TRUE(r.Offlines.empty());
       }},

      {"PeerCloseReconnectsAfterSixSecondsWithTheGeneratedId",
       [](RecordedClient &r) { r.C().SetClientID(""); },
       [](RecordedClient &r, ScriptedBroker &b) {
         auto firstId = std::make_shared<std::string>();
         auto generated = [&b, firstId](const std::string &p) -> std::string {
           const std::string id = "CID" + std::to_string(b.ClientPort());
           if (firstId->empty()) *firstId = id;
           return p == Connect(*firstId) ? "" : "expected CONNECT from " + *firstId;
         };
         return Script{AcceptStep(), ExpectCheck(generated, "CONNECT with CID and the local port"),
                       SendStep(ConnAckOk), UntilStep([&r] { return r.C().Online(); }, "online"), DropStep(),
                       UntilStep([&r] { return r.Offlines.size() == 1; }, "offline"), AcceptStep(20000),
                       ExpectCheck(generated, "CONNECT with the first identifier again"), SendStep(ConnAckOk),
                       UntilStep([&r] { return r.Onlines == 2; }, "online again")};
       },
       [](RecordedClient &r, ScriptedBroker &b) {
         EXPECT_EQ(r.Offlines, std::vector<bool>{false});
         EXPECT_GE(Clock::now() - r.LastOffline, std::chrono::milliseconds(5900)) << "reconnected too early";
         EXPECT_EQ(r.CountOf("Connecting to 127.0.0.1 on Port " + std::to_string(b.Port())), 2);
         EXPECT_EQ(r.C().ClientID().substr(0, 3), "CID");
       }},

      // A Connect that raises (here: no host given) is followed by no close
      // event, so the client itself must try again six seconds later.
      {"ConnectThatCannotStartIsRetried", [](RecordedClient &r) { r.C().SetHost(""); },
       [](RecordedClient &r, ScriptedBroker &) {
         return Script{UntilStep([&r] { return r.MonLines.size() >= 2; }, "first attempt"),
                       DoStep([&r] { r.C().SetHost("127.0.0.1"); }), AcceptStep(20000),
                       ExpectStep(Connect("tc"), "CONNECT on the second attempt")};
       },
       [](RecordedClient &r, ScriptedBroker &b) {
         EXPECT_EQ(r.MissingInOrder({"Connecting to  on Port " + std::to_string(b.Port()),
                                     "Connect failed: Connect: No IP Address Specified",
                                     "Connecting to 127.0.0.1 on Port " + std::to_string(b.Port())}),
                   "");
       }},

      {"DeactivateSendsDisconnectAndGoesOfflineGracefully", nullptr,
       [](RecordedClient &r, ScriptedBroker &) {
         return Online(r) + Script{DoStep([&r] { r.C().Activate(false); }), ExpectStep(Disconnect),
                                   ExpectClosedStep(),
                                   UntilStep([&r] { return !r.Offlines.empty(); }, "offline")};
       },
       [](RecordedClient &r, ScriptedBroker &) {
         EXPECT_EQ(r.Offlines, std::vector<bool>{true});
         EXPECT_FALSE(r.C().Enabled());
         EXPECT_EQ(r.EnableChanges, 2);
       }},

      {"DestroyWhileOnlineRaisesNoEvent", nullptr,
       [](RecordedClient &r, ScriptedBroker &) {
         return Online(r) + Script{DoStep([&r] { r.Client.reset(); }), ExpectClosedStep()};
       },
       [](RecordedClient &r, ScriptedBroker &) { EXPECT_TRUE(r.Offlines.empty()); }},

      {"PingsOnlyAfterQuietSpells", [](RecordedClient &r) { r.C().SetKeepAlive(3); },
       [](RecordedClient &r, ScriptedBroker &) {
         // Publishing every 200 ms keeps a 2.25 s ping interval from expiring.
         Script s = Online(r, 0, 3);
         for (int k = 0; k < 10; ++k) {
           auto at = std::make_shared<Clock::time_point>();
           s = s + Script{DoStep([&r, at] {
                            *at = Clock::now();
                            r.C().Publish("k", "x", qtAT_MOST_ONCE, false);
                          }),
                          ExpectStep(Publish(0x30, "k", 0, "x")),
                          UntilStep([at] { return Clock::now() - *at > std::chrono::milliseconds(200); },
                                    "200 ms")};
         }
         // Answered, the first PINGREQ keeps the link: the second comes a full interval later.
         return s + Script{ExpectStep(PingReq, "PINGREQ after a quiet spell"), SendStep(PingResp),
                           ExpectStep(PingReq, "another PINGREQ")};
       },
       [](RecordedClient &r, ScriptedBroker &b) {
         ASSERT_GE(b.Received.size(), 13u);
         for (std::size_t i = 0; i < 11; ++i) EXPECT_NE(b.Received[i], PingReq) << "packet " << i;
         EXPECT_TRUE(r.Offlines.empty()) << r.Transcript();
       }},

      {"UnansweredPingClosesTheLink", [](RecordedClient &r) { r.C().SetKeepAlive(2); },
       [](RecordedClient &r, ScriptedBroker &) {
         // Ping after 1.5 s of quiet; nothing comes back within 1 s (half of 2 s).
         return Online(r, 0, 2) + Script{ExpectStep(PingReq, "PINGREQ"), ExpectClosedStep(),
                                         UntilStep([&r] { return !r.Offlines.empty(); }, "offline")};
       },
       [](RecordedClient &r, ScriptedBroker &) {
         EXPECT_EQ(r.Offlines, std::vector<bool>{false});
         EXPECT_TRUE(r.Has("No answer to PINGREQ within 1 s; closing the connection.")) << r.Transcript();
         EXPECT_TRUE(r.C().Enabled()) << "the client reconnects as after any close";
       }},

      {"KeepAliveZeroNeverPings", nullptr,
       [](RecordedClient &r, ScriptedBroker &) {
         r.C().SetKeepAlive(0);
         return Online(r) + Script{QuietStep(2000)};
       },
       nullptr},

      {"OutgoingQos1", nullptr,
       [](RecordedClient &r, ScriptedBroker &) {
         return Online(r) + Script{DoStep([&r] { r.C().Publish("a/b", "hi", qtAT_LEAST_ONCE, false); }),
                                   ExpectStep(Publish(0x32, "a/b", 1, "hi")),
                                   UntilStep([&r] { return r.C().InFlight->Count() == 1; }, "recorded"),
                                   SendStep(Ack(0x40, 1)),
                                   UntilStep([&r] { return r.C().InFlight->Count() == 0; }, "acknowledged")};
       },
       [](RecordedClient &r, ScriptedBroker &) {
         EXPECT_EQ(r.MissingInOrder({"Message 1 created.", "ACK Message 1 disposed of."}), "");
       }},

      {"OutgoingQos2WithPubRecTwice", nullptr,
       [](RecordedClient &r, ScriptedBroker &) {
         return Online(r) +
                Script{DoStep([&r] { r.C().Publish("q/2", "two", qtEXACTLY_ONCE, true); }),
                       ExpectStep(Publish(0x35, "q/2", 1, "two")), SendStep(Ack(0x50, 1)),
                       ExpectStep(Ack(0x62, 1)), SendStep(Ack(0x50, 1)), ExpectStep(Ack(0x62, 1)),
                       UntilStep([&r] { return r.Has("REC Message 1 already recorded."); }, "second PUBREC"),
                       DoStep([&r] {
                         TMQTTPacket *p = r.C().InFlight->GetPacket(1);
                         ASSERT_TRUE(p);
                         EXPECT_FALSE(p->Publishing);
                       }),
                       SendStep(Ack(0x70, 1)),
                       UntilStep([&r] { return r.C().InFlight->Count() == 0; }, "completed")};
       },
       [](RecordedClient &r, ScriptedBroker &) {
         EXPECT_EQ(r.MissingInOrder({"Message 1 created.", "REC Message 1 recorded.",
                                     "REC Message 1 already recorded.", "COMP Message 1 disposed of."}),
                   "");
       }},

      {"AcknowledgementsForUnknownIdentifiers", nullptr,
       [](RecordedClient &r, ScriptedBroker &) {
         return Online(r) + Script{SendStep(Ack(0x50, 99)), ExpectStep(Ack(0x62, 99), "PUBREL 99"),
                                   SendStep(Ack(0x62, 100)), ExpectStep(Ack(0x70, 100), "PUBCOMP 100"),
                                   SendStep(Ack(0x40, 101) + Ack(0x70, 102) + H("90 03 00 67 01") +
                                            Ack(0xB0, 104)),
                                   UntilStep([&r] { return r.Has("Message 104 disposed of."); }, "UNSUBACK"),
                                   QuietStep(200)};
       },
       [](RecordedClient &r, ScriptedBroker &) {
         EXPECT_EQ(r.MissingInOrder({"REC Message 99 not found.",
                                     "REL Message 100 has been already removed from storage.",
                                     "ACK Message 101 disposed of.", "COMP Message 102 disposed of.",
                                     "Message 103 disposed of.", "Message 104 disposed of."}),
                   "");
         EXPECT_TRUE(r.Msgs.empty());
       }},

      {"IncomingQos0AndQos1WithDuplicates", nullptr,
       [](RecordedClient &r, ScriptedBroker &) {
         const std::string dup = Publish(0x3A, "t/1", 5, "one");
         return Online(r) + Script{SendStep(Publish(0x31, "t/0", 0, "zero")), SendStep(dup),
                                   ExpectStep(Ack(0x40, 5)), SendStep(dup), ExpectStep(Ack(0x40, 5)),
                                   UntilStep([&r] { return r.Msgs.size() == 3; }, "three deliveries")};
       },
       [](RecordedClient &r, ScriptedBroker &) {
         const std::vector<Delivery> want = {{"t/0", "zero", qtAT_MOST_ONCE, true},
                                             {"t/1", "one", qtAT_LEAST_ONCE, false},
                                             {"t/1", "one", qtAT_LEAST_ONCE, false}};
         EXPECT_EQ(r.Msgs, want);
       }},

      {"IncomingQos2IsDeliveredOnceAtRelease", nullptr,
       [](RecordedClient &r, ScriptedBroker &) {
         auto before = std::make_shared<std::size_t>(99);
         return Online(r) + Script{SendStep(Publish(0x35, "t/2", 9, std::string("fir\0st", 6))),
                                   ExpectStep(Ack(0x50, 9)), SendStep(Publish(0x3C, "t/2", 9, "second")),
                                   ExpectStep(Ack(0x50, 9)),
                                   DoStep([&r, before] { *before = r.Msgs.size(); }),
                                   SendStep(Ack(0x62, 9)), ExpectStep(Ack(0x70, 9)),
                                   SendStep(Ack(0x62, 9)), ExpectStep(Ack(0x70, 9)),
                                   DoStep([before] { EXPECT_EQ(*before, 0u) << "delivered before PUBREL"; })};
       },
       [](RecordedClient &r, ScriptedBroker &) {
         const std::vector<Delivery> want = {{"t/2", std::string("fir\0st", 6), qtEXACTLY_ONCE, true}};
         EXPECT_EQ(r.Msgs, want);
         EXPECT_EQ(r.C().Releasables->Count(), 0);
         EXPECT_EQ(r.MissingInOrder({"Message 9 stored and idle.", "Message 9 already stored.",
                                     "REL Message 9 publishing @ EXACTLY_ONCE",
                                     "REL Message 9 removed from storage.",
                                     "REL Message 9 has been already removed from storage."}),
                   "");
       }},

      LargeMessages("IncomingLargeMessagesInOneRead", 1 << 30),
      LargeMessages("IncomingLargeMessagesInPieces", 7001),

      {"FloodIsParsedInBoundedSlicesPerPass", nullptr,
       [](RecordedClient &r, ScriptedBroker &) {
         // 3 MB of 13-byte messages arrive faster than they are handled. A
         // timer firing on every pass of the event loop counts the messages
         // delivered between two passes: at most one or two 64 KiB slices.
         auto passes = std::make_shared<PassCounter>(r);
         std::string flood;
         for (std::size_t i = 0; i < FloodCount; ++i) flood += Publish(0x30, "f", 0, "12345678");
         return Online(r) + Script{DoStep([passes] { passes->Start(); }), SendStep(flood),
                                   UntilStep([&r] { return r.Msgs.size() == FloodCount; }, "every message", 60000),
                                   DoStep([passes, &r] {
                                     passes->Stop();
                                     EXPECT_LE(passes->MaxPerPass, 2 * 65536 / 13) << "in one pass";
                                     EXPECT_EQ(r.Msgs.back(), (Delivery{"f", "12345678", qtAT_MOST_ONCE, false}));
                                   })};
       },
       nullptr},

      {"PacedClientReadsAStreamOncePerIntervalAndAFirstMessageAtOnce",
       [](RecordedClient &r) { r.C().SetReadPaceMs(2000); },
       [](RecordedClient &r, ScriptedBroker &) {
         using namespace std::chrono;
         auto read = std::make_shared<steady_clock::time_point>();
         auto sent = std::make_shared<steady_clock::time_point>();
         const auto since = [](const std::shared_ptr<steady_clock::time_point> &t) {
           return duration_cast<milliseconds>(steady_clock::now() - *t).count();
         };
         return Online(r) +
                Script{SendStep(Publish(0x30, "p", 0, "1")), UntilStep([&r] { return r.Msgs.size() == 1; }, "first"),
                       DoStep([read] { *read = steady_clock::now(); }),
                       // Two more right behind it wait for the pace, then come in one read.
                       SendStep(Publish(0x30, "p", 0, "2")), SendStep(Publish(0x30, "p", 0, "3")),
                       UntilStep([&r] { return r.Msgs.size() == 3; }, "the two behind it"),
                       DoStep([read, since] { EXPECT_GE(since(read), 1600) << "read before the pace allowed"; }),
                       // After a quiet spell the next message is read as it comes.
                       QuietStep(2500), DoStep([sent] { *sent = steady_clock::now(); }),
                       SendStep(Publish(0x30, "p", 0, "4")),
                       UntilStep([&r] { return r.Msgs.size() == 4; }, "the one after the quiet spell"),
                       DoStep([sent, since] { EXPECT_LT(since(sent), 1500) << "held back after a quiet spell"; })};
       },
       [](RecordedClient &r, ScriptedBroker &) {
         ASSERT_EQ(r.Msgs.size(), 4u);
         for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(r.Msgs[i].Message, std::to_string(i + 1));
       }},

      // QoS 3 is outside the protocol: the connection ends, and nothing after
      // it in the stream is believed either.
      {"IncomingQos3ClosesTheConnection", nullptr,
       [](RecordedClient &r, ScriptedBroker &) {
         return Online(r) + Script{SendStep(Pkt(0x36, Str("t/3") + Id(3) + "x") + Publish(0x30, "t/m", 0, "marker")),
                                   ExpectClosedStep(),
                                   UntilStep([&r] { return !r.Offlines.empty(); }, "offline")};
       },
       ExpectClosedAsBrokenStream},

      {"UnacknowledgedPublishIsResentWithDup", [](RecordedClient &r) { r.C().SetRetryTime(2); },
       [](RecordedClient &r, ScriptedBroker &) {
         return Online(r) + Script{DoStep([&r] { r.C().Publish("r", "p", qtAT_LEAST_ONCE, false); }),
                                   ExpectStep(Publish(0x32, "r", 1, "p")), ExpectStep(Publish(0x3A, "r", 1, "p")),
                                   ExpectStep(Publish(0x3A, "r", 1, "p")), SendStep(Ack(0x40, 1)),
                                   UntilStep([&r] { return r.C().InFlight->Count() == 0; }, "acknowledged")};
       },
       [](RecordedClient &r, ScriptedBroker &) {
         EXPECT_EQ(r.MissingInOrder({"Message 1 created.", "Message 1 disposed of..", "Re-issuing Message 1 Retry 1",
                                     "Message 1 created.", "Message 1 disposed of..",
                                     "Re-issuing Message 1 Retry 2", "Message 1 created.",
                                     "ACK Message 1 disposed of."}),
                   "");
       }},

      {"UnacknowledgedSubscribeIsResentWithDup", [](RecordedClient &r) { r.C().SetRetryTime(2); },
       [](RecordedClient &r, ScriptedBroker &) {
         const std::string sub = Pkt(0x82, Id(1) + Str("s/#") + "\x01");
         std::string dup = sub;
         dup[0] = '\x8A';
         return Online(r) + Script{DoStep([&r] { r.C().Subscribe("s/#", qtAT_LEAST_ONCE); }), ExpectStep(sub),
                                   ExpectStep(dup), SendStep(H("90 03 00 01 01")),
                                   UntilStep([&r] { return r.C().InFlight->Count() == 0; }, "SUBACK")};
       },
       nullptr},

      {"Qos2RetriesCarryOverToPubRel", [](RecordedClient &r) { r.C().SetRetryTime(3); },
       [](RecordedClient &r, ScriptedBroker &) {
         return Online(r) + Script{DoStep([&r] { r.C().Publish("r2", "p", qtEXACTLY_ONCE, false); }),
                                   ExpectStep(Publish(0x34, "r2", 1, "p")),
                                   ExpectStep(Publish(0x3C, "r2", 1, "p")),
                                   // hold back the next re-send, however slow the machine is
                                   DoStep([&r] { r.C().InFlight->GetPacket(1)->Counter = 1000; }),
                                   SendStep(Ack(0x50, 1)),
                                   ExpectStep(Ack(0x62, 1), "PUBREL"), ExpectStep(Ack(0x6A, 1), "PUBREL with DUP"),
                                   SendStep(Ack(0x70, 1)),
                                   UntilStep([&r] { return r.C().InFlight->Count() == 0; }, "completed")};
       },
       [](RecordedClient &r, ScriptedBroker &) {
         EXPECT_EQ(r.MissingInOrder({"Re-issuing Message 1 Retry 1", "REC Message 1 recorded.",
                                     "Re-issuing PUBREL Message 1 Retry 2", "COMP Message 1 disposed of."}),
                   "");
       }},

      {"Qos2PublishIsCopiedOncePerConnection",
       [](RecordedClient &r) {
         r.C().SetRetryTime(2);
         r.C().SetMaxRetries(1000);
       },
       [](RecordedClient &r, ScriptedBroker &) {
         // A second copy on one connection would make mosquitto drop the client.
         return Online(r) + Script{DoStep([&r] { r.C().Publish("c2", "p", qtEXACTLY_ONCE, false); }),
                                   ExpectStep(Publish(0x34, "c2", 1, "p")),
                                   ExpectStep(Publish(0x3C, "c2", 1, "p"), "one copy"), QuietStep(1000),
                                   DoStep([&r] { r.C().Activate(false); }), ExpectStep(Disconnect),
                                   ExpectClosedStep(), DoStep([&r] { r.C().Activate(true); })} +
                Online(r) +
                Script{ExpectStep(Publish(0x3C, "c2", 1, "p"), "one copy on the new connection"), QuietStep(600),
                       SendStep(Ack(0x50, 1)), ExpectStep(Ack(0x62, 1), "PUBREL"), SendStep(Ack(0x70, 1)),
                       UntilStep([&r] { return r.C().InFlight->Count() == 0; }, "completed")};
       },
       [](RecordedClient &r, ScriptedBroker &) {
         EXPECT_GE(r.CountOf("Message 1 already re-sent on this connection; the next copy waits for a new one."), 4)
             << r.Transcript();
       }},

      {"UnconfirmedPubRecIsNoProofOfDeliveryAtAClose",
       [](RecordedClient &r) {
         r.C().SetConfirmPubRec(true);
         r.C().SetRetryTime(2);
       },
       [](RecordedClient &r, ScriptedBroker &) {
         // A PUBREC and then the close, as from a broker over its quota: no
         // PUBREL for it, and the PUBLISH goes again on the next connection.
         return Online(r) +
                Script{DoStep([&r] { r.C().Publish("q", "m", qtEXACTLY_ONCE, false); }),
                       ExpectStep(Publish(0x34, "q", 1, "m")), SendStep(Ack(0x50, 1)),
                       ExpectStep(PingReq, "a PINGREQ, not the PUBREL"), QuietStep(500), DropStep(),
                       UntilStep([&r] { return !r.C().Online(); }, "offline"), DoStep([&r] { r.C().Restart(); })} +
                Online(r) +
                Script{ExpectStep(Publish(0x3C, "q", 1, "m"), "the PUBLISH again"), SendStep(Ack(0x50, 1)),
                       ExpectStep(PingReq), SendStep(PingResp), ExpectStep(Ack(0x62, 1), "PUBREL once confirmed"),
                       SendStep(Ack(0x70, 1)), UntilStep([&r] { return r.C().InFlight->Count() == 0; }, "completed")};
       },
       [](RecordedClient &r, ScriptedBroker &) {
         EXPECT_TRUE(r.Has("Message 1: its PUBREC was not confirmed before the close; the PUBLISH goes again."))
             << r.Transcript();
       }},

      {"PubRecIsConfirmedByTheAnswerToALaterPacket",
       [](RecordedClient &r) { r.C().SetConfirmPubRec(true); },
       [](RecordedClient &r, ScriptedBroker &) {
         // Each answer shows the broker went on after the packets before it:
         // no PINGREQ is needed while another answer is due.
         return Online(r) + Script{DoStep([&r] {
                                     r.C().Publish("q", "1", qtEXACTLY_ONCE, false);
                                     r.C().Publish("q", "2", qtEXACTLY_ONCE, false);
                                   }),
                                   ExpectStep(Publish(0x34, "q", 1, "1")), ExpectStep(Publish(0x34, "q", 2, "2")),
                                   SendStep(Ack(0x50, 1)), QuietStep(300), SendStep(Ack(0x50, 2)),
                                   ExpectStep(Ack(0x62, 1), "PUBREL 1, confirmed by the PUBREC of 2"),
                                   SendStep(Ack(0x70, 1)),
                                   ExpectStep(Ack(0x62, 2), "PUBREL 2, confirmed by the PUBCOMP of 1"),
                                   SendStep(Ack(0x70, 2)),
                                   UntilStep([&r] { return r.C().InFlight->Count() == 0; }, "completed")};
       },
       nullptr},

      {"StalledLinkIsProbedBeforeACopy",
       [](RecordedClient &r) {
         r.C().SetKeepAlive(30);
         r.C().SetRetryTime(5);
       },
       [](RecordedClient &r, ScriptedBroker &) {
         // Nothing comes back after the PUBLISH: a PINGREQ goes out in place
         // of a copy; once the broker answers it, the copy follows.
         return Online(r, 0, 30) + Script{DoStep([&r] { r.C().Publish("s", "x", qtAT_LEAST_ONCE, false); }),
                                          ExpectStep(Publish(0x32, "s", 1, "x")),
                                          ExpectStep(PingReq, "PINGREQ in place of a copy"), SendStep(PingResp),
                                          ExpectStep(Publish(0x3A, "s", 1, "x"), "the copy after the answer"),
                                          SendStep(Ack(0x40, 1)),
                                          UntilStep([&r] { return r.C().InFlight->Count() == 0; }, "acknowledged")};
       },
       [](RecordedClient &r, ScriptedBroker &) {
         EXPECT_TRUE(r.Has("Message 1 unanswered and nothing sent after it answered yet; checking the link.")) << r.Transcript();
         EXPECT_TRUE(r.Offlines.empty());
       }},

      {"FailureAfterMaxRetriesClosesTheConnection",
       [](RecordedClient &r) {
         r.C().SetRetryTime(1);
         r.C().SetMaxRetries(1);
       },
       [](RecordedClient &r, ScriptedBroker &) {
         return Online(r) + Script{DoStep([&r] { r.C().Publish("f", "p", qtAT_LEAST_ONCE, false); }),
                                   ExpectStep(Publish(0x32, "f", 1, "p")), ExpectStep(Publish(0x3A, "f", 1, "p")),
                                   ExpectClosedStep(), UntilStep([&r] { return !r.Offlines.empty(); }, "offline")};
       },
       [](RecordedClient &r, ScriptedBroker &) {
         EXPECT_EQ(r.Failures, 1);
         EXPECT_EQ(r.Offlines, std::vector<bool>{false});
         EXPECT_TRUE(r.C().Enabled());
         TMQTTPacket *p = r.C().InFlight->GetPacket(1);
         ASSERT_TRUE(p) << "a failed packet stays stored";
         EXPECT_EQ(p->Counter, 0u);
         EXPECT_EQ(p->Retries, 2);
       }},

      {"FailureHandlerKeepsTheConnection",
       [](RecordedClient &r) {
         r.C().SetRetryTime(1);
         r.C().SetMaxRetries(1);
         r.KeepOpenOnFailure = true;
       },
       [](RecordedClient &r, ScriptedBroker &) {
         return Online(r) + Script{DoStep([&r] { r.C().Publish("f", "p", qtAT_LEAST_ONCE, false); }),
                                   ExpectStep(Publish(0x32, "f", 1, "p")), ExpectStep(Publish(0x3A, "f", 1, "p")),
                                   UntilStep([&r] { return r.Failures == 1; }, "failure"), QuietStep(800),
                                   SendStep(Ack(0x40, 1)),
                                   UntilStep([&r] { return r.C().InFlight->Count() == 0; }, "late PUBACK")};
       },
       [](RecordedClient &r, ScriptedBroker &) {
         EXPECT_EQ(r.Failures, 1);
         EXPECT_TRUE(r.Offlines.empty());
       }},

      // A handler closing the link in the middle of a sweep: the sweep must not
      // take the remaining entries out to re-issue them into the closed link
      // (they would be lost), nor go on counting down while offline.
      {"SweepStopsWhenTheLinkClosesUnderIt",
       [](RecordedClient &r) {
         r.C().SetRetryTime(3);
         r.C().SetMaxRetries(1);
         r.C().OnFailure = [&r](TMQTTClient *, std::int32_t, bool &closeClient) {
           ++r.Failures;
           closeClient = false;
           r.C().Link->Close(); // closes at once, inside the sweep
         };
       },
       [](RecordedClient &r, ScriptedBroker &) {
         return Online(r) +
                Script{DoStep([&r] {
                         r.C().Publish("b", "older", qtAT_LEAST_ONCE, false);
                         r.C().Publish("a", "newer", qtAT_LEAST_ONCE, false);
                         r.C().InFlight->GetPacket(2)->Retries = 1; // its next expiry fails
                       }),
                       ExpectStep(Publish(0x32, "b", 1, "older")), ExpectStep(Publish(0x32, "a", 2, "newer")),
                       ExpectClosedStep(), UntilStep([&r] { return !r.Offlines.empty(); }, "offline"),
                       QuietStep(600), // several sweep intervals while offline
                       DoStep([&r] {
                         TMQTTPacket *older = r.C().InFlight->GetPacket(1);
                         ASSERT_TRUE(older) << "the older entry was lost";
                         EXPECT_EQ(older->Counter, 1u) << "counted down while offline";
                         EXPECT_EQ(older->Retries, 0);
                         r.C().Activate(false);
                         r.C().Activate(true);
                       })} +
                Online(r) +
                Script{ExpectStep(Publish(0x3A, "b", 1, "older"), "the older PUBLISH re-sent with DUP"),
                       SendStep(Ack(0x40, 1) + Ack(0x40, 2)),
                       UntilStep([&r] { return r.C().InFlight->Count() == 0; }, "acknowledged")};
       },
       [](RecordedClient &r, ScriptedBroker &) { EXPECT_EQ(r.Failures, 1); }},

      // Tens of thousands of unacknowledged publications, acknowledged out of
      // order: every one is recorded, found and disposed of exactly once.
      {"ManyPublicationsInFlight",
       [](RecordedClient &r) {
         r.C().OnMon = nullptr;
         r.C().SetRetryTime(0); // first sends only, however long the run takes
       },
       [](RecordedClient &r, ScriptedBroker &b) {
         std::vector<std::uint16_t> order(BulkCount);
         for (int i = 0; i < BulkCount; ++i) order[i] = static_cast<std::uint16_t>((i * 7919) % BulkCount + 1);
         std::string acks;
         for (auto id : order) acks += Ack(0x40, id);
         return Online(r) +
                Script{DoStep([&r] {
                         for (int i = 0; i < BulkCount; ++i) r.C().Publish("bulk", "0123456789", qtAT_LEAST_ONCE, false);
                         EXPECT_EQ(r.C().InFlight->Count(), BulkCount);
                       }),
                       UntilStep([&b] { return b.Received.size() >= BulkCount + 1; }, "all publications", 60000),
                       DoStep([&b] {
                         EXPECT_EQ(b.Received[1], Publish(0x32, "bulk", 1, "0123456789"));
                         EXPECT_EQ(b.Received[BulkCount], Publish(0x32, "bulk", BulkCount, "0123456789"));
                       }),
                       SendStep(acks),
                       UntilStep([&r] { return r.C().InFlight->Count() == 0; }, "all acknowledged", 60000)};
       },
       nullptr},

      {"ExceptionFromATimerHandlerClosesTheConnection",
       [](RecordedClient &r) {
         r.C().SetRetryTime(1);
         r.C().SetMaxRetries(0);
         r.C().OnFailure = [](TMQTTClient *, std::int32_t, bool &) { throw std::runtime_error("handler failed"); };
       },
       [](RecordedClient &r, ScriptedBroker &) {
         return Online(r) + Script{DoStep([&r] { r.C().Publish("x", "p", qtAT_LEAST_ONCE, false); }),
                                   ExpectStep(Publish(0x32, "x", 1, "p")), ExpectClosedStep(),
                                   UntilStep([&r] { return !r.Offlines.empty(); }, "offline")};
       },
       [](RecordedClient &r, ScriptedBroker &) {
         EXPECT_TRUE(r.Has("Closing the connection: handler failed"));
         EXPECT_TRUE(r.C().Enabled());
       }},

      {"RetryTimeZeroNeverResends", [](RecordedClient &r) { r.C().SetRetryTime(0); },
       [](RecordedClient &r, ScriptedBroker &) {
         return Online(r) + Script{DoStep([&r] { r.C().Publish("z", "p", qtAT_LEAST_ONCE, false); }),
                                   ExpectStep(Publish(0x32, "z", 1, "p")), QuietStep(1000)};
       },
       [](RecordedClient &r, ScriptedBroker &) {
         EXPECT_EQ(r.Failures, 0);
         ASSERT_EQ(r.C().InFlight->Count(), 1);
         EXPECT_EQ(r.C().InFlight->GetItem(0)->Counter, 0u);
       }},

      {"CleanEmptiesTheStoresAtTheNextSession", [](RecordedClient &r) { r.C().SetClean(true); },
       [](RecordedClient &r, ScriptedBroker &) {
         return Online(r, 0x02) +
                Script{DoStep([&r] { r.C().Publish("c", "p", qtAT_LEAST_ONCE, false); }),
                       ExpectStep(Publish(0x32, "c", 1, "p")), SendStep(Publish(0x34, "in", 4, "q2")),
                       ExpectStep(Ack(0x50, 4)),
                       UntilStep([&r] { return r.C().Releasables->Count() == 1 && r.C().InFlight->Count() == 1; },
                                 "both stores hold an entry"),
                       DoStep([&r] { r.C().Activate(false); }), ExpectStep(Disconnect), ExpectClosedStep(),
                       DoStep([&r] { r.C().Activate(true); }), AcceptStep(),
                       ExpectStep(Connect("tc", 0, 0x02), "clean CONNECT")};
       },
       [](RecordedClient &r, ScriptedBroker &) {
         EXPECT_EQ(r.C().InFlight->Count(), 0);
         EXPECT_EQ(r.C().Releasables->Count(), 0);
       }},

      {"WithoutCleanTheStoresSurviveAndRetriesResume", [](RecordedClient &r) { r.C().SetRetryTime(40); },
       [](RecordedClient &r, ScriptedBroker &) {
         return Online(r) + Script{DoStep([&r] { r.C().Publish("k", "p", qtAT_LEAST_ONCE, false); }),
                                   ExpectStep(Publish(0x32, "k", 1, "p")), DoStep([&r] { r.C().Activate(false); }),
                                   ExpectStep(Disconnect), ExpectClosedStep(),
                                   DoStep([&r] { r.C().Activate(true); })} +
                Online(r) +
                Script{ExpectStep(Publish(0x3A, "k", 1, "p"), "the stored PUBLISH again, with DUP"),
                       SendStep(Ack(0x40, 1)),
                       UntilStep([&r] { return r.C().InFlight->Count() == 0; }, "acknowledged")};
       },
       [](RecordedClient &r, ScriptedBroker &) { EXPECT_TRUE(r.Has("Re-issuing Message 1 Retry 1")); }},

      {"SubAckUpdatesTheSubscriptionTags", nullptr,
       [](RecordedClient &r, ScriptedBroker &) {
         auto tag = [&r](const std::string &filter) -> std::int64_t {
           for (const auto &e : r.C().Subscriptions)
             if (e.Text == filter) return static_cast<std::uint32_t>(e.Tag);
           return -1;
         };
         return Online(r) +
                Script{DoStep([&r, tag] {
                         r.C().Subscribe("a/b", qtAT_LEAST_ONCE);
                         EXPECT_EQ(tag("a/b"), 65537);
                         TTaggedStrings list = {{"x", 0}, {"y", 1}, {"z", 2 | 0x100}};
                         r.C().Subscribe(&list);
                         EXPECT_EQ(tag("x"), 2 << 16);
                         EXPECT_EQ(tag("y"), (2 << 16) + 256 + 1);
                         EXPECT_EQ(tag("z"), (2 << 16) + 512 + 2);
                       }),
                       ExpectStep(Pkt(0x82, Id(1) + Str("a/b") + "\x01")),
                       ExpectStep(Pkt(0x82, Id(2) + Str("x") + std::string(1, '\0') + Str("y") + "\x01" +
                                          Str("z") + "\x02")),
                       SendStep(H("90 03 00 01 01") + H("90 05 00 02 80 01 02")),
                       UntilStep([&r] { return r.C().InFlight->Count() == 0; }, "both SUBACKs"),
                       DoStep([tag] {
                         EXPECT_EQ(tag("a/b"), 0xFF01);
                         EXPECT_EQ(tag("x"), 0xFF00);
                         EXPECT_EQ(tag("y"), 0xFF01);
                         EXPECT_EQ(tag("z"), 0xFF02);
                       }),
                       DoStep([&r, tag] {
                         r.C().Subscribe("a/b", qtEXACTLY_ONCE);
                         EXPECT_EQ(tag("a/b"), (3 << 16) + 2);
                         EXPECT_EQ(r.C().Subscriptions.size(), 4u) << "a filter is recorded once";
                       }),
                       ExpectStep(Pkt(0x82, Id(3) + Str("a/b") + "\x02")), SendStep(H("90 02 00 03")),
                       UntilStep([&r] { return r.C().InFlight->Count() == 0; }, "empty SUBACK"),
                       DoStep([tag] { EXPECT_EQ(tag("a/b"), (3 << 16) + 2) << "an empty SUBACK grants nothing"; })};
       },
       nullptr},

      {"AutoSubscribeRenewsRecordedFilters",
       [](RecordedClient &r) {
         r.C().SetAutoSubscribe(true);
         r.C().Subscribe("f/1", qtAT_LEAST_ONCE); // offline: recorded, not sent; ids 1..3
         r.C().Subscribe("f/2", qtEXACTLY_ONCE);
         r.C().Subscribe("f/3", qtAT_MOST_ONCE);
       },
       [](RecordedClient &r, ScriptedBroker &) {
         return Online(r) + Script{ExpectStep(Pkt(0x82, Id(4) + Str("f/1") + "\x01")),
                                   ExpectStep(Pkt(0x82, Id(5) + Str("f/2") + "\x02")),
                                   ExpectStep(Pkt(0x82, Id(6) + Str("f/3") + std::string(1, '\0')))};
       },
       [](RecordedClient &r, ScriptedBroker &) {
         ASSERT_EQ(r.C().Subscriptions.size(), 3u);
         EXPECT_EQ(r.C().Subscriptions[0].Tag, (1 << 16) + 1) << "re-subscribing leaves the tags alone";
       }},

      {"UnsubscribeForgetsAtOnceAndAlwaysSends",
       [](RecordedClient &r) { r.C().Subscriptions = {{"keep", 0}, {"gone", 0x1FF01}}; },
       [](RecordedClient &r, ScriptedBroker &) {
         return Online(r) + Script{DoStep([&r] {
                                     r.C().Unsubscribe("");
                                     r.C().Unsubscribe("never");
                                     r.C().Unsubscribe("gone");
                                     TTaggedStrings none;
                                     r.C().Unsubscribe(&none);
                                   }),
                                   ExpectStep(Pkt(0xA2, Id(1) + Str("never"))),
                                   ExpectStep(Pkt(0xA2, Id(2) + Str("gone"))), ExpectStep(Pkt(0xA2, Id(3))),
                                   SendStep(Ack(0xB0, 1)),
                                   UntilStep([&r] { return r.Has("Message 1 disposed of."); }, "UNSUBACK")};
       },
       [](RecordedClient &r, ScriptedBroker &) {
         EXPECT_EQ(r.C().Subscriptions, (TTaggedStrings{{"keep", 0}}));
         EXPECT_EQ(r.C().InFlight->Count(), 2);
       }},

      {"FiveByteRemainingLengthClosesTheConnection", nullptr,
       [](RecordedClient &r, ScriptedBroker &) {
         return Online(r) + Script{SendStep(H("30 FF FF FF FF 01")), ExpectClosedStep(),
                                   UntilStep([&r] { return !r.Offlines.empty(); }, "offline")};
       },
       ExpectClosedAsBrokenStream},

      {"OversizedRemainingLengthClosesTheConnection", nullptr,
       [](RecordedClient &r, ScriptedBroker &) {
         // A SUBACK that long cannot be anything sound (a PUBLISH would be skipped instead).
         return Online(r) + Script{SendStep(H("90 FF FF FF 7F") + std::string(64, 'x')), ExpectClosedStep(),
                                   UntilStep([&r] { return !r.Offlines.empty(); }, "offline")};
       },
       ExpectClosedAsBrokenStream},

      {"OverCapMessagesAreAcknowledgedReportedAndNotDelivered",
       [](RecordedClient &r) {
         r.C().Parser->MaxRxLength = 1000;
         r.C().OnSkipped = [&r](TMQTTClient *, const std::string &topic, std::size_t size, TMQTTQOSType qos) {
           r.MonLines.push_back("skipped event " + topic + " " + std::to_string(size) + " " + std::to_string(qos));
         };
       },
       [](RecordedClient &r, ScriptedBroker &) {
         // Neither blocks what comes behind it.
         return Online(r) + Script{SendStep(Publish(0x32, "big/1", 5, std::string(2000, 'b'))),
                                   SendStep(Publish(0x32, "small", 6, "s")), ExpectStep(Ack(0x40, 5), "PUBACK"),
                                   ExpectStep(Ack(0x40, 6), "PUBACK of the next"),
                                   SendStep(Publish(0x34, "big/2", 7, std::string(5000, 'c'))),
                                   ExpectStep(Ack(0x50, 7), "PUBREC"), SendStep(Ack(0x62, 7)),
                                   ExpectStep(Ack(0x70, 7), "PUBCOMP")};
       },
       [](RecordedClient &r, ScriptedBroker &) {
         EXPECT_EQ(r.Msgs, (std::vector<Delivery>{{"small", "s", qtAT_LEAST_ONCE, false}}));
         EXPECT_EQ(r.MissingInOrder({"Message 5 on big/1 skipped: 2009 bytes is above the limit of 1000 bytes.",
                                     "skipped event big/1 2009 1",
                                     "Message 7 on big/2 skipped: 5009 bytes is above the limit of 1000 bytes.",
                                     "skipped event big/2 5009 2"}),
                   "")
             << r.Transcript();
         EXPECT_EQ(r.C().Releasables->Count(), 0);
         EXPECT_TRUE(r.Offlines.empty());
       }},

      {"UnreleasedQos2MessagesAreBoundedInCount", [](RecordedClient &r) { r.C().SetMaxReleasables(3); },
       [](RecordedClient &r, ScriptedBroker &) {
         Script s = Online(r);
         for (std::uint16_t id = 1; id <= 4; ++id) s.push_back(SendStep(Publish(0x34, "u", id, "p")));
         return s + Script{ExpectStep(Ack(0x50, 1)), ExpectStep(Ack(0x50, 2)), ExpectStep(Ack(0x50, 3)),
                           ExpectClosedStep(), UntilStep([&r] { return !r.Offlines.empty(); }, "offline")};
       },
       [](RecordedClient &r, ScriptedBroker &) {
         EXPECT_EQ(r.C().Releasables->Count(), 3);
         EXPECT_TRUE(r.Has("Received QoS 2 messages awaiting release reached 3 messages, 6 bytes (bounds 3 messages, " +
                           std::to_string(TMQTTClient::DefaultMaxReleasableBytes) + " bytes); closing the connection."))
             << r.Transcript();
         EXPECT_TRUE(r.C().Enabled()) << "the client reconnects as after any close";
       }},

      {"UnreleasedQos2MessagesAreBoundedInBytes", [](RecordedClient &r) { r.C().SetMaxReleasableBytes(100); },
       [](RecordedClient &r, ScriptedBroker &) {
         // 2 + 58 bytes each: the second would pass 100.
         return Online(r) + Script{SendStep(Publish(0x34, "u1", 1, std::string(58, 'p'))),
                                   SendStep(Publish(0x34, "u2", 2, std::string(58, 'p'))), ExpectStep(Ack(0x50, 1)),
                                   ExpectClosedStep(), UntilStep([&r] { return !r.Offlines.empty(); }, "offline")};
       },
       [](RecordedClient &r, ScriptedBroker &) {
         EXPECT_EQ(r.C().Releasables->Count(), 1);
         EXPECT_TRUE(r.Has("Received QoS 2 messages awaiting release reached 1 messages, 60 bytes (bounds " +
                           std::to_string(TMQTTClient::DefaultMaxReleasables) +
                           " messages, 100 bytes); closing the connection."))
             << r.Transcript();
       }},

      {"BrokerConnectAndCredentialsAndWill",
       [](RecordedClient &r) {
         r.C().SetBroker(true);
         r.C().SetUsername("u");
         r.C().SetPassword("pw");
         r.C().SetWill("w/t", "0", qtAT_MOST_ONCE, true);
         r.C().SetKeepAlive(30);
       },
       [](RecordedClient &, ScriptedBroker &) {
         std::string connect = Connect("tc", 30, 0x80 | 0x40 | 0x20 | 0x04, Str("w/t") + Str("0") + Str("u") + Str("pw"));
         connect[0] = '\x02';
         return Script{AcceptStep(), ExpectStep(connect, "broker connect with will and credentials")};
       },
       nullptr},

      {"ClientIDHandlerReplacesTheIdentifier",
       [](RecordedClient &r) {
         r.C().OnClientID = [](TMQTTClient *, std::string &id) { id = "replaced-" + id; };
       },
       [](RecordedClient &, ScriptedBroker &) {
         return Script{AcceptStep(), ExpectStep(Connect("replaced-tc"), "CONNECT")};
       },
       [](RecordedClient &r, ScriptedBroker &) { EXPECT_EQ(r.C().ClientID(), "replaced-tc"); }},
  };
  return list;
}

void PrintTo(const Scenario &s, std::ostream *os) { *os << s.name; }

class ClientScenario : public testing::TestWithParam<Scenario> {};

TEST_P(ClientScenario, Runs) {
  const Scenario &s = GetParam();
  ScriptedBroker broker;
  RecordedClient r;
  r.C().SetHost("127.0.0.1");
  r.C().SetPort(broker.Port());
  r.C().SetClientID("tc");
  r.C().SetKeepAlive(0);
  if (s.setup) s.setup(r);
  const Script script = s.script(r, broker);
  r.C().Activate(true);
  const std::string failure = broker.Run(script);
  ASSERT_EQ(failure, "") << "monitor lines:" << r.Transcript();
  if (s.check) s.check(r, broker);
}

INSTANTIATE_TEST_SUITE_P(Scripted, ClientScenario, testing::ValuesIn(Scenarios()),
                         [](const testing::TestParamInfo<Scenario> &info) { return std::string(info.param.name); });

} // namespace
