// The lifecycle operations: starting, restarting, closing, reopening and
// moving a context's port, and stopping the module. They own the
// port-related fields of the context.
#include "driver/lifecycle.h"

#include <cstring>

#include "config/gateway_route.h"
#include "config/int_file.h"
#include "driver/stop_flag.h"
#include "hostlog/host_log.h"
#include "hostlog/log_messages.h"
#include "link/context_port.h"
#include "link/port.h"
#include "link/port_record.h"
#include "transact/daily_restart.h"

namespace sarn {
namespace {

constexpr size_t kPortNameSize = SARN_MAX_PORT_NAME + 1;
static_assert(sizeof(PortSettings{}.szName) == kPortNameSize && sizeof(ColdStartParams{}.szPort) == kPortNameSize);

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

bool PortNameFits(const char* pszName) {
  return memchr(pszName, '\0', kPortNameSize) != nullptr;
}

// Opens the port the context's settings describe, as this context's own,
// with the reply time-out iTimeout (0 or less: the port's default, a second);
// kNoHandle when the name does not fit, the open failed, or the module
// already holds as many ports as it can. With RTS control on, the device
// switches the RS-485 direction itself where it can.
SarnHandle OpenContextPort(DriverContext* pContext, int32_t iTimeout, bool* pbRtsByDevice = nullptr) {
  const PortSettings& port = pContext->port;
  if (port.szName[0] == '\0') return kNoHandle;
  // A line behind a gateway is opened at the gateway's address.
  char szGateway[kGatewayAddressSize];
  const char* pszTarget = GatewayRoute(pContext, szGateway) ? szGateway : port.szName;
  PortOpening opening;
  opening.pszName = pszTarget;
  opening.pLine = &port.line;
  opening.wControl = port.wControl;
  opening.iTimeout = iTimeout;
  opening.bRtsByDevice = pContext->cRtsCts != 0;
  opening.pOwner = pContext;
  SarnHandle hCom = kNoHandle;
  const PortResult rc = OpenPortRecord(opening, &hCom, pbRtsByDevice);
  if (rc == kPortNotCharDevice) SARN_LOG(kMsgPortNotCharDevice, port.szName);
  if (hCom == kNoHandle) {
    char szWhy[kFailureTextSize];
    if (rc != kPortNotCharDevice && PortDescribeOpenFailure(pszTarget, szWhy, sizeof szWhy) != 0)
      SARN_LOG(kMsgPortNotOpened, pszTarget, szWhy);
  }
  return hCom;
}

// A handle value that the module did not open for this very block (a copied
// block, or one the host did not clear) names another context's port or
// nothing at all: it is dropped unclosed, and the context has no port.
void DropForeignHandle(DriverContext* pContext, const LogMessage& message) {
  const SarnHandle hCom = ContextPort(pContext);
  if (hCom == kNoHandle || OwnsPortRecord(pContext, hCom)) return;
  SARN_LOG(message);
  SetContextPort(pContext, kNoHandle);
}

// Closes the context's own open port, once the transaction under way on it
// (another block may name the same port) has ended and the answers still in
// flight have come. A close that fails keeps hCom and bComOpen, and the
// handle stays recorded as this context's, so that its place is not handed
// to another port while the context still names it.
ResultCode CloseOwnPort(DriverContext* pContext) {
  const SarnHandle hCom = ContextPort(pContext);
  if (hCom == kNoHandle) return SARN_OK;
  if (ClosePortRecord(pContext, hCom) != kPortOk) return SARN_LINE_FAIL;
  SetContextPort(pContext, kNoHandle);
  SetCommunication(pContext, 0);
  return SARN_OK;
}

// Gives up a port that would not close: the context no longer names it, so
// nothing holds its place any more. The port layer keeps a port whose close
// failed until it is closed once more; that second close frees its place,
// else every failed close would take one of the module's ports for good.
void AbandonOwnPort(DriverContext* pContext) {
  AbandonPortRecord(pContext, ContextPort(pContext));
  SetContextPort(pContext, kNoHandle);
}

}  // namespace

ResultCode ColdStart(DriverRequest* pRequest) {
  DriverContext* pContext = pRequest->pContext;
  const auto* pParams = static_cast<const ColdStartParams*>(pRequest->pParam);

  SARN_LOG(kMsgVersion);

  // A context that still holds its own open port from an earlier cold start
  // closes it first; otherwise its handle would be lost with the device
  // locked until the library is unloaded. A cold start begins afresh: a
  // port that will not close is given up.
  DropForeignHandle(pContext, kMsgColdStartForeignHandle);
  if (CloseOwnPort(pContext) != SARN_OK) {
    SARN_LOG(kMsgColdStartCloseFailed);
    AbandonOwnPort(pContext);
  }

  pContext->cBase = 'D';
  pContext->cProtocol = SARN_PROTOCOL_MODBUS;
  pContext->cRtsCts = 0;
  pContext->iIfg = 0;
  SetCommunication(pContext, pParams->bEnable);
  pContext->iTimeout = pParams->iTimeout;
  SetContextPort(pContext, kNoHandle);
  pContext->wFlags = 0;
  // A host reads bWriting as 1 only while a write transaction runs.
  pContext->bWriting = 0;

  ReadIntFile(pRequest);
  PrimeDayClock();

  if (!CommunicationEnabled(pContext)) {
    // The port settings are not taken from the parameters; give them defined
    // values so a later ReOpenCom or ChangeSarnParams does not open garbage.
    memset(&pContext->port, 0, sizeof pContext->port);
    pContext->port.wControl = kDefaultControl;
    return SARN_OK;
  }

  CopyPortName(pContext->port.szName, pParams->szPort);
  pContext->port.line = pParams->line;
  pContext->port.wControl = kDefaultControl;

  bool bRtsByDevice = false;
  SarnHandle hCom =
      PortNameFits(pParams->szPort) ? OpenContextPort(pContext, pContext->iTimeout, &bRtsByDevice) : kNoHandle;
  if (hCom == kNoHandle) {
    SARN_LOG(kMsgColdStartOpenFailed);
    return SARN_LINE_FAIL;
  }
  SetContextPort(pContext, hCom);
  SARN_LOG(kMsgInstalled);
  if (pContext->cRtsCts != 0) SARN_LOG(bRtsByDevice ? kMsgRs485ByDevice : kMsgRs485ByToggling);
  return SARN_OK;
}

ResultCode WarmStart(DriverRequest* pRequest) {
  return RestartLine(pRequest->pContext);
}

ResultCode EndSarn(DriverRequest* pRequest) {
  // Stopped first, so the driver is stopped whatever the close yields.
  bStopped = 1;
  ResultCode rc = CloseCom(pRequest);
  if (rc != SARN_OK) SARN_LOG(kMsgEndSarnCloseFailed);
  SARN_LOG(kMsgEndSarn);
  return rc;
}

ResultCode CloseCom(DriverRequest* pRequest) {
  DriverContext* pContext = pRequest->pContext;
  DropForeignHandle(pContext, kMsgCloseComForeignHandle);
  return CloseOwnPort(pContext);
}

ResultCode ReOpenCom(DriverRequest* pRequest) {
  DriverContext* pContext = pRequest->pContext;
  // The context's own open port is closed first, so that opening it again
  // neither fails on the exclusive device nor loses the handle.
  DropForeignHandle(pContext, kMsgReOpenComForeignHandle);
  if (CloseOwnPort(pContext) != SARN_OK) return SARN_LINE_FAIL;
  // The port keeps its default reply time-out of a second.
  SarnHandle hCom = OpenContextPort(pContext, 0);
  if (hCom == kNoHandle) return SARN_LINE_FAIL;
  SetContextPort(pContext, hCom);
  SetCommunication(pContext, 1);
  return SARN_OK;
}

ResultCode ChangeSarnParams(DriverRequest* pRequest) {
  DriverContext* pContext = pRequest->pContext;
  const auto* pParams = static_cast<const DriverParams*>(pRequest->pParam);

  // The context's own open port is closed first, whether the name changes
  // or not: a new line setting on the same port takes effect, and no handle
  // is lost. A failed close is ignored and the port given up; the new one is
  // opened all the same.
  DropForeignHandle(pContext, kMsgChangeSarnParamsForeignHandle);
  if (CloseOwnPort(pContext) != SARN_OK) AbandonOwnPort(pContext);

  if (pParams->iTimeout != 0 && pParams->iTimeout != -1) pContext->iTimeout = pParams->iTimeout;

  const bool bNameFits = PortNameFits(pParams->szPort);
  CopyPortName(pContext->port.szName, pParams->szPort);
  if (pParams->line.wBaud != 0) pContext->port.line = pParams->line;

  SarnHandle hCom = bNameFits ? OpenContextPort(pContext, pContext->iTimeout) : kNoHandle;
  if (hCom == kNoHandle) {
    SARN_LOG(kMsgChangeSarnParamsOpenFailed);
    return SARN_LINE_FAIL;
  }
  SetContextPort(pContext, hCom);
  SetCommunication(pContext, 1);
  return SARN_OK;
}

}  // namespace sarn
