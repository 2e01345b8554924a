// The platform seam's table of open ports: each call finds the port's slot
// by its handle, checks what it is given, and hands the call to the port's
// backend (port_backend.h).
//
// Handles are slot numbers + 1, never 0 and never a descriptor or a system
// handle. Nothing is allocated: every open port lives in its slot. The slots
// are shared by every thread of the process: opening and closing take a
// lock; a port itself is used by one thread at a time (its owner serialises
// its calls), so the other calls take none.
#include <string.h>

#include <mutex>

#include "platform/port_backend.h"

namespace sarn {

namespace {

constexpr int kSlotCount = kMaxOpenPorts;
// Read time-out of a port just opened, until its user sets one.
constexpr uint32_t kOpeningReadTimeoutMs = 1000;

PortSlot g_slots[kSlotCount];
// Guards the slots' bUsed flags (which slot is free) and whole-slot changes:
// held by PlatOpen and PlatClose.
std::mutex g_slotLock;

size_t SlotOf(SarnHandle hPort) {
#ifdef _WIN32
  return reinterpret_cast<uintptr_t>(hPort);
#else
  return hPort;
#endif
}

SarnHandle HandleOf(int iSlot) {
#ifdef _WIN32
  return reinterpret_cast<SarnHandle>(static_cast<uintptr_t>(iSlot + 1));
#else
  return static_cast<SarnHandle>(iSlot + 1);
#endif
}

PortSlot* Lookup(SarnHandle hPort) {
  const size_t n = SlotOf(hPort);
  if (n == 0 || n > static_cast<size_t>(kSlotCount) || !g_slots[n - 1].bUsed || g_slots[n - 1].bCloseFailed) {
    SetSystemError(kErrBadHandle);
    return nullptr;
  }
  return &g_slots[n - 1];
}

// Opens pszName into the free slot iSlot with the backend its name chooses.
SarnHandle OpenInto(int iSlot, const char* pszName, PlatOpenFault* pFault) {
  PortSlot& slot = g_slots[iSlot];
  slot = PortSlot{};
  slot.iIndex = iSlot;
  slot.pBackend = ChoosePortBackend(pszName);
  slot.dwReadTimeoutMs = kOpeningReadTimeoutMs;
  if (!slot.pBackend->Open(&slot, pszName, pFault)) {
    slot = PortSlot{};
    return kNoHandle;
  }
  if (strlen(pszName) < kFailureNameSize) memcpy(slot.szName, pszName, strlen(pszName) + 1);
  slot.bUsed = true;
  *pFault = kOpenFaultNone;
  return HandleOf(iSlot);
}

}  // namespace

bool SlotFailed(PortSlot* pSlot, const char* pszCall) {
  pSlot->pszFailed = pszCall;
  pSlot->iFailedCode = LastSystemError();
  return false;
}

bool SlotRefused(PortSlot* pSlot, const char* pszCall, int iErr) {
  SetSystemError(iErr);
  return SlotFailed(pSlot, pszCall);
}

size_t DescribeSlotFailure(const PortSlot* pSlot, char* pszText, size_t size) {
  if (pSlot->pszFailed == nullptr) return 0;
  return FormatFailure(pszText, size, pSlot->pszFailed, pSlot->iFailedCode);
}

bool SlotReadTimeout(PortSlot* pSlot, uint32_t* pdwMs) {
  *pdwMs = pSlot->dwReadTimeoutMs;
  return true;
}

bool SetSlotReadTimeout(PortSlot* pSlot, uint32_t dwMs) {
  pSlot->dwReadTimeoutMs = dwMs;
  return true;
}

bool PlatIsGatewayName(const char* pszName) {
  return strncmp(pszName, "socket://", 9) == 0 || strncmp(pszName, "rfc2217://", 10) == 0;
}

SarnHandle PlatOpen(const char* pszName, PlatOpenFault* pFault) {
  PlatOpenFault fault = kOpenFaultOther;
  if (pFault == nullptr) pFault = &fault;
  *pFault = kOpenFaultOther;
  if (pszName == nullptr || pszName[0] == '\0') {
    SetSystemError(kErrInvalid);
    return kNoHandle;
  }
  const std::lock_guard<std::mutex> lock(g_slotLock);
  int iSlot = 0;
  while (iSlot < kSlotCount && g_slots[iSlot].bUsed) ++iSlot;
  if (iSlot == kSlotCount) {
    NoteOpenFailure(pszName, "open (every port slot in use)", nullptr, kErrNoSlot);
    SetSystemError(kErrNoSlot);
    return kNoHandle;
  }
  return OpenInto(iSlot, pszName, pFault);
}

bool PlatClose(SarnHandle hPort) {
  const std::lock_guard<std::mutex> lock(g_slotLock);
  // A failed close keeps the slot, so that it is not handed to another port
  // while a context still names it; closing it again releases it.
  const size_t n = SlotOf(hPort);
  if (n != 0 && n <= static_cast<size_t>(kSlotCount) && g_slots[n - 1].bCloseFailed) {
    g_slots[n - 1] = PortSlot{};
    return true;
  }
  PortSlot* pSlot = Lookup(hPort);
  if (pSlot == nullptr) return false;
  // A port whose close failed stays open unless its backend gave it up.
  if (!pSlot->pBackend->Close(pSlot)) return false;
  // The failure that made the caller give the port up, for instance a line
  // the device does not take, is still worth telling once it is closed.
  if (pSlot->pszFailed != nullptr) NoteOpenFailure(pSlot->szName, pSlot->pszFailed, nullptr, pSlot->iFailedCode);
  *pSlot = PortSlot{};
  return true;
}

bool PlatGetLine(SarnHandle hPort, PlatLine* pLine) {
  PortSlot* pSlot = Lookup(hPort);
  if (pSlot == nullptr) return false;
  if (pLine == nullptr) return SlotRefused(pSlot, "line", kErrInvalid);
  return pSlot->pBackend->GetLine(pSlot, pLine);
}

bool PlatSetLine(SarnHandle hPort, const PlatLine* pLine) {
  PortSlot* pSlot = Lookup(hPort);
  if (pSlot == nullptr) return false;
  if (pLine == nullptr) return SlotRefused(pSlot, "line", kErrInvalid);
  return pSlot->pBackend->SetLine(pSlot, *pLine);
}

bool PlatGetReadTimeout(SarnHandle hPort, uint32_t* pdwMs) {
  PortSlot* pSlot = Lookup(hPort);
  if (pSlot == nullptr) return false;
  if (pdwMs == nullptr) return SlotRefused(pSlot, "read time-out", kErrInvalid);
  return pSlot->pBackend->GetReadTimeout(pSlot, pdwMs);
}

bool PlatSetReadTimeout(SarnHandle hPort, uint32_t dwMs) {
  PortSlot* pSlot = Lookup(hPort);
  if (pSlot == nullptr) return false;
  return pSlot->pBackend->SetReadTimeout(pSlot, dwMs);
}

bool PlatGetQueues(SarnHandle hPort, PlatQueues* pQueues) {
  PortSlot* pSlot = Lookup(hPort);
  if (pSlot == nullptr) return false;
  PlatQueues queues;
  if (!pSlot->pBackend->GetQueues(pSlot, &queues)) return false;
  if (pQueues != nullptr) *pQueues = queues;
  return true;
}

bool PlatRead(SarnHandle hPort, void* pBuf, uint32_t dwCount, uint32_t* pRead) {
  uint32_t dwRead = 0;
  if (pRead == nullptr) pRead = &dwRead;
  *pRead = 0;
  PortSlot* pSlot = Lookup(hPort);
  if (pSlot == nullptr) return false;
  if (pBuf == nullptr && dwCount != 0) return SlotRefused(pSlot, "read", kErrInvalid);
  if (dwCount == 0) return true;
  return pSlot->pBackend->Read(pSlot, static_cast<char*>(pBuf), dwCount, pRead);
}

bool PlatWrite(SarnHandle hPort, const void* pBuf, uint32_t dwCount, uint32_t* pWritten) {
  uint32_t dwWritten = 0;
  if (pWritten == nullptr) pWritten = &dwWritten;
  *pWritten = 0;
  PortSlot* pSlot = Lookup(hPort);
  if (pSlot == nullptr) return false;
  if (pBuf == nullptr && dwCount != 0) return SlotRefused(pSlot, "write", kErrInvalid);
  return pSlot->pBackend->Write(pSlot, static_cast<const char*>(pBuf), dwCount, pWritten);
}

bool PlatPurgeInput(SarnHandle hPort) {
  PortSlot* pSlot = Lookup(hPort);
  if (pSlot == nullptr) return false;
  return pSlot->pBackend->PurgeInput == nullptr || pSlot->pBackend->PurgeInput(pSlot);
}

bool PlatSetRts(SarnHandle hPort, bool bRaised) {
  PortSlot* pSlot = Lookup(hPort);
  if (pSlot == nullptr) return false;
  return pSlot->pBackend->SetRts(pSlot, bRaised);
}

bool PlatRtsByDevice(SarnHandle hPort) {
  PortSlot* pSlot = Lookup(hPort);
  if (pSlot == nullptr) return false;
  return pSlot->pBackend->RtsByDevice(pSlot);
}

size_t PlatDescribeFailure(SarnHandle hPort, char* pszText, size_t size) {
  if (size == 0) return 0;
  pszText[0] = '\0';
  const int iSaved = LastSystemError();
  const PortSlot* pSlot = Lookup(hPort);
  SetSystemError(iSaved);
  if (pSlot == nullptr) return 0;
  return pSlot->pBackend->DescribeFailure(pSlot, pszText, size);
}

size_t PlatDescribeOpenFailure(const char* pszName, char* pszText, size_t size) {
  return DescribeOpenFailure(pszName, pszText, size);
}

}  // namespace sarn
