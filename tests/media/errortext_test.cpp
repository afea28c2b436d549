#include "media/errortext.h"

#include <gtest/gtest.h>

#include <set>

namespace corvane {
namespace {

TEST(ErrorTextTest, LayerCodesHaveTheirOwnSingleLineTexts) {
  const HRESULT codes[] = {
      AVIERR_UNSUPPORTED,  AVIERR_BADFORMAT, AVIERR_MEMORY,   AVIERR_INTERNAL,
      AVIERR_BADFLAGS,     AVIERR_BADPARAM,  AVIERR_BADSIZE,  AVIERR_BADHANDLE,
      AVIERR_FILEREAD,     AVIERR_FILEWRITE, AVIERR_FILEOPEN, AVIERR_COMPRESSOR,
      AVIERR_NOCOMPRESSOR, AVIERR_READONLY,  AVIERR_NODATA,   AVIERR_BUFFERTOOSMALL,
      AVIERR_CANTCOMPRESS, AVIERR_USERABORT, AVIERR_ERROR};
  std::set<std::string> texts;
  for (HRESULT code : codes) {
    CErrorText error(code);
    const auto text = error.Text();
    ASSERT_TRUE(text.has_value()) << std::hex << code;
    EXPECT_EQ(text->find("Unknown error"), std::string::npos) << *text;
    EXPECT_EQ(text->find('\n'), std::string::npos) << *text;
    EXPECT_EQ(text->find('\r'), std::string::npos) << *text;
    texts.insert(*text);
  }
  // Each code says something different.
  EXPECT_EQ(texts.size(), std::size(codes));
}

TEST(ErrorTextTest, CodesItDoesNotKnowAreNamedInUpperCaseHex) {
  EXPECT_EQ(CErrorText(static_cast<HRESULT>(0x8004ABCDu)).Text(), "Unknown error 0x8004ABCD");
  EXPECT_EQ(CErrorText(0x2a).Text(), "Unknown error 0x2A");
  EXPECT_EQ(CErrorText(-1).Text(), "Unknown error 0xFFFFFFFF");
}

TEST(ErrorTextTest, TheTextIsKeptInTheObject) {
  CErrorText error(AVIERR_NOCOMPRESSOR);
  const auto first = error.Text();
  ASSERT_TRUE(error.m_message.has_value());
  EXPECT_EQ(*error.m_message, *first);
  EXPECT_EQ(error.Text(), first);
  EXPECT_NE(first->find("compressor"), std::string::npos);
}

}  // namespace
}  // namespace corvane
