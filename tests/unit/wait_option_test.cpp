#include "logger/wait_option.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// `--wait` counts only as the first argument, and leaves the arguments as they would be without
// it; anything else leaves them as they are.
TEST(WaitOption, OnlyAFirstWaitIsTakenAndTheRestStaysAsItWas) {
  const struct {
    std::vector<std::string> arguments;
    bool taken;
    std::vector<std::string> left;
  } cases[] = {
      {{}, false, {}},
      {{"5"}, false, {"5"}},
      {{"--wait"}, true, {}},
      {{"--wait", "5"}, true, {"5"}},
      {{"--wait", "/dev/ttyUSB0", "x"}, true, {"/dev/ttyUSB0", "x"}},
      {{"--wait", "--wait"}, true, {"--wait"}},
      {{"5", "--wait"}, false, {"5", "--wait"}},
      {{"--Wait", "5"}, false, {"--Wait", "5"}},
      {{"--waiting"}, false, {"--waiting"}},
      {{"-w"}, false, {"-w"}},
      {{""}, false, {""}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> words = c.arguments;
    std::string zero = "/opt/comlog/comlog";
    std::vector<char*> argv = {zero.data()};
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    int argc = int(argv.size() - 1);
    SCOPED_TRACE(testing::PrintToString(c.arguments));
    EXPECT_EQ(take_wait_option(&argc, argv.data()), c.taken);
    ASSERT_EQ(argc, int(c.left.size()) + 1);
    EXPECT_EQ(std::string(argv[0]), zero);
    for (size_t i = 0; i < c.left.size(); ++i) EXPECT_EQ(std::string(argv[i + 1]), c.left[i]);
    EXPECT_EQ(argv[argc], nullptr);
  }
}

}  // namespace
