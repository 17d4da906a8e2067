#include "SessionFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "uMQTT.h"

namespace {

constexpr const char *Magic = "vyr-mqtt session 1";
// Longest file name the default place uses: well under NAME_MAX (255) with
// room for the suffixes of the temporary and lock files.
constexpr std::size_t MaxNameLength = 200;

std::string Field(const std::string &aName, const std::string &aValue) {
  return aName + " " + std::to_string(aValue.size()) + " " + aValue + "\n";
}

// Reads "name <length> <bytes>\n"; false when the input does not hold exactly that.
bool ReadField(std::istream &in, const std::string &aName, std::string &aValue) {
  std::string name;
  std::size_t length = 0;
  if (!(in >> name >> length) || name != aName || in.get() != ' ' || length > (1u << 28)) return false;
  aValue.assign(length, '\0');
  if (!in.read(aValue.data(), std::streamsize(length))) return false;
  return in.get() == '\n';
}

struct TSavedPacket {
  std::uint16_t ID = 0;
  bool Publishing = true;
  std::string Bytes;
};

std::string Errno(const std::string &aPath, int aErr) { return aPath + ": " + std::strerror(aErr); }

std::string Parent(const std::string &aPath) {
  const std::size_t slash = aPath.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : aPath.substr(0, slash);
}

// Makes the folders of aPath that are missing, each 0700: the packets are
// other people's business.
int MakeFolders(const std::string &aFolder) {
  struct stat st {};
  if (::stat(aFolder.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  if (errno != ENOENT) return errno;
  if (const std::string parent = Parent(aFolder); parent != aFolder)
    if (const int err = MakeFolders(parent)) return err;
  if (::mkdir(aFolder.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  return 0;
}

bool WriteAll(int fd, const std::string &aText) {
  for (std::size_t at = 0; at < aText.size();) {
    const ssize_t n = ::write(fd, aText.data() + at, aText.size() - at);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    at += std::size_t(n);
  }
  return true;
}

void SyncFolder(const std::string &aFolder) {
  const int fd = ::open(aFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// Empty when aBytes is one whole, well-formed QoS 1 or 2 PUBLISH with the
// identifier aID; else why not. A
// file that was tampered with must not put anything else on the wire.
std::string CheckStoredPacket(const std::string &aBytes, std::uint16_t aID, bool aLevel5) {
  TMQTTParser parser;
  parser.Strict = true;
  if (aLevel5) parser.ProtocolLevel = plMQTT5;
  parser.MaxRxLength = MQTTMaxRemainingLength;
  int headers = 0, publishes = 0;
  std::uint16_t id = 0;
  std::string broken;
  parser.OnHeader = [&](TMQTTParser *, TMQTTMessageType, bool, TMQTTQOSType, bool) { ++headers; };
  parser.OnPublishView = [&](TMQTTParser *, std::uint16_t anID, std::string_view, std::string_view) {
    ++publishes;
    id = anID;
  };
  parser.OnStreamBroken = [&](TMQTTParser *, std::string aReason) { broken = std::move(aReason); };
  parser.Parse(std::string_view(aBytes));
  if (!broken.empty()) return broken;
  if (headers != 1 || publishes != 1 || parser.RxState() != 0) return "not one whole PUBLISH packet";
  if (parser.RxQos != qtAT_LEAST_ONCE && parser.RxQos != qtEXACTLY_ONCE) return "a PUBLISH without QoS 1 or 2";
  if (id != aID) return "a PUBLISH with identifier " + std::to_string(id) + " under " + std::to_string(aID);
  return {};
}

std::uint64_t Hash(const std::string &aText) {
  std::uint64_t h = 14695981039346656037ull; // FNV-1a
  for (unsigned char c : aText) h = (h ^ c) * 1099511628211ull;
  return h;
}

} // namespace

std::string DefaultSessionFile(const std::string &aClientID) {
  std::string base;
  if (const char *state = std::getenv("XDG_STATE_HOME"); state && *state)
    base = state;
  else if (const char *home = std::getenv("HOME"); home && *home)
    base = std::string(home) + "/.local/state";
  else
    return {};
  std::string name;
  static const char hex[] = "0123456789ABCDEF";
  for (unsigned char c : aClientID) {
    if (std::isalnum(c) || c == '.' || c == '_' || c == '-')
      name += char(c);
    else {
      name += '%';
      name += hex[c >> 4];
      name += hex[c & 15];
    }
  }
  if (name.size() + 8 > MaxNameLength) {
    char hash[24];
    std::snprintf(hash, sizeof hash, "~%016llx", static_cast<unsigned long long>(Hash(aClientID)));
    std::size_t keep = MaxNameLength - 8 - 17;
    // Not in the middle of an escape.
    while (keep > 0 && (name[keep - 1] == '%' || (keep > 1 && name[keep - 2] == '%'))) --keep;
    name = name.substr(0, keep) + hash;
  }
  return base + "/vyr-mqtt/sessions/" + name + ".session";
}

bool SaveSessionFile(const std::string &aPath, const TSessionKey &aKey, const TMQTTPacketStore &aStore,
                     std::string &aError) {
  if (aStore.Count() == 0) {
    struct stat st {};
    if (::lstat(aPath.c_str(), &st) != 0) {
      if (errno == ENOENT) return true;
      aError = Errno(aPath, errno);
      return false;
    }
    if (!S_ISREG(st.st_mode)) {
      aError = aPath + ": not a regular file; left as it is";
      return false;
    }
    if (::unlink(aPath.c_str()) != 0) {
      aError = Errno(aPath, errno);
      return false;
    }
    SyncFolder(Parent(aPath));
    return true;
  }
  if (const int err = MakeFolders(Parent(aPath))) {
    aError = Errno(Parent(aPath), err);
    return false;
  }
  std::string text = std::string(Magic) + "\n" + Field("host", aKey.Host) +
                     Field("port", std::to_string(aKey.Port)) + Field("client", aKey.ClientID);
  if (aKey.Level == plMQTT5) text += Field("level", "5");
  for (int i = 0; i < aStore.Count(); ++i) {
    const TMQTTPacket *p = aStore.GetItem(i);
    text += Field("packet", std::to_string(p->ID) + (p->Publishing || p->PubRelHeld ? " publishing" : " released"));
    text += Field("bytes", std::string(p->Msg.View()));
  }
  text += "end\n";
  const std::string temp = aPath + ".new";
  ::unlink(temp.c_str()); // a leftover of a run that died while writing
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    aError = Errno(temp, errno);
    return false;
  }
  const bool written = WriteAll(fd, text) && ::fsync(fd) == 0;
  const int err = errno;
  ::close(fd);
  if (!written || ::rename(temp.c_str(), aPath.c_str()) != 0) {
    aError = Errno(written ? aPath : temp, written ? errno : err);
    ::unlink(temp.c_str());
    return false;
  }
  SyncFolder(Parent(aPath));
  return true;
}

namespace {
TSessionLoad ReadSessionFile(const std::string &aPath, const TSessionKey &aKey, TMQTTPacketStore &aStore,
                             std::uint32_t aCount, std::string &aError) {
  // Never blocks (a FIFO) and never follows a link out of the folder.
  const int fd = ::open(aPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return TSessionLoad::Loaded; // nothing left from an earlier run
    aError = errno == ELOOP ? aPath + ": a symbolic link, not a session file; left as it is"
                            : Errno(aPath, errno) + "; left as it is";
    return TSessionLoad::Unusable;
  }
  struct stat st {};
  std::string data;
  int err = ::fstat(fd, &st) == 0 ? 0 : errno;
  if (err == 0 && !S_ISREG(st.st_mode)) {
    ::close(fd);
    aError = aPath + ": not a regular file; left as it is";
    return TSessionLoad::Unusable;
  }
  if (err == 0 && std::uint64_t(st.st_size) > MaxSessionFileSize) {
    ::close(fd);
    aError = aPath + ": " + std::to_string(st.st_size) + " bytes, more than a session file holds; left as it is";
    return TSessionLoad::Unusable;
  }
  if (err == 0) {
    data.resize(std::size_t(st.st_size));
    std::size_t got = 0;
    while (got < data.size()) {
      const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        err = n < 0 ? errno : 0;
        break;
      }
      got += std::size_t(n);
    }
    data.resize(got);
  }
  ::close(fd);
  if (err != 0) {
    aError = Errno(aPath, err) + "; left as it is";
    return TSessionLoad::Unusable;
  }

  std::istringstream in(std::move(data));
  std::string magic, host, port, client, level;
  std::vector<TSavedPacket> saved;
  bool whole = std::getline(in, magic) && magic == Magic && ReadField(in, "host", host) &&
               ReadField(in, "port", port) && ReadField(in, "client", client);
  if (whole && in >> std::ws && in.peek() == 'l') whole = ReadField(in, "level", level) && level == "5";
  const bool level5 = level == "5";
  std::string bad;
  while (whole) {
    if (in >> std::ws && in.peek() == 'e') {
      std::string end;
      whole = std::getline(in, end) && end == "end" && in.peek() == EOF;
      break;
    }
    std::string head, bytes;
    whole = ReadField(in, "packet", head) && ReadField(in, "bytes", bytes);
    if (!whole) break;
    std::istringstream fields(head);
    unsigned id = 0;
    std::string state;
    whole = (fields >> id >> state) && id > 0 && id <= 65535 && (state == "publishing" || state == "released");
    if (!whole) break;
    bad = CheckStoredPacket(bytes, std::uint16_t(id), level5);
    if (!bad.empty()) {
      bad = "packet " + std::to_string(id) + " is " + bad;
      break;
    }
    saved.push_back({std::uint16_t(id), state == "publishing", std::move(bytes)});
  }
  if (!bad.empty() || !whole) {
    aError = aPath + ": " + (bad.empty() ? "not a complete session file" : bad) + "; left as it is";
    return TSessionLoad::Damaged;
  }
  if (host != aKey.Host || port != std::to_string(aKey.Port) || client != aKey.ClientID) {
    aError = aPath + ": saved for " + client + " at " + host + ":" + port + ", not " + aKey.ClientID + " at " +
             aKey.Host + ":" + std::to_string(aKey.Port) + "; left as it is";
    return TSessionLoad::Mismatch;
  }
  if (level5 != (aKey.Level == plMQTT5)) {
    aError = aPath + ": saved at MQTT " + (level5 ? "5" : "3.1 or 3.1.1") + ", not at MQTT " +
             (aKey.Level == plMQTT5 ? "5" : aKey.Level == plMQTT311 ? "3.1.1" : "3.1") + "; left as it is";
    return TSessionLoad::Mismatch;
  }
  for (auto &s : saved) {
    TByteStream bytes;
    bytes.Write(s.Bytes);
    TMQTTPacket *p = aStore.AddPacket(s.ID, bytes, 0, aCount);
    p->Publishing = s.Publishing;
  }
  return TSessionLoad::Loaded;
}
} // namespace

bool LoadSessionFile(const std::string &aPath, const TSessionKey &aKey, TMQTTPacketStore &aStore,
                     std::uint32_t aCount, std::string &aError, TSessionLoad *aKind) {
  const TSessionLoad kind = ReadSessionFile(aPath, aKey, aStore, aCount, aError);
  if (aKind) *aKind = kind;
  return kind == TSessionLoad::Loaded;
}

TSessionFile::~TSessionFile() {
  if (FLock >= 0) ::close(FLock); // lets the lock go
}

TSessionLoad TSessionFile::Open(const std::string &aPath, const TSessionKey &aKey, TMQTTPacketStore &aStore,
                                std::uint32_t aCount, bool aMoveAside, std::string &aError, std::string &aNote) {
  if (const int err = MakeFolders(Parent(aPath))) {
    aError = Errno(Parent(aPath), err);
    return TSessionLoad::Unusable;
  }
  // A lock file beside it, since the session file itself is replaced by
  // every save and a lock on it would go with the old copy.
  const std::string lockPath = aPath + ".lock";
  const int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (lock < 0) {
    aError = Errno(lockPath, errno);
    return TSessionLoad::Unusable;
  }
  if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(lock);
    aError = err == EWOULDBLOCK ? aPath + ": in use by another process (it holds " + lockPath + ")"
                                : Errno(lockPath, err);
    return TSessionLoad::Unusable;
  }
  TSessionLoad result = ReadSessionFile(aPath, aKey, aStore, aCount, aError);
  if ((result == TSessionLoad::Mismatch || result == TSessionLoad::Damaged) && aMoveAside) {
    std::string aside;
    for (int n = 1;; ++n) {
      aside = aPath + ".unused-" + std::to_string(n);
      struct stat st {};
      if (::lstat(aside.c_str(), &st) != 0) break;
    }
    if (::rename(aPath.c_str(), aside.c_str()) == 0) {
      SyncFolder(Parent(aPath));
      aNote = aError.substr(0, aError.rfind("; left as it is")) + "; moved to " + aside;
      aError.clear();
      result = TSessionLoad::Loaded;
    } else
      aError = Errno(aPath, errno) + " (moving it to " + aside + ")";
  }
  if (result != TSessionLoad::Loaded) {
    ::close(lock);
    return result;
  }
  FPath = aPath;
  FKey = aKey;
  FLock = lock;
  return result;
}

bool TSessionFile::Save(const TMQTTPacketStore &aStore, std::string &aError) {
  if (FLock < 0) return true;
  return SaveSessionFile(FPath, FKey, aStore, aError);
}
