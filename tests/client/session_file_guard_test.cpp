// The session file is never lost and never trusted blindly: a file that is
// damaged, of another session, or not a regular file loads nothing and stays
// byte for byte as it was; a second holder is locked out; what is written is
// private; a long client identifier still gets a usable name.

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "SessionFile.h"
#include "TestBroker.h"

namespace fs = std::filesystem;

namespace {

const TSessionKey Key{"127.0.0.1", 1883, "dev1"};

std::string Field(const std::string &name, const std::string &value) {
  return name + " " + std::to_string(value.size()) + " " + value + "\n";
}
std::string Header(const TSessionKey &k = Key) {
  return "vyr-mqtt session 1\n" + Field("host", k.Host) + Field("port", std::to_string(k.Port)) +
         Field("client", k.ClientID);
}
std::string Record(unsigned id, const std::string &bytes, const char *state = "publishing") {
  return Field("packet", std::to_string(id) + " " + state) + Field("bytes", bytes);
}
const std::string Qos1 = std::string("\x32\x06\x00\x01t\x00\x05x", 8); // QoS 1 PUBLISH id 5 on "t"


TEST(SessionFileGuard, DamagedOrForeignFilesAreLeftByteForByte) {
  struct Case {
    const char *Name;
    std::string Content;
    TSessionLoad Expected;
    const char *Why; // in the error
  };
  const Case cases[] = {
      {"valid_control", Header() + Record(5, Qos1) + "end\n", TSessionLoad::Loaded, ""},
      {"other_host", Header({"localhost", 1883, "dev1"}) + Record(5, Qos1) + "end\n", TSessionLoad::Mismatch,
       "saved for dev1 at localhost:1883, not dev1 at 127.0.0.1:1883"},
      {"other_port", Header({"127.0.0.1", 1884, "dev1"}) + "end\n", TSessionLoad::Mismatch, "saved for"},
      {"truncated", (Header() + Record(5, Qos1)).substr(0, 60), TSessionLoad::Damaged, "not a complete"},
      {"random_bytes", std::string("\x8f\x01\xfe random \0 bytes", 19), TSessionLoad::Damaged, "not a complete"},
      {"wrong_version", "vyr-mqtt session 9\n" + Header().substr(19) + "end\n", TSessionLoad::Damaged,
       "not a complete"},
      {"huge_length_field", "vyr-mqtt session 1\nhost 99999999999 x\n", TSessionLoad::Damaged, "not a complete"},
      {"bytes_after_end", Header() + Record(5, Qos1) + "end\nmore", TSessionLoad::Damaged, "not a complete"},
      {"stored_qos3", Header() + Record(5, std::string("\x36\x06\x00\x01t\x00\x05x", 8)) + "end\n",
       TSessionLoad::Damaged, "packet 5 is protocol violation: PUBLISH with QoS 3"},
      {"stored_connect", Header() + Record(5, std::string("\x10\x0c\x00\x06MQIsdp\x03\x02\x00\x3c", 14)) + "end\n",
       TSessionLoad::Damaged, "packet 5 is not one whole PUBLISH packet"},
      {"stored_qos0", Header() + Record(5, std::string("\x30\x04\x00\x01tx", 6)) + "end\n", TSessionLoad::Damaged,
       "without QoS 1 or 2"},
      {"stored_other_identifier", Header() + Record(6, Qos1) + "end\n", TSessionLoad::Damaged,
       "identifier 5 under 6"},
      {"stored_two_packets", Header() + Record(5, Qos1 + Qos1) + "end\n", TSessionLoad::Damaged, "not one whole"},
      {"stored_wildcard_topic", Header() + Record(5, std::string("\x32\x06\x00\x01#\x00\x05x", 8)) + "end\n",
       TSessionLoad::Damaged, "wildcard"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string path = MakeTempDir("vyr-guard") + "/dev1.session";
    WriteFileBytes(path, c.Content);
    TMQTTPacketStore store;
    std::string error;
    TSessionLoad kind{};
    EXPECT_EQ(LoadSessionFile(path, Key, store, 60, error, &kind), c.Expected == TSessionLoad::Loaded);
    EXPECT_EQ(kind, c.Expected) << error;
    EXPECT_NE(error.find(c.Why), std::string::npos) << error;
    EXPECT_EQ(store.Count(), c.Expected == TSessionLoad::Loaded ? 1 : 0);
    EXPECT_EQ(ReadFileBytes(path), c.Content) << "left as it is";
  }
}

// Only a regular file is read: a folder, a FIFO (which would block), a device
// (which never ends) or a symbolic link at the path is refused at once.
TEST(SessionFileGuard, OnlyRegularFilesAreRead) {
  const std::string dir = MakeTempDir("vyr-guard");
  const std::string target = dir + "/real.session";
  WriteFileBytes(target, Header() + Record(5, Qos1) + "end\n");
  ASSERT_EQ(::mkdir((dir + "/folder").c_str(), 0700), 0);
  ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
  fs::create_symlink(target, dir + "/link");
  for (const std::string path : {dir + "/folder", dir + "/fifo", dir + "/link", std::string("/dev/zero")}) {
    SCOPED_TRACE(path);
    TMQTTPacketStore store;
    std::string error;
    TSessionLoad kind{};
    EXPECT_FALSE(LoadSessionFile(path, Key, store, 60, error, &kind));
    EXPECT_EQ(kind, TSessionLoad::Unusable);
    EXPECT_NE(error.find("left as it is"), std::string::npos) << error;
    // Saving an empty store must not remove what is there either.
    EXPECT_FALSE(SaveSessionFile(path, Key, TMQTTPacketStore(), error));
    EXPECT_TRUE(fs::exists(fs::symlink_status(path)));
  }
  EXPECT_TRUE(fs::is_directory(dir + "/folder"));
}

// While it lives, this thread is held to the file modes like any user: root's
// powers to read and search past them are off. Capabilities belong to a
// thread, so the rest of the test process keeps them.
class TModesHold {
public:
  TModesHold() {
    if (::syscall(SYS_capget, &FHeader, FSaved) != 0) return;
    __user_cap_data_struct reduced[2] = {FSaved[0], FSaved[1]};
    for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
      reduced[CAP_TO_INDEX(cap)].effective &= ~CAP_TO_MASK(cap);
    FHeld = ::syscall(SYS_capset, &FHeader, reduced) == 0;
  }
  ~TModesHold() {
    if (FHeld) ::syscall(SYS_capset, &FHeader, FSaved);
  }
  bool Held() const { return FHeld; }

private:
  __user_cap_header_struct FHeader{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct FSaved[2]{};
  bool FHeld = false;
};

TEST(SessionFileGuard, UnreadableFileSaysWhy) {
  const TModesHold modes;
  ASSERT_TRUE(modes.Held()) << std::strerror(errno);
  const std::string path = MakeTempDir("vyr-guard") + "/dev1.session";
  WriteFileBytes(path, Header() + Record(5, Qos1) + "end\n");
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  TMQTTPacketStore store;
  std::string error;
  TSessionLoad kind{};
  EXPECT_FALSE(LoadSessionFile(path, Key, store, 60, error, &kind));
  EXPECT_EQ(kind, TSessionLoad::Unusable);
  EXPECT_NE(error.find("Permission denied"), std::string::npos) << error;
}

// The run holds its file: a second one is refused while the first lives,
// files are 0600 in folders made 0700, and the file goes only with the last
// exchange.
TEST(SessionFileGuard, LockPrivacyAndRemoval) {
  const std::string dir = MakeTempDir("vyr-guard") + "/made/here";
  const std::string path = dir + "/dev1.session";
  TMQTTPacketStore store;
  std::string error, note;
  auto first = std::make_unique<TSessionFile>();
  ASSERT_EQ(first->Open(path, Key, store, 60, false, error, note), TSessionLoad::Loaded) << error;
  {
    TSessionFile second;
    TMQTTPacketStore other;
    EXPECT_EQ(second.Open(path, Key, other, 60, false, error, note), TSessionLoad::Unusable);
    EXPECT_NE(error.find("in use by another process"), std::string::npos) << error;
    EXPECT_FALSE(second.IsOpen());
  }
  TByteStream bytes(Qos1);
  store.AddPacket(5, bytes, 0, 60);
  ASSERT_TRUE(first->Save(store, error)) << error;
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(fs::path(dir).parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_FALSE(fs::exists(path + ".new"));

  // Released: the next holder gets it, with what was saved.
  first.reset();
  TSessionFile third;
  TMQTTPacketStore loaded;
  ASSERT_EQ(third.Open(path, Key, loaded, 60, false, error, note), TSessionLoad::Loaded) << error;
  EXPECT_EQ(loaded.Count(), 1);
  EXPECT_TRUE(fs::exists(path)) << "kept while an exchange is unfinished";
  ASSERT_TRUE(third.Save(TMQTTPacketStore(), error)) << error;
  EXPECT_FALSE(fs::exists(path)) << "removed with the last exchange";
}

TEST(SessionFileGuard, MoveAsideKeepsTheFileUnderANewName) {
  const std::string path = MakeTempDir("vyr-guard") + "/dev1.session";
  const std::string foreign = Header({"10.0.0.9", 1883, "dev1"}) + Record(5, Qos1) + "end\n";
  for (int n = 1; n <= 2; ++n) {
    SCOPED_TRACE(n);
    WriteFileBytes(path, foreign);
    TSessionFile file;
    TMQTTPacketStore store;
    std::string error, note;
    ASSERT_EQ(file.Open(path, Key, store, 60, true, error, note), TSessionLoad::Loaded) << error;
    const std::string aside = path + ".unused-" + std::to_string(n);
    EXPECT_NE(note.find("moved to " + aside), std::string::npos) << note;
    EXPECT_EQ(ReadFileBytes(aside), foreign);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(store.Count(), 0);
  }
}

TEST(SessionFileGuard, LongClientIdGetsABoundedDistinctName) {
  const std::string state = MakeTempDir("vyr-guard");
  ::setenv("XDG_STATE_HOME", state.c_str(), 1);
  const std::string a = std::string(240, 'a') + "/1", b = std::string(240, 'a') + "/2";
  const std::string pathA = DefaultSessionFile(a), pathB = DefaultSessionFile(b);
  ::unsetenv("XDG_STATE_HOME");
  EXPECT_NE(pathA, pathB);
  EXPECT_LE(fs::path(pathA).filename().string().size(), 200u);
  TMQTTPacketStore store;
  TByteStream bytes(Qos1);
  store.AddPacket(5, bytes, 0, 60);
  std::string error;
  ASSERT_TRUE(SaveSessionFile(pathA, {"h", 1, a}, store, error)) << error;
  TMQTTPacketStore loaded;
  EXPECT_TRUE(LoadSessionFile(pathA, {"h", 1, a}, loaded, 60, error)) << error;
  EXPECT_EQ(loaded.Count(), 1);
}

} // namespace
