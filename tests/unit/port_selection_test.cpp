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

// A first argument that begins with '/' is the device file itself where the platform opens
// device files; everything else means what it means without them.
TEST(PortSelection, AnArgumentBeginningWithASlashIsTheDeviceFileWhereThereAreSuch) {
  const struct {
    std::vector<std::string> words;
    bool device_files;
    int32_t number;           // when there is no device file
    const char* device_file;  // null: COM n
  } cases[] = {
      {{"comlog", "/dev/ttyUSB0"}, true, 0, "/dev/ttyUSB0"},
      {{"comlog", "/dev/serial/by-id/usb-FTDI-if00", "5"},
       true,
       0,
       "/dev/serial/by-id/usb-FTDI-if00"},
      {{"comlog", "/"}, true, 0, "/"},
      {{"comlog", "/dev/ttyUSB0"}, false, 0, nullptr},
      {{"comlog", "5"}, true, 5, nullptr},
      {{"comlog"}, true, 3, nullptr},
      {{"comlog", "dev/ttyUSB0"}, true, 0, nullptr},
      {{"comlog", " /dev/ttyUSB0"}, true, 0, nullptr},
      {{"comlog", "./ttyUSB0"}, true, 0, nullptr},
      {{"comlog", "7", "/dev/ttyUSB0"}, true, 7, nullptr},
  };
  for (const auto& c : cases) {
    std::vector<std::string> words = c.words;
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    const PortName port = port_name_from_arguments(int(argv.size()), argv.data(), c.device_files);
    const std::string shown = words.size() > 1 ? words[1] : "(none)";
    if (c.device_file != nullptr) {
      // The argument itself, as given, for the messages to name.
      EXPECT_EQ(port.device_file, argv[1]) << shown;
      EXPECT_STREQ(port.device_file, c.device_file);
    } else {
      EXPECT_EQ(port.device_file, nullptr) << shown;
      EXPECT_EQ(port.number, c.number) << shown;
    }
  }
}

}  // namespace
