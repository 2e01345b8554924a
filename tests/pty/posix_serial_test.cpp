// The POSIX serial platform and the port layer on real pseudo-terminals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "link/port.h"
#include "platform/serial_platform.h"
#include "support/port_link.h"

namespace {

using sarn::kNoHandle;
using Clock = std::chrono::steady_clock;

constexpr LineSettings k9600_7E2{9600, 7, 2, 2};

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A pseudo-terminal: the test plays the device behind the master side, the
// code under test opens the slave by name.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    path_ = ptsname(master_);
    link_.PointAt(path_);
  }
  ~Pty() { CloseMaster(); }
  bool Ok() const { return master_ >= 0 && !path_.empty(); }
  const char* Path() const { return path_.c_str(); }
  // Port names hold 11 characters: the port layer opens the pty through a link.
  const char* ShortName() const { return link_.Name().c_str(); }
  int Master() const { return master_; }
  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }
  void Send(const std::string& bytes) { ASSERT_EQ(write(master_, bytes.data(), bytes.size()), (ssize_t)bytes.size()); }
  // What the slave side sent, collected until `count` bytes or 2 s passed.
  std::string Receive(size_t count) {
    std::string got;
    auto start = Clock::now();
    while (got.size() < count && MsSince(start) < 2000) {
      pollfd pfd{master_, POLLIN, 0};
      if (poll(&pfd, 1, 50) <= 0) continue;
      char buf[256];
      ssize_t n = read(master_, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }

 private:
  int master_ = -1;
  std::string path_;
  testsupport::PortLink link_;
};

// Runs fn in a forked child and returns its exit code (-1 if it died).
template <typename Fn>
int InChild(Fn fn) {
  pid_t pid = fork();
  if (pid == 0) _exit(fn());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

class PosixSerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    ASSERT_TRUE(pty_.Ok()) << "no pseudo-terminal: " << strerror(errno);
  }
  void TearDown() override {
    for (SarnHandle h : opened_) sarn::PlatClose(h);
  }

  // Opens the slave raw with the given line and time-outs.
  SarnHandle OpenRaw(uint32_t dwReadTimeoutMs) {
    SarnHandle h = sarn::PlatOpen(pty_.Path());
    EXPECT_NE(h, kNoHandle) << strerror(errno);
    opened_.push_back(h);
    sarn::PlatLineState state;
    state.dwBaudRate = 9600;
    EXPECT_TRUE(sarn::PlatSetLineState(h, &state));
    sarn::PlatTimeouts timeouts;
    timeouts.ReadTotalTimeoutConstant = dwReadTimeoutMs;
    EXPECT_TRUE(sarn::PlatSetTimeouts(h, &timeouts));
    return h;
  }

  Pty pty_;
  std::vector<SarnHandle> opened_;
};

TEST_F(PosixSerialTest, OpenIsExclusiveWithinAndAcrossProcesses) {
  SarnHandle h = sarn::PlatOpen(pty_.Path());
  ASSERT_NE(h, kNoHandle);
  EXPECT_EQ(sarn::PlatOpen(pty_.Path()), kNoHandle);
  EXPECT_EQ(InChild([&] { return sarn::PlatOpen(pty_.Path()) == kNoHandle ? 0 : 1; }), 0);

  ASSERT_TRUE(sarn::PlatClose(h));
  EXPECT_FALSE(sarn::PlatClose(h)) << "closed handle";
  h = sarn::PlatOpen(pty_.Path());
  EXPECT_NE(h, kNoHandle) << "free again after close";
  opened_.push_back(h);

  // Other users are refused by the kernel as well, and the flag that does it
  // is gone once the port is closed, although the pty itself lives on.
  if (geteuid() == 0 && chmod(pty_.Path(), 0666) == 0) {
    auto openAsNobody = [&] {
      if (setgid(65534) != 0 || setuid(65534) != 0) return 9;
      SarnHandle hOther = sarn::PlatOpen(pty_.Path());
      return hOther == kNoHandle ? 1 : 0;
    };
    EXPECT_EQ(InChild(openAsNobody), 1) << "while open";
    sarn::PlatClose(h);
    opened_.pop_back();
    EXPECT_EQ(InChild(openAsNobody), 0) << "after close";
  }

  // Only existing devices; nothing is created.
  EXPECT_EQ(sarn::PlatOpen("/tmp/sarn-no-such-port"), kNoHandle);
  EXPECT_NE(access("/tmp/sarn-no-such-port", F_OK), 0);
  EXPECT_EQ(sarn::PlatOpen(""), kNoHandle);
}

