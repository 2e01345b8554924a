// The null device "NUL": writes succeed, reads deliver nothing at once, and
// its line and time-out calls succeed, keeping what they are given. A host
// names it to run a driver instance with no line behind it.
#include "platform/port_backend.h"

namespace sarn {

namespace {

PlatLine g_lines[kMaxOpenPorts];

bool NullOpen(PortSlot* pSlot, const char*, PlatOpenFault*) {
  g_lines[pSlot->iIndex] = PlatLine{};
  g_lines[pSlot->iIndex].dwBaudRate = 9600;
  return true;
}

bool NullDone(PortSlot*) {
  return true;
}

bool NullGetLine(PortSlot* pSlot, PlatLine* pLine) {
  *pLine = g_lines[pSlot->iIndex];
  return true;
}

bool NullSetLine(PortSlot* pSlot, const PlatLine& line) {
  g_lines[pSlot->iIndex] = line;
  return true;
}

bool NullGetQueues(PortSlot*, PlatQueues* pQueues) {
  *pQueues = PlatQueues{};
  return true;
}

bool NullRead(PortSlot*, char*, uint32_t, uint32_t* pRead) {
  *pRead = 0;
  return true;
}

bool NullWrite(PortSlot*, const char*, uint32_t dwCount, uint32_t* pWritten) {
  *pWritten = dwCount;
  return true;
}

bool NullSetRts(PortSlot*, bool) {
  return true;
}

bool NullRtsByDevice(PortSlot* pSlot) {
  return SlotRefused(pSlot, "RS-485 mode (the null device has no line)", kErrNotSupported);
}

}  // namespace

const PortBackend kNullPort = {
    "null device", NullOpen, NullDone,  NullGetLine, NullSetLine,     SlotReadTimeout,     SetSlotReadTimeout,
    NullGetQueues, NullRead, NullWrite, NullSetRts,  NullRtsByDevice, DescribeSlotFailure,
};

}  // namespace sarn
