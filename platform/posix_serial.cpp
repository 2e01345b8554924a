// The serial device backend over POSIX termios on Linux: a port named by a
// device path. Nothing is allocated: each open device keeps its state in
// the entry of a fixed table that belongs to its port dev.
//
// Ports are opened non-blocking and stay so; every wait is a poll() bounded
// by a deadline on the monotonic clock: a read ends when its count is
// complete or when its read time-out has run out since it began, returning
// what has arrived; with that time-out 0 it takes what has arrived and
// returns at once. A port has a read time-out from the moment it opens, so
// no read ever waits without a deadline. A write ends when everything went out, or at the latest a grace
// period after the time the bytes need on the line.
//
// The line state is read and written with the TCGETS2/TCSETS2 ioctls and
// struct termios2 throughout, so any baud rate the device accepts can be set
// (BOTHER for rates without a B-constant). <termios.h> is not included: its
// struct termios clashes with the kernel's.
//
// How a line maps onto a Linux tty:
// - Stop bits: one is one; two and one-and-a-half are both CSTOPB, which a
//   UART sends as one and a half stop bits with 5 data bits and as two
//   otherwise. The line read back reports CSTOPB accordingly.
// - DTR: enable on, disable off. Linux has no DTR handshake: refused.
// - RTS: enable on, disable off, handshake sets CRTSCTS (output stops while
//   CTS is low). The toggle mode is refused: the kernel switches RTS around
//   each transmission only in RS-485 mode, which PlatRtsByDevice asks for.
// - Input parity checking (INPCK) is on whenever the framing has parity.
// - A pseudo-terminal always runs with 8 data bits and no parity and has no
//   modem lines: its framing is accepted as it comes, and DTR/RTS changes on
//   it are skipped (PlatSetRts on it still fails).
// - Input is raw from the moment the port is opened: no translation, no echo,
//   no signals, modem status ignored (CLOCAL), receiver on.
//
// Names: a name that does not begin with '/' names a device under /dev/
// ("ttyUSB0", "ttyAMA0", "pts/12"), so that the common device names fit the
// 11 characters of a port name; one that does is a path. Only a character
// device opens: a file, a directory or a disk is refused before it is opened
// (and checked again on the descriptor).
//
// RS-485: PlatRtsByDevice asks the kernel to switch RTS around each
// transmission (posix_rs485.h); while it does, the RTS changes asked by
// PlatSetRts are left to it, and PlatClose restores the device's previous
// RS-485 settings.
//
// A hang-up (the other end gone: end of file, EIO or POLLHUP) ends a read at
// once: it returns what arrived in that call, or fails with EIO when nothing
// did, so a caller never waits out a time-out, nor spins, on a dead line.
//
// Reads go ahead: one read() takes whatever has arrived, up to the size of a
// buffer kept in the port's slot, and the exact counts callers ask for are
// served from it. A reply that arrived whole is thus fetched with one read()
// however many pieces the caller takes it in. The buffered bytes count as
// waiting input (PlatGetQueues) and are what the next read delivers first,
// so what a caller sees, and when, is the same as without the buffer.
//
// A read that finds too little buffered waits first (poll(), woken once the
// count still missing has arrived) and reads then; it does not try a read()
// that would only answer EAGAIN.
//
// A call that fails on an open port leaves in its slot which system call
// failed and the errno, for PlatDescribeFailure.
#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include "platform/port_backend.h"
#include "platform/posix_rs485.h"
#include "platform/read_ahead.h"
#include "sarn_line_time.h"

