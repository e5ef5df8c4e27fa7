// The line-end conversions and the decimal parser, table-driven.
#include <climits>

#include "harness.h"

using ExpandLineFeedsBlock = Fake;

TEST(StripCarriageReturns, TurnsCrLfIntoLfAndKeepsLoneBytes) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"a\r\nb\rc\n", "a\nb\rc\n"}, {"\r\r\n", "\r\n"},  {"\r", "\r"},
      {"", ""},                     {"\r\n\r\n", "\n\n"}, {"\n\r", "\n\r"},
      {"plain", "plain"},           {"x\r\n", "x\n"},     {"\r\rx\r\n\ry", "\r\rx\n\ry"},
  };
  for (const auto& c : cases) {
    std::vector<char> text(c.in.begin(), c.in.end());
    text.push_back('\0');
    text.push_back('#');  // nothing past the terminator is touched
    StripCarriageReturns(text.data());
    EXPECT_EQ(std::string(text.data()), c.out) << "from " << testing::PrintToString(c.in);
    EXPECT_EQ(text.back(), '#');
  }
}

TEST_F(ExpandLineFeedsBlock, PutsCrBeforeEveryLfAndReleasesTheOldBlock) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"a\nbc\n", "a\r\nbc\r\n"}, {"x\r\ny", "x\r\r\ny"}, {"", ""},
      {"\n\n", "\r\n\r\n"},       {"no line", "no line"},
  };
  for (const auto& c : cases) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, c.in.size() + 1);
    memcpy(GlobalLock(block), c.in.c_str(), c.in.size() + 1);
    GlobalUnlock(block);
    HGLOBAL result = ExpandLineFeeds(block);
    ASSERT_NE(result, block);
    std::string out = (const char*)GlobalLock(result);
    EXPECT_EQ(out, c.out);
    GlobalUnlock(result);
    GlobalFree(result);
  }
  EXPECT_EQ(Breaches(), "");
}

TEST_F(ExpandLineFeedsBlock, KeepsTheOldBlockWhenNoNewOneCanBeHad) {
  for (const char* failing : {"GlobalAlloc", "GlobalLock"}) {
    fake::Reset();
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 4);
    memcpy(GlobalLock(block), "a\nb", 4);
    GlobalUnlock(block);
    fake::FailCall(failing, 2, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(ExpandLineFeeds(block), block) << failing;
    EXPECT_STREQ((const char*)GlobalLock(block), "a\nb");
    GlobalUnlock(block);
    GlobalFree(block);
    EXPECT_EQ(Breaches(), "") << failing;
  }
}

TEST(ParseDecimal, ParsesLikeAtoiAndSaturatesBeyondThirtyTwoBits) {
  const struct {
    const char* text;
    int32_t value;
  } cases[] = {
      {"00000001234", 1234}, {"  42x", 42},        {"\t\n+7", 7},
      {"-5", -5},            {"", 0},              {"abc", 0},
      {"- 5", 0},            {"+-5", 0},           {"2147483647", INT_MAX},
      {"2147483648", INT_MAX}, {"99999999999", INT_MAX}, {"04294967297", INT_MAX},
      {"-2147483648", INT_MIN}, {"-99999999999", INT_MIN}, {"9600abc", 9600},
      {"\v\f\r 9", 9},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseDecimal(c.text), c.value) << c.text;
}
