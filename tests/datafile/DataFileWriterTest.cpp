// TDataFileWriter against the real file system: lines land whole and in
// order, failures keep them waiting with the system's reason, and a later
// retry writes them.
#include "DataFileWriter.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path &aPath) {
  std::ifstream in(aPath, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

class DataFileWriterTest : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/vyr-datafile-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    Dir = pattern;
  }
  void TearDown() override { fs::remove_all(Dir); }
  std::string Path(const std::string &aName) const { return (Dir / aName).string(); }

  fs::path Dir;
};

TEST_F(DataFileWriterTest, lines_are_appended_in_order_behind_what_the_file_held) {
  { std::ofstream(Path("a.csv"), std::ios::binary) << "earlier\r\n"; }
  TDataFileWriter writer(8);
  EXPECT_TRUE(writer.Append(Path("a.csv"), "1\r\n"));
  EXPECT_TRUE(writer.Append(Path("b.csv"), "x\r\n"));
  EXPECT_TRUE(writer.Append(Path("a.csv"), "2\r\n"));
  // Written through to the system at once: another reader sees it now.
  EXPECT_EQ(ReadAll(Path("a.csv")), "earlier\r\n1\r\n2\r\n");
  EXPECT_EQ(ReadAll(Path("b.csv")), "x\r\n");
  EXPECT_EQ(writer.Waiting(), 0u);
  EXPECT_EQ(writer.OpenFiles(), 2u);
}

TEST_F(DataFileWriterTest, least_recently_used_files_are_closed_beyond_the_bound) {
  TDataFileWriter writer(3);
  std::string expected[7];
  for (int round = 0; round < 4; ++round)
    for (int topic = 0; topic < 7; ++topic) {
      const std::string line = std::to_string(round) + "\r\n";
      EXPECT_TRUE(writer.Append(Path(std::to_string(topic) + ".csv"), line));
      expected[topic] += line;
      EXPECT_LE(writer.OpenFiles(), 3u);
    }
  for (int topic = 0; topic < 7; ++topic) EXPECT_EQ(ReadAll(Path(std::to_string(topic) + ".csv")), expected[topic]);
}

TEST_F(DataFileWriterTest, failures_name_the_file_and_the_system_reason) {
  fs::create_directory(Dir / "folder.csv");
  struct Case {
    std::string File;
    std::string Problem;
  };
  const Case cases[] = {
      {Path("missing/t.csv"), "Cannot open the data file \"" + Path("missing/t.csv") + "\": No such file or directory"},
      {Path("folder.csv"), "Cannot open the data file \"" + Path("folder.csv") + "\": Is a directory"},
      {"/dev/full", "Cannot write the data file \"/dev/full\": No space left on device"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.File);
    TDataFileWriter writer(4);
    EXPECT_FALSE(writer.Append(c.File, "v\r\n"));
    EXPECT_EQ(writer.Problem(), c.Problem);
    EXPECT_EQ(writer.Waiting(), 1u);
    EXPECT_FALSE(writer.Retry());
    EXPECT_EQ(writer.Waiting(), 1u);
  }
}

TEST_F(DataFileWriterTest, waiting_lines_go_out_in_order_once_the_cause_is_gone) {
  TDataFileWriter writer(4);
  const std::string blocked = Path("later/t.csv");
  EXPECT_FALSE(writer.Append(blocked, "1\r\n"));
  // Other files are not held up by one that fails.
  EXPECT_TRUE(writer.Append(Path("other.csv"), "o\r\n"));
  // A line behind a waiting one waits too, even though it could be written now.
  EXPECT_FALSE(writer.Append(blocked, "2\r\n"));
  EXPECT_EQ(writer.Waiting(), 2u);
  EXPECT_EQ(ReadAll(Path("other.csv")), "o\r\n");

  fs::create_directory(Dir / "later");
  EXPECT_FALSE(writer.Append(blocked, "3\r\n"));
  EXPECT_FALSE(fs::exists(blocked)) << "nothing overtakes the waiting lines";
  EXPECT_TRUE(writer.Retry());
  EXPECT_EQ(ReadAll(blocked), "1\r\n2\r\n3\r\n");
  EXPECT_EQ(writer.Waiting(), 0u);
  EXPECT_EQ(writer.Problem(), "");
  EXPECT_TRUE(writer.Append(blocked, "4\r\n"));
  EXPECT_EQ(ReadAll(blocked), "1\r\n2\r\n3\r\n4\r\n");
}