TEST_F(PosixSerialTest, HandlesAreNeverZeroEvenWhenDescriptorZeroIsFree) {
  int iCode = InChild([&] {
    close(0);
    SarnHandle h = sarn::PlatOpen(pty_.Path());
    if (h == kNoHandle) return 1;
    uint32_t dwWritten = 0;
    if (!sarn::PlatWrite(h, "ok", 2, &dwWritten) || dwWritten != 2) return 2;
    return sarn::PlatClose(h) ? 0 : 3;
  });
  EXPECT_EQ(iCode, 0);
  EXPECT_EQ(pty_.Receive(2), "ok");

  // Unknown handles fail safely in every call.
  char buf[4];
  uint32_t dwCount = 0;
  sarn::PlatLineState state;
  sarn::PlatTimeouts timeouts;
  sarn::PlatQueueStatus status;
  for (SarnHandle h : {SarnHandle{0}, SarnHandle{1}, SarnHandle{33}, SarnHandle{0xFFFFFFFF}}) {
    SCOPED_TRACE(h);
    EXPECT_FALSE(sarn::PlatRead(h, buf, 4, &dwCount));
    EXPECT_FALSE(sarn::PlatWrite(h, buf, 4, &dwCount));
    EXPECT_FALSE(sarn::PlatGetLineState(h, &state));
    EXPECT_FALSE(sarn::PlatSetLineState(h, &state));
    EXPECT_FALSE(sarn::PlatGetTimeouts(h, &timeouts));
    EXPECT_FALSE(sarn::PlatSetTimeouts(h, &timeouts));
    EXPECT_FALSE(sarn::PlatClearError(h, &status));
    EXPECT_FALSE(sarn::PlatEscape(h, sarn::kEscapeSetRts));
    EXPECT_FALSE(sarn::PlatClose(h));
  }
}

TEST_F(PosixSerialTest, NulAcceptsWritesAndDeliversNothingAtOnce) {
  SarnHandle h = sarn::PlatOpen("NUL");
  ASSERT_NE(h, kNoHandle);
  SarnHandle h2 = sarn::PlatOpen("NUL");
  EXPECT_NE(h2, kNoHandle) << "the null device is not exclusive";
  EXPECT_NE(h2, h);
  sarn::PlatClose(h2);

  sarn::PlatLineState state;
  EXPECT_TRUE(sarn::PlatGetLineState(h, &state));
  EXPECT_TRUE(sarn::PlatSetLineState(h, &state));
  sarn::PlatTimeouts timeouts;
  timeouts.ReadTotalTimeoutConstant = 1000;
  EXPECT_TRUE(sarn::PlatSetTimeouts(h, &timeouts));

  uint32_t dwCount = 0;
  EXPECT_TRUE(sarn::PlatWrite(h, "hello", 5, &dwCount));
  EXPECT_EQ(dwCount, 5u);
  char buf[8];
  auto start = Clock::now();
  dwCount = 99;
  EXPECT_TRUE(sarn::PlatRead(h, buf, 8, &dwCount));
  EXPECT_EQ(dwCount, 0u);
  EXPECT_LT(MsSince(start), 100);
  EXPECT_TRUE(sarn::PlatClose(h));

  EXPECT_EQ(sarn::PlatOpen("nul"), kNoHandle) << "the name is case-sensitive";
}

