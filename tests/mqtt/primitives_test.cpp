// The encoding primitives, the enumerations and the CONNACK texts.
#include "EventLog.h"
#include "uMQTT.h"

#include <gtest/gtest.h>

#include <stdexcept>

TEST(Primitives, remaining_length_boundaries) {
  struct Case {
    std::int32_t Length;
    const char *Hex;
  };
  const Case cases[] = {
      {0, "00"},           {1, "01"},           {127, "7F"},
      {128, "80 01"},      {321, "C1 02"},      {16383, "FF 7F"},
      {16384, "80 80 01"}, {2097151, "FF FF 7F"}, {2097152, "80 80 80 01"},
      {268435455, "FF FF FF 7F"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Length);
    TByteStream s;
    EncodeRemainingLength(s, c.Length);
    EXPECT_EQ(ToHex(s.View()), c.Hex);

    // The parser reads the same field back: a PINGRESP header with this length
    // and that many body bytes; a body means no event, and the next packet is in step.
    TMQTTParser p;
    p.MaxRxLength = MQTTMaxRemainingLength;
    TEventLog log(p);
    p.Parse(FromHex("D0") + std::string(s.View()));
    EXPECT_EQ(p.RxState(), c.Length == 0 ? 0 : 2);
    if (c.Length <= 16384) {
      p.Parse(std::string(std::size_t(c.Length), 'x') + FromHex("D0 00"));
      std::vector<std::string> expected{"pingresp"};
      if (c.Length == 0) expected.push_back("pingresp");
      EXPECT_EQ(log.Lines, expected);
    }
  }
}

TEST(Primitives, remaining_length_out_of_range_is_refused) {
  for (std::int32_t length : {-1, MQTTMaxRemainingLength + 1, INT32_MAX}) {
    TByteStream s;
    EXPECT_THROW(EncodeRemainingLength(s, length), std::length_error) << length;
    EXPECT_EQ(s.Size(), 0u);
  }
}

TEST(Primitives, fixed_header_fields) {
  struct Case {
    TMQTTMessageType Type;
    bool Dup;
    TMQTTQOSType Qos;
    bool Retain;
    std::uint8_t Byte;
  };
  const Case cases[] = {
      {mtBROKERCONNECT, false, qtAT_LEAST_ONCE, false, 0x02}, {mtCONNECT, false, qtAT_MOST_ONCE, false, 0x10},
      {mtPUBLISH, true, qtEXACTLY_ONCE, true, 0x3D},          {mtPUBLISH, false, qtReserved3, false, 0x36},
      {mtPUBREL, true, qtAT_LEAST_ONCE, false, 0x6A},         {mtSUBSCRIBE, false, qtAT_LEAST_ONCE, false, 0x82},
      {mtDISCONNECT, false, qtAT_MOST_ONCE, false, 0xE0},     {mtReserved15, true, qtReserved3, true, 0xFF},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(int(c.Byte));
    TByteStream s;
    EncodeFixedHeader(s, c.Type, c.Dup, c.Qos, c.Retain);
    ASSERT_EQ(s.Size(), 1u);
    EXPECT_EQ(s.Data()[0], c.Byte);
    s.Rewind();
    TMQTTMessageType type;
    bool dup, retain;
    TMQTTQOSType qos;
    DecodeFixedHeader(s, type, dup, qos, retain);
    EXPECT_EQ(type, c.Type);
    EXPECT_EQ(dup, c.Dup);
    EXPECT_EQ(qos, c.Qos);
    EXPECT_EQ(retain, c.Retain);
    EXPECT_EQ(s.Position(), 1u);
  }
}

TEST(Primitives, decode_byte_at_end_reads_zero_and_consumes_nothing) {
  TByteStream s(FromHex("7F"));
  EXPECT_EQ(DecodeByte(s), 0x7F);
  EXPECT_EQ(DecodeByte(s), 0);
  EXPECT_EQ(s.Position(), 1u);
}

TEST(Primitives, strings) {
  struct Case {
    const char *Name;
    std::string Wire;
    std::string Expected;
    std::size_t PositionAfter;
  };
  const std::string big(65535, 'b');
  const Case cases[] = {
      {"empty", FromHex("00 00 41"), "", 2},
      {"three_bytes", FromHex("00 03 61 62 63 64"), "abc", 5},
      {"utf8_bytes_kept", FromHex("00 02 C3 A9"), "\xC3\xA9", 4},
      {"count_past_end_reads_empty", FromHex("00 05 61 62"), "", 2},
      {"one_count_byte_only", FromHex("00"), "", 1},
      {"longest", FromHex("FF FF") + big, big, 65537},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    TByteStream s(c.Wire);
    EXPECT_EQ(DecodeString(s), c.Expected);
    EXPECT_EQ(s.Position(), c.PositionAfter);
  }
  TByteStream out;
  EncodeString(out, "abc");
  EncodeString(out, "");
  EncodeString(out, big);
  EXPECT_EQ(out.View().substr(0, 7), FromHex("00 03 61 62 63 00 00"));
  EXPECT_EQ(out.View().substr(7, 2), FromHex("FF FF"));
  EXPECT_EQ(out.Size(), 7u + 2 + 65535);
}

TEST(Primitives, string_over_65535_bytes_is_refused) {
  TByteStream s;
  EXPECT_THROW(EncodeString(s, std::string(65536, 'x')), std::length_error);
  EXPECT_EQ(s.Size(), 0u);
}

TEST(Primitives, connack_texts) {
  const std::pair<int, const char *> cases[] = {
      {0, "ACCEPTED"},    {1, "PROTOCOL UNACCEPTABLE"}, {2, "IDENTIFIER REJECTED"}, {3, "SERVER UNAVILABLE"},
      {4, "BAD LOGIN"},   {5, "NOT AUTHORISED"},         {6, "RESERVED 6"},          {9, "RESERVED 9"},
      {10, "RESERVED 10"}, {255, "RESERVED 255"},
  };
  for (auto [code, text] : cases) EXPECT_EQ(ConnAckText(std::uint8_t(code)), text) << code;
}

TEST(Primitives, connack_texts_at_level_311) {
  const std::pair<int, const char *> cases[] = {
      {0, "ACCEPTED"},
      {1, "UNACCEPTABLE PROTOCOL VERSION"},
      {2, "IDENTIFIER REJECTED"},
      {3, "SERVER UNAVAILABLE"},
      {4, "BAD USER NAME OR PASSWORD"},
      {5, "NOT AUTHORIZED"},
      {6, "RESERVED 6"},
      {255, "RESERVED 255"},
  };
  for (auto [code, text] : cases) EXPECT_EQ(ConnAckText(std::uint8_t(code), plMQTT311), text) << code;
  EXPECT_EQ(ConnAckText(4, plMQTT31), "BAD LOGIN");
}

TEST(Primitives, enumerations) {
  EXPECT_EQ(sizeof(TMQTTMessageType), 1u);
  EXPECT_EQ(sizeof(TMQTTQOSType), 1u);
  EXPECT_EQ(int(mtDISCONNECT), 14);
  EXPECT_EQ(int(mtReserved15), 15);
  EXPECT_EQ(int(qtReserved3), 3);
  const char *names[] = {"AT_MOST_ONCE", "AT_LEAST_ONCE", "EXACTLY_ONCE", "RESERVED"};
  for (int q = 0; q < 4; ++q) EXPECT_EQ(QosDisplayNames[q], names[q]);
}
