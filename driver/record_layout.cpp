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
#else
// 64-bit build: a pointer is 8 bytes aligned on 8, so the records that hold
// one are longer and the 32-bit fields after a pointer move by 4 or 8.
static_assert(sizeof(DriverRequest) == 32 && offsetof(DriverRequest, iOpCode) == 8 &&
              offsetof(DriverRequest, iDriverNr) == 12 && offsetof(DriverRequest, iReserved) == 16 &&
              offsetof(DriverRequest, pParam) == 24);
static_assert(sizeof(GateTransfer) == 56 && offsetof(GateTransfer, iPlcAddr) == 12 &&
              offsetof(GateTransfer, iCount) == 36 && offsetof(GateTransfer, pData) == 48);
static_assert(sizeof(GateSpec) == 40 && offsetof(GateSpec, iDataType) == 12 && offsetof(GateSpec, iPlcAddr) == 20 &&
              offsetof(GateSpec, iBits) == 36);
static_assert(sizeof(DriverInfo) == 48 && offsetof(DriverInfo, pszDriverName) == 8 &&
              offsetof(DriverInfo, pszBanner) == 16 && offsetof(DriverInfo, iContextSize) == 24 &&
              offsetof(DriverInfo, iInfoA) == 28 && offsetof(DriverInfo, defaultLine) == 32 &&
              offsetof(DriverInfo, iInfoB) == 40);
#ifdef _WIN64
// The Windows port handle is a pointer too: it starts at 16, and every field
// after it lies 4 bytes further on than in a 32-bit build (8 for iIfg, whose
// alignment adds 2 more); the block is exactly SARN_CONTEXT_SIZE.
static_assert(sizeof(DriverContext) == SARN_CONTEXT_SIZE && offsetof(DriverContext, hCom) == 16 &&
              offsetof(DriverContext, port) == 24 && offsetof(DriverContext, bWriting) == 48 &&
              offsetof(DriverContext, txBuf) == 52 && offsetof(DriverContext, rxBuf) == 652 &&
              offsetof(DriverContext, wFlags) == 1252 && offsetof(DriverContext, cRtsCts) == 1254 &&
              offsetof(DriverContext, iIfg) == 1256);
#else
// A POSIX port handle is 4 bytes: the context lies as in a 32-bit build.
static_assert(offsetof(DriverContext, hCom) == 12 && offsetof(DriverContext, port) == 16 &&
              offsetof(DriverContext, bWriting) == 40 && offsetof(DriverContext, txBuf) == 44 &&
              offsetof(DriverContext, rxBuf) == 644 && offsetof(DriverContext, wFlags) == 1244 &&
              offsetof(DriverContext, cRtsCts) == 1246 && offsetof(DriverContext, iIfg) == 1248);
#endif
#endif
