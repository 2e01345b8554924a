/*
 * sarnmd.h - public interface of the SARNMD Modbus ASCII / GTC serial driver.
 *
 * A host loads libsarnmd (sarnmd.dll on Windows), resolves the single entry
 * point SarnMain and calls it with a DriverRequest for every operation. The
 * host owns every record: it allocates one DriverContext block per driver
 * instance (DriverInfo.iContextSize bytes, as GetSarnInfo reports) and every
 * parameter record. The driver keeps no pointer to a record after a call.
 *
 * All records are plain C structs with natural alignment. On a 32-bit build
 * every 32-bit field and every pointer is 4 bytes wide.
 */
#ifndef SARNMD_H
#define SARNMD_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Operation codes (DriverRequest.iOpCode). Codes 0, 8, 9 and 16 are empty. */
enum SarnOpCode {
  SARN_OP_COLD_START = 1,
  SARN_OP_WARM_START = 2,
  SARN_OP_SINGLE_ADDRESS_PARSER = 3,
  SARN_OP_BLOCK_ADDRESS_PARSER = 4,
  SARN_OP_SINGLE_READ = 5,
  SARN_OP_BLOCK_READ = 6,
  SARN_OP_SINGLE_WRITE = 7,
  SARN_OP_BLOCK_WRITE = 10,
  SARN_OP_END_SARN = 11,
  SARN_OP_CLOSE_COM = 12,
  SARN_OP_REOPEN_COM = 13,
  SARN_OP_GET_SARN_INFO = 14,
  SARN_OP_CHANGE_SARN_PARAMS = 15
};
#define SARN_OP_TABLE_SIZE 17

/* Result codes every operation returns (ResultCode). */
enum SarnResult {
  SARN_OK = 0,        /* done; also every answer while the driver is stopped */
  SARN_REFUSED = 1,   /* refused, or failed on the content of a reply */
  SARN_LINE_FAIL = 2  /* failed on the port or the line; unknown operation */
};
typedef int32_t ResultCode;

/* Option bits of DriverContext.wFlags. */
#define SARN_FLAG_SWAP 0x0002u      /* word swap of 32-bit integer gates */
#define SARN_FLAG_FLOATSWAP 0x0004u /* word swap of floating-point gates */
#define SARN_FLAG_LONGADDR 0x0008u  /* long-word address mapping of 32-bit gates */

/* Size of the request and reply text buffers in the context. */
#define SARN_FRAME_BUF 600
/* Bytes the host allocates for each DriverContext. */
#define SARN_CONTEXT_SIZE 1256

/* Ports the loaded module holds open at once, over all its contexts. An
 * open beyond it fails as a port that would not open (result 2). */
#define SARN_MAX_OPEN_PORTS 256

/* The port handle: an opaque platform handle, 0 (none) while no port is open. */
#ifdef _WIN32
typedef void *SarnHandle;
#else
typedef uint32_t SarnHandle;
#endif

/* Line parameters in the Win32 encodings. */
typedef struct LineSettings {
  uint16_t wBaud;     /* bits per second */
  uint16_t wDataBits; /* data bits per character (low byte used) */
  uint16_t wStopBits; /* 0 one, 1 one and a half, 2 two (low byte used) */
  uint16_t wParity;   /* 0 none, 1 odd, 2 even, 3 mark, 4 space (low byte used) */
} LineSettings;

/* What the port is opened with. */
typedef struct PortSettings {
  char szName[12];   /* device name, at most 11 characters; "NUL" is the null device */
  LineSettings line; /* line parameters */
  uint16_t wControl; /* DTR/RTS mode bits; 0x0303 switches both on */
} PortSettings;

/* One driver instance; the host allocates SARN_CONTEXT_SIZE bytes for it. */
typedef struct DriverContext {
  int32_t iTimeout;  /* reply time-out in units of 10 ms */
  int32_t bComOpen;  /* non-zero: communication enabled */
  char cProtocol;    /* 0 Modbus, 1 GTC */
  char cBase;        /* 'D' decimal or 'H' hexadecimal gate addresses */
  SarnHandle hCom;   /* open port, 0 while none */
  PortSettings port; /* settings the port is opened with */
  int32_t bWriting;  /* 1 while a write transaction runs */
  char txBuf[SARN_FRAME_BUF]; /* request frame under way */
  char rxBuf[SARN_FRAME_BUF]; /* reply frame */
  uint16_t wFlags;   /* SARN_FLAG_* option bits */
  uint8_t cRtsCts;   /* non-zero: raise RTS around each transmission */
  uint16_t iIfg;     /* inter-frame gap in milliseconds, 0 for none */
} DriverContext;

