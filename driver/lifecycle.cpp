// Lifecycle operations: ColdStart, WarmStart, EndSarn, CloseCom, ReOpenCom
// and ChangeSarnParams. They own the port-related fields of the context.
#include "driver/lifecycle.h"

#include <cstring>

#include "config/int_file.h"
#include "driver/module_state.h"
#include "host/host_log.h"
#include "link/port.h"
#include "platform/serial_platform.h"
#include "transact/day_clock.h"

namespace sarn {
namespace {

constexpr size_t kPortNameSize = sizeof(PortSettings{}.szName);

// Copies a host port name into the context. A name without a terminator
// within its 12 characters cannot be passed on whole; it is stored empty so
// that the open fails instead of reaching a different, shortened device.
void CopyPortName(char* pszDest, const char* pszSource) {
  const void* pEnd = memchr(pszSource, '\0', kPortNameSize);
  if (pEnd == nullptr) {
    pszDest[0] = '\0';
    return;
  }
  memcpy(pszDest, pszSource, static_cast<const char*>(pEnd) - pszSource + 1);
}

bool PortNameFits(const char* pszName) { return memchr(pszName, '\0', kPortNameSize) != nullptr; }

// Opens the port the context's settings describe; kNoHandle when the name
// does not fit or the open failed.
SarnHandle OpenContextPort(DriverContext* pContext) {
  if (pContext->port.szName[0] == '\0') return kNoHandle;
  return OpenComPort(&pContext->port);
}

// Applies the reply time-out to a freshly opened port. A time-out of zero or
// less would make every read wait until its count is complete, so a silent
// controller would hold the host forever; the port then keeps the read
// time-out it was opened with.
void ApplyReplyTimeout(SarnHandle hCom, int32_t iTimeout) {
  if (iTimeout > 0) PortSetTimeout(hCom, iTimeout);
}

}  // namespace

ResultCode ColdStart(DriverRequest* pRequest) {
  DriverContext* pContext = pRequest->pContext;
  const auto* pParams = static_cast<const ColdStartParams*>(pRequest->pParam);

  err(kLogTrace, "SARNMD> version compiled on " __DATE__ " at time " __TIME__);

  // A context that still holds an open port from an earlier cold start
  // closes it first; otherwise its handle would be lost with the device
  // locked until the library is unloaded. A host that hands in a fresh
  // block must clear it, since hCom is only trusted when the block says so.
  if (pContext->hCom != kNoHandle && pContext->bComOpen != 0) {
    if (PortClose(pContext->hCom) == kPortOk) pContext->hCom = kNoHandle;
  }

  pContext->cBase = 'D';
  pContext->cProtocol = 0;
  pContext->cRtsCts = 0;
  pContext->iIfg = 0;
  pContext->bComOpen = pParams->bEnable;
  pContext->iTimeout = pParams->iTimeout;
  pContext->hCom = kNoHandle;
  pContext->wFlags = 0;
  // The frame layer reads bWriting as 0 outside write transactions.
  pContext->bWriting = 0;

  ReadIntFile(pRequest);
  PrimeDayClock();

  if (pContext->bComOpen == 0) {
    // The port settings are not taken from the parameters; give them defined
    // values so a later ReOpenCom or ChangeSarnParams does not open garbage.
    memset(&pContext->port, 0, sizeof pContext->port);
    pContext->port.wControl = kDefaultControl;
    return SARN_OK;
  }

  CopyPortName(pContext->port.szName, pParams->szPort);
  pContext->port.line = pParams->line;
  pContext->port.wControl = kDefaultControl;

  SarnHandle hCom = PortNameFits(pParams->szPort) ? OpenContextPort(pContext) : kNoHandle;
  if (hCom == kNoHandle) {
    err(kLogReport, "SARNMD> ColdStart() error opening COM port");
    return SARN_LINE_FAIL;
  }
  pContext->hCom = hCom;
  err(kLogReport, "SARNMD> ModBus/GTC 32bit driver installed");
  ApplyReplyTimeout(pContext->hCom, pContext->iTimeout);
  return SARN_OK;
}

ResultCode WarmStart(DriverRequest* pRequest) {
  DriverContext* pContext = pRequest->pContext;
  if (pContext->bComOpen != 0 && pContext->hCom != kNoHandle) PortFlushInput(pContext->hCom);
  err(kLogTrace, "SARNMD> WarmStart()");
  return SARN_OK;
}

ResultCode EndSarn(DriverRequest* pRequest) {
  // Stopped first, so the driver is stopped whatever the close yields.
  bStopped = 1;
  ResultCode rc = CloseCom(pRequest);
  if (rc != SARN_OK) err(kLogReport, "SARNMD> EndSarn() error closing COM port");
  err(kLogTrace, "SARNMD> EndSarn()");
  return rc;
}

ResultCode CloseCom(DriverRequest* pRequest) {
  DriverContext* pContext = pRequest->pContext;
  if (pContext->hCom == kNoHandle) return SARN_OK;
  if (PortClose(pContext->hCom) != kPortOk) return SARN_LINE_FAIL;
  pContext->hCom = kNoHandle;
  pContext->bComOpen = 0;
  return SARN_OK;
}

ResultCode ReOpenCom(DriverRequest* pRequest) {
  DriverContext* pContext = pRequest->pContext;
  SarnHandle hCom = OpenContextPort(pContext);
  if (hCom == kNoHandle) return SARN_LINE_FAIL;
  pContext->bComOpen = 1;
  pContext->hCom = hCom;
  return SARN_OK;
}

ResultCode ChangeSarnParams(DriverRequest* pRequest) {
  DriverContext* pContext = pRequest->pContext;
  const auto* pParams = static_cast<const DriverParams*>(pRequest->pParam);

  if (pParams->iTimeout != 0 && pParams->iTimeout != -1) pContext->iTimeout = pParams->iTimeout;

  const bool bNameFits = PortNameFits(pParams->szPort);
  if (strncmp(pParams->szPort, pContext->port.szName, kPortNameSize) != 0 && pContext->hCom != kNoHandle) {
    CloseCom(pRequest);
  }
  CopyPortName(pContext->port.szName, pParams->szPort);
  if (pParams->line.wBaud != 0) pContext->port.line = pParams->line;

  SarnHandle hCom = bNameFits ? OpenContextPort(pContext) : kNoHandle;
  if (hCom == kNoHandle) {
    err(kLogReport, "SARNMD> ChangeSarnParams() open new COM port failed");
    return SARN_LINE_FAIL;
  }
  pContext->hCom = hCom;
  ApplyReplyTimeout(pContext->hCom, pContext->iTimeout);
  pContext->bComOpen = 1;
  return SARN_OK;
}

}  // namespace sarn
