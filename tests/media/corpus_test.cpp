// The test corpus as the suites see it: a file that is not there stops the test at once with
// its path, instead of letting the test wait on a source that never opens.
#include <gtest/gtest.h>

#include <stdexcept>

#include "support/testsupport.h"

namespace corvane {
namespace {

TEST(CorpusTest, AMissingInputFailsAtOnceNamingItsPath) {
  const std::string present = test::Fixture("ff_bgr24_1x1.avi");
  const std::string folder = present.substr(0, present.rfind('/') + 1);
  try {
    test::Fixture("not_in_the_corpus.avi");
    FAIL() << "a missing input was handed out as a path";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find(folder + "not_in_the_corpus.avi"), std::string::npos)
        << error.what();
  }
}

TEST(CorpusTest, EveryListedFileIsInTheCorpus) {
  const std::vector<std::string> names = test::AllFixtures();
  EXPECT_EQ(names.size(), 26u);
  for (const std::string& name : names) EXPECT_NO_THROW(test::Fixture(name)) << name;
}

}  // namespace
}  // namespace corvane
