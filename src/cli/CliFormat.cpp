#include "CliFormat.h"

#include <locale.h>

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "MQTTLimits.h"

namespace {

void AppendHex(std::string &out, const char *bytes, std::size_t count, const char *digits) {
  for (std::size_t i = 0; i < count; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    out += digits[c >> 4];
    out += digits[c & 15];
  }
}

// Escaped as the JSON of %j and %J is: the two-letter escapes, \u for the
// other control characters, every other byte as it is.
void AppendJsonString(std::string &out, const std::string &text) {
  out += '"';
  for (unsigned char c : text) {
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\b':
      out += "\\b";
      break;
    case '\f':
      out += "\\f";
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
  out += '"';
}

// %J: the payload must be one JSON value, which is printed again compactly
// (insignificant white space dropped, numbers in their shortest exact form,
// strings with their escapes resolved and escaped again), as mosquitto_sub
// prints it.
class JsonReprint {
public:
  JsonReprint(const std::string &aText, std::string &aOut) : p(aText.data()), end(p + aText.size()), out(aOut) {}

  bool Whole() {
    // A byte order mark may lead the text.
    if (end - p >= 3 && std::string_view(p, 3) == "\xEF\xBB\xBF") p += 3;
    Skip();
    if (!Value()) return false;
    Skip();
    return p == end;
  }

private:
  static constexpr int MaxDepth = 1000;

  void Skip() {
    while (p < end && static_cast<unsigned char>(*p) <= 32) ++p;
  }
  bool Literal(std::string_view word) {
    if (std::size_t(end - p) < word.size() || std::string_view(p, word.size()) != word) return false;
    p += word.size();
    out += word;
    return true;
  }
  bool Value() {
    if (p == end) return false;
    switch (*p) {
    case 'n':
      return Literal("null");
    case 't':
      return Literal("true");
    case 'f':
      return Literal("false");
    case '"': {
      std::string text;
      if (!String(text)) return false;
      AppendJsonString(out, text);
      return true;
    }
    case '[':
      return Container(']');
    case '{':
      return Container('}');
    default:
      return (*p == '-' || (*p >= '0' && *p <= '9')) && Number();
    }
  }
  bool Container(char close) {
    if (++depth > MaxDepth) return false;
    const bool object = close == '}';
    out += *p++;
    Skip();
    if (p < end && *p == close) {
      out += *p++;
      --depth;
      return true;
    }
    for (;;) {
      Skip();
      if (object) {
        std::string key;
        if (p == end || *p != '"' || !String(key)) return false;
        AppendJsonString(out, key);
        Skip();
        if (p == end || *p != ':') return false;
        out += *p++;
        Skip();
      }
      if (!Value()) return false;
      Skip();
      if (p == end) return false;
      if (*p == ',') {
        out += *p++;
        continue;
      }
      if (*p != close) return false;
      out += *p++;
      --depth;
      return true;
    }
  }
  static int HexDigits(const char *s) {
    int v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = s[i];
      v <<= 4;
      if (c >= '0' && c <= '9')
        v |= c - '0';
      else if (c >= 'a' && c <= 'f')
        v |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F')
        v |= c - 'A' + 10;
      else
        return -1;
    }
    return v;
  }
  static void AppendUtf8(std::string &text, std::uint32_t cp) {
    if (cp < 0x80)
      text += char(cp);
    else if (cp < 0x800) {
      text += char(0xC0 | cp >> 6);
      text += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      text += char(0xE0 | cp >> 12);
      text += char(0x80 | ((cp >> 6) & 0x3F));
      text += char(0x80 | (cp & 0x3F));
    } else {
      text += char(0xF0 | cp >> 18);
      text += char(0x80 | ((cp >> 12) & 0x3F));
      text += char(0x80 | ((cp >> 6) & 0x3F));
      text += char(0x80 | (cp & 0x3F));
    }
  }
  // At an opening quote: the decoded text up to the closing one.
  bool String(std::string &text) {
    ++p;
    while (p < end && *p != '"') {
      if (*p != '\\') {
        text += *p++;
        continue;
      }
      if (++p == end) return false;
      const char e = *p++;
      switch (e) {
      case 'b':
        text += '\b';
        break;
      case 'f':
        text += '\f';
        break;
      case 'n':
        text += '\n';
        break;
      case 'r':
        text += '\r';
        break;
      case 't':
        text += '\t';
        break;
      case '"':
      case '\\':
      case '/':
        text += e;
        break;
      case 'u': {
        if (end - p < 4) return false;
        int cp = HexDigits(p);
        p += 4;
        if (cp < 0 || (cp >= 0xDC00 && cp <= 0xDFFF)) return false;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          // A high surrogate is only valid with its low half right after it.
          if (end - p < 6 || p[0] != '\\' || p[1] != 'u') return false;
          const int low = HexDigits(p + 2);
          if (low < 0xDC00 || low > 0xDFFF) return false;
          p += 6;
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        AppendUtf8(text, std::uint32_t(cp));
        break;
      }
      default:
        return false;
      }
    }
    if (p == end) return false;
    ++p;
    return true;
  }
  bool Number() {
    // The longest run of number characters, read as far as it makes a number.
    const char *run = p;
    while (run < end && std::string_view("0123456789+-eE.").find(*run) != std::string_view::npos) ++run;
    const std::string digits(p, run);
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    char *stop = nullptr;
    const double d = strtod_l(digits.c_str(), &stop, cLocale);
    if (stop == digits.c_str()) return false;
    p += stop - digits.c_str();
    AppendNumber(d);
    return true;
  }
  void AppendNumber(double d) {
    if (!std::isfinite(d)) {
      out += "null";
      return;
    }
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 15);
    double back = 0;
    std::from_chars(buf, r.ptr, back);
    // Fifteen digits unless they do not read back as (almost) the same number.
    if (!(std::fabs(back - d) <= std::max(std::fabs(back), std::fabs(d)) * DBL_EPSILON))
      r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 17);
    out.append(buf, r.ptr);
  }

  const char *p;
  const char *end;
  std::string &out;
  int depth = 0;
};

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

