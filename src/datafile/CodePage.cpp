#include "CodePage.h"

#include <algorithm>
#include <QList>
#include <cerrno>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

namespace {

class TUtf8 : public TCodePage {
public:
  QString Name() const override { return QStringLiteral("UTF-8"); }
  QString ToUnicode(std::string_view aBytes) const override {
    return QString::fromUtf8(aBytes.data(), qsizetype(aBytes.size()));
  }
  std::string FromUnicode(const QString &aText) const override { return aText.toStdString(); }
};

// Any other character set, through the C library's iconv.
class TIconvCodePage : public TCodePage {
public:
  TIconvCodePage(const QString &aName, iconv_t aDecoder, iconv_t aEncoder)
      : FName(aName), FDecoder(aDecoder), FEncoder(aEncoder) {}
  ~TIconvCodePage() override {
    iconv_close(FDecoder);
    iconv_close(FEncoder);
  }
  TIconvCodePage(const TIconvCodePage &) = delete;
  TIconvCodePage &operator=(const TIconvCodePage &) = delete;

  QString Name() const override { return FName; }

  QString ToUnicode(std::string_view aBytes) const override {
    // Malformed input becomes U+FFFD, one per byte that cannot start a character.
    return QString::fromStdString(Convert(FDecoder, aBytes, [](std::string_view, std::string &out) {
      out += "\xEF\xBF\xBD";
      return size_t(1);
    }));
  }

  std::string FromUnicode(const QString &aText) const override {
    const std::string utf8 = aText.toStdString();
    return Convert(FEncoder, utf8, [this](std::string_view rest, std::string &out) {
      // One whole UTF-8 character could not be converted: its equivalent, or "?".
      const unsigned char lead = static_cast<unsigned char>(rest[0]);
      const size_t length = std::min(rest.size(), size_t(lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1));
      const QString character = QString::fromUtf8(rest.data(), qsizetype(length));
      const QString equivalent = character.isEmpty() ? QString() : Equivalent(character.toUcs4().value(0));
      const std::string converted = equivalent.isEmpty() ? std::string() : ConvertAll(FEncoder, equivalent.toStdString());
      out += converted.empty() ? std::string("?") : converted;
      return length;
    });
  }

private:
  // The whole input, or nothing when a part of it cannot be converted.
  static std::string ConvertAll(iconv_t aCd, const std::string &aInput) {
    bool failed = false;
    std::string out = Convert(aCd, aInput, [&failed](std::string_view rest, std::string &) {
      failed = true;
      return rest.size();
    });
    return failed ? std::string() : out;
  }

  // aOnFailure appends a replacement for the input that could not be
  // converted and returns the number of input bytes to skip.
  template <typename TOnFailure>
  static std::string Convert(iconv_t aCd, std::string_view aInput, TOnFailure aOnFailure) {
    iconv(aCd, nullptr, nullptr, nullptr, nullptr);
    std::string out;
    char buffer[1024];
    char *in = const_cast<char *>(aInput.data());
    size_t inLeft = aInput.size();
    while (inLeft > 0) {
      char *outPtr = buffer;
      size_t outLeft = sizeof buffer;
      const size_t result = iconv(aCd, &in, &inLeft, &outPtr, &outLeft);
      out.append(buffer, size_t(outPtr - buffer));
      if (result != size_t(-1) || errno == E2BIG)
        continue;
      // EILSEQ or EINVAL: an unconvertible or cut-off character.
      const size_t skip = std::min(aOnFailure(std::string_view(in, inLeft), out), inLeft);
      in += skip;
      inLeft -= skip;
    }
    char *outPtr = buffer;
    size_t outLeft = sizeof buffer;
    iconv(aCd, nullptr, nullptr, &outPtr, &outLeft);
    out.append(buffer, size_t(outPtr - buffer));
    return out;
  }

  QString FName;
  iconv_t FDecoder;
  iconv_t FEncoder;
};

// "UTF-8", "utf8", "Windows-1252" and "CP1252" each reduce to one form.
QString Simplified(const QString &aName) {
  QString name = aName.toUpper();
  name.remove(u'-');
  name.remove(u'_');
  return name;
}

} // namespace

std::unique_ptr<TCodePage> TCodePage::Utf8() { return std::make_unique<TUtf8>(); }

QString TCodePage::Equivalent(char32_t aCode) {
  QString result;
  for (QChar part : QChar::decomposition(aCode))
    if (part.category() != QChar::Mark_NonSpacing)
      result += part;
  return result;
}

std::unique_ptr<TCodePage> TCodePage::ByName(const QString &aName) {
  const QString simple = Simplified(aName);
  if (simple == u"UTF8")
    return Utf8();
  if (simple == u"WINDOWS1252" || simple == u"CP1252")
    return Windows1252();
  const QByteArray name = aName.toLatin1();
  const iconv_t decoder = iconv_open("UTF-8", name.constData());
  if (decoder == iconv_t(-1))
    return nullptr;
  const iconv_t encoder = iconv_open(name.constData(), "UTF-8");
  if (encoder == iconv_t(-1)) {
    iconv_close(decoder);
    return nullptr;
  }
  return std::make_unique<TIconvCodePage>(aName, decoder, encoder);
}

std::unique_ptr<TCodePage> TCodePage::ForLocale() {
  // The locale the environment asks for, read without changing the program's own.
  QString charset;
  if (locale_t locale = newlocale(LC_CTYPE_MASK, "", locale_t(nullptr))) {
    charset = QString::fromLatin1(nl_langinfo_l(CODESET, locale));
    freelocale(locale);
  }
  const QString simple = Simplified(charset);
  if (charset.isEmpty() || simple == u"ANSIX3.41968" || simple == u"ASCII" || simple == u"USASCII")
    return Utf8();
  if (auto page = ByName(charset))
    return page;
  return Utf8();
}

namespace {
std::unique_ptr<TCodePage> &AnsiSlot() {
  static std::unique_ptr<TCodePage> slot;
  return slot;
}
} // namespace

const TCodePage &TCodePage::Ansi() {
  auto &slot = AnsiSlot();
  if (!slot)
    slot = ForLocale();
  return *slot;
}

void TCodePage::SetAnsi(std::unique_ptr<TCodePage> aCodePage) { AnsiSlot() = std::move(aCodePage); }

QString DecodeReceivedMessage(std::string_view aMessage, const TCodePage &aCodePage) {
  const QString utf8 = QString::fromUtf8(aMessage.data(), qsizetype(aMessage.size()));
  if (size_t(utf8.size()) == aMessage.size())
    return aCodePage.ToUnicode(aMessage);
  return aCodePage.ToUnicode(aCodePage.FromUnicode(utf8));
}
