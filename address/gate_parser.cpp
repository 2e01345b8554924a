// Gate address parser: decodes the eight-character address text of a gate
// into controller address, memory type, address, bit number and bit size,
// and checks the host's data type of a single gate against it.
//
// Text layout, positions from 0:
//   0-1  controller address, two digits in the configured base
//   2    memory type digit
//   3-6  address, four digits in the configured base
//   7    bit number as one hexadecimal digit, or a blank for none
#include <cstdint>
#include <cstring>

#include "address/gate_address.h"
#include "hostlog/host_log.h"

namespace sarn {
namespace {

// Texts of this many characters or more are refused.
constexpr size_t kTextLimit = 9;
// Positions checked against their character set.
constexpr unsigned kCheckedPositions = 8;

constexpr char kDigits[] = "0123456789ABCDEF";
constexpr char kMemTypes[] = "01345678";
constexpr char kBitDigits[] = "0123456789ABCDEF ";

// Character set of each checked position.
constexpr const char* kPositionSets[kCheckedPositions] = {kDigits, kDigits, kMemTypes, kDigits,
                                                          kDigits, kDigits, kDigits,   kBitDigits};

// Host data type codes.
constexpr int32_t kTypeFloat32 = 3;
constexpr int32_t kTypeInt32A = 4;
constexpr int32_t kTypeInt32B = 5;
constexpr int32_t kTypeBit = 6;

bool InSet(const char* pszSet, char c) {
  return c != '\0' && strchr(pszSet, c) != nullptr;
}

// Value of c as a digit of the base, or -1 when it is none. Letters count in
// upper case only, as the character sets admit no others.
int DigitValue(char c, bool bHex) {
  if (c >= '0' && c <= '9') return c - '0';
  if (bHex && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads an unsigned number of at most iWidth digits of the base from
// pszText, stopping at the first character that is not such a digit.
// False when the first character is not a digit.
bool ReadNumber(const char* pszText, int iWidth, bool bHex, uint32_t* puValue) {
  const uint32_t uRadix = bHex ? 16 : 10;
  uint32_t uValue = 0;
  int iRead = 0;
  for (; iRead < iWidth; ++iRead) {
    const int iDigit = DigitValue(pszText[iRead], bHex);
    if (iDigit < 0) break;
    uValue = uValue * uRadix + static_cast<uint32_t>(iDigit);
  }
  if (iRead == 0) return false;
  *puValue = uValue;
  return true;
}

// Converts a GTC address of memory type 0; false when out of range.
bool ConvertGtcType0(uint32_t uAddr, int32_t* piAddress) {
  if (uAddr < 200 || uAddr > 511) return false;
  *piAddress = static_cast<int32_t>(uAddr) - 39;
  return true;
}

// Converts a GTC address of memory type 1 into the controller's running bit
// numbering: each ten of the text counts as eight bits, so a last digit of 8
// lands on the next ten's 0, and a last digit of 9 names no bit at all.
bool ConvertGtcType1(uint32_t uAddr, int32_t* piAddress) {
  const int32_t a = static_cast<int32_t>(uAddr);
  if (a >= 1 && a <= 199 && a % 10 != 9) {
    *piAddress = (a / 10) * 8 + a % 10;
    return true;
  }
  if (a >= 200 && a <= 719) {
    *piAddress = a - 39;
    return true;
  }
  if (a >= 801 && a <= 1199 && a % 10 != 9) {
    *piAddress = (a / 10) * 8 + a % 10 + 40;
    return true;
  }
  return false;
}

}  // namespace

int Parse(DriverRequest* pRequest) {
  const DriverContext* pContext = pRequest->pContext;
  GateSpec* pSpec = static_cast<GateSpec*>(pRequest->pParam);
  if (pSpec->pszAddress == nullptr) return 1;

  // Bounded: a text without a terminator within its first nine characters
  // is too long anyway, and nothing beyond them is read.
  const size_t uLen = strnlen(pSpec->pszAddress, kTextLimit);
  if (uLen >= kTextLimit) return 1;

  // Work copy padded with blanks to nine characters.
  char szWork[kTextLimit + 1];
  memset(szWork, ' ', kTextLimit);
  memcpy(szWork, pSpec->pszAddress, uLen);
  szWork[kTextLimit] = '\0';

  for (unsigned uPos = 0; uPos < kCheckedPositions; ++uPos) {
    if (!InSet(kPositionSets[uPos], szWork[uPos])) {
      err(kLogTrace, "SARNMD> Parse() #1, illegal char #%u, %c", uPos, szWork[uPos]);
      return 1;
    }
  }

  const bool bHex = pContext->cBase == 'H';
  uint32_t uPlcAddr = 0;
  if (!ReadNumber(&szWork[0], 2, bHex, &uPlcAddr)) {
    err(kLogTrace, "SARNMD> Parse() illegal PLC address");
    return 1;
  }
  pSpec->iPlcAddr = static_cast<int32_t>(uPlcAddr);

  uint32_t uRawAddr = 0;
  if (!ReadNumber(&szWork[3], 4, bHex, &uRawAddr)) {
    err(kLogTrace, "SARNMD> Parse() illegal address");
    return 1;
  }
  pSpec->iAddress = static_cast<int32_t>(uRawAddr);

  const int32_t iMemType = szWork[2] - '0';
  pSpec->iMemType = iMemType;

  pSpec->iBitNr = -1;
  if (szWork[7] != ' ') pSpec->iBitNr = DigitValue(szWork[7], true);

  if (iMemType >= 5) {
    pSpec->iBits = 32;
  } else if (iMemType <= 1 || pSpec->iBitNr != -1) {
    pSpec->iBits = 1;
  } else {
    pSpec->iBits = 16;
  }

  if (pContext->cProtocol == 0) {
    // A coil or a discrete input is one bit already: there is no register to
    // take a bit from, and a write would run the register bit update on a
    // holding register instead of switching the coil.
    if (iMemType <= 1 && pSpec->iBitNr != -1) {
      err(kLogTrace, "SARNMD> Parse() bit number not allowed for memory types 0 and 1");
      return 1;
    }
    // Modbus gate addresses count from 1; the transactions want them 0-based.
    if (pSpec->iAddress == 0) {
      err(kLogTrace, "SARNMD> Parse() illegal addr. 0 for Modbus");
      return 1;
    }
    pSpec->iAddress -= 1;
    if (pSpec->iBits == 32) {
      // 32-bit values occupy register pairs starting at an odd gate address,
      // unless long-word addressing numbers the pairs directly.
      if ((pContext->wFlags & SARN_FLAG_LONGADDR) == 0 && pSpec->iAddress % 2 != 0) {
        err(kLogTrace, "SARNMD> Parse() 32 bit gates must have ODD address for MODBUS");
        return 1;
      }
      pSpec->iAddress /= 2;
    }
    return 0;
  }

  if (pContext->cProtocol == 1) {
    switch (iMemType) {
      case 0:
        if (!ConvertGtcType0(uRawAddr, &pSpec->iAddress)) {
          err(kLogTrace, "SARNMD> Parse() Illegal variable nr. Must be between 199 and 512");
          return 1;
        }
        return 0;
      case 1:
        if (!ConvertGtcType1(uRawAddr, &pSpec->iAddress)) {
          err(kLogTrace, "SARNMD> Parse() Illegal variable nr.");
          return 1;
        }
        return 0;
      case 3:
        return 0;
      default:
        err(kLogTrace, "SARNMD> Parse() Illegal memory type for GTC in gate '%s'", szWork);
        return 1;
    }
  }

  err(kLogTrace, "SARNMD> Parse() Illegal program step");
  return 1;
}

ResultCode SingleAddressParser(DriverRequest* pRequest) {
  const int iResult = Parse(pRequest);
  if (iResult != 0) return iResult;

  const GateSpec* pSpec = static_cast<const GateSpec*>(pRequest->pParam);
  const int32_t iType = pSpec->iDataType;

  // A bit type never fits a 32-bit gate, and a gate with a bit number only
  // fits the bit type.
  if (iType == kTypeBit && pSpec->iBits == 32) return 1;
  if (pSpec->iBitNr != -1 && iType != kTypeBit) return 1;

  switch (pSpec->iMemType) {
    case 0:
    case 1:
      return iType == kTypeBit ? 0 : 1;
    case 3:
    case 4:
      if (pSpec->iBitNr != -1) return 0;  // data type 6, checked above
      return iType >= 0 && iType <= 2 ? 0 : 1;
    case 5:
    case 7:
      return pSpec->iBitNr == -1 && iType == kTypeFloat32 ? 0 : 1;
    case 6:
    case 8:
      return pSpec->iBitNr == -1 && (iType == kTypeInt32A || iType == kTypeInt32B) ? 0 : 1;
    default:
      return 1;
  }
}

}  // namespace sarn