// ,"properties":{...} in the order of the wire; the user properties as one
// object where the first of them stood, keys repeated as they came.
void AppendJsonProperties(std::string &out, const TMQTTProperties &props) {
  out += ",\"properties\":{";
  bool first = true, usersDone = false;
  for (const TMQTTProperty &p : props) {
    if (p.ID == piUserProperty && usersDone) continue;
    if (!first) out += ',';
    first = false;
    if (p.ID == piUserProperty) {
      usersDone = true;
      out += "\"user-properties\":{";
      bool firstUser = true;
      for (const TMQTTProperty &u : props) {
        if (u.ID != piUserProperty) continue;
        if (!std::exchange(firstUser, false)) out += ',';
        AppendJsonString(out, u.Text);
        out += ':';
        AppendJsonString(out, u.Value);
      }
      out += '}';
      continue;
    }
    AppendJsonString(out, PropertyCommandLineName(p.ID));
    out += ':';
    const TMQTTPropertyInfo *info = PropertyInfo(p.ID);
    if (info && (info->Type == ptString || info->Type == ptBinary))
      AppendJsonString(out, p.Text);
    else
      out += std::to_string(p.Number);
  }
  out += '}';
}

// %j and %J: the message as one JSON object; %J puts the payload in as the
// JSON value it holds, so it needs a payload that is JSON.
bool Json(const CliMessage &m, bool payloadAsJson, std::string &out) {
  out += "{\"tst\":\"" + UtcIsoTimeMicros(m.Received) + "\",\"topic\":";
  AppendJsonString(out, m.Topic);
  out += ",\"qos\":" + std::to_string(m.Qos) + ",\"retain\":" + (m.Retained ? "1" : "0") +
         ",\"payloadlen\":" + std::to_string(m.Payload.size());
  if (m.Qos > 0) out += ",\"mid\":" + std::to_string(m.ID);
  if (m.Properties && !m.Properties->empty()) AppendJsonProperties(out, *m.Properties);
  if (m.Payload.empty())
    out += ",\"payload\":null";
  else if (payloadAsJson) {
    out += ",\"payload\":";
    if (!JsonReprint(m.Payload, out).Whole()) return false;
  } else if (IsWellFormedUtf8(m.Payload)) {
    out += ",\"payload\":";
    AppendJsonString(out, m.Payload);
  } else
    // JSON text must be Unicode: other payloads travel as base64, under their own name.
    out += ",\"payload_base64\":\"" + Base64(m.Payload) + "\"";
  out += '}';
  return true;
}

