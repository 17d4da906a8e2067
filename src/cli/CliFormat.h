#pragma once
// How sub prints a received message: the raw payload (with -v the topic
// first), or a -F format with the fields mosquitto_sub users know.

#include <cstdint>
#include <ctime>
#include <string>

struct CliMessage {
  const std::string &Topic;
  const std::string &Payload;
  int Qos = 0;
  bool Retained = false;
  std::uint16_t ID = 0;
  timespec Received{}; // wall-clock time of arrival
};

// The text for one message by a -F format; no newline is added here.
std::string FormatMessage(const std::string &aFormat, const CliMessage &aMessage);

// Payload bytes in standard base64 with padding.
std::string Base64(const std::string &aBytes);
