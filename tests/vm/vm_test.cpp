// comlog on real serial drivers: Debian's own kernel under QEMU, with a 16550 UART (the kernel's
// 8250 driver, the guest's /dev/ttyS1 and COM1) and an FTDI FT232 USB adapter (ftdi_sio,
// /dev/ttyUSB0 and COM2). The far ends of both lines are sockets that this test holds: the test
// is the device. QEMU's trace shows what the drivers asked of the hardware, and the guest's init
// (guest-init) runs comlog and answers on the guest's console. One boot serves every case.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "record_text.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kBootLimitMs = 90000;
constexpr int kAnswerLimitMs = 30000;

// The folder with Debian's kernel package unpacked (boot/vmlinuz-*, lib/modules/*), as
// scripts/fetch-vm-kernel leaves it.
std::string kernel_folder() {
  if (const char* named = std::getenv("COMLOG_VM_KERNEL")) return named;
  const char* cache = std::getenv("XDG_CACHE_HOME");
  const char* home = std::getenv("HOME");
  if (cache != nullptr) return std::string(cache) + "/comlog/kernel";
  return std::string(home != nullptr ? home : "/root") + "/.cache/comlog/kernel";
}

std::string kernel_image() {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(kernel_folder() + "/boot", ignored)) {
    if (entry.path().filename().string().rfind("vmlinuz-", 0) == 0) return entry.path();
  }
  return "";
}

bool on_path(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// The reason these tests cannot run here, or empty.
std::string missing_tool() {
  if (!on_path("qemu-system-x86_64")) return "no QEMU: apt-get install qemu-system-x86";
  if (std::system("file -L /bin/busybox 2>/dev/null | grep -q 'statically linked'") != 0) {
    return "no static busybox: apt-get install busybox-static";
  }
  if (!on_path("cpio")) return "no cpio: apt-get install cpio";
  if (kernel_image().empty()) {
    return "no kernel in " + kernel_folder() + ": scripts/fetch-vm-kernel fetches Debian's";
  }
  return "";
}

int connect_to(const std::string& path) {
  for (int tries = 0; tries < 500; ++tries) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

// What a socket holds now, without waiting.
std::string take_waiting(int fd) {
  std::string taken;
  char chunk[4096];
  for (pollfd ready = {fd, POLLIN, 0}; poll(&ready, 1, 0) > 0;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got <= 0) break;
    taken.append(chunk, size_t(got));
  }
  return taken;
}

// The bytes of `od -An -tx1` output.
std::string from_hex(const std::string& dump) {
  std::string bytes;
  for (size_t at = 0; at < dump.size();) {
    if (!std::isxdigit(static_cast<unsigned char>(dump[at]))) {
      ++at;
      continue;
    }
    bytes += char(std::stoi(dump.substr(at, 2), nullptr, 16));
    at += 2;
  }
  return bytes;
}

struct Machine {
  std::string folder;
  pid_t qemu = -1;
  int console = -1;
  int uart = -1;
  int usb = -1;
  int qmp = -1;
  std::string heard;      // from the guest's console, not yet taken
  std::string from_uart;  // whatever the guest sent to the devices: nothing, it must be
  std::string from_usb;

  std::string trace_path() const { return folder + "/trace.log"; }
  std::string trace() const { return read_file(trace_path()); }

  // Reads the console until a line that begins with `prefix`; returns the rest of that line, and
  // in `before` what was heard ahead of it.
  bool answer(const std::string& prefix, std::string* rest, int limit_ms = kAnswerLimitMs,
              std::string* before = nullptr) {
    const auto limit = Clock::now() + std::chrono::milliseconds(limit_ms);
    for (;;) {
      for (size_t start = 0, end; (end = heard.find('\n', start)) != std::string::npos;
           start = end + 1) {
        std::string line = heard.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind(prefix, 0) == 0) {
          const size_t first = line.find_first_not_of(' ', prefix.size());
          *rest = first == std::string::npos ? "" : line.substr(first);
          if (before != nullptr) *before = heard.substr(0, start);
          heard.erase(0, end + 1);
          return true;
        }
      }
      if (Clock::now() > limit) return false;
      pollfd ready = {console, POLLIN, 0};
      if (poll(&ready, 1, 50) > 0) {
        char chunk[4096];
        const ssize_t got = read(console, chunk, sizeof chunk);
        if (got <= 0) return false;
        heard.append(chunk, size_t(got));
      }
      listen_to_devices();
    }
  }

  // Asks the guest's init and returns its answer: the rest of the line "@@ <word> ...", without
  // the blanks before it.
  std::string ask(const std::string& command, const std::string& word) {
    write_all(console, command + "\n");
    std::string rest;
    EXPECT_TRUE(answer("@@ " + word, &rest)) << command << ": no answer; heard " << heard;
    return rest;
  }

  // The bytes of a file of the guest's /work/NAME.
  std::string guest_file(const std::string& name, const std::string& file) {
    ask("file " + name + " " + file, "file");
    std::string rest, dump;
    EXPECT_TRUE(answer("@@ end", &rest, kAnswerLimitMs, &dump));
    return from_hex(dump);
  }

  // Waits until comlog in /work/NAME has read `bytes` from its port in all.
  bool wait_until_read(const std::string& name, size_t bytes) {
    const auto limit = Clock::now() + std::chrono::milliseconds(kAnswerLimitMs);
    while (std::stoull("0" + ask("read " + name, "read")) < bytes) {
      if (Clock::now() > limit) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
  }

  // The trace lines of `event`, from `from` bytes into the trace on, each from the event's name.
  std::vector<std::string> trace_of(const std::string& event, size_t from) const {
    const std::string text = trace().substr(from);
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
      const size_t at = text.find(":" + event + " ", start);
      if (at < end) lines.push_back(text.substr(at + 1, end - at - 1));
    }
    return lines;
  }

  void listen_to_devices() {
    if (uart >= 0) from_uart += take_waiting(uart);
    if (usb >= 0) from_usb += take_waiting(usb);
  }

  void command_qemu(const std::string& json) {
    write_all(qmp, json);
    std::string reply;
    EXPECT_TRUE(read_until(qmp, &reply, "\n")) << json;
    EXPECT_NE(reply.find("\"return\""), std::string::npos) << json << ": " << reply;
  }
};

