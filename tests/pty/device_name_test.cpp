// Port names on Linux: short names under /dev/, paths, and names that are no
// serial line, through the port layer and ColdStart on the real platform.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "link/port.h"
#include "platform/serial_platform.h"
#include "support/driver_calls.h"
#include "support/port_link.h"

namespace {

using sarn::kNoHandle;

// A pseudo-terminal whose slave the code under test opens by name.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) path_ = ptsname(master_);
  }
  ~Pty() {
    if (master_ >= 0) close(master_);
  }
  int Master() const { return master_; }
  const std::string& Path() const { return path_; }
  // "pts/N": the slave's name under /dev/.
  std::string ShortName() const { return path_.rfind("/dev/", 0) == 0 ? path_.substr(5) : std::string(); }

 private:
  int master_ = -1;
  std::string path_;
};

// A scratch file of the given kind under /tmp, with an 11-character name.
struct Scratch {
  explicit Scratch(bool bFifo) {
    char sz[] = "/tmp/XXXXXX";
    const int fd = mkstemp(sz);
    if (fd >= 0) close(fd);
    name = sz;
    if (bFifo && (unlink(sz) != 0 || mkfifo(sz, 0600) != 0)) name.clear();
  }
  ~Scratch() {
    if (!name.empty()) unlink(name.c_str());
  }
  std::string name;
};

class DeviceNameTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(pty_.ShortName().empty()) << "no pseudo-terminal"; }

  // PortOpen's result for the name; what opened is closed again.
  static int Open(const std::string& name) {
    SarnHandle h = kNoHandle;
    const LineSettings line{9600, 8, 0, 0};
    const int rc = sarn::PortOpen(name.c_str(), &line, sarn::kDefaultControl, &h);
    EXPECT_EQ(h != kNoHandle, rc == sarn::kPortOk) << name;
    if (h != kNoHandle) {
      EXPECT_EQ(sarn::PortClose(h), sarn::kPortOk);
    }
    return rc;
  }

  Pty pty_;
};

TEST_F(DeviceNameTest, NamesWithoutALeadingSlashAreDevicesUnderDev) {
  testsupport::PortLink link(pty_.Path());
  ASSERT_FALSE(link.Name().empty());
  Scratch file(false);
  Scratch fifo(true);
  ASSERT_FALSE(fifo.name.empty());
  // A link in the working directory: a relative name no longer reaches it.
  const std::string relative = "rel" + std::to_string(getpid() % 100000);
  ASSERT_EQ(symlink(pty_.Path().c_str(), relative.c_str()), 0);

  struct Case {
    std::string name;
    int iResult;
  };
  const Case cases[] = {
      {pty_.ShortName(), sarn::kPortOk},         // pts/N: /dev/pts/N
      {link.Name(), sarn::kPortOk},              // a path, followed through its link
      {"NUL", sarn::kPortOk},                    // the null device, as ever
      {"ttyNoSuch9", sarn::kPortOpenFailed},     // missing
      {relative, sarn::kPortOpenFailed},         // /dev/relN: missing
      {"pts/123456789", sarn::kPortOpenFailed},  // 13 characters: refused unopened
      {"pts", sarn::kPortNotCharDevice},         // a directory
      {file.name, sarn::kPortNotCharDevice},     // a plain file
      {fifo.name, sarn::kPortNotCharDevice},     // a FIFO: refused without blocking
      {"null", sarn::kPortStateUnread},          // a character device but no terminal
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Open(c.name), c.iResult);
  }
  unlink(relative.c_str());
}

TEST_F(DeviceNameTest, TheShortNameCarriesBytesBothWays) {
  SarnHandle h = kNoHandle;
  const LineSettings line{9600, 8, 0, 0};
  ASSERT_EQ(sarn::PortOpen(pty_.ShortName().c_str(), &line, sarn::kDefaultControl, &h), sarn::kPortOk);
  uint32_t dwWritten = 0;
  ASSERT_EQ(sarn::PortWrite(h, ":0103\r\n", 7, &dwWritten), sarn::kPortOk);
  char buf[16] = {};
  ASSERT_EQ(read(pty_.Master(), buf, sizeof buf), 7);
  EXPECT_EQ(std::string(buf, 7), ":0103\r\n");
  ASSERT_EQ(write(pty_.Master(), "ok", 2), 2);
  uint32_t dwRead = 0;
  EXPECT_EQ(sarn::PortRead(h, buf, 2, &dwRead), sarn::kPortOk);
  EXPECT_EQ(std::string(buf, dwRead), "ok");
  EXPECT_EQ(sarn::PortClose(h), sarn::kPortOk);
}

