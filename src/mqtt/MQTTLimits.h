#pragma once
// What the wire format and the brokers accept, checked before a packet is built,
// so that a caller can refuse bad input with a reason instead of meeting the
// encoder's length_error or a broker that silently drops the connection.
// Every check returns an empty string when the value can be sent, otherwise one
// sentence for the user that names the field (aWhat) and what is wrong with it.

#include "uMQTT.h"

#include <cstddef>
#include <string>
#include <string_view>

// Well-formed UTF-8 (no overlong forms, surrogates or code points past U+10FFFF).
bool IsWellFormedUtf8(std::string_view aText);

// Any string field: at most MQTTMaxStringLength bytes (password, will message).
std::string CheckStringLength(std::string_view aWhat, std::string_view aValue);
// A text field (client ID, user name): length, then UTF-8 as brokers accept it:
// well-formed, no U+0000, no control characters (U+0001..U+001F, U+007F..U+009F)
// and no non-characters U+xxFFFE/U+xxFFFF.
std::string CheckText(std::string_view aWhat, std::string_view aValue);
// A topic to publish to: a non-empty text without the wildcards '+' and '#'.
std::string CheckTopicName(std::string_view aWhat, std::string_view aTopic);
// A topic filter: a non-empty text whose '+' fills a whole level and whose '#'
// fills the last level.
std::string CheckTopicFilter(std::string_view aWhat, std::string_view aFilter);
// A PUBLISH with this topic and payload must fit the largest remaining length.
std::string CheckPublishSize(std::size_t aTopicSize, std::size_t aPayloadSize, TMQTTQOSType aQos);
