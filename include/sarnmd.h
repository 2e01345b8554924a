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
 * every 32-bit field and every pointer is 4 bytes wide; on a 64-bit build
 * pointers (and on Windows the port handle) are 8 bytes wide.
 *
 * What may run at once: calls on different context blocks may run at the
 * same time on different threads (a thread per serial line, say); each
 * context's results, log lines and wire bytes are those it would have if the
 * calls ran one after another. Calls on the same context block must not
 * overlap: the host serialises them. GetSarnInfo needs no context and may
 * run at any time. The module-wide effects stay module-wide: EndSarn stops
 * every context, and the first read of a new calendar day on any context
 * does the daily restart, once. The module holds at most SARN_MAX_OPEN_PORTS
 * ports open at once, over all its contexts.
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
  SARN_OK = 0,       /* done; also every answer while the driver is stopped */
  SARN_REFUSED = 1,  /* refused, or failed on the content of a reply */
  SARN_LINE_FAIL = 2 /* failed on the port or the line; unknown operation */
};
typedef int32_t ResultCode;

/* Protocol of a context (DriverContext.cProtocol), set by its initialization
 * file: plain Modbus ASCII, or the GTC variant. */
enum SarnProtocol { SARN_PROTOCOL_MODBUS = 0, SARN_PROTOCOL_GTC = 1 };

/* Memory type digits (position 2 of a gate address text; GateSpec and
 * GateTransfer iMemType). There is no type 2. Types 5 to 8 hold 32-bit
 * values in register pairs. */
enum SarnMemType {
  SARN_MEM_COILS = 0,             /* read with function 1, written with 5 and 15 */
  SARN_MEM_INPUTS = 1,            /* discrete inputs, function 2 */
  SARN_MEM_INPUT_REGISTERS = 3,   /* function 4 */
  SARN_MEM_HOLDING_REGISTERS = 4, /* function 3, written with 6 and 16 */
  SARN_MEM_INPUT_FLOATS = 5,      /* input register pairs holding a float */
  SARN_MEM_INPUT_LONGS = 6,       /* input register pairs holding a 32-bit integer */
  SARN_MEM_HOLDING_FLOATS = 7,    /* holding register pairs holding a float */
  SARN_MEM_HOLDING_LONGS = 8      /* holding register pairs holding a 32-bit integer */
};
#define SARN_MEM_TYPE_MAX 8

/* Host data type codes (GateSpec and GateTransfer iDataType). The driver only
 * groups them: 0 to 2 are 16-bit values, 3 a float, 4 and 5 32-bit integers
 * (read as register pairs), 6 a bit. */
enum SarnDataType {
  SARN_TYPE_UINT16 = 0,
  SARN_TYPE_INT16 = 1,
  SARN_TYPE_WORD = 2,
  SARN_TYPE_FLOAT = 3,
  SARN_TYPE_INT32 = 4,
  SARN_TYPE_UINT32 = 5,
  SARN_TYPE_BIT = 6
};

/* Whether a host data type fits a gate of memory type iMemType, with a bit
 * number (bBitNumber non-zero) or without: the check SingleAddressParser
 * makes. A bit number takes a bit from a register, so only the bit type fits
 * it; 32-bit gates take a float (types 5 and 7) or a 32-bit integer (6 and 8). */
static inline int SarnDataTypeFits(int32_t iDataType, int32_t iMemType, int bBitNumber) {
  const int b32 = iMemType >= SARN_MEM_INPUT_FLOATS && iMemType <= SARN_MEM_HOLDING_LONGS;
  if (iDataType == SARN_TYPE_BIT && b32) return 0;
  if (bBitNumber) return iDataType == SARN_TYPE_BIT;
  switch (iMemType) {
    case SARN_MEM_COILS:
    case SARN_MEM_INPUTS:
      return iDataType == SARN_TYPE_BIT;
    case SARN_MEM_INPUT_REGISTERS:
    case SARN_MEM_HOLDING_REGISTERS:
      return iDataType >= SARN_TYPE_UINT16 && iDataType <= SARN_TYPE_WORD;
    case SARN_MEM_INPUT_FLOATS:
    case SARN_MEM_HOLDING_FLOATS:
      return iDataType == SARN_TYPE_FLOAT;
    case SARN_MEM_INPUT_LONGS:
    case SARN_MEM_HOLDING_LONGS:
      return iDataType == SARN_TYPE_INT32 || iDataType == SARN_TYPE_UINT32;
    default:
      return 0;
  }
}

/* Option bits of DriverContext.wFlags. */
#define SARN_FLAG_SWAP 0x0002u      /* word swap of 32-bit integer gates */
#define SARN_FLAG_FLOATSWAP 0x0004u /* word swap of floating-point gates */
#define SARN_FLAG_LONGADDR 0x0008u  /* long-word address mapping of 32-bit gates */
#define SARN_FLAG_ECHO 0x0010u      /* the line hears its own requests: read them back first */

/* Size of the request and reply text buffers in the context. */
#define SARN_FRAME_BUF 600
/* Bytes the host allocates for each DriverContext. A 64-bit Windows port
 * handle is a pointer, 8 bytes aligned on 8, which moves the fields after it
 * and makes the block 8 bytes longer; everywhere else it is 4 bytes. */
