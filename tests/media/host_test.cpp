#include <gtest/gtest.h>

#include "support/recordinghost.h"

namespace corvane {
namespace {

TEST(HostTest, MessagesReachTheInstalledHostWithCaptionAndIcon) {
  test::CRecordingHost host;

  ShowMessage(Format("Unable to open %s", "a.avi"), MB_ICONINFORMATION);
  ShowMessage("x", MB_OK, "File selector error");

  const auto messages = host.Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].m_text, "Unable to open a.avi");
  EXPECT_EQ(messages[0].m_caption, "Corvane");
  EXPECT_EQ(messages[0].m_flags, MB_ICONINFORMATION);
  EXPECT_EQ(messages[1].m_caption, "File selector error");
}

TEST(HostTest, WithoutAHostQuestionsAreAnsweredNoAndCompressionIsRefused) {
  AVICOMPRESSOPTIONS options{};
  EXPECT_EQ(ShowMessage("Exit?", MB_YESNO | MB_ICONQUESTION), IDNO);
  EXPECT_FALSE(Host().ChooseCompression(options));
}

TEST(HostTest, FormatHandlesLongTextsAndTheProgressPattern) {
  EXPECT_EQ(Format("Processing frame %ld\\%ld", 1L, 250L), "Processing frame 1\\250");
  const std::string longText(5000, 'x');
  EXPECT_EQ(Format("%s!", longText.c_str()).size(), 5001u);
}

}  // namespace
}  // namespace corvane
