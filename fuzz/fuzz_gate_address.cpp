// Gate address texts through both address operations, SingleAddressParser
// and BlockAddressParser, called through SarnMain.
//
// Input: byte 0 selects base, protocol and LONGADDR; byte 1 the host's data
// type; bytes 2 to 5 the block length; the rest is the text, of any length,
// handed over in a heap buffer of exactly its size plus the terminator.
#include <cstring>
#include <memory>

#include "fuzz_check.h"
#include "sarnmd.h"

namespace {

constexpr int32_t kUntouched = 0x5EEDF00D;

// A GateSpec followed by a guard, with every field the driver may not write
// marked.
struct GuardedSpec {
  GateSpec spec;
  int32_t iGuard[4];
};

GuardedSpec MakeSpec(const char* pszText, int32_t iDataType, int32_t iCount) {
  GuardedSpec g;
  g.spec.pszAddress = pszText;
  g.spec.iHost1 = kUntouched;
  g.spec.iDataType = iDataType;
  g.spec.iCount = iCount;
  g.spec.iPlcAddr = g.spec.iMemType = g.spec.iAddress = g.spec.iBitNr = g.spec.iBits = kUntouched;
  for (int32_t& i : g.iGuard) i = kUntouched;
  return g;
}

// What holds for the input fields and the guard whatever the result.
void CheckUntouched(const GuardedSpec& g, const char* pszText, int32_t iDataType, int32_t iCount) {
  FUZZ_CHECK(g.spec.pszAddress == pszText);
  FUZZ_CHECK(g.spec.iHost1 == kUntouched);
  FUZZ_CHECK(g.spec.iDataType == iDataType);
  FUZZ_CHECK(g.spec.iCount == iCount);
  for (int32_t i : g.iGuard) FUZZ_CHECK(i == kUntouched);
}

// What holds for the output fields of an accepted gate.
void CheckAccepted(const DriverContext& ctx, const GateSpec& s, size_t nLen) {
  FUZZ_CHECK(nLen == 7 || nLen == 8);
  FUZZ_CHECK(s.iPlcAddr >= 0 && s.iPlcAddr <= 0xFF);
  FUZZ_CHECK(s.iMemType >= 0 && s.iMemType <= 8 && s.iMemType != 2);
  FUZZ_CHECK(s.iBitNr >= -1 && s.iBitNr <= 15);
  FUZZ_CHECK(s.iBits == (s.iMemType >= 5 ? 32 : (s.iMemType <= 1 || s.iBitNr != -1) ? 1 : 16));
  if (ctx.cProtocol == SARN_PROTOCOL_MODBUS) {
    FUZZ_CHECK(s.iAddress >= 0 && s.iAddress < 0xFFFF);
  } else {
    FUZZ_CHECK(ctx.cProtocol == SARN_PROTOCOL_GTC);
    FUZZ_CHECK(s.iMemType == 0 || s.iMemType == 1 || s.iMemType == 3);
    if (s.iMemType == 0) FUZZ_CHECK(s.iAddress >= 161 && s.iAddress <= 472);
    if (s.iMemType == 1) FUZZ_CHECK(s.iAddress >= 1 && s.iAddress <= 1000);
    if (s.iMemType == 3) FUZZ_CHECK(s.iAddress >= 0 && s.iAddress <= 0xFFFF);
  }
}

// The context the parsers see, from the mode byte: bit 0 hexadecimal base,
// bits 1-2 the protocol (2 and 3 a value no file gives), bit 6 SWAP and
// FLOATSWAP, bit 7 LONGADDR. Every other field is noise.
void SetContext(uint8_t cMode, DriverContext* pCtx) {
  DriverContext& ctx = *pCtx;
  memset(&ctx, 0xA7, sizeof ctx);  // the parsers read only base, protocol and flags
  ctx.cBase = (cMode & 1) != 0 ? 'H' : 'D';
  switch ((cMode >> 1) & 3) {
    case 0:
      ctx.cProtocol = SARN_PROTOCOL_MODBUS;
      break;
    case 1:
      ctx.cProtocol = SARN_PROTOCOL_GTC;
      break;
    default:
      ctx.cProtocol = static_cast<char>(cMode >> 3);
      break;  // a value no file gives
  }
  ctx.wFlags = static_cast<uint16_t>((cMode & 0x80) != 0 ? SARN_FLAG_LONGADDR : 0);
  if ((cMode & 0x40) != 0) ctx.wFlags |= SARN_FLAG_SWAP | SARN_FLAG_FLOATSWAP;
}

// The text and the host's fields handed to both parsers.
struct Gate {
  const char* pszText;
  size_t nTextLen;  // up to the first NUL
  int32_t iDataType;
  int32_t iCount;
};

// SingleAddressParser on the gate, its fields checked. Returns its result.
ResultCode CheckSingle(DriverContext* pCtx, const Gate& gate, GuardedSpec* pSingle) {
  GuardedSpec& single = *pSingle;
  single = MakeSpec(gate.pszText, gate.iDataType, gate.iCount);
  DriverRequest request{pCtx, SARN_OP_SINGLE_ADDRESS_PARSER, 0, 0, &single.spec};
  const ResultCode rcSingle = SarnMain(&request);
  FUZZ_CHECK(rcSingle == 0 || rcSingle == 1);
  CheckUntouched(single, gate.pszText, gate.iDataType, gate.iCount);
  if (rcSingle == 0) {
    CheckAccepted(*pCtx, single.spec, gate.nTextLen);
    // Only the bit type takes a bit number; 32-bit gates take 32-bit types.
    if (single.spec.iBitNr != -1) FUZZ_CHECK(gate.iDataType == 6);
    if (single.spec.iBits == 32) FUZZ_CHECK(gate.iDataType >= 3 && gate.iDataType <= 5);
  }
  return rcSingle;
}

// BlockAddressParser on the gate, its fields checked, and compared with
// what SingleAddressParser made of it when that accepted it.
void CheckBlock(DriverContext* pCtx, const Gate& gate, ResultCode rcSingle, const GateSpec& single) {
  const DriverContext& ctx = *pCtx;
  GuardedSpec block = MakeSpec(gate.pszText, gate.iDataType, gate.iCount);
  DriverRequest request{pCtx, SARN_OP_BLOCK_ADDRESS_PARSER, 0, 0, &block.spec};
  const ResultCode rcBlock = SarnMain(&request);
  FUZZ_CHECK(rcBlock == 0 || rcBlock == 1);
  CheckUntouched(block, gate.pszText, gate.iDataType, gate.iCount);
  if (rcBlock == 0) {
    CheckAccepted(ctx, block.spec, gate.nTextLen);
    FUZZ_CHECK(block.spec.iBitNr == -1);
    if (ctx.cProtocol == SARN_PROTOCOL_MODBUS) {
      const int32_t iMax = block.spec.iMemType <= 1 ? 2000 : block.spec.iMemType <= 4 ? 125 : 62;
      FUZZ_CHECK(gate.iCount <= iMax);
    } else if (block.spec.iMemType == 3) {
      FUZZ_CHECK(block.spec.iAddress == 1 || block.spec.iAddress == 65 || block.spec.iAddress == 107);
    }
    // Both operations decode the same text alike.
    if (rcSingle == 0 && !(ctx.cProtocol == SARN_PROTOCOL_GTC && block.spec.iMemType == 3)) {
      FUZZ_CHECK(block.spec.iPlcAddr == single.iPlcAddr);
      FUZZ_CHECK(block.spec.iMemType == single.iMemType);
      FUZZ_CHECK(block.spec.iAddress == single.iAddress);
      FUZZ_CHECK(block.spec.iBits == single.iBits);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  fuzzcheck::Reader in(pData, nSize);
  const uint8_t cMode = in.Byte();
  const int32_t iDataType = static_cast<int8_t>(in.Byte());
  const int32_t iCount = in.Int();

  DriverContext ctx;
  SetContext(cMode, &ctx);

  const size_t nLen = in.Left();
  std::unique_ptr<char[]> pszText(new char[nLen + 1]);
  memcpy(pszText.get(), in.Here(), nLen);
  pszText[nLen] = '\0';
  const Gate gate{pszText.get(), strlen(pszText.get()), iDataType, iCount};

  DriverContext before;
  memcpy(&before, &ctx, sizeof ctx);

  GuardedSpec single;
  const ResultCode rcSingle = CheckSingle(&ctx, gate, &single);
  CheckBlock(&ctx, gate, rcSingle, single.spec);

  // The parsers only read the context.
  FUZZ_CHECK(memcmp(&before, &ctx, sizeof ctx) == 0);
  return 0;
}
