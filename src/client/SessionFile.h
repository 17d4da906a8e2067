#pragma once
// The session file: the outgoing exchanges of a persistent session that were
// not finished when a program ended (QoS 1 and 2 PUBLISH packets awaiting
// their acknowledgement, QoS 2 ones awaiting PUBCOMP), so that the next run
// with the same client identifier finishes them first. Without them, the
// broker keeps unreleased identifiers of the old run that the new one knows
// nothing about.
//
// Text header lines, then one record per packet with its bytes as they were
// sent; every text field carries its length, so any byte may appear in it.

#include <string>

#include "MQTTStores.h"

struct TSessionKey {
  std::string Host;
  int Port = 0;
  std::string ClientID;
};

// $XDG_STATE_HOME/vyr-mqtt/sessions/<client id>.session, or
// ~/.local/state/... without XDG_STATE_HOME; characters outside
// [A-Za-z0-9._-] in the identifier are written as %XX. Empty when there is
// no home folder.
std::string DefaultSessionFile(const std::string &aClientID);

// Writes the store's entries, whole or not at all (a temporary file renamed
// over the old one). An empty store removes the file. False with aError set
// when that fails.
bool SaveSessionFile(const std::string &aPath, const TSessionKey &aKey, const TMQTTPacketStore &aStore,
                     std::string &aError);

// Appends the saved entries to aStore (Counter aCount, Retries 0) and removes
// the file: from here on the state lives in the program. A missing file loads
// nothing and is no error. A file of another broker or client identifier, or
// one that cannot be read whole, loads nothing: false with aError set.
bool LoadSessionFile(const std::string &aPath, const TSessionKey &aKey, TMQTTPacketStore &aStore,
                     std::uint32_t aCount, std::string &aError);
