#pragma once
// Topic aliases of one level-5 connection, in the direction the broker sends:
// a PUBLISH with a topic and an alias sets the alias, one with an empty topic
// uses it. The map lives as long as the connection.

#include <cstdint>
#include <string>
#include <vector>

#include "MQTTProperties.h"

class TIncomingTopicAliases {
public:
  // Forgets every alias and sets how many we announced (0: none allowed).
  void Reset(std::uint16_t aMaximum);
  // Fills aTopic in from its alias, or records the alias. Returns an empty
  // string, or why the PUBLISH is a protocol error (DISCONNECT 0x94 when
  // aAliasError is set, 0x82 otherwise).
  std::string Resolve(std::string &aTopic, const TMQTTPropertyViews &aProps, bool &aAliasError);

private:
  std::uint16_t FMaximum = 0;
  std::vector<std::string> FTopics; // index alias - 1
};

// The same, in the direction we send: a repeated topic goes as its alias
// alone, within the broker's maximum; the first topics seen take the aliases.
class TOutgoingTopicAliases {
public:
  void Reset(std::uint16_t aMaximum);
  // The alias to send with aTopic (0: none) and whether the topic may be left out.
  std::uint16_t Assign(const std::string &aTopic, bool &aTopicKnown);

private:
  std::uint16_t FMaximum = 0;
  std::vector<std::string> FTopics;
};
