#pragma once
// -D COMMAND IDENTIFIER VALUE (and -D COMMAND user-property NAME VALUE): an
// MQTT 5 property for one kind of packet, as mosquitto's clients take it.

#include <string>
#include <vector>

#include "CliOptions.h"

// Takes the words after -D from args, starting at index at, and advances at
// past the last one used. Returns an error text or an empty string.
std::string TakePropertyOption(CliOptions &aOptions, const std::vector<std::string> &args, std::size_t &at);
// Checks each packet's properties as a whole (a property given twice where
// it may appear once); an error text or an empty string.
std::string CheckPropertyLists(const CliOptions &aOptions);