TEST_F(DataFileWriterTest, a_removed_folder_is_made_again_when_asked) {
  TDataFileWriter writer(4);
  writer.CreateFolders = true;
  const std::string file = Path("a/b/t.csv");
  EXPECT_TRUE(writer.Append(file, "1\r\n"));
  fs::remove_all(Dir / "a");
  // The open file was deleted with its folder; writing to it would lose the line.
  EXPECT_TRUE(writer.Append(file, "2\r\n"));
  EXPECT_EQ(ReadAll(file), "2\r\n");
}

TEST_F(DataFileWriterTest, a_file_deleted_while_open_is_created_again) {
  TDataFileWriter writer(4);
  EXPECT_TRUE(writer.Append(Path("t.csv"), "1\r\n"));
  fs::remove(Path("t.csv"));
  EXPECT_TRUE(writer.Append(Path("t.csv"), "2\r\n"));
  EXPECT_EQ(ReadAll(Path("t.csv")), "2\r\n");
}

// In a forked child: lets the process write files up to aBytes only, and
// appends aLine with aWriter, which must fail part-way ("File too large");
// exits 10 when it was written whole, 11 for another reason. aLimit is the
// limit to put back before the retry.
void TornAppend(TDataFileWriter &aWriter, const std::string &aFile, const std::string &aLine, rlim_t aBytes,
                rlimit &aLimit) {
  std::signal(SIGXFSZ, SIG_IGN);
  ::getrlimit(RLIMIT_FSIZE, &aLimit);
  rlimit small = aLimit;
  small.rlim_cur = aBytes;
  ::setrlimit(RLIMIT_FSIZE, &small);
  if (aWriter.Append(aFile, aLine)) ::_exit(10);
  if (aWriter.Problem() != "Cannot write the data file \"" + aFile + "\": File too large") ::_exit(11);
}

// A write that stops part-way (here at the file size limit of the process)
// must not leave a cut-off line that the next line would run into. The limit
// is the process's, so the writing happens in a child.
TEST_F(DataFileWriterTest, a_partial_write_is_cut_back) {
  const std::string file = Path("t.csv");
  { std::ofstream(file, std::ios::binary) << "old\r\n"; }
  const std::string line = "2024-05-07T14:03:09.045Z;123456789\r\n";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    TDataFileWriter writer(4);
    rlimit limit{};
    TornAppend(writer, file, line, 5 + 10, limit); // room for ten bytes of the line
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || st.st_size != 5) ::_exit(12);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::_exit(writer.Retry() ? 0 : 13);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10: written past the limit, 11: wrong reason, 12: torn line left, "
                                       "13: retry failed";
  EXPECT_EQ(ReadAll(file), "old\r\n" + line);
}

// True once the process aPid waits for an flock (a "->" line of /proc/locks).
bool WaitsForFlock(pid_t aPid) {
  std::ifstream locks("/proc/locks");
  const std::string pid = " " + std::to_string(aPid) + " ";
  for (std::string line; std::getline(locks, line);)
    if (line.find("-> FLOCK") != std::string::npos && line.find(pid) != std::string::npos) return true;
  return false;
}

// Loggers sharing a folder append to one file. A writer whose line is torn
// (the size limit again) cuts it back without touching the line another
// writer was adding meanwhile: it writes only once the other has let go of
// the file's lock, and its cut starts after the other's line.
TEST_F(DataFileWriterTest, a_torn_line_is_cut_without_touching_another_writers_line) {
  const std::string file = Path("shared.csv");
  { std::ofstream(file, std::ios::binary) << "old\r\n"; }
  const std::string theirs = "2024-05-07T14:03:09.044Z;from the other logger\r\n";
  const std::string line = "2024-05-07T14:03:09.045Z;123456789\r\n";
  // The other logger, in the middle of its line.
  const int other = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    TDataFileWriter writer(4);
    rlimit limit{};
    TornAppend(writer, file, line, 5 + theirs.size() + 10, limit); // room for ten bytes after theirs
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::_exit(writer.Retry() ? 0 : 13);
  }
  int status = 0;
  bool waited = false, ended = false;
  for (int n = 0; n < 2000 && !waited && !ended; ++n) {
    ended = ::waitpid(child, &status, WNOHANG) == child;
    waited = !ended && WaitsForFlock(child);
    if (!waited) ::usleep(10000);
  }
  EXPECT_TRUE(waited) << "the writer did not wait for the file's lock";
  EXPECT_EQ(ReadAll(file), "old\r\n") << "nothing written while another writer holds the lock";
  ASSERT_EQ(::write(other, theirs.data(), theirs.size()), ssize_t(theirs.size()));
  ::flock(other, LOCK_UN);
  ::close(other);
  if (!ended) ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10: written past the limit, 11: wrong reason, 13: retry failed";
  EXPECT_EQ(ReadAll(file), "old\r\n" + theirs + line);
}

