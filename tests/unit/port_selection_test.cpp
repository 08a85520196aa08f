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

// The number at the start of the first argument, COM n in any case as n; whether the argument
// counts as a number decides whether the operator is shown how to name a port.
TEST(PortSelection, FirstArgumentChoosesThePort) {
  const struct {
    std::vector<std::string> words;
    int32_t port;
    bool a_number;
  } cases[] = {
      {{"comlog"}, 3, true},
      {{"comlog", "12"}, 12, true},
      {{"comlog", "abc"}, 0, false},
      {{"comlog", " 7x"}, 7, true},
      {{"comlog", "-1"}, -1, true},
      {{"comlog", ""}, 0, false},
      {{"comlog", "5", "9"}, 5, true},
      {{"comlog", "4294967299"}, 3, true},
      {{"comlog", "COM5"}, 5, true},
      {{"comlog", "com3"}, 3, true},
      {{"comlog", "Com12x"}, 12, true},
      {{"comlog", "COM4294967299"}, 3, true},
      {{"comlog", "COM"}, 0, false},
      {{"comlog", "COMx"}, 0, false},
      {{"comlog", "COM-1"}, 0, false},
      {{"comlog", "COM 3"}, 0, false},
      {{"comlog", " COM3"}, 0, false},
      {{"comlog", "CON3"}, 0, false},
      {{"comlog", "\\\\.\\COM3"}, 0, false},
  };
  for (const auto& c : cases) {
    std::vector<std::string> words = c.words;
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    const std::string shown = words.size() > 1 ? "'" + words[1] + "'" : "(none)";
    EXPECT_EQ(port_from(c.words), c.port) << shown;
    EXPECT_EQ(port_argument_is_a_number(int(argv.size()), argv.data()), c.a_number) << shown;
  }
}

// Only the first argument asks for the help or the version, and only as these words.
TEST(PortSelection, TheFirstArgumentMayAskForTheHelpOrTheVersion) {
  const struct {
    std::vector<std::string> words;
    Request request;
  } cases[] = {
      {{"comlog"}, Request::kLog},
      {{"comlog", "--help"}, Request::kHelp},
      {{"comlog", "-h"}, Request::kHelp},
      {{"comlog", "--help", "5"}, Request::kHelp},
      {{"comlog", "--version"}, Request::kVersion},
      {{"comlog", "5", "--help"}, Request::kLog},
      {{"comlog", "--HELP"}, Request::kLog},
      {{"comlog", "-help"}, Request::kLog},
      {{"comlog", "--versions"}, Request::kLog},
      {{"comlog", "-v"}, Request::kLog},
  };
  for (const auto& c : cases) {
    std::vector<std::string> words = c.words;
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    EXPECT_EQ(request_from_arguments(int(argv.size()), argv.data()), c.request)
        << (words.size() > 1 ? words[1] : "(none)");
  }
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