Machine* g_machine = nullptr;
std::string g_missing;

class SerialDrivers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    g_missing = missing_tool();
    if (!g_missing.empty()) return;
    g_machine = new Machine;
    Machine& machine = *g_machine;
    char pattern[] = "/tmp/comlog-vm-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    machine.folder = pattern;
    const std::string initramfs = machine.folder + "/initrd.gz";
    ASSERT_EQ(std::system((std::string(MAKE_INITRAMFS_PATH) + " " + initramfs + " " + COMLOG_PATH +
                           " " + kernel_folder() + "/lib/modules")
                              .c_str()),
              0);
    const std::string& f = machine.folder;
    RunOptions qemu;
    qemu.command = {"/usr/bin/env", "qemu-system-x86_64", "-accel", "tcg", "-m", "256", "-kernel",
                    kernel_image(), "-initrd", initramfs, "-append", "console=ttyS0 quiet panic=-1",
                    "-display", "none", "-no-reboot", "-net", "none", "-nodefaults",
                    // The guest's console, /dev/ttyS0, then the UART under test, /dev/ttyS1.
                    "-chardev", "socket,id=console,path=" + f + "/console.sock,server=on,wait=off",
                    "-serial", "chardev:console", "-chardev",
                    "socket,id=uart,path=" + f + "/uart.sock,server=on,wait=off", "-serial",
                    "chardev:uart",
                    // The FTDI adapter, attached while its socket has a peer.
                    "-device", "qemu-xhci", "-chardev",
                    "socket,id=usb,path=" + f + "/usb.sock,server=on,wait=off", "-device",
                    "usb-serial,chardev=usb", "-qmp", "unix:" + f + "/qmp.sock,server=on,wait=off",
                    "-trace", "enable=serial_update_parameters", "-trace", "enable=usb_serial_*",
                    "-D", machine.trace_path(), "-msg", "timestamp=on"};
    qemu.stdin_from_dev_null = true;
    machine.qemu = start(qemu).pid;
    // The adapter is plugged in before the guest looks for it.
    machine.usb = connect_to(f + "/usb.sock");
    machine.uart = connect_to(f + "/uart.sock");
    machine.console = connect_to(f + "/console.sock");
    machine.qmp = connect_to(f + "/qmp.sock");
    ASSERT_GE(machine.qmp, 0) << "QEMU did not start";
    std::string greeting;
    ASSERT_TRUE(read_until(machine.qmp, &greeting, "\n"));
    machine.command_qemu("{\"execute\":\"qmp_capabilities\"}");
    std::string ready;
    ASSERT_TRUE(machine.answer("@@ ready", &ready, kBootLimitMs)) << machine.heard;
    ASSERT_EQ(ready, "/dev/ttyUSB0") << "the adapter was not found";
  }

  static void TearDownTestSuite() {
    if (g_machine == nullptr) return;
    Machine& machine = *g_machine;
    if (machine.console >= 0) write_all(machine.console, "off\n");
    if (machine.qemu > 0) wait_for_exit(machine.qemu);
    for (int fd : {machine.console, machine.uart, machine.usb, machine.qmp}) {
      if (fd >= 0) close(fd);
    }
    // COMLOG_VM_KEEP=1 keeps QEMU's trace and the initramfs for a look afterwards.
    if (std::getenv("COMLOG_VM_KEEP") != nullptr) {
      std::printf("The machine's folder stays: %s\n", machine.folder.c_str());
    } else {
      std::error_code ignored;
      fs::remove_all(machine.folder, ignored);
    }
    delete g_machine;
    g_machine = nullptr;
  }

  void SetUp() override {
    if (!g_missing.empty()) GTEST_SKIP() << g_missing;
    ASSERT_NE(g_machine, nullptr);
  }
};