TEST_F(PosixSerialTest, PortOpensAPtyWith9600_7E2AndPassesBytesUnchanged) {
  SarnHandle h = kNoHandle;
  ASSERT_EQ(sarn::PortOpen(pty_.ShortName(), &k9600_7E2, 0x0303, &h), 0);
  opened_.push_back(h);

  // The pty keeps its own framing: 8 data bits, no parity.
  sarn::PlatLineState state;
  ASSERT_TRUE(sarn::PlatGetLineState(h, &state));
  EXPECT_EQ(state.dwBaudRate, 9600u);
  EXPECT_EQ(state.cByteSize, 8);
  EXPECT_EQ(state.cParity, sarn::kParityNone);
  EXPECT_EQ(state.cStopBits, sarn::kStopTwo);
  EXPECT_EQ(state.fDtrControl, sarn::kDtrEnable);
  EXPECT_EQ(state.fRtsControl, sarn::kRtsEnable);

  // A second open through the port layer fails and leaves the first alone.
  SarnHandle h2 = kNoHandle;
  EXPECT_EQ(sarn::PortOpen(pty_.ShortName(), &k9600_7E2, 0x0303, &h2), 1);
  EXPECT_EQ(h2, kNoHandle);

  const std::string frame(":01\r\n\x03\x7f\x11\x13\x00\xff\n", 12);
  uint32_t dwCount = 0;
  EXPECT_EQ(sarn::PortWrite(h, frame.data(), 12, &dwCount), 0);
  EXPECT_EQ(pty_.Receive(frame.size()), frame);
  pty_.Send(frame);
  char buf[16] = {};
  EXPECT_EQ(sarn::PortRead(h, buf, 12, &dwCount), 0);
  EXPECT_EQ(std::string(buf, dwCount), frame);
}

TEST_F(PosixSerialTest, ReadCompletesAPartialReplyWithinTheTimeout) {
  SarnHandle h = kNoHandle;
  ASSERT_EQ(sarn::PortOpen(pty_.ShortName(), &k9600_7E2, 0x0303, &h), 0);
  opened_.push_back(h);
  std::thread device([&] {
    pty_.Send("01234");
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    pty_.Send("5678901");
  });
  char buf[16] = {};
  uint32_t dwCount = 0;
  auto start = Clock::now();
  int iResult = sarn::PortRead(h, buf, 12, &dwCount);
  int64_t ms = MsSince(start);
  device.join();
  EXPECT_EQ(iResult, 0);
  EXPECT_EQ(std::string(buf, dwCount), "012345678901");
  EXPECT_GE(ms, 100);
  EXPECT_LT(ms, 900);
}

TEST_F(PosixSerialTest, ReadTimesOutWithWhatArrived) {
  SarnHandle h = OpenRaw(300);
  pty_.Send("abc");
  char buf[16];
  uint32_t dwCount = 0;
  auto start = Clock::now();
  EXPECT_TRUE(sarn::PlatRead(h, buf, 10, &dwCount));
  int64_t ms = MsSince(start);
  EXPECT_EQ(dwCount, 3u);
  EXPECT_GE(ms, 280);
  EXPECT_LT(ms, 1500);

  // Through the port layer: 7, after a second read has waited in vain.
  pty_.Send("abc");
  start = Clock::now();
  EXPECT_EQ(sarn::PortRead(h, buf, 10, &dwCount), 7);
  ms = MsSince(start);
  EXPECT_EQ(dwCount, 3u);
  EXPECT_GE(ms, 560);
  EXPECT_LT(ms, 3000);
}

TEST_F(PosixSerialTest, HangUpEndsAReadThatWouldWaitForEver) {
  SarnHandle h = OpenRaw(0);  // all read time-outs 0: wait until complete
  std::thread device([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    pty_.CloseMaster();
  });
  char buf[16];
  uint32_t dwCount = 99;
  auto start = Clock::now();
  bool bOk = sarn::PlatRead(h, buf, 10, &dwCount);
  int64_t ms = MsSince(start);
  device.join();
  EXPECT_FALSE(bOk);
  EXPECT_EQ(dwCount, 0u);
  EXPECT_GE(ms, 150);
  EXPECT_LT(ms, 5000);

  // Later reads and writes on the dead line fail at once.
  start = Clock::now();
  EXPECT_EQ(sarn::PortRead(h, buf, 10, &dwCount), 7);
  EXPECT_EQ(sarn::PortWrite(h, "x", 1, &dwCount), 7);
  EXPECT_LT(MsSince(start), 1000);
}

TEST_F(PosixSerialTest, WriteToADeviceThatTakesNothingEndsAtItsDeadline) {
  SarnHandle h = OpenRaw(100);
  sarn::PlatTimeouts timeouts;
  timeouts.WriteTotalTimeoutConstant = 200;
  ASSERT_TRUE(sarn::PlatSetTimeouts(h, &timeouts));
  std::vector<char> big(1 << 20, 'x');
  uint32_t dwWritten = 0;
  auto start = Clock::now();
  EXPECT_TRUE(sarn::PlatWrite(h, big.data(), static_cast<uint32_t>(big.size()), &dwWritten));
  int64_t ms = MsSince(start);
  EXPECT_LT(dwWritten, big.size());
  EXPECT_GE(ms, 180);
  EXPECT_LT(ms, 3000);
  EXPECT_EQ(sarn::PortWrite(h, big.data(), static_cast<uint32_t>(big.size()), &dwWritten), 2);
}