TEST_F(DeviceNameTest, ColdStartTakesTheShortNameAndSaysWhatIsNoDevice) {
  testsupport::DriverCalls driver;
  testlog::Clear();
  EXPECT_EQ(driver.ColdStart(pty_.ShortName(), 1, 100, testsupport::kPtyLine), SARN_OK) << testlog::Dump();
  EXPECT_EQ(driver.Call(SARN_OP_CLOSE_COM, nullptr), SARN_OK);

  testlog::Clear();
  EXPECT_EQ(driver.ColdStart("pts", 1, 100, testsupport::kPtyLine), SARN_LINE_FAIL);
  EXPECT_EQ(testlog::Count(32, "SARNMD> Port pts is not a character device"), 1) << testlog::Dump();
  EXPECT_EQ(testlog::Count(32, "SARNMD> ColdStart() error opening COM port"), 1) << testlog::Dump();
}

// What the system said of a port that did not open, by the name it was
// asked under; nothing for a name that opened or was never tried.
TEST_F(DeviceNameTest, APortThatDoesNotOpenIsDescribedInLinuxTerms) {
  Scratch file(false);
  ASSERT_FALSE(file.name.empty());
  SarnHandle hHeld = kNoHandle;
  const LineSettings line{9600, 8, 0, 0};
  ASSERT_EQ(sarn::PortOpen(pty_.ShortName().c_str(), &line, sarn::kDefaultControl, &hHeld), sarn::kPortOk);

  struct Case {
    std::string name;
    int iResult;
    std::string text;
  };
  const Case cases[] = {
      {"ttyNOPE9", sarn::kPortOpenFailed, "open /dev/ttyNOPE9: No such file or directory (ENOENT)"},
      {file.name, sarn::kPortNotCharDevice, "open (not a character device) " + file.name + ": No such device (ENODEV)"},
      {pty_.ShortName(), sarn::kPortOpenFailed,
       "flock (the port is open in another program) " + pty_.Path() + ": Device or resource busy (EBUSY)"},
      // A character device that is no terminal opens, and is given up when
      // its line cannot be read.
      {"null", sarn::kPortStateUnread, "TCGETS2 (read the line): Inappropriate ioctl for device (ENOTTY)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Open(c.name), c.iResult);
    char sz[sarn::kFailureTextSize];
    EXPECT_EQ(sarn::PortDescribeOpenFailure(c.name.c_str(), sz, sizeof sz), c.text.size());
    EXPECT_EQ(sz, c.text);
    EXPECT_EQ(sarn::PortDescribeOpenFailure("ttyOTHER", sz, sizeof sz), 0u) << "kept under its own name only";
    EXPECT_STREQ(sz, "");
  }
  EXPECT_EQ(sarn::PortClose(hHeld), sarn::kPortOk);
}

TEST_F(DeviceNameTest, ColdStartSaysWhyThePortDidNotOpen) {
  testsupport::DriverCalls driver;
  testlog::Clear();
  EXPECT_EQ(driver.ColdStart("ttyNOPE9", 1, 100, testsupport::kPtyLine), SARN_LINE_FAIL);
  const auto& lines = testlog::Lines();
  const std::string why =
      "SARNMD> Port ttyNOPE9 not opened, the system says: open /dev/ttyNOPE9: No such file or directory (ENOENT)";
  const std::string error = "SARNMD> ColdStart() error opening COM port";
  size_t iWhy = lines.size(), iError = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].text == why && lines[i].iLevel == 32) iWhy = i;
    if (lines[i].text == error && lines[i].iLevel == 32) iError = i;
  }
  ASSERT_LT(iWhy, lines.size()) << testlog::Dump();
  ASSERT_LT(iError, lines.size()) << testlog::Dump();
  EXPECT_LT(iWhy, iError) << "the reason comes before the error it explains";
}

}  // namespace