namespace sarn {

namespace {

constexpr int64_t kNsPerMs = 1000000;
// Longest wait a time-out can ask for, in milliseconds (about 31 years);
// keeps deadline arithmetic far from overflow.
constexpr uint64_t kMaxWaitMs = 1000000000000ull;
// A write ends at the latest this long after the time its bytes need on the
// line, so a device stuck in flow control cannot hang the caller for ever.
constexpr uint64_t kWriteGraceMs = 1000;
// Largest deviation from the asked baud rate that a device may apply.
constexpr uint32_t kBaudTolerancePercent = 3;

// What the backend keeps of an open device, besides its port dev.
struct Device {
  PortSlot* pPort;
  bool bPty;       // a pseudo-terminal slave
  bool bModesSet;  // the DTR/RTS modes in `line` come from SetLine
  bool bNoLsr;     // the device cannot report its transmitter state (a pty): not asked again
  uint8_t cVmin;   // VMIN set on the tty, 0 when not known
  bool bTtyKnown;  // tty holds the device's termios as last set
  int fd;
  PlatLine line;     // as last set: the modes
  uint32_t dwBaud;   // for bounding writes
  Rs485Saved rs485;  // the kernel switches RTS (RS-485 direction)
  termios2 tty;      // spares reading the termios back for every VMIN change
  ReadAhead ahead;
};

Device g_devices[kMaxOpenPorts];

Device* DeviceOf(PortSlot* pPort) {
  return &g_devices[pPort->iIndex];
}

struct BaudCode {
  uint32_t dwRate;
  unsigned int uCode;
};

constexpr BaudCode kBaudCodes[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool Failed(Device* pDev, const char* pszCall) {
  return SlotFailed(pDev->pPort, pszCall);
}

bool Refused(Device* pDev, const char* pszCall, int iErr) {
  return SlotRefused(pDev->pPort, pszCall, iErr);
}

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

// Poll time-out in milliseconds until `until`, rounded up so that a wait
// never ends before its deadline; -1 for no deadline.
int PollWaitMs(int64_t until, int64_t now) {
  if (until == INT64_MAX) return -1;
  int64_t ms = (until - now + kNsPerMs - 1) / kNsPerMs;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

int64_t DeadlineAfter(int64_t now, uint64_t ms) {
  if (ms > kMaxWaitMs) ms = kMaxWaitMs;
  return now + static_cast<int64_t>(ms) * kNsPerMs;
}

bool GetTermios(int fd, termios2* pT) {
  return ioctl(fd, TCGETS2, pT) == 0;
}
bool SetTermios(int fd, const termios2* pT) {
  return ioctl(fd, TCSETS2, pT) == 0;
}

bool SetModemLine(int fd, int iLine, bool bOn) {
  return ioctl(fd, bOn ? TIOCMBIS : TIOCMBIC, &iLine) == 0;
}

uint32_t RateOf(const termios2& t) {
  if (t.c_ospeed != 0) return t.c_ospeed;
  for (const BaudCode& b : kBaudCodes)
    if (b.uCode == (t.c_cflag & CBAUD)) return b.dwRate;
  return 0;
}

bool IsPtySlave(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  unsigned int uMajor = major(st.st_rdev);
  return (uMajor >= 136 && uMajor <= 143) || uMajor == 3;  // Unix98 slaves, legacy BSD slaves
}

// Byte-transparent input and output, keeping speed and framing.
void MakeRaw(termios2* pT) {
  pT->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IUCLC | IXON | IXANY | IXOFF | IMAXBEL | IUTF8);
  pT->c_oflag &= ~static_cast<tcflag_t>(OPOST);
  pT->c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | IEXTEN);
  pT->c_cflag |= CLOCAL | CREAD;
  // With the descriptor non-blocking this makes an empty read answer EAGAIN,
  // so that a read of 0 bytes means end of file.
  pT->c_cc[VMIN] = 1;
  pT->c_cc[VTIME] = 0;
}

// Why a line cannot be run here (the text PlatDescribeFailure gives), or
// null when it can.
const char* LineRefusal(const PlatLine& s) {
  if (s.dwBaudRate == 0) return "line: baud rate 0";
  if (s.cByteSize < 5 || s.cByteSize > 8) return "line: data bits other than 5 to 8";
  if (s.cParity > kParitySpace) return "line: unknown parity";
  if (s.cStopBits > kStopTwo) return "line: unknown stop bits";
  if (s.cDtrMode == kDtrHandshake) return "line: Linux has no DTR handshake";
  if (s.cDtrMode > kDtrHandshake) return "line: unknown DTR mode";
  if (s.cRtsMode == kRtsToggle) return "line: RTS toggle needs the RS-485 mode of the serial driver";
  if (s.cRtsMode > kRtsToggle) return "line: unknown RTS mode";
  return nullptr;
}

// The asked line applied to the tty's current termios.
void ApplyLine(const PlatLine& s, termios2* pT) {
  MakeRaw(pT);
  tcflag_t cflag = pT->c_cflag;
  cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT) | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);

