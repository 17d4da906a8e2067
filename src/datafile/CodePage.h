#pragma once
// The "ANSI code page" of the window: the 8-bit character set used for the
// text of published messages, for received messages that are not UTF-8 and
// for the data files. On this platform it is the character set of the
// user's locale (UTF-8 on most systems); tests inject Windows-1252.

#include <QString>
#include <memory>
#include <string>
#include <string_view>

class TCodePage {
public:
  virtual ~TCodePage() = default;
  // The character set's name, e.g. "UTF-8" or "windows-1252".
  virtual QString Name() const = 0;
  // Bytes to text; never fails (a malformed sequence becomes U+FFFD).
  virtual QString ToUnicode(std::string_view aBytes) const = 0;
  // Text to bytes; never fails: a character the code page lacks becomes a
  // close equivalent (an accented letter its base letter) or "?".
  virtual std::string FromUnicode(const QString &aText) const = 0;

  static std::unique_ptr<TCodePage> Utf8();
  static std::unique_ptr<TCodePage> Windows1252();
  // The locale's character set (LC_CTYPE). UTF-8 for the C/POSIX locale,
  // whose ASCII would turn every non-ASCII character into "?".
  static std::unique_ptr<TCodePage> ForLocale();
  // A character set by name (as iconv knows it); nullptr when unknown.
  static std::unique_ptr<TCodePage> ByName(const QString &aName);

  // The program's ANSI code page: ForLocale() until SetAnsi chooses another
  // (tests set Windows-1252). Single-threaded use, like the window.
  static const TCodePage &Ansi();
  static void SetAnsi(std::unique_ptr<TCodePage> aCodePage);

protected:
  // A close equivalent of a character: its decomposition without combining
  // marks ("ā" gives "a", "ﬁ" gives "fi"); empty when there is none.
  static QString Equivalent(char32_t aCode);
};

// The text of a received message (raw payload bytes): a payload whose UTF-8
// decoding has as many UTF-16 code units as it has bytes (plain ASCII, or an
// 8-bit text whose every non-ASCII byte is malformed UTF-8) is read in the
// code page; any other payload is decoded as UTF-8 and passed through the
// code page, keeping the characters the code page can show.
QString DecodeReceivedMessage(std::string_view aMessage, const TCodePage &aCodePage);
