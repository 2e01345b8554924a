// The serial port layer over the platform seam.
//
// Each routine is a short sequence of platform calls
// (platform/serial_platform.h); the platform chooses everything about the
// line that the port settings do not name.
#include "link/port.h"

#include <cstring>

#include "platform/serial_platform.h"

namespace sarn {

namespace {

// Scratch size of one flush read.
constexpr uint32_t kFlushChunk = 512;

// Length of pszName, or a value above max when no terminator comes within
// max + 1 bytes.
size_t PortNameLength(const char* pszName, size_t max) {
  size_t i = 0;
  while (i <= max && pszName[i] != '\0') ++i;
  return i;
}

// DTR mode selected by the control word: the first matching test decides.
uint8_t DtrMode(uint16_t wControl) {
  if (wControl & kControlDtrOn) return kDtrEnable;
  if (wControl & kControlDtrHandshake) return kDtrHandshake;
  return kDtrDisable;
}

// RTS mode selected by the control word: the first matching test decides.
uint8_t RtsMode(uint16_t wControl) {
  if (wControl & kControlRtsOn) return kRtsEnable;
  if (wControl & kControlRtsHandshake) return kRtsHandshake;
  if (wControl & kControlRtsToggle) return kRtsToggle;
  return kRtsDisable;
}

// The line the settings and control word ask for.
PlatLine LineOf(const LineSettings* pLine, uint16_t wControl) {
  PlatLine line;
  line.dwBaudRate = pLine->wBaud;
  line.cByteSize = static_cast<uint8_t>(pLine->wDataBits & 0xFF);
  line.cParity = static_cast<uint8_t>(pLine->wParity & 0xFF);
  line.cStopBits = static_cast<uint8_t>(pLine->wStopBits & 0xFF);
  line.cDtrMode = DtrMode(wControl);
  line.cRtsMode = RtsMode(wControl);
  return line;
}

// Configures an opened port: reads its line (a port whose line cannot be
// read is refused before anything changes), sets the opening read time-out,
// then sets the line.
PortResult ConfigurePort(SarnHandle hCom, const LineSettings* pLine, uint16_t wControl) {
  PlatLine current;
  if (!PlatGetLine(hCom, &current)) return kPortStateUnread;
  if (!PlatSetReadTimeout(hCom, kPortDefaultReadTimeoutMs)) return kPortOpenFailed;
  const PlatLine line = LineOf(pLine, wControl);
  if (!PlatSetLine(hCom, &line)) return kPortStateRejected;
  return kPortOk;
}

}  // namespace

PortResult PortOpen(const char* pszName, const LineSettings* pLine, uint16_t wControl, SarnHandle* phCom) {
  if (phCom == nullptr) return kPortOpenFailed;
  *phCom = kNoHandle;
  // A name that does not fit the 12-byte field is refused, never cut short:
  // a shortened name could open another device.
  if (pszName == nullptr || pLine == nullptr) return kPortOpenFailed;
  const size_t max = PlatIsGatewayName(pszName) ? kMaxGatewayAddress : SARN_MAX_PORT_NAME;
  if (PortNameLength(pszName, max) > max) return kPortOpenFailed;

  PlatOpenFault fault = kOpenFaultNone;
  SarnHandle hCom = PlatOpen(pszName, &fault);
  if (hCom == kNoHandle) return fault == kOpenFaultNotCharDevice ? kPortNotCharDevice : kPortOpenFailed;

  // The null device is used as it is: it accepts every write and delivers
  // no input, so there is nothing to configure.
  if (strcmp(pszName, "NUL") != 0) {
    const PortResult rc = ConfigurePort(hCom, pLine, wControl);
    if (rc != kPortOk) {
      PlatClose(hCom);
      return rc;
    }
  }
  *phCom = hCom;
  return kPortOk;
}

PortResult PortClose(SarnHandle hCom) {
  return PlatClose(hCom) ? kPortOk : kPortIoFailed;
}

int32_t PortSetTimeout(SarnHandle hCom, int32_t iTimeout) {
  uint32_t dwPrevious = 0;
  if (!PlatGetReadTimeout(hCom, &dwPrevious)) return 0;

  const uint32_t dwMs = PortTimeoutToMs(iTimeout);
  if (dwPrevious == dwMs) return static_cast<int32_t>(dwPrevious / 10);
  if (!PlatSetReadTimeout(hCom, dwMs)) return 0;
  return static_cast<int32_t>(dwPrevious / 10);
}

// Values whose product does not fit a 32-bit millisecond count are clamped
// instead of wrapping round: negative ones to 0, too large ones to the
// largest count.
uint32_t PortTimeoutToMs(int32_t iTimeout) {
  int64_t iMs = int64_t{iTimeout} * 10;
  if (iMs < 0) return 0;
  if (iMs > int64_t{UINT32_MAX}) return UINT32_MAX;
  return static_cast<uint32_t>(iMs);
}

PortResult PortSetReadTimeoutMs(SarnHandle hCom, uint32_t dwMs) {
  return PlatSetReadTimeout(hCom, dwMs) ? kPortOk : kPortIoFailed;
}

PortResult PortFlushInput(SarnHandle hCom) {
  PlatPurgeInput(hCom);  // what a gateway holds goes too; a refusal changes nothing here
  PlatQueues queues;
  if (PlatGetQueues(hCom, &queues) && queues.cbInQue == 0) return kPortOk;

  int32_t iPrevious = PortSetTimeout(hCom, kFlushTimeout);

  char scratch[kFlushChunk];
  uint32_t dwRead = 0;
  bool bOk;
  do {
    dwRead = 0;
    bOk = PlatRead(hCom, scratch, kFlushChunk, &dwRead);
  } while (bOk && dwRead == kFlushChunk);

  if (iPrevious != 0) PortSetTimeout(hCom, iPrevious);
  return bOk ? kPortOk : kPortFlushReadFailed;
}

PortResult PortWrite(SarnHandle hCom, const void* pData, uint32_t dwCount, uint32_t* pWritten) {
  uint32_t dwWritten = 0;
  if (!PlatWrite(hCom, pData, dwCount, &dwWritten)) return kPortIoFailed;
  if (pWritten != nullptr) *pWritten = dwWritten;
  return dwWritten == dwCount ? kPortOk : kPortShortWrite;
}

PortResult PortRead(SarnHandle hCom, void* pBuf, uint16_t wCount, uint32_t* pRead) {
  if (pRead != nullptr) *pRead = 0;
  char* pOut = static_cast<char*>(pBuf);
  uint32_t dwSum = 0;
  for (;;) {
    uint16_t wAsk = static_cast<uint16_t>(wCount - dwSum);
    uint32_t dwGot = 0;
    if (!PlatRead(hCom, pOut + dwSum, wAsk, &dwGot)) return kPortIoFailed;
    if (dwGot == 0) return kPortIoFailed;
    // A platform never delivers more than asked; should one, the count is
    // capped rather than trusted.
    if (dwGot > wAsk) dwGot = wAsk;
    dwSum += dwGot;
    if (pRead != nullptr) *pRead = dwSum;
    if (dwSum >= wCount) return kPortOk;
  }
}

PortResult PortReadWindow(SarnHandle hCom, void* pBuf, uint16_t wCount, uint32_t* pRead) {
  uint32_t dwGot = 0;
  *pRead = 0;
  if (!PlatRead(hCom, pBuf, wCount, &dwGot)) return kPortIoFailed;
  *pRead = dwGot > wCount ? wCount : dwGot;
  return kPortOk;
}

PortResult PortSetRts(SarnHandle hCom, bool bRaised) {
  return PlatSetRts(hCom, bRaised) ? kPortOk : kPortIoFailed;
}

bool PortRtsByDevice(SarnHandle hCom) {
  return PlatRtsByDevice(hCom);
}

PortResult PortInputQueue(SarnHandle hCom, uint32_t* pdwWaiting) {
  PlatQueues queues;
  if (!PlatGetQueues(hCom, &queues)) return kPortIoFailed;
  *pdwWaiting = queues.cbInQue;
  return kPortOk;
}

PortResult PortOutputQueue(SarnHandle hCom, uint32_t* pdwPending) {
  PlatQueues queues;
  if (!PlatGetQueues(hCom, &queues)) return kPortIoFailed;
  *pdwPending = queues.cbOutQue;
  return kPortOk;
}

void PortPause(uint32_t dwMs) {
  PlatSleep(dwMs);
}

uint64_t PortNowMs() {
  return PlatNowMs();
}

size_t PortDescribeFailure(SarnHandle hCom, char* pszText, size_t size) {
  return PlatDescribeFailure(hCom, pszText, size);
}

size_t PortDescribeOpenFailure(const char* pszName, char* pszText, size_t size) {
  return PlatDescribeOpenFailure(pszName, pszText, size);
}

}  // namespace sarn
