// RS-485 direction by the kernel (platform/posix_rs485.h): the settings asked
// of a device and the check of its answer, and the fall-back to RTS toggling
// on a device that cannot (a pseudo-terminal).
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform/posix_rs485.h"
#include "platform/serial_platform.h"

namespace {

TEST(Rs485Test, TheRequestTurnsRtsOnWhileSendingAndKeepsTheDevicesDelays) {
  struct Case {
    const char* what;
    __u32 current;
    __u32 wanted;
  };
  const Case cases[] = {
      {"off", 0, SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND},
      {"inverted", SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND, SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND},
      {"echo_and_termination", SER_RS485_RX_DURING_TX | SER_RS485_TERMINATE_BUS,
       SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND | SER_RS485_TERMINATE_BUS},
      {"nine_bit_addressing", SER_RS485_ADDRB | SER_RS485_ADDR_RECV | SER_RS485_ADDR_DEST,
       SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    serial_rs485 current{};
    current.flags = c.current;
    current.delay_rts_before_send = 2;
    current.delay_rts_after_send = 5;
    const serial_rs485 want = sarn::Rs485Wanted(current);
    EXPECT_EQ(want.flags, c.wanted);
    EXPECT_EQ(want.delay_rts_before_send, 2u);
    EXPECT_EQ(want.delay_rts_after_send, 5u);
    EXPECT_TRUE(sarn::Rs485AsAsked(want));
  }
}

TEST(Rs485Test, AnAnswerOtherThanAskedCountsAsRefused) {
  struct Case {
    const char* what;
    __u32 reported;
    bool bAsAsked;
  };
  const Case cases[] = {
      {"as_asked", SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND, true},
      {"with_termination", SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND | SER_RS485_TERMINATE_BUS, true},
      {"left_off", SER_RS485_RTS_ON_SEND, false},
      {"polarity_turned", SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND, false},
      {"rts_always_up", SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    serial_rs485 reported{};
    reported.flags = c.reported;
    EXPECT_EQ(sarn::Rs485AsAsked(reported), c.bAsAsked);
  }
}

TEST(Rs485Test, APseudoTerminalRefusesAndKeepsRtsWithTheCaller) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string path = ptsname(master);

  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  sarn::Rs485Saved saved;
  errno = 0;
  EXPECT_FALSE(sarn::Rs485Enable(fd, &saved));
  EXPECT_EQ(errno, ENOTTY);
  EXPECT_FALSE(saved.bActive);
  EXPECT_TRUE(sarn::Rs485Restore(fd, &saved));  // nothing to give back
  close(fd);

  // Through the seam: refused, and RTS changes still reach the (absent)
  // modem lines, which fail on a pty as before.
  SarnHandle h = sarn::PlatOpen(path.c_str());
  ASSERT_NE(h, sarn::kNoHandle);
  EXPECT_FALSE(sarn::PlatRtsByDevice(h));
  EXPECT_FALSE(sarn::PlatSetRts(h, true));
  EXPECT_TRUE(sarn::PlatClose(h));
  EXPECT_FALSE(sarn::PlatRtsByDevice(h));  // closed

  // The null device has no UART either; its RTS changes succeed as ever.
  SarnHandle hNul = sarn::PlatOpen("NUL");
  ASSERT_NE(hNul, sarn::kNoHandle);
  EXPECT_FALSE(sarn::PlatRtsByDevice(hNul));
  EXPECT_TRUE(sarn::PlatSetRts(hNul, false));
  EXPECT_TRUE(sarn::PlatClose(hNul));
  close(master);
}

}  // namespace
