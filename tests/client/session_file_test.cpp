// The session file: what is saved comes back whole, only for the same broker
// and client identifier, and a damaged file is left alone.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "SessionFile.h"
#include "TestBroker.h"

namespace {

const TSessionKey Key{"127.0.0.1", 1883, "pub/one"};

TMQTTPacketStore TwoPackets() {
  TMQTTPacketStore store;
  TByteStream publish, released;
  publish.Write(std::string("\x34\x07\x00\x01t\x00\x05\x00\n", 9)); // QoS 2, a NUL and a newline in it
  released.Write(std::string("\x32\x06\x00\x01u\x00\x06z", 8));
  store.AddPacket(5, publish, 0, 60);
  store.AddPacket(6, released, 0, 60)->Publishing = false;
  return store;
}

TEST(SessionFile, SavedPacketsComeBackOnceForTheSameSession) {
  const std::string path = MakeTempDir("vyr-session") + "/s/pub.session";
  std::string error;
  ASSERT_TRUE(SaveSessionFile(path, Key, TwoPackets(), error)) << error;
  TMQTTPacketStore loaded;
  ASSERT_TRUE(LoadSessionFile(path, Key, loaded, 60, error)) << error;
  ASSERT_EQ(loaded.Count(), 2);
  const TMQTTPacketStore saved = TwoPackets();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(loaded.GetItem(i)->ID, saved.GetItem(i)->ID);
    EXPECT_EQ(loaded.GetItem(i)->Publishing, saved.GetItem(i)->Publishing);
    EXPECT_EQ(loaded.GetItem(i)->Msg.View(), saved.GetItem(i)->Msg.View());
    EXPECT_EQ(loaded.GetItem(i)->Counter, 60u);
  }
  EXPECT_TRUE(std::filesystem::exists(path)) << "kept until its exchanges are finished";
  // Nothing in flight: no file.
  ASSERT_TRUE(SaveSessionFile(path, Key, TMQTTPacketStore(), error)) << error;
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(SessionFile, OtherSessionsAndDamagedFilesLoadNothing) {
  struct Case {
    const char *Name;
    TSessionKey LoadKey;
    std::size_t Cut; // bytes cut off the end of the saved file
  };
  const Case cases[] = {
      {"other_client_id", {"127.0.0.1", 1883, "pub/two"}, 0},
      {"other_port", {"127.0.0.1", 1884, "pub/one"}, 0},
      {"other_host", {"localhost", 1883, "pub/one"}, 0},
      {"cut_short", Key, 10},
      {"end_missing", Key, 4},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string path = MakeTempDir("vyr-session") + "/pub.session";
    std::string error;
    ASSERT_TRUE(SaveSessionFile(path, Key, TwoPackets(), error)) << error;
    if (c.Cut) std::filesystem::resize_file(path, std::filesystem::file_size(path) - c.Cut);
    TMQTTPacketStore loaded;
    EXPECT_FALSE(LoadSessionFile(path, c.LoadKey, loaded, 60, error));
    EXPECT_NE(error, "");
    EXPECT_EQ(loaded.Count(), 0);
    EXPECT_TRUE(std::filesystem::exists(path)) << "left as it is";
  }
}

// At MQTT 5 the packets carry properties: they come back at that level only,
// checked as level-5 packets, and a file of one level is refused by the other.
TEST(SessionFile, Level5PacketsComeBackWithTheirPropertiesAtThatLevelOnly) {
  TSessionKey key5 = Key;
  key5.Level = plMQTT5;
  TSessionKey key31 = Key;
  key31.Level = plMQTT31;
  // QoS 1 PUBLISH 7 to "t": content type "c", user property a=b, payload "x"
  const std::string withProperties("\x32\x12\x00\x01t\x00\x07\x0B\x03\x00\x01" "c\x26\x00\x01" "a\x00\x01" "bx", 20);
  // the same with a receive maximum, which a PUBLISH may not carry
  const std::string misplaced("\x32\x09\x00\x01t\x00\x07\x03\x21\x00\x05", 11);
  struct Case {
    const char *Name;
    std::string Packet;
    TSessionKey SaveKey, LoadKey;
    bool Loads;
    const char *Error; // part of the reason when refused
  };
  const Case cases[] = {
      {"level5_round_trip", withProperties, key5, key5, true, ""},
      {"level5_file_at_311", withProperties, key5, Key, false, "saved at MQTT 5, not at MQTT 3.1.1"},
      {"level5_file_at_31", withProperties, key5, key31, false, "saved at MQTT 5, not at MQTT 3.1"},
      {"311_file_at_level5", std::string("\x32\x06\x00\x01u\x00\x07z", 8), Key, key5, false,
       "saved at MQTT 3.1 or 3.1.1, not at MQTT 5"},
      {"property_a_publish_may_not_carry", misplaced, key5, key5, false, "Receive Maximum (0x21) is not allowed"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string path = MakeTempDir("vyr-session") + "/pub.session";
    TMQTTPacketStore store;
    TByteStream bytes;
    bytes.Write(c.Packet);
    store.AddPacket(7, bytes, 0, 60);
    std::string error;
    ASSERT_TRUE(SaveSessionFile(path, c.SaveKey, store, error)) << error;
    TMQTTPacketStore loaded;
    EXPECT_EQ(LoadSessionFile(path, c.LoadKey, loaded, 60, error), c.Loads) << error;
    if (c.Loads) {
      ASSERT_EQ(loaded.Count(), 1);
      EXPECT_EQ(loaded.GetItem(0)->Msg.View(), c.Packet);
    } else {
      EXPECT_NE(error.find(c.Error), std::string::npos) << error;
      EXPECT_EQ(loaded.Count(), 0);
    }
  }
}

TEST(SessionFile, DefaultPlaceIsTheStateFolderWithTheIdentifierEscaped) {
  ::setenv("XDG_STATE_HOME", "/tmp/state-home", 1);
  EXPECT_EQ(DefaultSessionFile("a/b c.d-e_f"), "/tmp/state-home/vyr-mqtt/sessions/a%2Fb%20c.d-e_f.session");
  ::unsetenv("XDG_STATE_HOME");
  ::setenv("HOME", "/tmp/home-dir", 1);
  EXPECT_EQ(DefaultSessionFile("x"), "/tmp/home-dir/.local/state/vyr-mqtt/sessions/x.session");
}

} // namespace
