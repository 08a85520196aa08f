#include "logger/port_selection.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

int32_t port_from(std::vector<std::string> words) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  return port_number_from_arguments(int(argv.size()), argv.data());
}

TEST(PortSelection, FirstArgumentChoosesThePort) {
  EXPECT_EQ(port_from({"comlog"}), 3);
  EXPECT_EQ(port_from({"comlog", "12"}), 12);
  EXPECT_EQ(port_from({"comlog", "COM5"}), 0);
  EXPECT_EQ(port_from({"comlog", "abc"}), 0);
  EXPECT_EQ(port_from({"comlog", " 7x"}), 7);
  EXPECT_EQ(port_from({"comlog", "-1"}), -1);
  EXPECT_EQ(port_from({"comlog", ""}), 0);
  EXPECT_EQ(port_from({"comlog", "5", "9"}), 5);
  EXPECT_EQ(port_from({"comlog", "4294967299"}), 3);
}

}  // namespace