TEST_F(PosixSerialTest, LineStatesAreCheckedAndBaudRatesApplied) {
  SarnHandle h = OpenRaw(100);
  sarn::PlatLineState state;
  for (uint32_t dwBaud : {50u, 115200u, 12345u, 65535u, 9600u}) {
    SCOPED_TRACE(dwBaud);
    state.dwBaudRate = dwBaud;
    ASSERT_TRUE(sarn::PlatSetLineState(h, &state)) << strerror(errno);
    sarn::PlatLineState now;
    ASSERT_TRUE(sarn::PlatGetLineState(h, &now));
    EXPECT_EQ(now.dwBaudRate, dwBaud);
  }
  for (uint8_t cParity : {sarn::kParityOdd, sarn::kParityMark, sarn::kParitySpace}) {
    sarn::PlatLineState s;
    s.dwBaudRate = 9600;
    s.cParity = cParity;
    s.cByteSize = 5;
    s.cStopBits = sarn::kStopOneHalf;
    EXPECT_TRUE(sarn::PlatSetLineState(h, &s)) << "a pty takes what it can";
  }

  struct Bad {
    const char* pszWhat;
    void (*spoil)(sarn::PlatLineState&);
  };
  const Bad bad[] = {
      {"baud 0", [](sarn::PlatLineState& s) { s.dwBaudRate = 0; }},
      {"4 data bits", [](sarn::PlatLineState& s) { s.cByteSize = 4; }},
      {"9 data bits", [](sarn::PlatLineState& s) { s.cByteSize = 9; }},
      {"parity 5", [](sarn::PlatLineState& s) { s.cParity = 5; }},
      {"stop bits 3", [](sarn::PlatLineState& s) { s.cStopBits = 3; }},
      {"DTR mode 3", [](sarn::PlatLineState& s) { s.fDtrControl = 3; }},
      {"RTS mode 4", [](sarn::PlatLineState& s) { s.fRtsControl = 4; }},
      {"DSR flow", [](sarn::PlatLineState& s) { s.fOutxDsrFlow = true; }},
      {"NUL stripping", [](sarn::PlatLineState& s) { s.fNull = true; }},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.pszWhat);
    sarn::PlatLineState s;
    s.dwBaudRate = 4800;
    b.spoil(s);
    EXPECT_FALSE(sarn::PlatSetLineState(h, &s));
  }
  sarn::PlatLineState now;
  ASSERT_TRUE(sarn::PlatGetLineState(h, &now));
  EXPECT_EQ(now.dwBaudRate, 9600u) << "refused states change nothing";
}

TEST_F(PosixSerialTest, RtsOnAPtyFailsCleanlyAndQueuesAreReported) {
  SarnHandle h = OpenRaw(100);
  EXPECT_FALSE(sarn::PlatEscape(h, sarn::kEscapeSetRts));
  EXPECT_FALSE(sarn::PlatEscape(h, sarn::kEscapeClrRts));
  EXPECT_FALSE(sarn::PlatEscape(h, 7));

  // RTS toggle mode on a pty: the write goes out all the same.
  sarn::PlatLineState state;
  state.dwBaudRate = 9600;
  state.fRtsControl = sarn::kRtsToggle;
  ASSERT_TRUE(sarn::PlatSetLineState(h, &state));
  uint32_t dwCount = 0;
  auto start = Clock::now();
  EXPECT_EQ(sarn::PortWrite(h, "toggle", 6, &dwCount), 0);
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_EQ(pty_.Receive(6), "toggle");

  pty_.Send("1234567");
  sarn::PlatQueueStatus status;
  start = Clock::now();
  do {
    ASSERT_TRUE(sarn::PlatClearError(h, &status));
  } while (status.cbInQue < 7 && MsSince(start) < 2000);
  EXPECT_EQ(status.cbInQue, 7u);
  EXPECT_EQ(sarn::PortFlushInput(h), 0);
  ASSERT_TRUE(sarn::PlatClearError(h, &status));
  EXPECT_EQ(status.cbInQue, 0u);
}

}  // namespace
