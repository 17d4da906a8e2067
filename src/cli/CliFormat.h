#pragma once
// How sub prints a received message: the raw payload (with -v the topic
// first), or a -F format with the conversions, flags, widths, time fields and
// escapes that mosquitto_sub users know.

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "MQTTProperties.h"

struct CliMessage {
  const std::string &Topic;
  const std::string &Payload;
  int Qos = 0;
  bool Retained = false;
  std::uint16_t ID = 0;
  timespec Received{}; // wall-clock time of arrival
  // The name a property goes by on the command line (-D) and in %j: its
// standard name in lower case, words joined by '-' ("content-type").
std::string PropertyCommandLineName(std::uint8_t aID);

// The text of a level-5 property conversion ('A' topic alias, 'C' content
  // type, 'D' correlation data, 'E' message expiry, 'F' payload format,
  // 'P' user properties, 'R' response topic, 'S' subscription identifier);
  // false when the message carries none. Unset: a message without properties.
  std::function<bool(char aConversion, std::string &aText)> Property;
  // The level-5 properties for %j and %J; null or empty: none.
  const TMQTTProperties *Properties = nullptr;
};

// The name a property goes by on the command line (-D) and in %j: its
// standard name in lower case, words joined by '-' ("content-type").
std::string PropertyCommandLineName(std::uint8_t aID);

// The text of a level-5 property conversion (see CliMessage::Property) from a
// message's properties; false when it carries none of that kind.
bool PropertyConversion(const TMQTTProperties &aProps, char aConversion, std::string &aText);

// A -F format, checked once and applied to every message.
class MessageFormat {
public:
  // The format, or nothing with aError saying what is wrong and where.
  static std::optional<MessageFormat> Parse(const std::string &aFormat, std::string &aError);
  // The text for one message; no newline is added here. A %J whose payload is
  // not JSON prints nothing and adds a line to aProblems.
  std::string Format(const CliMessage &aMessage, std::string &aProblems) const;

private:
  struct Piece {
    char Kind = 0;       // 0 literal text, '%' a message field, '@' a time field
    std::string Text;    // literal text
    char Conversion = 0; // the letter after % or @
    bool Left = false;   // '-' flag
    bool Zero = false;   // '0' flag
    std::size_t Width = 0;
    std::optional<std::size_t> Precision;
  };
  void Field(const Piece &aPiece, const CliMessage &aMessage, std::string &aOut, std::string &aProblems) const;
  std::vector<Piece> FPieces;
};

// Payload bytes in standard base64 with padding.
std::string Base64(const std::string &aBytes);
