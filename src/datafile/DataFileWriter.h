#pragma once
// Appends whole lines to many files at once and never loses one: a line that
// cannot be written (full disk, missing folder, no permission) waits, in
// order behind earlier waiting lines of its file, until Retry gets it through.
// A failed write never leaves part of a line behind: what a partial write
// added is cut off again. Each line is written under the file's flock, which
// every writer of a folder shared by several loggers takes: a cut never
// reaches another writer's line. Files stay open, at most MaxOpenFiles of them, the
// least recently used closed first. A symbolic link in place of a file is
// never followed: its lines wait, reported like any other failure. No buffering in the program: every line is
// handed to the system as soon as its file takes it, so it survives the
// process ending. Plain POSIX, no Qt; paths are in the system's encoding.

#include <cstddef>
#include <deque>
#include <list>
#include <string>
#include <unordered_map>
#include <utility>

class TDataFileWriter {
public:
  explicit TDataFileWriter(std::size_t aMaxOpenFiles);
  TDataFileWriter(const TDataFileWriter &) = delete;
  TDataFileWriter &operator=(const TDataFileWriter &) = delete;
  ~TDataFileWriter();

  // Appends aLine to the file aPath (created when missing). False when the
  // line has to wait: the file failed now or still has lines waiting.
  bool Append(const std::string &aPath, std::string aLine);
  // Writes the waiting lines, file by file, each file in order until one fails.
  // True when nothing waits any more.
  bool Retry();

  // Lines not written yet.
  std::size_t Waiting() const { return FWaiting; }
  // Lines and bytes waiting for the file aPath.
  std::pair<std::size_t, std::size_t> WaitingIn(const std::string &aPath) const;
  // Why the latest attempt failed, naming the file and the system's reason;
  // empty once nothing waits.
  const std::string &Problem() const { return FProblem; }
  std::size_t OpenFiles() const { return FOpen.size(); }
  // Closes every open file, so that the next line of each goes to whatever
  // file is at its path by then (a rotated file's successor). Waiting lines stay.
  void Reopen();

  // Create a missing folder (and its parents) before opening a file in it.
  bool CreateFolders = false;

private:
  struct TFile {
    int Fd = -1;
    std::list<std::string>::iterator Use; // its place in FOpen while Fd is open
    std::deque<std::string> Lines;        // waiting, oldest first
    std::size_t Bytes = 0;                // the size of Lines
    long long CutTo = -1;                 // a torn line to remove before the next write: where it began
    long long CutEnd = -1;                //   and where it ended
  };

  bool WriteWaiting(const std::string &aPath, TFile &aFile);
  // 0 or the errno of the failure; aWhat says which step failed.
  int WriteLine(const std::string &aPath, TFile &aFile, const std::string &aLine, const char *&aWhat);
  int Open(const std::string &aPath, TFile &aFile);
  void Close(TFile &aFile);
  void Touch(TFile &aFile);
  void Forget(const std::string &aPath);

  std::size_t FMaxOpenFiles;
  std::unordered_map<std::string, TFile> FFiles;
  std::list<std::string> FOpen;         // open files, most recently used first
  std::list<std::string> FWaitingFiles; // files with waiting lines, in order of their first failure
  std::size_t FWaiting = 0;
  std::string FProblem;
};
