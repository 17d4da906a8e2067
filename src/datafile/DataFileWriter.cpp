#include "DataFileWriter.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {
std::string Reason(int aErr) {
  return aErr == ELOOP ? "a symbolic link is in its place, and links are not followed" : std::strerror(aErr);
}

// flock's exclusive lock on an open file for as long as it lives. Without
// locks (a file system that has none) the line is written all the same.
class TFileLock {
public:
  explicit TFileLock(int aFd) : FFd(aFd) {
    while (::flock(FFd, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~TFileLock() { ::flock(FFd, LOCK_UN); }
  TFileLock(const TFileLock &) = delete;
  TFileLock &operator=(const TFileLock &) = delete;

private:
  int FFd;
};

int MakeFolders(const std::string &aFolder) {
  if (aFolder.empty() || ::mkdir(aFolder.c_str(), 0777) == 0 || errno == EEXIST) return 0;
  if (errno != ENOENT) return errno;
  const std::size_t slash = aFolder.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return ENOENT;
  if (int err = MakeFolders(aFolder.substr(0, slash))) return err;
  return ::mkdir(aFolder.c_str(), 0777) == 0 || errno == EEXIST ? 0 : errno;
}
} // namespace

TDataFileWriter::TDataFileWriter(std::size_t aMaxOpenFiles) : FMaxOpenFiles(std::max<std::size_t>(aMaxOpenFiles, 1)) {}

TDataFileWriter::~TDataFileWriter() {
  for (auto &[path, file] : FFiles) Close(file);
}

bool TDataFileWriter::Append(const std::string &aPath, std::string aLine) {
  TFile &file = FFiles[aPath];
  if (!file.Lines.empty()) {
    // Behind the lines that wait already; they go first or not at all.
    file.Bytes += aLine.size();
    file.Lines.push_back(std::move(aLine));
    ++FWaiting;
    return false;
  }
  const char *what = nullptr;
  if (const int err = WriteLine(aPath, file, aLine, what)) {
    FProblem = std::string("Cannot ") + what + " the data file \"" + aPath + "\": " + Reason(err);
    file.Bytes += aLine.size();
    file.Lines.push_back(std::move(aLine));
    ++FWaiting;
    FWaitingFiles.push_back(aPath);
    return false;
  }
  return true;
}

std::pair<std::size_t, std::size_t> TDataFileWriter::WaitingIn(const std::string &aPath) const {
  const auto it = FFiles.find(aPath);
  return it == FFiles.end() ? std::pair<std::size_t, std::size_t>{0, 0}
                            : std::pair<std::size_t, std::size_t>{it->second.Lines.size(), it->second.Bytes};
}

bool TDataFileWriter::Retry() {
  for (auto it = FWaitingFiles.begin(); it != FWaitingFiles.end();) {
    const std::string path = *it;
    if (WriteWaiting(path, FFiles[path]))
      it = FWaitingFiles.erase(it);
    else
      ++it;
  }
  if (FWaiting == 0) FProblem.clear();
  return FWaiting == 0;
}

bool TDataFileWriter::WriteWaiting(const std::string &aPath, TFile &aFile) {
  while (!aFile.Lines.empty()) {
    const char *what = nullptr;
    if (const int err = WriteLine(aPath, aFile, aFile.Lines.front(), what)) {
      FProblem = std::string("Cannot ") + what + " the data file \"" + aPath + "\": " + Reason(err);
      return false;
    }
    aFile.Bytes -= aFile.Lines.front().size();
    aFile.Lines.pop_front();
    --FWaiting;
  }
  return true;
}

int TDataFileWriter::WriteLine(const std::string &aPath, TFile &aFile, const std::string &aLine, const char *&aWhat) {
  aWhat = "open";
  struct stat st {};
  // A file deleted while open would swallow every later line unseen.
  if (aFile.Fd >= 0 && (::fstat(aFile.Fd, &st) != 0 || st.st_nlink == 0)) Close(aFile);
  if (aFile.Fd < 0)
    if (const int err = Open(aPath, aFile)) return err;
  Touch(aFile);

  aWhat = "write";
  // Loggers that share a folder append to the same files: a line is written,
  // and a torn one cut back, only under the file's lock, so that the cut
  // never reaches a line another writer added.
  const TFileLock lock(aFile.Fd);
  if (aFile.CutTo >= 0) {
    // Only while nothing came after the torn line: cutting later lines would lose them.
    if (::fstat(aFile.Fd, &st) != 0) return errno;
    if (st.st_size == aFile.CutEnd && ::ftruncate(aFile.Fd, aFile.CutTo) != 0) return errno;
    aFile.CutTo = aFile.CutEnd = -1;
  }
  std::size_t done = 0;
  while (done < aLine.size()) {
    const ssize_t n = ::write(aFile.Fd, aLine.data() + done, aLine.size() - done);
    if (n >= 0) {
      done += std::size_t(n);
      continue;
    }
    if (errno == EINTR) continue;
    const int err = errno;
    // No torn record: the next line must start on a line of its own, and the
    // whole of this one is written again later. Appending left the offset at
    // the end of what was written, and under the lock nothing came after it.
    if (done > 0) {
      const off_t end = ::lseek(aFile.Fd, 0, SEEK_CUR);
      if (end >= off_t(done) && ::ftruncate(aFile.Fd, end - off_t(done)) != 0) {
        aFile.CutTo = end - off_t(done);
        aFile.CutEnd = end;
      }
    }
    return err;
  }
  return 0;
}

int TDataFileWriter::Open(const std::string &aPath, TFile &aFile) {
  // A link planted in the folder must not make us append to a file elsewhere.
  const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
  int fd = ::open(aPath.c_str(), flags, 0666);
  if (fd < 0 && errno == ENOENT && CreateFolders) {
    const std::size_t slash = aPath.find_last_of('/');
    if (slash != std::string::npos && slash > 0)
      if (const int err = MakeFolders(aPath.substr(0, slash))) return err;
    fd = ::open(aPath.c_str(), flags, 0666);
  }
  if (fd < 0) return errno;
  while (FOpen.size() >= FMaxOpenFiles) {
    const std::string oldest = FOpen.back();
    Close(FFiles[oldest]);
    Forget(oldest);
  }
  aFile.Fd = fd;
  FOpen.push_front(aPath);
  aFile.Use = FOpen.begin();
  return 0;
}

void TDataFileWriter::Close(TFile &aFile) {
  if (aFile.Fd < 0) return;
  ::close(aFile.Fd);
  aFile.Fd = -1;
  FOpen.erase(aFile.Use);
}

void TDataFileWriter::Reopen() {
  for (auto &[path, file] : FFiles) {
    // A torn line is cut from the file it is in before that file is let go.
    if (file.CutTo >= 0 && file.Fd >= 0 && ::ftruncate(file.Fd, file.CutTo) == 0) file.CutTo = -1;
    file.CutTo = -1;
    Close(file);
  }
  for (auto it = FFiles.begin(); it != FFiles.end();)
    it = it->second.Lines.empty() ? FFiles.erase(it) : std::next(it);
}

void TDataFileWriter::Touch(TFile &aFile) { FOpen.splice(FOpen.begin(), FOpen, aFile.Use); }

// An entry that holds neither an open file nor waiting lines is not kept, so
// a stream of ever new topics does not grow the table.
void TDataFileWriter::Forget(const std::string &aPath) {
  auto it = FFiles.find(aPath);
  if (it != FFiles.end() && it->second.Fd < 0 && it->second.Lines.empty() && it->second.CutTo < 0) FFiles.erase(it);
}
