#include "CodePage.h"

#include <gtest/gtest.h>

namespace {

std::string Bytes(std::initializer_list<unsigned char> aBytes) {
  return std::string(aBytes.begin(), aBytes.end());
}

TEST(CodePage, windows_1252_maps_every_byte_and_back) {
  const auto page = TCodePage::Windows1252();
  std::string all;
  for (int b = 0; b < 256; ++b)
    all.push_back(char(b));
  const QString text = page->ToUnicode(all);
  ASSERT_EQ(text.size(), 256);
  EXPECT_EQ(page->FromUnicode(text), all);

  struct Case {
    unsigned char Byte;
    char16_t Char;
  };
  const Case cases[] = {{0x41, u'A'},     {0x80, u'\u20AC'}, {0x81, u'\u0081'}, {0x8A, u'\u0160'},
                        {0x92, u'\u2019'}, {0x9F, u'\u0178'}, {0xA0, u'\u00A0'}, {0xE9, u'\u00E9'},
                        {0xFF, u'\u00FF'}};
  for (const Case &c : cases) {
    SCOPED_TRACE(int(c.Byte));
    EXPECT_EQ(text[c.Byte], QChar(c.Char));
  }
}

TEST(CodePage, characters_a_code_page_lacks_become_equivalents_or_question_marks) {
  struct Case {
    QString Text;
    std::string Windows1252, Latin9;
  };
  const Case cases[] = {
      {"café", Bytes({0x63, 0x61, 0x66, 0xE9}), Bytes({0x63, 0x61, 0x66, 0xE9})},
      {"5€", Bytes({0x35, 0x80}), Bytes({0x35, 0xA4})},
      {"ā", "a", "a"},       // a with macron: its base letter
      {"ﬁ", "fi", "fi"},     // ligature: its letters
      {"日本", "??", "??"},
      {QString::fromUcs4(U"x\U0001F600y"), "x?y", "x?y"}, // one mark for one character
  };
  const auto windows = TCodePage::Windows1252();
  const auto latin9 = TCodePage::ByName("ISO-8859-15");
  ASSERT_NE(latin9, nullptr);
  EXPECT_EQ(latin9->Name(), "ISO-8859-15");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Text.toStdString());
    EXPECT_EQ(windows->FromUnicode(c.Text), c.Windows1252);
    EXPECT_EQ(latin9->FromUnicode(c.Text), c.Latin9);
  }
  EXPECT_EQ(latin9->ToUnicode(Bytes({0x35, 0xA4})), "5€");
}

TEST(CodePage, names_select_a_code_page) {
  struct Case {
    const char *Name;
    const char *Expected; // nullptr: unknown
  };
  const Case cases[] = {{"UTF-8", "UTF-8"},           {"utf8", "UTF-8"},
                        {"CP1252", "windows-1252"},    {"Windows-1252", "windows-1252"},
                        {"ISO-8859-1", "ISO-8859-1"}, {"no-such-charset", nullptr}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    const auto page = TCodePage::ByName(c.Name);
    if (!c.Expected)
      EXPECT_EQ(page, nullptr);
    else
      EXPECT_EQ(page ? page->Name() : QString(), c.Expected);
  }
}

TEST(CodePage, locale_character_set_with_utf8_for_plain_ascii) {
  struct Case {
    const char *Locale;
    const char *Expected;
  };
  const Case cases[] = {{"C.UTF-8", "UTF-8"}, {"C", "UTF-8"}, {"POSIX", "UTF-8"}};
  const QByteArray saved = qgetenv("LC_ALL");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Locale);
    qputenv("LC_ALL", c.Locale);
    EXPECT_EQ(TCodePage::ForLocale()->Name(), c.Expected);
  }
  qputenv("LC_ALL", saved);
}

TEST(CodePage, the_ansi_code_page_can_be_replaced) {
  qputenv("LC_ALL", "C.UTF-8");
  TCodePage::SetAnsi(nullptr);
  EXPECT_EQ(TCodePage::Ansi().Name(), "UTF-8");
  TCodePage::SetAnsi(TCodePage::Windows1252());
  EXPECT_EQ(TCodePage::Ansi().FromUnicode("café"), Bytes({0x63, 0x61, 0x66, 0xE9}));
  TCodePage::SetAnsi(nullptr); // back to the locale's
  EXPECT_EQ(TCodePage::Ansi().FromUnicode("café"), Bytes({0x63, 0x61, 0x66, 0xC3, 0xA9}));
}

// The received-message rule, with Windows-1252 and with UTF-8 as the code page.
TEST(CodePage, received_messages_are_read_as_utf8_or_in_the_code_page) {
  struct Case {
    const char *What;
    std::string Payload;
    QString Windows1252, Utf8;
  };
  const QString replacement(QChar(0xFFFD));
  const Case cases[] = {
      {"ascii", "21.5", "21.5", "21.5"},
      {"empty", "", "", ""},
      {"single byte 0", std::string(1, '\0'), QString(QChar(u'\0')), QString(QChar(u'\0'))},
      {"café in Windows-1252", Bytes({0x63, 0x61, 0x66, 0xE9}), "café", "caf" + replacement},
      {"café in UTF-8", Bytes({0x63, 0x61, 0x66, 0xC3, 0xA9}), "café", "café"},
      {"euro in UTF-8", Bytes({0xE2, 0x82, 0xAC, 0x35}), "€5", "€5"},
      {"characters Windows-1252 lacks", "日本", "??", "日本"},
      {"two malformed bytes", Bytes({0x41, 0xE9, 0xFC}), "Aéü",
       "A" + replacement + replacement},
  };
  const auto windows = TCodePage::Windows1252();
  const auto utf8 = TCodePage::Utf8();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.What);
    EXPECT_EQ(DecodeReceivedMessage(c.Payload, *windows), c.Windows1252);
    EXPECT_EQ(DecodeReceivedMessage(c.Payload, *utf8), c.Utf8);
  }
}

} // namespace
