// The write transactions: SingleWrite, BlockWrite, WriteGtcBits and DoWrite.
//
// Modbus writes use functions 5, 6, 15 and 16; a bit inside a register is
// written by reading the register, changing the bit and writing it back.
// GTC writes bits of memory type 0 through a set or reset mask.
#include <cstdio>
#include <cstring>

#include "driver/module_state.h"
#include "hostlog/host_log.h"
#include "link/frame.h"
#include "link/hex.h"
#include "transact/retry_budget.h"
#include "transact/transactions.h"
#include "transact/value_codec.h"

namespace sarn {
namespace {

constexpr int kWriteHeadLen = 15;   // through the byte count of a multiple write
constexpr int kMaxDataBytes = 255;  // a byte count of two hex digits
constexpr int kGateTextCopy = 16;   // room for a gate text and then some
constexpr int kEchoAddressPos = 5;  // register or coil address in a request and its echo
constexpr int kEchoValuePos = 9;    // value (functions 5, 6) or quantity (15, 16)

bool IsInputType(int32_t iMemType) {
  return iMemType == 1 || iMemType == 3 || iMemType == 5 || iMemType == 6;
}

bool AddressFits(const GateTransfer* pTransfer) {
  return pTransfer->iPlcAddr >= 0 && pTransfer->iPlcAddr <= 0xFF;
}

// Reads the holding register a bit gate lives in, for a bit update. The
// read's own request record carries a copy of the gate text with the bit
// digit blanked; the copy is bounded whatever the host's text holds.
int ReadRegisterForBit(DriverRequest* pRequest, uint16_t* pwRegister) {
  const auto* pTransfer = static_cast<const GateTransfer*>(pRequest->pParam);
  char szName[kGateTextCopy] = {};
  const char* pszSource = GateName(pTransfer);
  const size_t nLen = strnlen(pszSource, sizeof szName - 1);
  memcpy(szName, pszSource, nLen);
  if (nLen > 7) szName[7] = ' ';

  uint8_t cell[4] = {};
  GateTransfer read{};
  read.pszName = szName;
  read.iPlcAddr = pTransfer->iPlcAddr;
  read.iMemType = 4;
  read.iAddress = pTransfer->iAddress;
  read.iBitNr = -1;
  read.iBits = 16;
  read.iDataType = 0;
  read.iCount = 1;
  read.pData = cell;
  DriverRequest request{pRequest->pContext, SARN_OP_SINGLE_READ, 0, 0, &read};
  const int rc = SingleRead(&request);
  *pwRegister = CellHalf(cell);
  return rc;
}

// Whether an intact echo repeats the write request: the controller address
// and function code (Receive compared those), then the register or coil
// address and, for functions 5 and 6 the value, for 15 and 16 the quantity,
// which stand at the same places in every write request. Compared as
// numbers, so an echo in lower-case digits is the same echo. Replies carry
// no transaction number: an echo that differs is the late answer to another
// request, and taking it would report a write that never happened.
bool EchoRepeatsRequest(const char* pszEcho, const char* pszRequest) {
  uint32_t echoAddress = 0;
  uint32_t echoValue = 0;
  uint32_t sentAddress = 0;
  uint32_t sentValue = 0;
  ParseHex(pszRequest + kEchoAddressPos, 4, &sentAddress);
  ParseHex(pszRequest + kEchoValuePos, 4, &sentValue);
  // Fields that are no hexadecimal numbers cannot repeat the request either.
  const bool bNumbers =
      ParseHex(pszEcho + kEchoAddressPos, 4, &echoAddress) && ParseHex(pszEcho + kEchoValuePos, 4, &echoValue);
  if (bNumbers && echoAddress == sentAddress && echoValue == sentValue) return true;
  err(kLogTrace, "SARNMD> DoWrite() echo of another request: address %Xh, value or quantity %Xh", echoAddress,
      echoValue);
  return false;
}

int SingleWriteGtc(DriverRequest* pRequest) {
  const auto* pTransfer = static_cast<const GateTransfer*>(pRequest->pParam);
  if (pTransfer->iMemType != 0) {
    err(kLogTrace, "SARNMD> SingleWrite() not allowed for types different from 0");
    return SARN_REFUSED;
  }
  const uint8_t set = static_cast<const uint8_t*>(pTransfer->pData)[2];
  if (WriteGtcBits(pRequest, set) != 0) {
    err(kLogTrace, "SARNMD> SingleWrite() Failed to write bit '%s'", GateName(pTransfer));
    return SARN_REFUSED;
  }
  return SARN_OK;
}

}  // namespace

ResultCode SingleWrite(DriverRequest* pRequest) {
  DriverContext* pContext = pRequest->pContext;
  const auto* pTransfer = static_cast<const GateTransfer*>(pRequest->pParam);
  if (pContext->bComOpen == 0) return SARN_REFUSED;
  if (pTransfer->pData == nullptr) return SARN_REFUSED;
  if (IsInputType(pTransfer->iMemType)) {
    err(kLogTrace, "SARNMD> SingleWrite() not allowed for types 1,3,5 and 6");
    return SARN_REFUSED;
  }
  if (pContext->cProtocol == 1) return SingleWriteGtc(pRequest);
  // A memory type no parser produces would be written as a holding register,
  // and a coil with a bit number would run the register bit update.
  if (!KnownMemType(pTransfer->iMemType) || !AddressFits(pTransfer) || pTransfer->iBitNr < -1 ||
      pTransfer->iBitNr > 15 || (pTransfer->iMemType == 0 && pTransfer->iBitNr != -1)) {
    return SARN_REFUSED;
  }

  const uint16_t wAddress = WireAddress(pContext, pTransfer);
  uint32_t value = pTransfer->iBits == 32 ? ApplyWordOrder(pContext, pTransfer->iMemType, CellWord(pTransfer->pData))
                                          : CellHalf(pTransfer->pData);

  if (pTransfer->iBitNr != -1) {
    const uint16_t wMask = static_cast<uint16_t>(~(1u << pTransfer->iBitNr));
    const uint16_t wBits = static_cast<uint16_t>(value << pTransfer->iBitNr);
    uint16_t wRegister = 0;
    const int rc = ReadRegisterForBit(pRequest, &wRegister);
    if (rc != 0) {
      err(kLogTrace, "SARNMD> SingleWrite() error SingleRead() for spec. dig. gate, rc=%d", rc);
      return rc;
    }
    value = wBits != 0 ? (wRegister | wBits) : (wRegister & wMask);
  }

  char* pszText = pContext->txBuf;
  int iLen = snprintf(pszText, SARN_FRAME_BUF, ":%02X06%04X", static_cast<unsigned>(pTransfer->iPlcAddr), wAddress);
  if (pTransfer->iBits == 32) {
    pszText[3] = '1';
    pszText[4] = '0';
    iLen += snprintf(pszText + iLen, SARN_FRAME_BUF - iLen, "000204%08X", value);
  } else {
    if (pTransfer->iMemType == 0) {
      pszText[4] = '5';
      if (value != 0) value = 0xFF00;
    }
    iLen += snprintf(pszText + iLen, SARN_FRAME_BUF - iLen, "%04X", value & 0xFFFFu);
  }
  iLen += snprintf(pszText + iLen, SARN_FRAME_BUF - iLen, "\r\n");

  const int rc = DoWrite(pRequest, pszText, iLen);
  if (rc != 0) err(kLogTrace, "SARNMD> SingleWrite() exited with rc= %u for '%s'", rc, GateName(pTransfer));
  return rc;
}

ResultCode BlockWrite(DriverRequest* pRequest) {
  DriverContext* pContext = pRequest->pContext;
  const auto* pTransfer = static_cast<const GateTransfer*>(pRequest->pParam);

  if (pContext->cProtocol == 1) {
    if (pTransfer->iMemType != 0) {
      err(kLogTrace, "SARNMD> BlockWrite() not allowed for types different from 0");
      return SARN_REFUSED;
    }
    int rc = pTransfer->pData == nullptr ? 1 : WriteGtcBits(pRequest, 0);
    if (rc == 0) rc = WriteGtcBits(pRequest, 1);
    if (rc != 0) {
      err(kLogTrace, "SARNMD> BlockWrite() Failed to write bit '%s'", GateName(pTransfer));
      return SARN_REFUSED;
    }
    return SARN_OK;
  }

  int64_t nBytes;
  switch (pTransfer->iBits) {
    case 1:
      nBytes = (static_cast<int64_t>(pTransfer->iCount) + 7) / 8;
      break;
    case 16:
      nBytes = 2 * static_cast<int64_t>(pTransfer->iCount);
      break;
    case 32:
      nBytes = 4 * static_cast<int64_t>(pTransfer->iCount);
      break;
    default:
      return SARN_REFUSED;
  }
  // The byte count field has two hex digits, and the frame must fit txBuf:
  // a block of no values or of more than 255 bytes is refused unsent, as is
  // a memory type no parser produces.
  if (pTransfer->iCount < 1 || nBytes > kMaxDataBytes || pTransfer->pData == nullptr || !AddressFits(pTransfer) ||
      !KnownMemType(pTransfer->iMemType)) {
    err(kLogTrace, "SARNMD> BlockWrite() exited with rc= %u for '%s'", 1u, GateName(pTransfer));
    return SARN_REFUSED;
  }
  const int d = static_cast<int>(nBytes);
  const uint16_t wQuantity = static_cast<uint16_t>(pTransfer->iBits == 32 ? 2 * pTransfer->iCount : pTransfer->iCount);

  char* pszText = pContext->txBuf;
  snprintf(pszText, SARN_FRAME_BUF, ":%02X10%04X%04X%02X", static_cast<unsigned>(pTransfer->iPlcAddr),
           WireAddress(pContext, pTransfer), wQuantity, static_cast<unsigned>(d));
  if (pTransfer->iBits == 1) {
    pszText[3] = '0';
    pszText[4] = 'F';
  }
  char* pszData = pszText + kWriteHeadLen;
  const void* pData = pTransfer->pData;
  switch (pTransfer->iBits) {
    case 1:
      for (int k = 0; k < d; ++k) snprintf(pszData + 2 * k, 3, "%02X", static_cast<const uint8_t*>(pData)[k]);
      break;
    case 16:
      for (int k = 0; k < pTransfer->iCount; ++k) snprintf(pszData + 4 * k, 5, "%04X", BlockHalf(pData, k));
      break;
    case 32:
      for (int k = 0; k < pTransfer->iCount; ++k) {
        snprintf(pszData + 8 * k, 9, "%08X", ApplyWordOrder(pContext, pTransfer->iMemType, BlockWord(pData, k)));
      }
      break;
  }
  snprintf(pszData + 2 * d, 3, "\r\n");

  const int rc = DoWrite(pRequest, pszText, 2 * d + 17);
  if (rc != 0) err(kLogTrace, "SARNMD> BlockWrite() exited with rc= %u for '%s'", rc, GateName(pTransfer));
  return rc;
}

int WriteGtcBits(DriverRequest* pRequest, unsigned char set) {
  DriverContext* pContext = pRequest->pContext;
  const auto* pTransfer = static_cast<const GateTransfer*>(pRequest->pParam);
  if (set != 0 && set != 1) return 1;

  const bool bSingle = pTransfer->iCount == 1;
  // A single bit's mask reaches up to and including the byte holding it.
  // In 16-bit arithmetic, done unsigned so that no address can overflow.
  const uint16_t wSpan = static_cast<uint16_t>(static_cast<uint32_t>(pTransfer->iAddress) - 153u);
  const int c = bSingle ? static_cast<int16_t>(static_cast<int16_t>(wSpan) & ~7) : pTransfer->iCount;
  const int n = c / 8;
  // Settable bits start at 161; a mask of no byte or of more than a byte
  // count can say cannot be formed.
  if (n < 1 || n > kMaxDataBytes || !AddressFits(pTransfer) || (bSingle && pTransfer->iAddress < 161)) return 1;

  char* pszText = pContext->txBuf;
  snprintf(pszText, SARN_FRAME_BUF, ":%02X0F000%d%04X%02X", static_cast<unsigned>(pTransfer->iPlcAddr),
           set == 1 ? 1 : 2, static_cast<unsigned>(c), static_cast<unsigned>(n));
  char* pszMask = pszText + kWriteHeadLen;
  if (bSingle) {
    memset(pszMask, '0', 2 * n);
    const int e = (pTransfer->iAddress - 161) % 8;
    if (e < 4) {
      pszMask[2 * n - 1] = "0123456789ABCDEF"[1 << e];
    } else {
      pszMask[2 * n - 2] = "0123456789ABCDEF"[1 << (e - 4)];
    }
  } else {
    const auto* pBytes = static_cast<const uint8_t*>(pTransfer->pData);
    for (int j = 0; j < n; ++j) {
      const uint8_t cByte = set == 1 ? pBytes[j] : static_cast<uint8_t>(~pBytes[j]);
      snprintf(pszMask + 2 * j, 3, "%02X", cByte);
    }
  }
  snprintf(pszMask + 2 * n, 3, "\r\n");
  return DoWrite(pRequest, pszText, 2 * n + 17);
}

int DoWrite(DriverRequest* pRequest, char* pszText, int iLen) {
  DriverContext* pContext = pRequest->pContext;
  const auto* pTransfer = static_cast<const GateTransfer*>(pRequest->pParam);

  pContext->bWriting = 1;
  RetryBudget budget;
  int iState = 0;
  int iReplyLen = 0;
  cLastError = kLastErrorNone;

  do {
    if (!budget.StartPass(iState, "SARNMD> DoWrite() : len=%d", iLen, "SARNMD> DoWrite() : sRetry=%d, reply_len=%d",
                          iReplyLen)) {
      break;
    }
    iState = 0;
    if (Send(pContext, pszText, iLen) != 0) {
      err(kLogTrace, "SARNMD> DoWrite() send error, retry %d", budget.Attempt());
      iState = 2;
      continue;
    }
    const int rc = Receive(pTransfer, pContext, pContext->rxBuf, &iReplyLen);
    if (rc == kRecvRejected || rc == kRecvLine) {
      iState = rc;
      err(kLogTrace, "SARNMD> DoWrite() receive error, retry %d", budget.Attempt());
    } else if (rc == kRecvWrong || rc == kRecvException) {
      // An exception reply is retried like a reply to another request.
      iState = kRecvWrong;
    } else if (!ReplyLrcMatches(pContext->rxBuf, iReplyLen)) {
      err(kLogTrace, "SARNMD> DoWrite() error in crc, retry %d", budget.Attempt());
      iState = 1;
    } else if (!EchoRepeatsRequest(pContext->rxBuf, pszText)) {
      // Handled like a reply from another controller.
      iState = kRecvWrong;
    }
  } while (budget.AnotherPass(iState));

  if (iState == kRecvWrong) iState = 1;
  pContext->bWriting = 0;
  return iState;
}

}  // namespace sarn