/* The record of every call to SarnMain. */
typedef struct DriverRequest {
  DriverContext *pContext; /* the instance; unused by GetSarnInfo */
  int32_t iOpCode;         /* SarnOpCode */
  int32_t iDriverNr;       /* instance number; names the initialization file */
  int32_t iReserved;       /* not read by the driver */
  void *pParam;            /* the operation's parameter record */
} DriverRequest;

/* Parameter record of reads and writes (operations 5, 6, 7 and 10). */
typedef struct GateTransfer {
  const char *pszName; /* gate address text, used in log messages */
  int32_t iHost1;      /* host field, not touched by the driver */
  int32_t iPlcAddr;    /* controller address */
  int32_t iMemType;    /* memory type digit 0 to 8 */
  int32_t iAddress;    /* address as the address parser produced it */
  int32_t iBitNr;      /* bit number 0 to 15, or -1 */
  int32_t iBits;       /* size of one value: 1, 16 or 32 */
  int32_t iDataType;   /* host data type code; 3, 4, 5 are 32-bit types */
  int32_t iCount;      /* number of values; 1 for a single gate */
  int32_t iHost2;      /* host field, not touched by the driver */
  void *pData;         /* host value buffer */
} GateTransfer;

/* Parameter record of the two address operations (operations 3 and 4). */
typedef struct GateSpec {
  const char *pszAddress; /* in: gate address text */
  int32_t iHost1;         /* host field, not touched by the driver */
  int32_t iDataType;      /* in: host data type (single gates) */
  int32_t iCount;         /* in: block length (block gates) */
  int32_t iPlcAddr;       /* out: controller address */
  int32_t iMemType;       /* out: memory type digit */
  int32_t iAddress;       /* out: converted address */
  int32_t iBitNr;         /* out: bit number, or -1 */
  int32_t iBits;          /* out: 1, 16 or 32 */
} GateSpec;

/* Parameter record of ColdStart (operation 1). */
typedef struct ColdStartParams {
  char szPort[12];   /* port name, at most 11 characters */
  int32_t bEnable;   /* non-zero: open the port and communicate */
  int32_t iTimeout;  /* reply time-out in units of 10 ms */
  LineSettings line; /* line parameters */
} ColdStartParams;

/* Parameter record of ChangeSarnParams (operation 15). */
typedef struct DriverParams {
  char szPort[12];   /* new port name */
  int32_t iTimeout;  /* new reply time-out; 0 or -1 keeps the current one */
  LineSettings line; /* new line; wBaud 0 keeps the current one */
} DriverParams;

/* Filled by GetSarnInfo (operation 14); works without a context. */
typedef struct DriverInfo {
  int32_t iInfoId;           /* 70 */
  const char *pszDriverName; /* "Modicon Modbus ASCII" */
  const char *pszBanner;     /* installation banner, code page 437 */
  int32_t iContextSize;      /* bytes to allocate per DriverContext */
  int32_t iInfoA;            /* 4 */
  LineSettings defaultLine;  /* 9600 baud, 7 data bits, 2 stop bits, even parity */
  int32_t iInfoB;            /* 3 */
} DriverInfo;

/* The driver's only exported function. */
#if defined(_WIN32)
#if defined(SARNMD_BUILD)
#define SARNMD_API __declspec(dllexport)
#else
#define SARNMD_API __declspec(dllimport)
#endif
#else
#define SARNMD_API __attribute__((visibility("default")))
#endif
SARNMD_API ResultCode SarnMain(DriverRequest *pRequest);

/* Type of SarnMain, for hosts that resolve it at run time. */
typedef ResultCode (*SarnMainFn)(DriverRequest *pRequest);

#ifdef __cplusplus
}
#endif

#endif /* SARNMD_H */