#ifdef _WIN64
#define SARN_CONTEXT_SIZE 1264
#else
#define SARN_CONTEXT_SIZE 1256
#endif

/* Longest port name, without its terminator (the name fields hold 12 bytes). */
#define SARN_MAX_PORT_NAME 11

/* Ports the loaded module holds open at once, over all its contexts. An
 * open beyond it fails as a port that would not open (result 2). */
#define SARN_MAX_OPEN_PORTS 256

/* The port handle: an opaque platform handle, 0 (none) while no port is open. */
#ifdef _WIN32
typedef void* SarnHandle;
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
  char szName[SARN_MAX_PORT_NAME + 1]; /* device name; "NUL" is the null device */
  LineSettings line;                   /* line parameters */
  uint16_t wControl;                   /* DTR/RTS mode bits; 0x0303 switches both on */
} PortSettings;

/* One driver instance; the host allocates SARN_CONTEXT_SIZE bytes for it. */
typedef struct DriverContext {
  int32_t iTimeout;           /* reply time-out in units of 10 ms */
  int32_t bComOpen;           /* non-zero: communication enabled */
  char cProtocol;             /* SarnProtocol: 0 Modbus, 1 GTC */
  char cBase;                 /* 'D' decimal or 'H' hexadecimal gate addresses */
  SarnHandle hCom;            /* open port, 0 while none */
  PortSettings port;          /* settings the port is opened with */
  int32_t bWriting;           /* 1 while a write transaction runs */
  char txBuf[SARN_FRAME_BUF]; /* request frame under way */
  char rxBuf[SARN_FRAME_BUF]; /* reply frame */
  uint16_t wFlags;            /* SARN_FLAG_* option bits */
  uint8_t cRtsCts;            /* non-zero: raise RTS around each transmission */
  uint16_t iIfg;              /* inter-frame gap in milliseconds, 0 for none */
} DriverContext;

/* The record of every call to SarnMain. */
typedef struct DriverRequest {
  DriverContext* pContext; /* the instance; unused by GetSarnInfo */
  int32_t iOpCode;         /* SarnOpCode */
  int32_t iDriverNr;       /* instance number; names the initialization file */
  int32_t iReserved;       /* not read by the driver */
  void* pParam;            /* the operation's parameter record */
} DriverRequest;

/* Parameter record of reads and writes (operations 5, 6, 7 and 10). */
typedef struct GateTransfer {
  const char* pszName; /* gate address text, used in log messages */
  int32_t iHost1;      /* host field, not touched by the driver */
  int32_t iPlcAddr;    /* controller address */
  int32_t iMemType;    /* SarnMemType digit */
  int32_t iAddress;    /* address as the address parser produced it */
  int32_t iBitNr;      /* bit number 0 to 15, or -1 */
  int32_t iBits;       /* size of one value: 1, 16 or 32 */
  int32_t iDataType;   /* SarnDataType; 3, 4, 5 are 32-bit types */
  int32_t iCount;      /* number of values; 1 for a single gate */
  int32_t iHost2;      /* host field, not touched by the driver */
  void* pData;         /* host value buffer */
} GateTransfer;

/* Parameter record of the two address operations (operations 3 and 4). */
typedef struct GateSpec {
  const char* pszAddress; /* in: gate address text */
  int32_t iHost1;         /* host field, not touched by the driver */
  int32_t iDataType;      /* in: SarnDataType (single gates) */
  int32_t iCount;         /* in: block length (block gates) */
  int32_t iPlcAddr;       /* out: controller address */
  int32_t iMemType;       /* out: SarnMemType digit */
  int32_t iAddress;       /* out: converted address */
  int32_t iBitNr;         /* out: bit number, or -1 */
  int32_t iBits;          /* out: 1, 16 or 32 */
} GateSpec;

/* Parameter record of ColdStart (operation 1). */
typedef struct ColdStartParams {
  char szPort[SARN_MAX_PORT_NAME + 1]; /* port name */
  int32_t bEnable;                     /* non-zero: open the port and communicate */
  int32_t iTimeout;                    /* reply time-out in units of 10 ms */
  LineSettings line;                   /* line parameters */
} ColdStartParams;

/* Parameter record of ChangeSarnParams (operation 15). */
typedef struct DriverParams {
  char szPort[SARN_MAX_PORT_NAME + 1]; /* new port name */
  int32_t iTimeout;                    /* new reply time-out; 0 or -1 keeps the current one */
  LineSettings line;                   /* new line; wBaud 0 keeps the current one */
} DriverParams;

/* Filled by GetSarnInfo (operation 14); works without a context. */
typedef struct DriverInfo {
  int32_t iInfoId;           /* 70 */
  const char* pszDriverName; /* "Modicon Modbus ASCII" */
  const char* pszBanner;     /* installation banner, code page 437 */
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
SARNMD_API ResultCode SarnMain(DriverRequest* pRequest);

/* Type of SarnMain, for hosts that resolve it at run time. */
typedef ResultCode (*SarnMainFn)(DriverRequest* pRequest);

#ifdef __cplusplus
}
#endif

#endif /* SARNMD_H */