// The last of the lines that contain `part`, or "" when none does.
std::string last_with(const std::vector<std::string>& lines, const std::string& part) {
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
    if (line->find(part) != std::string::npos) return *line;
  }
  return "";
}

// 2000 lines at full speed through the port whose chardev is `name` (the guest's comlog of the
// same name), with a break on the line between two readings, until comlog has read them all.
SentLines send_with_a_break(Machine* machine, const std::string& name, int device) {
  const SentLines before = sent_lines(0, 1000);
  const SentLines after = sent_lines(1000, 1000);
  write_all(device, before.stream);
  EXPECT_TRUE(machine->wait_until_read(name, before.stream.size()));
  machine->command_qemu("{\"execute\":\"chardev-send-break\",\"arguments\":{\"id\":\"" + name +
                        "\"}}");
  write_all(device, after.stream);
  EXPECT_TRUE(machine->wait_until_read(name, before.stream.size() + after.stream.size()));
  return SentLines{before.stream + after.stream, before.echo + after.echo,
                   before.records + after.records};
}

std::string banner(const std::string& device_path) {
  return port_opened_message(device_path) + "running /bin/comlog\r\nrunning\r\n";
}

TEST_F(SerialDrivers, AUartGetsItsLineKeepsDtrAndRtsLowAndLogsEveryLineThroughABreak) {
  Machine& machine = *g_machine;
  const size_t trace_from = machine.trace().size();
  ASSERT_EQ(machine.ask("start uart 1", "started"), "uart");
  // The line as the 8250 driver last set the UART.
  const std::vector<std::string> settings =
      machine.trace_of("serial_update_parameters", trace_from);
  ASSERT_FALSE(settings.empty());
  EXPECT_EQ(settings.back(), "serial_update_parameters baudrate=115200 parity='N' data=8 stop=1");
  // The driver's own view of the modem lines, read without opening the port.
  const std::string modem = machine.ask("modem 1", "modem");
  EXPECT_NE(modem.find("uart:16550A"), std::string::npos) << modem;
  EXPECT_EQ(modem.find("RTS"), std::string::npos) << modem;
  EXPECT_EQ(modem.find("DTR"), std::string::npos) << modem;

  // At full speed, with a break on the line between two readings.
  const SentLines stream = send_with_a_break(&machine, "uart", machine.uart);
  EXPECT_EQ(machine.ask("stop uart", "status"), "143");  // its own SIGTERM, raised again

  EXPECT_EQ(machine.guest_file("uart", "test.dat"), stream.records);
  EXPECT_EQ(machine.guest_file("uart", "console.out"), banner("\\\\.\\COM1") + stream.echo);
  machine.listen_to_devices();
  EXPECT_EQ(machine.from_uart, "") << "bytes sent to the device";
}

