#include "TopicAliases.h"

#include <algorithm>

void TIncomingTopicAliases::Reset(std::uint16_t aMaximum) {
  FMaximum = aMaximum;
  FTopics.clear();
}

std::string TIncomingTopicAliases::Resolve(std::string &aTopic, const TMQTTPropertyViews &aProps,
                                           bool &aAliasError) {
  aAliasError = false;
  const TMQTTPropertyView *alias = FindProperty(aProps, piTopicAlias);
  if (!alias) {
    if (aTopic.empty()) return "a PUBLISH without topic or topic alias";
    return {};
  }
  aAliasError = true;
  if (alias->Number > FMaximum)
    return "topic alias " + std::to_string(alias->Number) + " is over our maximum of " + std::to_string(FMaximum);
  if (FTopics.size() < alias->Number) FTopics.resize(alias->Number);
  std::string &known = FTopics[alias->Number - 1];
  if (aTopic.empty()) {
    if (known.empty()) return "topic alias " + std::to_string(alias->Number) + " was never set";
    aTopic = known;
  } else
    known = aTopic;
  aAliasError = false;
  return {};
}

void TOutgoingTopicAliases::Reset(std::uint16_t aMaximum) {
  FMaximum = aMaximum;
  FTopics.clear();
}

std::uint16_t TOutgoingTopicAliases::Assign(const std::string &aTopic, bool &aTopicKnown) {
  aTopicKnown = false;
  auto it = std::find(FTopics.begin(), FTopics.end(), aTopic);
  if (it != FTopics.end()) {
    aTopicKnown = true;
    return std::uint16_t(it - FTopics.begin() + 1);
  }
  if (FTopics.size() >= FMaximum) return 0;
  FTopics.push_back(aTopic);
  return std::uint16_t(FTopics.size());
}