std::optional<char> Escape(char c) {
  switch (c) {
  case '\\':
    return '\\';
  case '0':
    return '\0';
  case 'a':
    return '\a';
  case 'e':
    return '\x1b';
  case 'n':
    return '\n';
  case 'r':
    return '\r';
  case 't':
    return '\t';
  case 'v':
    return '\v';
  default:
    return std::nullopt;
  }
}

// Message fields that take a width, those that may be padded with zeros, and
// those whose precision cuts them to a maximum width.
constexpr std::string_view Widened = "ACEFIRSXlmptx";
constexpr std::string_view ZeroPadded = "AEFSXlmpx";
constexpr std::string_view Capped = "CIRt";
constexpr std::string_view Fields = "%ACDEFIJPRSUXjlmpqrtx";

bool In(std::string_view set, char c) { return set.find(c) != std::string_view::npos; }

std::string Position(std::size_t index) { return " at character " + std::to_string(index + 1) + " of the format"; }

} // namespace

std::string PropertyCommandLineName(std::uint8_t aID) {
  const TMQTTPropertyInfo *info = PropertyInfo(aID);
  std::string name = info ? info->Name : "";
  for (char &c : name) c = c == ' ' ? '-' : char(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

bool PropertyConversion(const TMQTTProperties &aProps, char aConversion, std::string &aText) {
  static const std::pair<char, std::uint8_t> ids[] = {
      {'A', piTopicAlias},       {'C', piContentType},     {'D', piCorrelationData},
      {'E', piMessageExpiryInterval}, {'F', piPayloadFormatIndicator}, {'R', piResponseTopic},
      {'S', piSubscriptionIdentifier}};
  if (aConversion == 'P') {
    // key:value, several apart by one space.
    bool any = false;
    for (const TMQTTProperty &p : aProps)
      if (p.ID == piUserProperty) {
        if (std::exchange(any, true)) aText += ' ';
        aText += p.Text + ':' + p.Value;
      }
    return any;
  }
  for (const auto &[conversion, id] : ids)
    if (conversion == aConversion)
      if (const TMQTTProperty *p = FindProperty(aProps, id)) {
        const TMQTTPropertyInfo *info = PropertyInfo(id);
        aText = info->Type == ptString || info->Type == ptBinary ? p->Text : std::to_string(p->Number);
        return true;
      }
  return false;
}

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

std::optional<MessageFormat> MessageFormat::Parse(const std::string &aFormat, std::string &aError) {
  MessageFormat format;
  std::string text;
  const auto flushText = [&] {
    if (!text.empty()) format.FPieces.push_back({0, std::exchange(text, {})});
  };
  const std::size_t n = aFormat.size();
  for (std::size_t i = 0; i < n; ++i) {
    const char c = aFormat[i];
    if (c == '\\') {
      if (i + 1 == n) {
        aError = "incomplete escape '\\'" + Position(i);
        return std::nullopt;
      }
      const std::optional<char> escaped = Escape(aFormat[i + 1]);
      if (!escaped) {
        aError = "invalid escape '\\" + std::string(1, aFormat[i + 1]) + "'" + Position(i);
        return std::nullopt;
      }
      text += *escaped;
      ++i;
      continue;
    }
    if (c != '%' && c != '@') {
      text += c;
      continue;
    }
    const std::size_t start = i;
    Piece piece;
    piece.Kind = c;
    if (c == '%') {
      // One flag, a width, a precision: "%-20t", "%08l", "%10.3t".
      std::size_t k = i + 1;
      if (k < n && (aFormat[k] == '-' || aFormat[k] == '0')) (aFormat[k++] == '-' ? piece.Left : piece.Zero) = true;
      for (; k < n && aFormat[k] >= '0' && aFormat[k] <= '9'; ++k)
        piece.Width = std::min<std::size_t>(piece.Width * 10 + std::size_t(aFormat[k] - '0'), 1 << 20);
      if (k < n && aFormat[k] == '.') {
        piece.Precision = 0;
        for (++k; k < n && aFormat[k] >= '0' && aFormat[k] <= '9'; ++k)
          piece.Precision = std::min<std::size_t>(*piece.Precision * 10 + std::size_t(aFormat[k] - '0'), 1 << 20);
      }
      i = k;
    } else
      ++i;
    if (i >= n) {
      aError = "incomplete conversion '" + aFormat.substr(start) + "'" + Position(start);
      return std::nullopt;
    }
    piece.Conversion = aFormat[i];
    if (c == '%' && !In(Fields, piece.Conversion)) {
      aError = "invalid conversion '" + aFormat.substr(start, i + 1 - start) + "'" + Position(i);
      return std::nullopt;
    }
    if (c == '@' && piece.Conversion == '@') {
      text += '@';
      continue;
    }
    if (c == '%' && piece.Conversion == '%') {
      text += '%';
      continue;
    }
    flushText();
    format.FPieces.push_back(std::move(piece));
  }
  flushText();
  return format;
}

std::string MessageFormat::Format(const CliMessage &aMessage, std::string &aProblems) const {
  std::string out;
  for (const Piece &piece : FPieces) {
    switch (piece.Kind) {
    case 0:
      out += piece.Text;
      break;
    case '%':
      Field(piece, aMessage, out, aProblems);
      break;
    case '@':
      if (piece.Conversion == 'N') {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%09ld", long(aMessage.Received.tv_nsec));
        out += buf;
      } else {
        tm local{};
        localtime_r(&aMessage.Received.tv_sec, &local);
        const char conversion[] = {'%', piece.Conversion, '\0'};
        char buf[256];
        out.append(buf, std::strftime(buf, sizeof buf, conversion, &local));
      }
      break;
    }
  }
  return out;
}

void MessageFormat::Field(const Piece &aPiece, const CliMessage &m, std::string &aOut, std::string &aProblems) const {
  const char c = aPiece.Conversion;
  std::string value;
  switch (c) {
  case 't':
    value = m.Topic;
    break;
  case 'p':
    // A width is the exact width of the payload: longer ones are cut.
    value = aPiece.Width ? m.Payload.substr(0, aPiece.Width) : m.Payload;
    break;
  case 'x':
  case 'X': {
    // Cut to the whole bytes that fit in a width, like %p.
    const std::size_t bytes = aPiece.Width ? std::min(m.Payload.size(), aPiece.Width / 2) : m.Payload.size();
    AppendHex(value, m.Payload.data(), bytes, c == 'x' ? "0123456789abcdef" : "0123456789ABCDEF");
    break;
  }
  case 'l':
    value = std::to_string(m.Payload.size());
    break;
  case 'm':
    value = std::to_string(m.ID);
    break;
  case 'q':
    value = std::to_string(m.Qos);
    break;
  case 'r':
    value = m.Retained ? "1" : "0";
    break;
  case 'I':
    value = LocalIsoTime(m.Received);
    break;
  case 'U': {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%lld.%09ld", static_cast<long long>(m.Received.tv_sec), long(m.Received.tv_nsec));
    value = buf;
    break;
  }
  case 'j':
    Json(m, false, value);
    break;
  case 'J':
    if (!Json(m, true, value)) {
      aProblems += "Error: Message payload is not valid JSON on topic " + m.Topic + ".\n";
      return;
    }
    break;
  default: // the level-5 properties
    // A missing response topic prints nothing, not even the width.
    if (!(m.Property && m.Property(c, value)) && c == 'R') return;
  }
  if (!In(Widened, c)) {
    aOut += value;
    return;
  }
  if (aPiece.Precision && In(Capped, c) && value.size() > *aPiece.Precision) value.resize(*aPiece.Precision);
  const std::size_t pad = aPiece.Width > value.size() ? aPiece.Width - value.size() : 0;
  if (aPiece.Left) {
    aOut += value;
    aOut.append(pad, ' ');
    return;
  }
  aOut.append(pad, aPiece.Zero && In(ZeroPadded, c) ? '0' : ' ');
  aOut += value;
}
