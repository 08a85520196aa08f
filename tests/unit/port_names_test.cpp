#include "common/port_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/port_failures.h"

namespace {

std::string device_path(int32_t port_number) {
  char path[kDevicePathSize];
  format_device_path(port_number, path);
  return path;
}

TEST(PortNames, DevicePathIsPlainDecimal) {
  EXPECT_EQ(device_path(3), "\\\\.\\COM3");
  EXPECT_EQ(device_path(12), "\\\\.\\COM12");
  EXPECT_EQ(device_path(0), "\\\\.\\COM0");
  EXPECT_EQ(device_path(-1), "\\\\.\\COM-1");
  EXPECT_EQ(device_path(INT32_MIN), "\\\\.\\COM-2147483648");
  EXPECT_EQ(device_path(INT32_MIN).size(), 18u);
}

TEST(PortNames, LinuxDeviceFileOfEachPort) {
  const struct {
    PortName port;
    const char* folder;
    const char* file;  // null when there is none
  } cases[] = {
      {{1, nullptr}, nullptr, "/dev/ttyS0"},
      {{3, nullptr}, nullptr, "/dev/ttyS2"},
      {{12, nullptr}, nullptr, "/dev/ttyS11"},
      {{INT32_MAX, nullptr}, nullptr, "/dev/ttyS2147483646"},
      {{5, nullptr}, "/tmp/ports", "/tmp/ports/com5"},
      {{5, nullptr}, "", "/com5"},
      {{0, nullptr}, nullptr, nullptr},
      {{-1, nullptr}, "/tmp/ports", nullptr},
      {{INT32_MIN, nullptr}, nullptr, nullptr},
      // A device file named by the operator is that file, whatever the folder of links says.
      {{0, "/dev/ttyUSB0"}, nullptr, "/dev/ttyUSB0"},
      {{0, "/dev/serial/by-id/usb-FTDI-if00"}, "/tmp/ports", "/dev/serial/by-id/usb-FTDI-if00"},
  };
  for (const auto& c : cases) {
    const std::string name =
        c.port.device_file ? c.port.device_file : std::to_string(c.port.number);
    char file[64] = "untouched";
    const bool found = port_device_file(c.port, c.folder, file, sizeof file);
    EXPECT_EQ(found, c.file != nullptr) << name;
    EXPECT_STREQ(file, c.file != nullptr ? c.file : "untouched") << name;
  }
}

TEST(PortNames, LinuxDeviceFileThatDoesNotFitIsRefused) {
  const struct {
    PortName port;
    const char* folder;
    size_t size;
    bool fits;
  } cases[] = {
      {{5, nullptr}, "/tmp/p", 16, true},         // "/tmp/p/com5"
      {{5, nullptr}, "/tmp/ports/x", 16, false},  // 17 bytes and a NUL
      {{10, nullptr}, nullptr, 10, false},        // "/dev/ttyS9" needs 11
      {{10, nullptr}, nullptr, 11, true},
      {{0, "/dev/ttyUSB1234"}, nullptr, 16, true},  // 15 bytes and a NUL
      {{0, "/dev/ttyUSB12345"}, nullptr, 16, false},
  };
  for (const auto& c : cases) {
    char file[16] = "untouched";
    EXPECT_EQ(port_device_file(c.port, c.folder, file, c.size), c.fits) << c.size;
    // A device file's name that does not fit is refused whole, never cut short.
    if (!c.fits && c.port.device_file != nullptr) {
      EXPECT_STREQ(file, "untouched");
    }
  }
}

// A port that fails: gone at once on an error that only a removed device gives, otherwise only
// once the failures have come in a row long enough that the port plainly delivers nothing.
TEST(PortFailures, AreTheEndOfThePortAtOnceOrWhenTheyKeepComing) {
  const struct {
    const char* name;
    std::vector<bool> calls;  // true: worked; false: failed with an error of no known meaning
    bool gone_error_last;     // the last call failed with an error that means gone
    bool gone;
  } cases[] = {
      {"a removed device's error", {}, true, true},
      {"one odd failure", {false}, false, false},
      {"odd failures between calls that work",
       std::vector<bool>(size_t(kFailuresMeaningGone) * 3, false), false, false},
      {"odd failures that keep coming", std::vector<bool>(kFailuresMeaningGone - 1, false), false,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PortFailures failures{0};
    std::vector<bool> calls = c.calls;
    // Between calls that work, no run of failures is long enough.
    if (calls.size() > kFailuresMeaningGone) {
      for (size_t i = 0; i < calls.size(); i += kFailuresMeaningGone / 2) calls[i] = true;
    }
    for (bool worked : calls) {
      if (worked) {
        port_worked(&failures);
      } else {
        ASSERT_FALSE(port_failed(&failures, false));
      }
    }
    EXPECT_EQ(port_failed(&failures, c.gone_error_last), c.gone);
  }
}

}  // namespace