  unsigned int uCode = BOTHER;
  for (const BaudCode& b : kBaudCodes)
    if (b.dwRate == s.dwBaudRate) uCode = b.uCode;
  cflag |= uCode;  // input speed bits 0: the same as the output speed
  pT->c_ispeed = pT->c_ospeed = s.dwBaudRate;

  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  cflag |= kSizes[s.cByteSize - 5];
  switch (s.cParity) {
    case kParityOdd:
      cflag |= PARENB | PARODD;
      break;
    case kParityEven:
      cflag |= PARENB;
      break;
    case kParityMark:
      cflag |= PARENB | CMSPAR | PARODD;
      break;
    case kParitySpace:
      cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (s.cStopBits != kStopOne) cflag |= CSTOPB;
  if (s.cRtsMode == kRtsHandshake) cflag |= CRTSCTS;
  pT->c_cflag = cflag;

  if (s.cParity != kParityNone) pT->c_iflag |= INPCK;
}

// Whether the device took the framing and (within tolerance) the rate asked.
bool Applied(const termios2& want, const termios2& got) {
  constexpr tcflag_t kFraming = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
  if ((want.c_cflag & kFraming) != (got.c_cflag & kFraming)) return false;
  uint64_t asked = want.c_ospeed;
  uint64_t have = RateOf(got);
  uint64_t diff = asked > have ? asked - have : have - asked;
  return diff * 100 <= asked * kBaudTolerancePercent;
}

// Bytes still to go out: the kernel's queue, plus one for the character in
// the transmitter where the device can tell (the kernel's count leaves out
// what already sits in the UART). A pseudo-terminal hands what is written
// straight to the other side and keeps no output queue (the kernel always
// reports 0 for it), so it is not asked.
uint32_t OutputPending(Device* pDev) {
  if (pDev->bPty) return 0;
  int iQueued = 0;
  if (ioctl(pDev->fd, TIOCOUTQ, &iQueued) != 0) iQueued = 0;
  uint32_t count = iQueued > 0 ? static_cast<uint32_t>(iQueued) : 0;
  unsigned int uLsr = 0;
  if (!pDev->bNoLsr) {
    if (ioctl(pDev->fd, TIOCSERGETLSR, &uLsr) == 0) {
      if (!(uLsr & TIOCSER_TEMT)) ++count;
    } else if (errno == ENOTTY || errno == EINVAL) {
      pDev->bNoLsr = true;  // not supported by this device: spare the call from now on
    }
  }
  return count;
}

// Sets the tty's termios and remembers what the device holds now.
bool SetSlotTermios(Device* pDev, const termios2& t) {
  pDev->bTtyKnown = false;
  if (!SetTermios(pDev->fd, &t)) return false;
  pDev->bTtyKnown = GetTermios(pDev->fd, &pDev->tty);
  return true;
}

// Lets poll() report the descriptor readable only once dwMissing characters
// wait (at most 255, the limit of VMIN), so that a read waiting for a reply
// wakes once for its count rather than at every character. In raw mode
// (VTIME 0) the tty applies VMIN to poll(); a non-blocking read() still
// returns whatever has arrived, and a hang-up still wakes poll(). Set only
// when it changes; should that fail, reads wake at every character as
// before.
void WakeForCount(Device* pDev, uint32_t dwMissing) {
  const uint8_t cWant = dwMissing > 255 ? 255 : static_cast<uint8_t>(dwMissing);
  if (cWant == pDev->cVmin) return;
  pDev->cVmin = 0;
  if (!pDev->bTtyKnown && !(pDev->bTtyKnown = GetTermios(pDev->fd, &pDev->tty))) return;
  if (pDev->tty.c_cc[VTIME] != 0) return;
  termios2 t = pDev->tty;
  t.c_cc[VMIN] = cWant;
  if (!SetTermios(pDev->fd, &t)) return;
  pDev->tty = t;
  pDev->cVmin = cWant;
}

// ---- reading

// The end of a read that begins at `start`: the read time-out after the
// start (the start itself when that is 0: the read takes what has arrived).
int64_t ReadDeadline(const Device& dev, int64_t start) {
  return DeadlineAfter(start, dev.pPort->dwReadTimeoutMs);
}

enum WaitResult { kWaitReady, kWaitTimedOut, kWaitHangUp, kWaitFailed };

// Waits until dwMissing characters can be read, the deadline passes or the
// line hangs up.
WaitResult WaitReadable(Device* pDev, int64_t until, uint32_t dwMissing) {
  WakeForCount(pDev, dwMissing);
  for (;;) {
    const int64_t now = NowNs();
    if (until != INT64_MAX && now >= until) return kWaitTimedOut;
    pollfd pfd{pDev->fd, POLLIN, 0};
    const int rc = poll(&pfd, 1, PollWaitMs(until, now));
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return kWaitFailed;
    if (rc == 0) return kWaitTimedOut;
    // On a hang-up read once more: bytes that came before it are still there.
    return (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) ? kWaitHangUp : kWaitReady;
  }
}

enum DeviceRead { kReadData, kReadNone, kReadEnd, kReadFailed };

// One read() of the device, with the read-ahead buffer empty: whatever has
// arrived, up to the buffer's size, goes into the buffer and the first
// dwMissing bytes of it to pOut. A count of the buffer's size or more is
// read straight into pOut.
DeviceRead ReadDevice(Device* pDev, char* pOut, uint32_t dwMissing, uint32_t* pGot) {
  *pGot = 0;
  const bool bDirect = dwMissing >= kReadAheadSize;
  ssize_t n;
  do {
    n = read(pDev->fd, bDirect ? pOut : pDev->ahead.buf, bDirect ? dwMissing : kReadAheadSize);
  } while (n < 0 && errno == EINTR);
  if (n == 0) return kReadEnd;  // end of file: the other end is gone
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? kReadNone : kReadFailed;  // EIO after a hang-up
  if (bDirect) {
    *pGot = static_cast<uint32_t>(n);
  } else {
    AheadFilled(&pDev->ahead, static_cast<uint32_t>(n));
    *pGot = TakeAhead(&pDev->ahead, pOut, dwMissing);
  }
  return kReadData;
}

// Reads the device until dwCount bytes are in pOut, starting with dwGot of
// them there; ends early on the time-out or a hang-up. *pHangUp tells
// whether the line hung up, *pErr the error that ended the read (0: none).
uint32_t ReadFromDevice(Device* pDev, char* pOut, uint32_t dwGot, uint32_t dwCount, bool* pHangUp, int* pErr) {
  const int64_t deadline = ReadDeadline(*pDev, NowNs());
  bool bHupSeen = false;
  for (;;) {
    WaitResult wait = kWaitReady;
    if (!bHupSeen) wait = WaitReadable(pDev, deadline, dwCount - dwGot);
    if (wait == kWaitFailed) {
      *pErr = errno;
      *pHangUp = true;
      return dwGot;
    }
    if (wait == kWaitHangUp) bHupSeen = true;
    uint32_t n = 0;
    const DeviceRead rc = ReadDevice(pDev, pOut + dwGot, dwCount - dwGot, &n);
    if (rc == kReadData) {
      dwGot += n;
      if (dwGot == dwCount) return dwGot;
      continue;
    }
    if (rc == kReadNone) {
      if (bHupSeen) {  // nothing left to read on a hung-up line
        *pHangUp = true;
        return dwGot;
      }
      if (wait == kWaitTimedOut) return dwGot;  // timed out with what has arrived
      continue;
    }
    *pErr = rc == kReadFailed ? errno : 0;
    *pHangUp = true;
    return dwGot;
  }
}

// ---- writing

// Time the bytes may take to go out: a grace period beyond the time they
// need on the line.
uint64_t WriteLimitMs(const Device& dev, uint32_t dwCount) {
  return kWriteGraceMs + TwiceLineTimeMs(dev.dwBaud, dwCount) + 1;
}

// Writes until everything went out or the deadline passed; *pDone is what
// the device took. False on a failure of the device.
bool WriteUntil(int fd, const char* pIn, uint32_t dwCount, int64_t deadline, uint32_t* pDone) {
  uint32_t dwDone = 0;
  bool bOk = true;
  while (dwDone < dwCount) {
    ssize_t n = write(fd, pIn + dwDone, dwCount - dwDone);
    if (n > 0) {
      dwDone += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      bOk = false;
      break;
    }
    int64_t now = NowNs();
    if (now >= deadline) break;  // the device takes no more: report what went
    pollfd pfd{fd, POLLOUT, 0};
    int rc = poll(&pfd, 1, PollWaitMs(deadline, now));
    if (rc < 0 && errno != EINTR) {
      bOk = false;
      break;
    }
    if (rc > 0 && !(pfd.revents & POLLOUT) && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) {
      errno = EIO;
      bOk = false;
      break;
    }
  }
  *pDone = dwDone;
  return bOk;
}

// ---- line state read back

uint8_t ByteSizeOf(const termios2& t) {
  switch (t.c_cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

uint8_t ParityOf(const termios2& t) {
  if (!(t.c_cflag & PARENB)) return kParityNone;
  if (t.c_cflag & CMSPAR) return (t.c_cflag & PARODD) ? kParityMark : kParitySpace;
  return (t.c_cflag & PARODD) ? kParityOdd : kParityEven;
}

// DTR and RTS modes: those set through PlatSetLine where known, else what
// the modem lines show (on where they cannot be read).
void ModemModesOf(const Device& dev, const termios2& t, PlatLine* pLine) {
  int iLines = 0;
  const bool bLines = ioctl(dev.fd, TIOCMGET, &iLines) == 0;
  if (dev.bModesSet)
    pLine->cDtrMode = dev.line.cDtrMode;
  else
    pLine->cDtrMode = (!bLines || (iLines & TIOCM_DTR)) ? kDtrEnable : kDtrDisable;
  if (t.c_cflag & CRTSCTS)
    pLine->cRtsMode = kRtsHandshake;
  else if (dev.bModesSet && dev.line.cRtsMode != kRtsHandshake)
    pLine->cRtsMode = dev.line.cRtsMode;
  else
    pLine->cRtsMode = (!bLines || (iLines & TIOCM_RTS)) ? kRtsEnable : kRtsDisable;
}

// The path a port name stands for in pszPath (of size `size`): under /dev/
// unless the name begins with '/'. False (ENAMETOOLONG) when it does not fit.
bool DevicePath(const char* pszName, char* pszPath, size_t size) {
  const char* pszDir = pszName[0] == '/' ? "" : "/dev/";
  const int n = snprintf(pszPath, size, "%s%s", pszDir, pszName);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    errno = ENAMETOOLONG;
    return false;
  }
  return true;
}

// Whether the path names a character device; *pFault tells a missing path
// from something else. stat() follows links (/dev/serial/by-id/...).
bool IsCharDevice(const char* pszPath, PlatOpenFault* pFault) {
  struct stat st;
  if (stat(pszPath, &st) != 0) return false;
  if (S_ISCHR(st.st_mode)) return true;
  *pFault = kOpenFaultNotCharDevice;
  errno = ENODEV;
  return false;
}

// Opens the device at pszPath into the free slot: exclusive, raw. On
// failure *ppszWhat names the step that failed.
bool OpenDevice(const char* pszPath, Device* pDev, PlatOpenFault* pFault, const char** ppszWhat) {
  *ppszWhat = "open";
  if (!IsCharDevice(pszPath, pFault)) {
    if (*pFault == kOpenFaultNotCharDevice) *ppszWhat = "open (not a character device)";
    return false;
  }
  // Only an existing device (no O_CREAT); never become its controlling
  // terminal; never block, neither here waiting for carrier nor later.
  int fd = open(pszPath, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {  // replaced since the check above
    close(fd);
    *pFault = kOpenFaultNotCharDevice;
    *ppszWhat = "open (not a character device)";
    errno = ENODEV;
    return false;
  }
  // Exclusive use: the lock stops every other opener that checks it, root
  // included; TIOCEXCL makes the kernel refuse other opens outright (except
  // to root). Not a tty: TIOCEXCL fails and the lock alone guards it.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int iErr = errno == EWOULDBLOCK ? EBUSY : errno;
    close(fd);
    *ppszWhat = "flock (the port is open in another program)";
    errno = iErr;
    return false;
  }
  ioctl(fd, TIOCEXCL);

  PortSlot* pPort = pDev->pPort;
  *pDev = Device{};
  pDev->pPort = pPort;
  pDev->fd = fd;
  termios2 t;
  if (GetTermios(fd, &t)) {
    MakeRaw(&t);
    if (SetSlotTermios(pDev, t)) pDev->cVmin = 1;
  }
  pDev->bPty = IsPtySlave(fd);
  pDev->dwBaud = pDev->bTtyKnown ? RateOf(pDev->tty) : (GetTermios(fd, &t) ? RateOf(t) : 0);
  return true;
}

bool DeviceOpen(PortSlot* pPort, const char* pszName, PlatOpenFault* pFault) {
  char szPath[PATH_MAX];
  if (!DevicePath(pszName, szPath, sizeof szPath)) {
    NoteOpenFailure(pszName, "open (name too long)", nullptr, errno);
    return false;
  }
  Device* pDev = DeviceOf(pPort);
  pDev->pPort = pPort;
  const char* pszWhat = nullptr;
  if (!OpenDevice(szPath, pDev, pFault, &pszWhat)) {
    NoteOpenFailure(pszName, pszWhat, szPath, errno);
    return false;
  }
  return true;
}

bool DeviceClose(PortSlot* pPort) {
  Device* pDev = DeviceOf(pPort);
  Rs485Restore(pDev->fd, &pDev->rs485);
  // The exclusive flag belongs to the tty, not to this descriptor, and
  // would outlive it on a tty that stays open elsewhere (a pty slave).
  ioctl(pDev->fd, TIOCNXCL);
  if (close(pDev->fd) == 0 || errno == EINTR) return true;
  pDev->fd = -1;  // the descriptor is gone either way
  pPort->bCloseFailed = true;
  return Failed(pDev, "close");
}

bool DeviceGetLine(PortSlot* pPort, PlatLine* pLine) {
  Device* pDev = DeviceOf(pPort);
  termios2 t;
  if (!GetTermios(pDev->fd, &t)) return Failed(pDev, "TCGETS2 (read the line)");

  PlatLine line;
  line.dwBaudRate = RateOf(t);
  line.cByteSize = ByteSizeOf(t);
  line.cParity = ParityOf(t);
  if (!(t.c_cflag & CSTOPB))
    line.cStopBits = kStopOne;
  else
    line.cStopBits = line.cByteSize == 5 ? kStopOneHalf : kStopTwo;
  ModemModesOf(*pDev, t, &line);
  *pLine = line;
  return true;
}

// Sets the termios of a line on the tty; a pty takes what it can of it.
bool SetLineTermios(Device* pDev, const PlatLine& line) {
  termios2 old;
  if (!GetTermios(pDev->fd, &old)) return Failed(pDev, "TCGETS2 (read the line)");
  termios2 want = old;
  ApplyLine(line, &want);
  pDev->cVmin = 0;  // known again once the new state is in place

  if (pDev->bPty) {
    // A pty keeps 8 data bits and no parity whatever it is asked; should the
    // request be refused for that, apply the rest with the pty's framing.
    if (SetSlotTermios(pDev, want)) return true;
    want.c_cflag = (want.c_cflag & ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR)) | CS8;
    want.c_iflag &= ~static_cast<tcflag_t>(INPCK);
    return SetSlotTermios(pDev, want) || Failed(pDev, "TCSETS2 (set the line)");
  }
  // The kernel accepts a request when it can apply any part of it: read
  // back and refuse what the device did not take, restoring the old state.
  if (!SetSlotTermios(pDev, want)) return Failed(pDev, "TCSETS2 (set the line)");
  if (!pDev->bTtyKnown || !Applied(want, pDev->tty)) {
    SetSlotTermios(pDev, old);
    return Refused(pDev, "line: the device did not take the rate or framing", EINVAL);
  }
  return true;
}

bool DeviceSetLine(PortSlot* pPort, const PlatLine& line) {
  Device* pDev = DeviceOf(pPort);
  if (const char* pszWhy = LineRefusal(line)) return Refused(pDev, pszWhy, EINVAL);
  if (!SetLineTermios(pDev, line)) return false;

  // Modem lines; a pty has none, so failures there are of no account.
  const int fd = pDev->fd;
  bool bLinesOk = SetModemLine(fd, TIOCM_DTR, line.cDtrMode == kDtrEnable);
  if (line.cRtsMode != kRtsHandshake && !pDev->rs485.bActive)
    bLinesOk = SetModemLine(fd, TIOCM_RTS, line.cRtsMode == kRtsEnable) && bLinesOk;
  if (!bLinesOk && !pDev->bPty) return Failed(pDev, "TIOCMBIS/TIOCMBIC (DTR and RTS)");

  pDev->cVmin = 1;  // raw mode again
  pDev->bModesSet = true;
  pDev->line = line;
  pDev->dwBaud = line.dwBaudRate;
  return true;
}

bool DeviceGetQueues(PortSlot* pPort, PlatQueues* pQueues) {
  Device* pDev = DeviceOf(pPort);
  int iWaiting = 0;
  if (ioctl(pDev->fd, FIONREAD, &iWaiting) != 0) return Failed(pDev, "FIONREAD (bytes received)");
  // What the read-ahead holds has arrived and is not read yet.
  pQueues->cbInQue = AheadBuffered(pDev->ahead) + (iWaiting > 0 ? static_cast<uint32_t>(iWaiting) : 0);
  pQueues->cbOutQue = OutputPending(pDev);
  return true;
}

bool DeviceRead(PortSlot* pPort, char* pOut, uint32_t dwCount, uint32_t* pRead) {
  Device* pDev = DeviceOf(pPort);
  uint32_t dwGot = TakeAhead(&pDev->ahead, pOut, dwCount);
  bool bHangUp = false;
  int iErr = 0;
  if (dwGot < dwCount) dwGot = ReadFromDevice(pDev, pOut, dwGot, dwCount, &bHangUp, &iErr);
  *pRead = dwGot;
  if (bHangUp && dwGot == 0) return Refused(pDev, "read (the line hung up)", iErr != 0 ? iErr : EIO);
  return true;
}

bool DeviceWrite(PortSlot* pPort, const char* pIn, uint32_t dwCount, uint32_t* pWritten) {
  Device* pDev = DeviceOf(pPort);
  const int64_t deadline = DeadlineAfter(NowNs(), WriteLimitMs(*pDev, dwCount));
  if (!WriteUntil(pDev->fd, pIn, dwCount, deadline, pWritten)) return Failed(pDev, "write");
  return true;
}

bool DeviceSetRts(PortSlot* pPort, bool bRaised) {
  Device* pDev = DeviceOf(pPort);
  if (pDev->rs485.bActive) return true;  // the kernel switches RTS
  if (SetModemLine(pDev->fd, TIOCM_RTS, bRaised)) return true;
  return Failed(pDev, bRaised ? "TIOCMBIS (RTS on)" : "TIOCMBIC (RTS off)");
}

bool DeviceRtsByDevice(PortSlot* pPort) {
  Device* pDev = DeviceOf(pPort);
  if (pDev->bPty) return Refused(pDev, "TIOCSRS485 (RS-485 mode)", ENOTTY);  // no UART behind it
  return Rs485Enable(pDev->fd, &pDev->rs485) || Failed(pDev, "TIOCSRS485 (RS-485 mode)");
}

}  // namespace

const PortBackend kPosixDevice = {
    "serial device", DeviceOpen, DeviceClose, DeviceGetLine, DeviceSetLine,     SlotReadTimeout,     SetSlotReadTimeout,
    DeviceGetQueues, DeviceRead, DeviceWrite, DeviceSetRts,  DeviceRtsByDevice, DescribeSlotFailure,
};

}  // namespace sarn