// A real full file system (a small tmpfs; needs the right to mount): no line
// is torn, and once space is freed every waiting line follows in order.
TEST_F(DataFileWriterTest, full_disk_keeps_lines_whole_and_resumes) {
  const fs::path mountPoint = Dir / "small";
  fs::create_directory(mountPoint);
  if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  struct Unmount {
    fs::path Point;
    ~Unmount() { ::umount2(Point.c_str(), MNT_DETACH); }
  } unmount{mountPoint};
  { std::ofstream((mountPoint / "filler").string(), std::ios::binary) << std::string(40 * 1024, 'f'); }

  TDataFileWriter writer(4);
  const std::string file = (mountPoint / "t.csv").string();
  std::string expected;
  int accepted = 0;
  // Long lines, so that the last one to go in is cut by the full disk.
  for (int i = 100; i < 140; ++i) {
    const std::string line = std::to_string(i) + ";" + std::string(999, 'v') + "\r\n";
    expected += line;
    if (writer.Append(file, line)) ++accepted;
  }
  ASSERT_GT(writer.Waiting(), 0u);
  EXPECT_EQ(writer.Problem(), "Cannot write the data file \"" + file + "\": No space left on device");
  const std::string partial = ReadAll(file);
  EXPECT_TRUE(partial == expected.substr(0, partial.size())) << "only whole lines, in order";
  EXPECT_EQ(partial.size() % 1005, 0u);
  EXPECT_EQ(int(partial.size() / 1005), accepted);

  fs::remove(mountPoint / "filler");
  EXPECT_TRUE(writer.Retry());
  EXPECT_TRUE(ReadAll(file) == expected) << "every line, in order";
}

} // namespace

namespace {

// A link planted where a data file belongs is never written through: the line
// waits with a reason that says so, and goes to a real file once the link is gone.
TEST_F(DataFileWriterTest, a_symbolic_link_in_place_of_a_file_is_not_followed) {
  { std::ofstream(Path("victim.conf"), std::ios::binary) << "setting=1\n"; }
  fs::create_symlink(Path("victim.conf"), Path("evil.csv"));
  TDataFileWriter writer(8);
  EXPECT_FALSE(writer.Append(Path("evil.csv"), "forged\r\n"));
  EXPECT_NE(writer.Problem().find("a symbolic link is in its place"), std::string::npos) << writer.Problem();
  EXPECT_FALSE(writer.Retry());
  EXPECT_EQ(ReadAll(Path("victim.conf")), "setting=1\n");
  fs::remove(Path("evil.csv"));
  EXPECT_TRUE(writer.Retry());
  EXPECT_EQ(ReadAll(Path("evil.csv")), "forged\r\n");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Path("evil.csv"))));
}

// After a rotation (the file renamed, a new one created in its place) Reopen
// sends the next lines to the new file; lines waiting meanwhile are kept.
TEST_F(DataFileWriterTest, reopen_follows_a_rotated_file_and_keeps_waiting_lines) {
  TDataFileWriter writer(8);
  ASSERT_TRUE(writer.Append(Path("a.csv"), "1\r\n"));
  ASSERT_TRUE(writer.Append(Path("b.csv"), "x\r\n"));
  fs::rename(Path("a.csv"), Path("a.csv.1"));
  { std::ofstream(Path("a.csv"), std::ios::binary); }
  // After b's rotation a folder stands in its place: its next line waits.
  fs::rename(Path("b.csv"), Path("b.csv.1"));
  fs::create_directory(Path("b.csv"));
  writer.Reopen();
  EXPECT_EQ(writer.OpenFiles(), 0u);
  EXPECT_FALSE(writer.Append(Path("b.csv"), "y\r\n"));
  EXPECT_TRUE(writer.Append(Path("a.csv"), "2\r\n"));
  writer.Reopen();
  EXPECT_EQ(writer.Waiting(), 1u);
  EXPECT_EQ(ReadAll(Path("a.csv.1")), "1\r\n");
  EXPECT_EQ(ReadAll(Path("a.csv")), "2\r\n");
  fs::remove(Path("b.csv"));
  EXPECT_TRUE(writer.Retry());
  EXPECT_EQ(ReadAll(Path("b.csv")), "y\r\n");
  EXPECT_EQ(ReadAll(Path("b.csv.1")), "x\r\n");
}

} // namespace
