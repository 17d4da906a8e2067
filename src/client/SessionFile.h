#pragma once
// The session file: the outgoing exchanges of a persistent session that are
// not finished (QoS 1 and 2 PUBLISH packets awaiting their acknowledgement,
// QoS 2 ones awaiting PUBCOMP), so that the next run with the same client
// identifier finishes them first. Without them, the broker keeps unreleased
// identifiers of the old run that the new one knows nothing about.
//
// Text header lines (at MQTT 5 one more, "level"), then one record per packet
// with its bytes as they were sent, properties included; every text field
// carries its length, so any byte may appear in it.
// The file is never lost: one that does not match a run is left where it is,
// it is rewritten whole (temporary file, fsync, rename) and removed only once
// nothing is in flight.

#include <cstdint>
#include <string>

#include "MQTTStores.h"

struct TSessionKey {
  std::string Host;
  int Port = 0;
  std::string ClientID;
  // Packets of MQTT 5 carry properties an earlier level would read as
  // payload: a file holds one level's packets (5, or 3.1 and 3.1.1) and is
  // refused as another's.
  TMQTTProtocolLevel Level = plMQTT311;
};

// A file larger than this is not a session file this program wrote: it is
// refused without being read (a store holds at most a few packets of at most
// 256 MiB each, in practice far less).
inline constexpr std::uint64_t MaxSessionFileSize = std::uint64_t(1) << 30;

// $XDG_STATE_HOME/vyr-mqtt/sessions/<client id>.session, or
// ~/.local/state/... without XDG_STATE_HOME; characters outside
// [A-Za-z0-9._-] in the identifier are written as %XX. A name that would
// grow past what a file system takes keeps its first characters and ends in
// a hash of the whole identifier (the file itself names the identifier, so
// two that share a name are still told apart). Empty when there is no home
// folder.
std::string DefaultSessionFile(const std::string &aClientID);

// Writes the store's entries whole or not at all: a temporary file (0600)
// written, synced and renamed over the old one, in folders made 0700. An
// empty store removes the file (only a regular file; anything else at the
// path is an error). False with aError set when that fails.
bool SaveSessionFile(const std::string &aPath, const TSessionKey &aKey, const TMQTTPacketStore &aStore,
                     std::string &aError);

enum class TSessionLoad {
  Loaded,   // the file's entries are in the store (none when there was no file)
  Mismatch, // another broker or client identifier; aError says whose it is
  Damaged,  // not a session file this program wrote, or a stored packet is not a valid PUBLISH
  Unusable, // cannot be read: permissions, not a regular file, too large
};

// Appends the saved entries to aStore (Counter aCount, Retries 0); the file
// stays until the program saves again. Only a regular file is read (a FIFO,
// a device, a folder or a symbolic link at the path is refused), up to
// MaxSessionFileSize, and every stored packet must be a well-formed QoS 1 or
// 2 PUBLISH under its record's identifier. Anything but Loaded leaves the
// store and the file as they were, with aError saying why.
// True when Loaded; aKind, when given, tells the outcome.
bool LoadSessionFile(const std::string &aPath, const TSessionKey &aKey, TMQTTPacketStore &aStore,
                     std::uint32_t aCount, std::string &aError, TSessionLoad *aKind = nullptr);

// One run's hold on its session file: a lock (flock on PATH.lock, kept while
// the object lives) keeps a second process off it.
class TSessionFile {
public:
  TSessionFile() = default;
  TSessionFile(const TSessionFile &) = delete;
  TSessionFile &operator=(const TSessionFile &) = delete;
  ~TSessionFile();

  // Locks the file and loads it. A file that does not match the run, with
  // aMoveAside, is renamed to PATH.unused-<n> (aNote says so) and the run
  // starts empty; otherwise anything but Loaded leaves the file as it is,
  // with aError set, and the object holds nothing.
  TSessionLoad Open(const std::string &aPath, const TSessionKey &aKey, TMQTTPacketStore &aStore, std::uint32_t aCount,
                    bool aMoveAside, std::string &aError, std::string &aNote);
  // Writes the store as it is now (an empty one removes the file).
  bool Save(const TMQTTPacketStore &aStore, std::string &aError);
  bool IsOpen() const { return FLock >= 0; }
  const std::string &Path() const { return FPath; }

private:
  std::string FPath;
  TSessionKey FKey;
  int FLock = -1;
};
