// Windows-1252 written out here: Qt reaches it only through ICU, which is
// not part of every Qt build and turns a character the code page lacks into
// the control character SUB (0x1A) instead of a close equivalent or "?".
#include "CodePage.h"

#include <QList>
#include <array>

namespace {

// 0x80 to 0x9F; the five bytes the code page leaves undefined map to the C1
// control characters of the same number, as Windows does, so they round-trip.
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// The byte for a code point, or -1 when the code page has none.
int ByteFor(char32_t aCode) {
  if (aCode < 0x80 || (aCode >= 0xA0 && aCode <= 0xFF))
    return int(aCode);
  for (size_t i = 0; i < kHigh.size(); ++i)
    if (kHigh[i] == aCode)
      return int(0x80 + i);
  return -1;
}

class TWindows1252 : public TCodePage {
public:
  QString Name() const override { return QStringLiteral("windows-1252"); }

  QString ToUnicode(std::string_view aBytes) const override {
    QString text(qsizetype(aBytes.size()), Qt::Uninitialized);
    QChar *out = text.data();
    for (unsigned char byte : aBytes)
      *out++ = (byte >= 0x80 && byte < 0xA0) ? QChar(kHigh[byte - 0x80]) : QChar(byte);
    return text;
  }

  std::string FromUnicode(const QString &aText) const override {
    std::string bytes;
    bytes.reserve(size_t(aText.size()));
    for (char32_t code : aText.toUcs4()) {
      const int byte = ByteFor(code);
      if (byte >= 0)
        bytes.push_back(char(byte));
      else
        AppendEquivalent(code, bytes);
    }
    return bytes;
  }

private:
  static void AppendEquivalent(char32_t aCode, std::string &aOut) {
    std::string equivalent;
    for (QChar part : Equivalent(aCode)) {
      const int byte = ByteFor(part.unicode());
      if (byte < 0) {
        equivalent.clear();
        break;
      }
      equivalent.push_back(char(byte));
    }
    aOut += equivalent.empty() ? std::string("?") : equivalent;
  }
};

} // namespace

std::unique_ptr<TCodePage> TCodePage::Windows1252() { return std::make_unique<TWindows1252>(); }
