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
#include "address/gtc_memory.h"
#include "hostlog/host_log.h"
#include "hostlog/log_messages.h"

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

// Positions of the fields in the text.
constexpr int kPlcAddrPos = 0;
constexpr int kMemTypePos = 2;
constexpr int kAddressPos = 3;
constexpr int kBitNrPos = 7;

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
  if (uAddr < kGtcFirstVariableGate || uAddr > kGtcLastVariableGate) return false;
  *piAddress = static_cast<int32_t>(uAddr - kGtcFirstVariableGate) + kGtcFirstVariableBit;
  return true;
}

// Converts a GTC address of memory type 1 into the controller's running bit
// numbering (gtc_memory.h); false when it names no input.
bool ConvertGtcType1(uint32_t uAddr, int32_t* piAddress) {
  const int32_t iBit =
      uAddr <= static_cast<uint32_t>(kGtcLastHighInputGate) ? GtcInputBit(static_cast<int32_t>(uAddr)) : -1;
  if (iBit < 0) return false;
  *piAddress = iBit;
  return true;
}

// Copies the address text into szWork (kTextLimit characters padded with
// blanks) and checks each position against its character set; false when
// the text is refused (logged).
bool CopyCheckedText(const char* pszAddress, char* szWork) {
  // Bounded: a text without a terminator within its first nine characters
  // is too long anyway, and nothing beyond them is read.
  const size_t uLen = strnlen(pszAddress, kTextLimit);
  if (uLen >= kTextLimit) return false;
  memset(szWork, ' ', kTextLimit);
  memcpy(szWork, pszAddress, uLen);
  szWork[kTextLimit] = '\0';

  for (unsigned uPos = 0; uPos < kCheckedPositions; ++uPos) {
    if (!InSet(kPositionSets[uPos], szWork[uPos])) {
      SARN_LOG(kMsgParseIllegalChar, uPos, szWork[uPos]);
      return false;
    }
  }
  return true;
}

// Reads the fields of a checked text into the GateSpec; *puRawAddr is the
// address as written. False when a number is missing (logged).
bool ReadFields(const char* szWork, bool bHex, GateSpec* pSpec, uint32_t* puRawAddr) {
  uint32_t uPlcAddr = 0;
  if (!ReadNumber(&szWork[kPlcAddrPos], 2, bHex, &uPlcAddr)) {
    SARN_LOG(kMsgParseIllegalController);
    return false;
  }
  pSpec->iPlcAddr = static_cast<int32_t>(uPlcAddr);
  if (!ReadNumber(&szWork[kAddressPos], 4, bHex, puRawAddr)) {
    SARN_LOG(kMsgParseIllegalAddress);
    return false;
  }
  pSpec->iAddress = static_cast<int32_t>(*puRawAddr);
  const int32_t iMemType = szWork[kMemTypePos] - '0';
  pSpec->iMemType = iMemType;
  pSpec->iBitNr = szWork[kBitNrPos] != ' ' ? DigitValue(szWork[kBitNrPos], true) : -1;
  if (iMemType >= SARN_MEM_INPUT_FLOATS) {
    pSpec->iBits = 32;
  } else if (iMemType <= SARN_MEM_INPUTS || pSpec->iBitNr != -1) {
    pSpec->iBits = 1;
  } else {
    pSpec->iBits = 16;
  }
  return true;
}

// The Modbus meaning of the fields; SARN_OK or SARN_REFUSED (logged).
int ConvertModbus(const DriverContext* pContext, GateSpec* pSpec) {
  // A coil or a discrete input is one bit already: there is no register to
  // take a bit from, and a write would run the register bit update on a
  // holding register instead of switching the coil.
  if (pSpec->iMemType <= SARN_MEM_INPUTS && pSpec->iBitNr != -1) {
    SARN_LOG(kMsgParseBitNotAllowed);
    return SARN_REFUSED;
  }
  // Modbus gate addresses count from 1; the transactions want them 0-based.
  if (pSpec->iAddress == 0) {
    SARN_LOG(kMsgParseAddressZero);
    return SARN_REFUSED;
  }
  pSpec->iAddress -= 1;
  if (pSpec->iBits == 32) {
    // 32-bit values occupy register pairs starting at an odd gate address,
    // unless long-word addressing numbers the pairs directly.
    if ((pContext->wFlags & SARN_FLAG_LONGADDR) == 0 && pSpec->iAddress % 2 != 0) {
      SARN_LOG(kMsgParsePairAddressEven);
      return SARN_REFUSED;
    }
    pSpec->iAddress /= 2;
  }
  return SARN_OK;
}

// The GTC meaning of the fields; SARN_OK or SARN_REFUSED (logged).
int ConvertGtc(GateSpec* pSpec, uint32_t uRawAddr, const char* szWork) {
  switch (pSpec->iMemType) {
    case SARN_MEM_COILS:
      if (!ConvertGtcType0(uRawAddr, &pSpec->iAddress)) {
        SARN_LOG(kMsgParseVariableOutOfRange);
        return SARN_REFUSED;
      }
      return SARN_OK;
    case SARN_MEM_INPUTS:
      if (!ConvertGtcType1(uRawAddr, &pSpec->iAddress)) {
        SARN_LOG(kMsgParseIllegalVariable);
        return SARN_REFUSED;
      }
      return SARN_OK;
    case SARN_MEM_INPUT_REGISTERS:
      return SARN_OK;
    default:
      SARN_LOG(kMsgParseGtcMemoryType, szWork);
      return SARN_REFUSED;
  }
}

}  // namespace

int Parse(DriverRequest* pRequest) {
  const DriverContext* pContext = pRequest->pContext;
  GateSpec* pSpec = static_cast<GateSpec*>(pRequest->pParam);
  if (pSpec->pszAddress == nullptr) return SARN_REFUSED;

  // Work copy padded with blanks to nine characters.
  char szWork[kTextLimit + 1];
  if (!CopyCheckedText(pSpec->pszAddress, szWork)) return SARN_REFUSED;
  uint32_t uRawAddr = 0;
  if (!ReadFields(szWork, pContext->cBase == 'H', pSpec, &uRawAddr)) return SARN_REFUSED;

  if (pContext->cProtocol == SARN_PROTOCOL_MODBUS) return ConvertModbus(pContext, pSpec);
  if (pContext->cProtocol == SARN_PROTOCOL_GTC) return ConvertGtc(pSpec, uRawAddr, szWork);
  SARN_LOG(kMsgParseIllegalStep);
  return SARN_REFUSED;
}

ResultCode SingleAddressParser(DriverRequest* pRequest) {
  const int iResult = Parse(pRequest);
  if (iResult != SARN_OK) return iResult;
  const GateSpec* pSpec = static_cast<const GateSpec*>(pRequest->pParam);
  return SarnDataTypeFits(pSpec->iDataType, pSpec->iMemType, pSpec->iBitNr != -1) ? SARN_OK : SARN_REFUSED;
}

}  // namespace sarn
