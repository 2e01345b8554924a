// The initialization file SARNMD<n>.INT: protocol, base, option bits, RTS
// control and inter-frame gap of one driver instance, read at cold start.
#include "config/int_file.h"

#include <climits>

#include "config/gateway_route.h"
#include "hostlog/host_log.h"
#include "hostlog/log_messages.h"

namespace sarn {

namespace {

const char kBaseName[] = "SARNMD";

// A line is read in pieces of at most this many characters, newline included.
constexpr int kMaxPiece = 255;

bool IsBlank(char c) {
  return c == ' ';
}

// White space as the C library's formatted input skips it.
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

const char* SkipBlanks(const char* p) {
  while (IsBlank(*p)) ++p;
  return p;
}

bool BeginsWith(const char* p, const char* pszWord) {
  while (*pszWord != '\0') {
    if (*p++ != *pszWord++) return false;
  }
  return true;
}

// "<key> = " in the manner of a formatted scan: the key in the first column,
// optional white space, "=", optional white space. Returns the text after it,
// or nullptr when the line does not begin so.
const char* MatchKey(const char* pszLine, const char* pszKey) {
  if (!BeginsWith(pszLine, pszKey)) return nullptr;
  const char* p = pszLine;
  while (*pszKey++ != '\0') ++p;
  while (IsSpace(*p)) ++p;
  if (*p != '=') return nullptr;
  ++p;
  while (IsSpace(*p)) ++p;
  return p;
}

void UpperCase(char* p) {
  for (; *p != '\0'; ++p) {
    if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
  }
}

// Reads the next piece of a line into szPiece (kMaxPiece + 1 characters):
// up to and including the newline, or kMaxPiece characters, or to the end of
// the file. A carriage return before a newline is dropped, as text-mode
// reading does on the driver's home platform. Returns false at the end of
// the file (or on a read error) when nothing was read.
bool ReadPiece(FILE* pFile, char* szPiece) {
  int iLen = 0;
  while (iLen < kMaxPiece) {
    int c = getc(pFile);
    if (c == EOF) break;
    if (c == '\r') {
      int cNext = getc(pFile);
      if (cNext == '\n') {
        c = '\n';
      } else if (cNext != EOF) {
        ungetc(cNext, pFile);
      }
    }
    szPiece[iLen++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  szPiece[iLen] = '\0';
  return iLen > 0;
}

struct SwitchKey {
  const char* pszKey;
  uint16_t wBit;            // bit of wFlags; 0 for RTSCTS, which sets cRtsCts
  const LogMessage& check;  // logged after a value that is neither YES nor NO
};

// In the order in which a line is tried against them.
const SwitchKey kSwitchKeys[] = {
    {"SWAP", SARN_FLAG_SWAP, kMsgIntFileCheckSwap},
    {"FLOATSWAP", SARN_FLAG_FLOATSWAP, kMsgIntFileCheckFloatSwap},
    {"LONGADDR", SARN_FLAG_LONGADDR, kMsgIntFileCheckLongAddr},
    {"RTSCTS", 0, kMsgIntFileCheckRtsCts},
    {"ECHO", SARN_FLAG_ECHO, kMsgIntFileCheckEcho},
};

void SetSwitch(DriverContext* pContext, const SwitchKey& key, bool bOn) {
  if (key.wBit == 0) {
    pContext->cRtsCts = bOn ? 1 : 0;
  } else if (bOn) {
    pContext->wFlags = static_cast<uint16_t>(pContext->wFlags | key.wBit);
  } else {
    pContext->wFlags = static_cast<uint16_t>(pContext->wFlags & ~key.wBit);
  }
}

// 1 when the line is a switch-key line: the key's "= " followed by at least
// two characters (the newline counts), of which the first two or three are
// the value.
int ParseSwitchLine(const char* pszLine, DriverContext* pContext) {
  for (const SwitchKey& key : kSwitchKeys) {
    const char* p = MatchKey(pszLine, key.pszKey);
    if (p == nullptr) continue;
    int iTaken = 0;
    while (iTaken < 3 && p[iTaken] != '\0') ++iTaken;
    if (iTaken < 2) continue;
    if (p[0] == 'N' && p[1] == 'O') {
      SetSwitch(pContext, key, false);
    } else if (iTaken == 3 && p[0] == 'Y' && p[1] == 'E' && p[2] == 'S') {
      SetSwitch(pContext, key, true);
    } else {
      SetSwitch(pContext, key, false);
      SARN_LOG(kMsgIntFileIllegalFormat);
      SARN_LOG(kMsgIntFileCheck, key.check.pszFormat);
    }
    return 1;
  }
  return 0;
}

// 1 when the line is "IFG = <digits>"; the digits form an unsigned decimal
// number of which the 16-bit field keeps the low 16 bits. A plus sign may
// stand before them, as before any unsigned number ("IFG = +7" is 7 ms); a
// minus sign makes no unsigned number, so "IFG = -1" is no IFG line.
int ParseIfgLine(const char* pszLine, DriverContext* pContext) {
  const char* p = MatchKey(pszLine, "IFG");
  if (p != nullptr && *p == '+') ++p;
  if (p == nullptr || !IsDigit(*p)) return 0;
  unsigned uLow = 0;
  bool bZero = true;
  for (; IsDigit(*p); ++p) {
    uLow = (uLow * 10u + static_cast<unsigned>(*p - '0')) & 0xFFFFu;
    if (*p != '0') bZero = false;
  }
  if (bZero) {
    pContext->iIfg = 0;
    SARN_LOG(kMsgIntFileIllegalFormat);
    SARN_LOG(kMsgIntFileCheckIfg);
  } else {
    pContext->iIfg = static_cast<uint16_t>(uLow);
  }
  return 1;
}

// 1 when the line is "GATEWAY = <address>": the address of the serial
// device server the instance's line is reached through, taken in lower
// case (its scheme and host name are case-blind).
int ParseGatewayLine(const char* pszLine, const DriverContext* pContext) {
  const char* p = MatchKey(pszLine, "GATEWAY");
  if (p == nullptr) return 0;
  char szAddress[kGatewayAddressSize];
  size_t n = 0;
  while (n < sizeof szAddress - 1 && p[n] != '\0' && !IsSpace(p[n])) {
    szAddress[n] = p[n] >= 'A' && p[n] <= 'Z' ? static_cast<char>(p[n] - 'A' + 'a') : p[n];
    ++n;
  }
  szAddress[n] = '\0';
  const bool bScheme = BeginsWith(szAddress, "socket://") || BeginsWith(szAddress, "rfc2217://");
  if (!bScheme || (p[n] != '\0' && !IsSpace(p[n]))) {
    SARN_LOG(kMsgIntFileIllegalFormat);
    SARN_LOG(kMsgIntFileCheckGateway);
    return 1;
  }
  if (!SetGatewayRoute(pContext, szAddress)) SARN_LOG(kMsgGatewayRoutesFull);
  return 1;
}

void LogSettings(const DriverContext* pContext) {
  char szGateway[kGatewayAddressSize];
  if (GatewayRoute(pContext, szGateway)) SARN_LOG(kMsgSettingGateway, szGateway);
  SARN_LOG(pContext->cProtocol == SARN_PROTOCOL_MODBUS ? kMsgSettingModbus : kMsgSettingGtc);
  SARN_LOG(pContext->cBase == 'D' ? kMsgSettingDecimal : kMsgSettingHex);
  // Reported only when set: a line without an echoing adapter reports as before.
  if (pContext->wFlags & SARN_FLAG_ECHO) SARN_LOG(kMsgSettingEchoYes);
  if (pContext->cProtocol != SARN_PROTOCOL_MODBUS) return;
  SARN_LOG((pContext->wFlags & SARN_FLAG_SWAP) ? kMsgSettingSwapYes : kMsgSettingSwapNo);
  SARN_LOG((pContext->wFlags & SARN_FLAG_FLOATSWAP) ? kMsgSettingFloatSwapYes : kMsgSettingFloatSwapNo);
  SARN_LOG((pContext->wFlags & SARN_FLAG_LONGADDR) ? kMsgSettingLongAddrYes : kMsgSettingLongAddrNo);
  SARN_LOG(kMsgSettingIfg, static_cast<unsigned>(pContext->iIfg));
}

// The file names tried, in order: the driver number in two digits, in one
// digit, and none. Each form is a literal format, so that the compiler checks
// its arguments.
constexpr int kNameForms = 3;
int FormatIntFileName(char* pszName, size_t nNameSize, int iForm, const char* pszBase, int iDriverNr) {
  switch (iForm) {
    case 0:
      return snprintf(pszName, nNameSize, "%s%02d.INT", pszBase, iDriverNr);
    case 1:
      return snprintf(pszName, nNameSize, "%s%01d.INT", pszBase, iDriverNr);
    default:
      return snprintf(pszName, nNameSize, "%s.INT", pszBase);
  }
}

}  // namespace

int ParseBusLine(const char* pszLine, DriverContext* pContext) {
  const char* p = SkipBlanks(pszLine);
  if (!BeginsWith(p, "BUS")) return 0;
  p = SkipBlanks(p + 3);
  if (*p != '=') return 0;
  p = SkipBlanks(p + 1);
  const char* pszValues = p;

  if (*p != ',' && BeginsWith(p, "GTC")) {
    pContext->cProtocol = SARN_PROTOCOL_GTC;
  } else if (*p != ',' && BeginsWith(p, "MODBUS")) {
    pContext->cProtocol = SARN_PROTOCOL_MODBUS;
  } else {
    SARN_LOG(kMsgIntFileNoProtocol);
    SARN_LOG(kMsgIntFileDefaultProtocol);
    pContext->cProtocol = SARN_PROTOCOL_MODBUS;
  }

  const char* pComma = pszValues;
  while (*pComma != '\0' && *pComma != ',') ++pComma;
  bool bBase = false;
  if (*pComma == ',') {
    p = SkipBlanks(pComma + 1);
    if (BeginsWith(p, "HEX")) {
      pContext->cBase = 'H';
      bBase = true;
    } else if (BeginsWith(p, "DEC")) {
      pContext->cBase = 'D';
      bBase = true;
    }
  }
  if (!bBase) {
    SARN_LOG(kMsgIntFileNoBase);
    SARN_LOG(kMsgIntFileDefaultBase);
    pContext->cBase = 'D';
  }
  return 1;
}

FILE* OpenIntFile(const char* pszBase, char* pszName, size_t nNameSize, int iDriverNr) {
  if (pszBase == nullptr || pszName == nullptr || nNameSize == 0) return nullptr;
  for (int iForm = 0; iForm < kNameForms; ++iForm) {
    int iLen = FormatIntFileName(pszName, nNameSize, iForm, pszBase, iDriverNr);
    // A name cut short by the buffer would open some other file.
    if (iLen < 0 || static_cast<size_t>(iLen) >= nNameSize) continue;
    FILE* pFile = fopen(pszName, "r");
    if (pFile != nullptr) return pFile;
  }
  return nullptr;
}

void ReadIntFile(DriverRequest* pRequest) {
  if (pRequest == nullptr || pRequest->pContext == nullptr) return;
  DriverContext* pContext = pRequest->pContext;

  SetGatewayRoute(pContext, "");  // a gateway only where this cold start's file names one
  char szName[32];
  FILE* pFile = OpenIntFile(kBaseName, szName, sizeof szName, pRequest->iDriverNr);
  if (pFile == nullptr) {
    SARN_LOG(kMsgIntFileNotFound);
  } else {
    SARN_LOG(kMsgIntFileReading, szName);
    char szLine[kMaxPiece + 1];
    int iLine = 0;
    while (ReadPiece(pFile, szLine)) {
      if (iLine < INT_MAX) ++iLine;
      UpperCase(szLine);
      if (ParseBusLine(szLine, pContext)) continue;
      if (ParseSwitchLine(szLine, pContext)) continue;
      if (ParseIfgLine(szLine, pContext)) continue;
      if (ParseGatewayLine(szLine, pContext)) continue;
      if (szLine[0] == '\n') continue;
      SARN_LOG(kMsgIntFileIllegalLine, iLine);
    }
    fclose(pFile);
  }
  LogSettings(pContext);
}

}  // namespace sarn
