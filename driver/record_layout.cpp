// Compile-time checks of the boundary records against the layout hosts use.
#include <cstddef>

#include "sarnmd.h"

static_assert(sizeof(DriverContext) <= SARN_CONTEXT_SIZE, "a context must fit the block the host allocates");
static_assert(sizeof(LineSettings) == 8);
static_assert(sizeof(PortSettings) == 22);
static_assert(offsetof(PortSettings, line) == 12 && offsetof(PortSettings, wControl) == 20);
static_assert(sizeof(ColdStartParams) == 28);
static_assert(offsetof(ColdStartParams, bEnable) == 12 && offsetof(ColdStartParams, iTimeout) == 16 &&
              offsetof(ColdStartParams, line) == 20);
static_assert(sizeof(DriverParams) == 24);
static_assert(offsetof(DriverParams, iTimeout) == 12 && offsetof(DriverParams, line) == 16);
static_assert(offsetof(DriverContext, iTimeout) == 0 && offsetof(DriverContext, bComOpen) == 4 &&
              offsetof(DriverContext, cProtocol) == 8 && offsetof(DriverContext, cBase) == 9);

#if UINTPTR_MAX == 0xFFFFFFFFu
// 32-bit build: every 32-bit field and pointer is 4 bytes, so the offsets
// are the running sums of the field sizes, aligned naturally.
static_assert(offsetof(DriverContext, hCom) == 12 && offsetof(DriverContext, port) == 16 &&
              offsetof(DriverContext, bWriting) == 40 && offsetof(DriverContext, txBuf) == 44 &&
              offsetof(DriverContext, rxBuf) == 644 && offsetof(DriverContext, wFlags) == 1244 &&
              offsetof(DriverContext, cRtsCts) == 1246 && offsetof(DriverContext, iIfg) == 1248);
static_assert(sizeof(DriverRequest) == 20 && offsetof(DriverRequest, iOpCode) == 4 &&
              offsetof(DriverRequest, iDriverNr) == 8 && offsetof(DriverRequest, iReserved) == 12 &&
              offsetof(DriverRequest, pParam) == 16);
static_assert(sizeof(GateTransfer) == 44 && offsetof(GateTransfer, iPlcAddr) == 8 &&
              offsetof(GateTransfer, iCount) == 32 && offsetof(GateTransfer, pData) == 40);
static_assert(sizeof(GateSpec) == 36 && offsetof(GateSpec, iDataType) == 8 && offsetof(GateSpec, iPlcAddr) == 16 &&
              offsetof(GateSpec, iBits) == 32);
static_assert(sizeof(DriverInfo) == 32 && offsetof(DriverInfo, pszDriverName) == 4 &&
              offsetof(DriverInfo, pszBanner) == 8 && offsetof(DriverInfo, iContextSize) == 12 &&
              offsetof(DriverInfo, iInfoA) == 16 && offsetof(DriverInfo, defaultLine) == 20 &&
              offsetof(DriverInfo, iInfoB) == 28);
#endif