// The kernel raises DTR and RTS when it opens the port; comlog lowers them before it says a word,
// so that no console (a terminal stopped with Ctrl+S) can stretch the pulse.
TEST_F(SerialDrivers, AnFtdiAdaptersDtrAndRtsGoDownBeforeTheFirstMessage) {
  Machine& machine = *g_machine;
  const std::string write_trace =
      "{\"execute\":\"trace-event-set-state\",\"arguments\":{"
      "\"name\":\"serial_write\",\"enable\":";
  machine.command_qemu(write_trace + "true}}");
  const size_t trace_from = machine.trace().size();
  // comlog's messages on the guest's console, whose UART writes the trace shows too.
  ASSERT_EQ(machine.ask("start order 2 console", "started"), "order");
  machine.command_qemu(write_trace + "false}}");
  // The requests to the adapter and the bytes of the guest's console, in the order they came.
  const std::string text = machine.trace().substr(trace_from);
  const size_t raised = text.find("got control 0x4001, value 0x303");
  const size_t lowered = text.find("got control 0x4001, value 0x300");
  // The first byte of comlog's first message, the Shift_JIS "port".
  const size_t first_byte = text.find("serial_write write addr 0x00 val 0x83");
  ASSERT_NE(raised, std::string::npos) << "the open raised no modem line";
  ASSERT_NE(lowered, std::string::npos);
  ASSERT_NE(first_byte, std::string::npos);
  EXPECT_LT(raised, lowered);
  EXPECT_LT(lowered, first_byte) << "DTR and RTS were still up at comlog's first message";
  EXPECT_EQ(machine.ask("stop order", "status"), "143");
}

TEST_F(SerialDrivers, AnFtdiAdapterLogsThroughABreakAndIsLoggedAgainWhenPluggedBack) {
  Machine& machine = *g_machine;
  const size_t trace_from = machine.trace().size();
  ASSERT_EQ(machine.ask("start usb 2", "started"), "usb");
  // The requests that ftdi_sio made of the adapter: 115200 (3 MHz / 26), 8N1, no flow control,
  // DTR and RTS down.
  const std::vector<std::string> requests =
      machine.trace_of("usb_serial_handle_control", trace_from);
  EXPECT_EQ(last_with(requests, "0x4003,"),
            "usb_serial_handle_control dev 0:1 got control 0x4003, value 0x1a");
  EXPECT_EQ(last_with(machine.trace_of("usb_serial_set_data", trace_from), "parity"),
            "usb_serial_set_data dev 0:1 parity N, data bits 8, stop bits 1");
  EXPECT_EQ(last_with(requests, "0x4002,"),
            "usb_serial_handle_control dev 0:1 got control 0x4002, value 0x0");
  EXPECT_EQ(last_with(requests, "0x4001,"),
            "usb_serial_handle_control dev 0:1 got control 0x4001, value 0x300");

  // At full speed in the adapter's 62-byte packets, with a break between two readings.
  const SentLines before = send_with_a_break(&machine, "usb", machine.usb);

  // Pulled out for 4 s: the records are on disk while the adapter is away.
  const auto pulled = Clock::now();
  close(machine.usb);
  machine.usb = -1;
  ASSERT_TRUE(wait_until([&] { return machine.ask("ports", "ports").empty(); }));
  ASSERT_TRUE(wait_until([&] { return machine.guest_file("usb", "test.dat") == before.records; }))
      << "the records stayed in memory";
  std::this_thread::sleep_until(pulled + std::chrono::seconds(4));

  // Plugged back: it gets its old name, since comlog let go of it, and comlog sets it up again.
  const size_t replugged = machine.trace().size();
  machine.usb = connect_to(machine.folder + "/usb.sock");
  ASSERT_TRUE(wait_until([&] { return machine.ask("ports", "ports") == "/dev/ttyUSB0"; }));
  // Set up: the speed, then DTR and RTS lowered once more; the purge follows straight after.
  ASSERT_TRUE(wait_until([&] {
    const std::string text = machine.trace().substr(replugged);
    const size_t speed = text.find("got control 0x4003, value 0x1a");
    return speed != std::string::npos &&
           text.find("got control 0x4001, value 0x300", speed) != std::string::npos;
  })) << "comlog did not set up the returned adapter";
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // and has purged its input
  const SentLines after = sent_lines(5000, 40);
  write_all(machine.usb, after.stream);
  ASSERT_TRUE(machine.wait_until_read("usb", before.stream.size() + after.stream.size()));
  EXPECT_EQ(machine.ask("stop usb", "status"), "143");

  EXPECT_EQ(machine.guest_file("usb", "test.dat"), before.records + after.records);
  const std::string com2 = "\\\\.\\COM2";
  EXPECT_EQ(machine.guest_file("usb", "console.out"), banner(com2) + before.echo +
                                                          port_not_opened_message(com2) +
                                                          port_opened_message(com2) + after.echo);
  // Standard error names the adapter's device file behind COM2 as it goes and as it comes back.
  const std::string errors = machine.guest_file("usb", "console.err");
  EXPECT_TRUE(told_gone_and_back(errors, "COM2 (/ports/com2)")) << errors;
  machine.listen_to_devices();
  EXPECT_EQ(machine.from_usb, "") << "bytes sent to the device";
}

}  // namespace
