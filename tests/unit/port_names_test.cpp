#include "common/port_names.h"

#include <gtest/gtest.h>

#include <string>

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
    int32_t port;
    const char* folder;
    const char* file;  // null when there is none
  } cases[] = {
      {1, nullptr, "/dev/ttyS0"},
      {3, nullptr, "/dev/ttyS2"},
      {12, nullptr, "/dev/ttyS11"},
      {INT32_MAX, nullptr, "/dev/ttyS2147483646"},
      {5, "/tmp/ports", "/tmp/ports/com5"},
      {5, "", "/com5"},
      {0, nullptr, nullptr},
      {-1, "/tmp/ports", nullptr},
      {INT32_MIN, nullptr, nullptr},
  };
  for (const auto& c : cases) {
    char file[64] = "untouched";
    const bool found = port_device_file(c.port, c.folder, file, sizeof file);
    EXPECT_EQ(found, c.file != nullptr) << c.port;
    if (c.file != nullptr) {
      EXPECT_STREQ(file, c.file) << c.port;
    }
  }
}

TEST(PortNames, LinuxDeviceFileThatDoesNotFitIsRefused) {
  char file[16];
  EXPECT_TRUE(port_device_file(5, "/tmp/p", file, sizeof file));         // "/tmp/p/com5"
  EXPECT_FALSE(port_device_file(5, "/tmp/ports/x", file, sizeof file));  // 17 bytes and a NUL
  EXPECT_FALSE(port_device_file(10, nullptr, file, 10));                 // "/dev/ttyS9" needs 11
  EXPECT_TRUE(port_device_file(10, nullptr, file, 11));
}

}  // namespace
