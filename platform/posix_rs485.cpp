// RS-485 transmit direction by the Linux kernel; see posix_rs485.h.
#include "platform/posix_rs485.h"

#include <errno.h>
#include <sys/ioctl.h>

namespace sarn {

namespace {

// Flags the request clears: RTS low while sending (inverted polarity),
// receiving the own transmission, 9-bit addressing.
constexpr __u32 kClearedFlags =
    SER_RS485_RTS_AFTER_SEND | SER_RS485_RX_DURING_TX | SER_RS485_ADDRB | SER_RS485_ADDR_RECV | SER_RS485_ADDR_DEST;

}  // namespace

serial_rs485 Rs485Wanted(const serial_rs485& current) {
  serial_rs485 want = current;
  want.flags = (current.flags | SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND) & ~kClearedFlags;
  return want;
}

bool Rs485AsAsked(const serial_rs485& reported) {
  constexpr __u32 kRts = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND;
  return (reported.flags & kRts) == (SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND);
}

bool Rs485Enable(int fd, Rs485Saved* pSaved) {
  if (pSaved->bActive) return true;
  serial_rs485 previous{};
  if (ioctl(fd, TIOCGRS485, &previous) != 0) return false;
  serial_rs485 want = Rs485Wanted(previous);
  if (ioctl(fd, TIOCSRS485, &want) != 0) return false;
  // The kernel writes back what it applied; read it again all the same, as
  // older drivers do not.
  serial_rs485 reported{};
  if (ioctl(fd, TIOCGRS485, &reported) != 0 || !Rs485AsAsked(reported)) {
    ioctl(fd, TIOCSRS485, &previous);
    errno = EOPNOTSUPP;
    return false;
  }
  pSaved->previous = previous;
  pSaved->bActive = true;
  return true;
}

bool Rs485Restore(int fd, Rs485Saved* pSaved) {
  if (!pSaved->bActive) return true;
  pSaved->bActive = false;
  return ioctl(fd, TIOCSRS485, &pSaved->previous) == 0;
}

}  // namespace sarn
