#pragma once
// Topic filter matching for local delivery: "+" matches one level, a final "#"
// matches the rest (including no level at all). Levels are split at every "/"
// byte and compared byte for byte. A shared subscription
// "$share/GROUP/FILTER" matches what FILTER matches.

#include <string>
#include <string_view>
#include <vector>

// The levels of a topic name or filter; always at least one.
std::vector<std::string> SplitTopic(std::string_view s);

bool MatchTopic(std::string_view aFilter, std::string_view aTopic);
