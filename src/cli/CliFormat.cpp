#include "CliFormat.h"

#include <cstdio>

#include "MQTTLimits.h"

namespace {

void AppendHex(std::string &out, const std::string &bytes, const char *digits) {
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
}

std::string JsonString(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    default:
      if (c < 0x20) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", c);
        out += buf;
      } else
        out += char(c);
    }
  }
  return out + "\"";
}

std::string LocalIsoTime(const timespec &t) {
  tm local{};
  localtime_r(&t.tv_sec, &local);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", &local);
  return buf;
}

std::string UtcIsoTimeMicros(const timespec &t) {
  tm utc{};
  gmtime_r(&t.tv_sec, &utc);
  char buf[64];
  const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(buf + n, sizeof buf - n, ".%06ldZ", long(t.tv_nsec / 1000));
  return buf;
}

std::string Json(const CliMessage &m) {
  std::string out = "{\"tst\":\"" + UtcIsoTimeMicros(m.Received) + "\",\"topic\":" + JsonString(m.Topic) +
                    ",\"qos\":" + std::to_string(m.Qos) + ",\"retain\":" + (m.Retained ? "1" : "0") +
                    ",\"payloadlen\":" + std::to_string(m.Payload.size());
  // JSON text must be Unicode: other payloads travel as base64, under their own name.
  if (IsWellFormedUtf8(m.Payload))
    out += ",\"payload\":" + JsonString(m.Payload);
  else
    out += ",\"payload_base64\":\"" + Base64(m.Payload) + "\"";
  return out + "}";
}

char Escape(char c) {
  switch (c) {
  case 'n':
    return '\n';
  case 't':
    return '\t';
  case 'r':
    return '\r';
  case 'a':
    return '\a';
  case 'e':
    return '\x1b';
  case 'v':
    return '\v';
  case '0':
    return '\0';
  default:
    return c; // "\\" and any other character stand for themselves
  }
}

} // namespace

std::string Base64(const std::string &aBytes) {
  static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((aBytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < aBytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, aBytes.size() - i);
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 3; ++k) v = v << 8 | (k < n ? std::uint8_t(aBytes[i + k]) : 0);
    for (std::size_t k = 0; k < 4; ++k) out += k <= n ? digits[(v >> (18 - 6 * k)) & 63] : '=';
  }
  return out;
}

std::string FormatMessage(const std::string &aFormat, const CliMessage &m) {
  std::string out;
  for (std::size_t i = 0; i < aFormat.size(); ++i) {
    const char c = aFormat[i];
    if ((c != '%' && c != '\\') || i + 1 == aFormat.size()) {
      out += c;
      continue;
    }
    const char field = aFormat[++i];
    if (c == '\\') {
      out += Escape(field);
      continue;
    }
    switch (field) {
    case 't':
      out += m.Topic;
      break;
    case 'p':
      out += m.Payload;
      break;
    case 'x':
      AppendHex(out, m.Payload, "0123456789abcdef");
      break;
    case 'X':
      AppendHex(out, m.Payload, "0123456789ABCDEF");
      break;
    case 'l':
      out += std::to_string(m.Payload.size());
      break;
    case 'm':
      out += std::to_string(m.ID);
      break;
    case 'q':
      out += std::to_string(m.Qos);
      break;
    case 'r':
      out += m.Retained ? '1' : '0';
      break;
    case 'I':
      out += LocalIsoTime(m.Received);
      break;
    case 'U': {
      char buf[48];
      std::snprintf(buf, sizeof buf, "%lld.%09ld", static_cast<long long>(m.Received.tv_sec), long(m.Received.tv_nsec));
      out += buf;
      break;
    }
    case 'j':
      out += Json(m);
      break;
    case '%':
      out += '%';
      break;
    default:
      // Unknown fields are printed as given, so a typo shows.
      out += '%';
      out += field;
    }
  }
  return out;
}
