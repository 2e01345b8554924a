// Reply byte streams through the frame layer and the read and write
// transactions, over the scripted fake platform with its virtual clock.
//
// Input:
//   byte 0  bits 0-1 operation (SingleRead, BlockRead, SingleWrite,
//           BlockWrite), 2 GTC, 3 SWAP, 4 FLOATSWAP, 5 LONGADDR, 6 RTS
//           control, 7 daily restart before the transaction
//   byte 1  the gate (an index into kGates)
//   byte 2-3 block length; byte 4 bits 0-3 the reply time-out in 10 ms,
//           4-5 the inter-frame gap, 6 run the transaction even when the
//           parser refuses the gate (with the fields it left), 7 take the
//           length raw (it may be 0, negative or huge)
//   byte 5  seed of the host's buffer contents
//   then the replies, one record for each request the driver sends:
//     header: bits 0-1 kind (0 raw bytes, 1 a frame whose body is the
//             payload, 2 the same with the gate's controller address put in
//             front, 3 no reply), 2 lower-case digits, 3 a wrong LRC
//             (kind 2: a copy with a wrong LRC, then the good frame),
//             4-5 pieces - 1, 6-7 delay unit (0, 1, 4 or 16 ms)
//     length, payload, then per piece a cut position and a delay.
//
// Checked: results are 0, 1 or 2; a failed read leaves the host's buffer
// as it was, a write never changes it; a successful single read stores the
// value the last reply carried when that reply was a well-formed frame and
// nothing stale could reach the driver; every request on the wire is a
// well-formed frame; at most 24 requests; the transaction ends within its
// time bound; bWriting is 0 again; nothing is read or written out of
// bounds (the host's buffer is a heap block of exactly its size).
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/stop_flag.h"
#include "fuzz_check.h"
#include "sarnmd.h"
#include "support/fake_platform.h"
#include "transact/daily_restart.h"

namespace {

struct GateKind {
  const char* pszText;
  int32_t iDataType;
};

// Every memory type with the host data types that fit it, bit gates, and
// the GTC gates.
constexpr GateKind kGates[] = {
    {"0140001", 0}, {"0130001", 1}, {"01400012", 6}, {"0130001F", 6}, {"0100001", 6}, {"0110001", 6},
    {"0150001", 3}, {"0160001", 4}, {"0170001", 3},  {"0180001", 5},  {"0180003", 4}, {"2540100", 2},
    {"0100200", 6}, {"0100215", 6}, {"0100511", 6},  {"0110001", 6},  {"0130001", 0}, {"0130002", 0},
    {"0130003", 0}, {"0110017", 6}, {"01400010", 6}, {"0140009", 0},  {"0170002", 3}, {"0180004", 4},
};
constexpr size_t kGateCount = sizeof kGates / sizeof kGates[0];

constexpr int kDayOfTest = 8;
int DayOfTest() {
  return kDayOfTest;
}

constexpr uint32_t kDelayUnits[4] = {0, 1, 4, 16};
constexpr size_t kMaxRecords = 32;
constexpr uint64_t kFlushTimeoutMs = 50;

struct Reply {
  int iKind = 3;
  std::string text;           // the bytes the controller sends
  std::vector<uint8_t> body;  // framed kinds: the body's bytes (address first)
  bool bCorrupt = false;
  std::vector<fakeplat::Piece> pieces;  // delays relative to the request
};

char HexChar(unsigned v, bool bLower) {
  return (bLower ? "0123456789abcdef" : "0123456789ABCDEF")[v & 15];
}

std::string Framed(const std::vector<uint8_t>& body, bool bLower, bool bCorrupt) {
  std::string text = ":";
  uint8_t sum = 0;
  for (uint8_t b : body) {
    text += HexChar(b >> 4, bLower);
    text += HexChar(b, bLower);
    sum = static_cast<uint8_t>(sum + b);
  }
  uint8_t lrc = static_cast<uint8_t>(-sum);
  if (bCorrupt) ++lrc;
  text += HexChar(lrc >> 4, bLower);
  text += HexChar(lrc, bLower);
  text += "\r\n";
  return text;
}

Reply ReadReply(fuzzcheck::Reader& in, int32_t iPlcAddr) {
  Reply r;
  const uint8_t cHead = in.Byte();
  r.iKind = cHead & 3;
  const bool bLower = (cHead & 4) != 0;
  r.bCorrupt = (cHead & 8) != 0;
  const int nPieces = 1 + ((cHead >> 4) & 3);
  const uint32_t uUnit = kDelayUnits[cHead >> 6];
  const size_t nLen = std::min<size_t>(in.Byte(), in.Left());
  std::vector<uint8_t> payload(in.Here(), in.Here() + nLen);
  in.Skip(nLen);

  switch (r.iKind) {
    case 0:
      r.text.assign(payload.begin(), payload.end());
      break;
    case 1:
      r.body = payload;
      r.text = Framed(r.body, bLower, r.bCorrupt);
      break;
    case 2:
      // With a wrong LRC flagged: a damaged copy, then the frame itself.
      r.body.push_back(static_cast<uint8_t>(iPlcAddr));
      r.body.insert(r.body.end(), payload.begin(), payload.end());
      r.text = Framed(r.body, bLower, r.bCorrupt);
      if (r.bCorrupt) r.text += Framed(r.body, bLower, false);
      break;
    default:
      break;
  }

  std::vector<size_t> cuts;
  for (int i = 1; i < nPieces; ++i) cuts.push_back(in.Word() % (r.text.size() + 1));
  std::sort(cuts.begin(), cuts.end());
  cuts.push_back(r.text.size());
  size_t nFrom = 0;
  uint32_t uDelay = 0;
  for (size_t nTo : cuts) {
    uDelay += uUnit * in.Byte();
    if (nTo > nFrom) r.pieces.push_back({r.text.substr(nFrom, nTo - nFrom), uDelay});
    nFrom = nTo;
  }
  return r;
}

// Bytes of the host buffer of a transfer, or 0 when its length is none a
// host could allocate for it. For a gate the parser accepted the layout
// follows its value size; for fields it refused, the largest layout any of
// them could mean.
size_t BufferSize(const GateTransfer& t, bool bBlock, bool bParsed) {
  if (!bBlock) return 4;
  if (t.iCount < 1 || t.iCount > 4000) return 0;
  const size_t nCount = static_cast<size_t>(t.iCount);
  if (!bParsed) return 4 * nCount;
  switch (t.iBits) {
    case 1:
      return (nCount + 7) / 8;
    case 16:
      return 2 * nCount;
    case 32:
      return 4 * nCount;
    default:
      return 0;
  }
}

uint8_t HexValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  return static_cast<uint8_t>(c - 'a' + 10);
}

// A request as the driver put it on the wire: ':', upper-case hex pairs,
// an LRC that matches, CR LF.
void CheckRequest(const std::string& w) {
  FUZZ_CHECK(w.size() >= 9 && w.size() <= 600);
  FUZZ_CHECK(w[0] == ':' && w[w.size() - 2] == '\r' && w[w.size() - 1] == '\n');
  FUZZ_CHECK(w.size() % 2 == 1);
  uint8_t sum = 0;
  for (size_t i = 1; i + 2 < w.size(); i += 2) {
    FUZZ_CHECK(isxdigit(static_cast<unsigned char>(w[i])) && !islower(static_cast<unsigned char>(w[i])));
    FUZZ_CHECK(isxdigit(static_cast<unsigned char>(w[i + 1])) && !islower(static_cast<unsigned char>(w[i + 1])));
    sum = static_cast<uint8_t>(sum + (HexValue(w[i]) << 4 | HexValue(w[i + 1])));
  }
  FUZZ_CHECK(sum == 0);  // the LRC makes the byte sum zero
}

// The function code a read of this gate asks for.
int ReadFunction(const DriverContext& ctx, const GateTransfer& t) {
  constexpr int kFunctions[9] = {1, 2, -1, 4, 3, 4, 4, 3, 3};
  if (ctx.cProtocol == SARN_PROTOCOL_GTC && t.iMemType == 0) return 2;
  return t.iMemType >= 0 && t.iMemType <= 8 ? kFunctions[t.iMemType] : -1;
}

// The value a single read must store from a well-formed reply: the whole
// cell for 32-bit gates, else its second half.
bool ExpectedSingle(const DriverContext& ctx, const GateTransfer& t, const Reply& r, uint32_t* pValue) {
  if (r.iKind != 1 && r.iKind != 2) return false;
  if (r.bCorrupt || r.body.size() < 3) return false;
  if (r.body[0] != t.iPlcAddr || r.body[1] != ReadFunction(ctx, t)) return false;
  const size_t nData = r.body.size() - 3;
  if (r.body[2] != nData || nData == 0) return false;
  const uint8_t* d = r.body.data() + 3;
  switch (t.iBits) {
    case 16:
      if (nData < 2) return false;
      *pValue = static_cast<uint32_t>(d[0] << 8 | d[1]);
      return true;
    case 1:
      if (t.iBitNr == -1) {
        *pValue = d[0];
        return true;
      }
      if (nData < 2) return false;
      *pValue = ((d[0] << 8 | d[1]) >> t.iBitNr) & 1u;
      return true;
    case 32: {
      if (nData < 4) return false;
      uint32_t v = static_cast<uint32_t>(d[0]) << 24 | d[1] << 16 | d[2] << 8 | d[3];
      const bool bSwap = ((t.iMemType == 6 || t.iMemType == 8) && (ctx.wFlags & SARN_FLAG_SWAP)) ||
                         ((t.iMemType == 5 || t.iMemType == 7) && (ctx.wFlags & SARN_FLAG_FLOATSWAP));
      if (bSwap) v = v << 16 | v >> 16;
      *pValue = v;
      return true;
    }
    default:
      return false;
  }
}

// Whether every byte of the replies before the last request arrived before
// that request's input flush began, so that the flush discarded them all.
bool NothingStale(const std::vector<fakeplat::Call>& calls, const std::vector<Reply>& replies, size_t nWrites) {
  std::vector<uint64_t> writeAt;
  uint64_t lastFlush = 0;
  uint64_t lastClearError = 0;
  for (const fakeplat::Call& c : calls) {
    if (c.name == "GetQueues") lastClearError = c.atMs;
    if (c.name == "Write") {
      writeAt.push_back(c.atMs);
      lastFlush = lastClearError;
    }
  }
  if (writeAt.size() != nWrites) return false;
  for (size_t i = 0; i + 1 < nWrites && i < replies.size(); ++i) {
    for (const fakeplat::Piece& p : replies[i].pieces) {
      if (writeAt[i] + p.delayMs > lastFlush) return false;
    }
  }
  return true;
}

const char* g_pszDir = nullptr;

// A driver cold-started on the fake COM1, then given the settings an
// initialization file would: mode bits 2-6 and the inter-frame gap in bits
// 4-5 of the line byte. Bit 7 of the mode: daily restart before the
// transaction.
void StartDriver(uint8_t cMode, uint8_t cLine, int32_t iTimeout, DriverContext* pCtx) {
  DriverContext& ctx = *pCtx;
  fakeplat::Reset();
  fakeplat::AddDevice("COM1");
  sarn::bStopped = 0;
  sarn::g_iRestartDay = (cMode & 0x80) != 0 ? 0 : kDayOfTest;

  ColdStartParams params{};
  memcpy(params.szPort, "COM1", 5);
  params.bEnable = 1;
  params.iTimeout = iTimeout;
  params.line = {9600, 7, 2, 2};
  DriverRequest request{pCtx, SARN_OP_COLD_START, 0, 0, &params};
  {
    fuzzcheck::InDir scratch(g_pszDir);
    FUZZ_CHECK(SarnMain(&request) == 0);
  }
  // The settings an initialization file would give.
  ctx.cProtocol = (cMode & 4) != 0 ? SARN_PROTOCOL_GTC : SARN_PROTOCOL_MODBUS;
  ctx.wFlags =
      static_cast<uint16_t>(((cMode & 8) != 0 ? SARN_FLAG_SWAP : 0) | ((cMode & 16) != 0 ? SARN_FLAG_FLOATSWAP : 0) |
                            ((cMode & 32) != 0 ? SARN_FLAG_LONGADDR : 0));
  ctx.cRtsCts = (cMode & 64) != 0 ? 1 : 0;
  ctx.iIfg = static_cast<uint16_t>(((cLine >> 4) & 3) * 5);
}

// The gate as the host parses it, and the transfer the host then hands
// over with the fields the parser left. Whether the parser accepted it.
bool ParseGate(DriverContext* pCtx, const GateKind& gate, bool bBlock, int32_t iCount, GateTransfer* pTransfer) {
  GateSpec spec{};
  spec.pszAddress = gate.pszText;
  spec.iDataType = gate.iDataType;
  spec.iCount = iCount;
  DriverRequest request{pCtx, bBlock ? SARN_OP_BLOCK_ADDRESS_PARSER : SARN_OP_SINGLE_ADDRESS_PARSER, 0, 0, &spec};
  const bool bParsed = SarnMain(&request) == 0;
  *pTransfer = GateTransfer{gate.pszText,        0,           spec.iPlcAddr, spec.iMemType,
                            spec.iAddress,       spec.iBitNr, spec.iBits,    gate.iDataType,
                            bBlock ? iCount : 1, 0,           nullptr};
  return bParsed;
}

// The rest of the input as reply records, each queued on the fake line for
// a request. Returns the bytes the replies hold.
size_t QueueReplies(fuzzcheck::Reader& in, int32_t iPlcAddr, std::vector<Reply>* pReplies) {
  std::vector<Reply>& replies = *pReplies;
  while (in.Left() > 0 && replies.size() < kMaxRecords) replies.push_back(ReadReply(in, iPlcAddr));
  size_t nReplyBytes = 0;
  for (const Reply& r : replies) {
    if (r.iKind == 3 || r.pieces.empty()) {
      fakeplat::QueueNoReply();
    } else {
      fakeplat::QueueReply(r.pieces);
    }
    nReplyBytes += r.text.size();
  }
  return nReplyBytes;
}

// What holds after every transaction: a result of 0, 1 or 2, bWriting 0
// again, the port kept, and at most 24 well-formed requests on the wire.
void CheckEveryTransaction(const DriverContext& ctx, SarnHandle hCom, ResultCode rc,
                           const std::vector<std::string>& writes) {
  FUZZ_CHECK(rc == 0 || rc == 1 || rc == 2);
  FUZZ_CHECK(ctx.bWriting == 0);
  FUZZ_CHECK(ctx.hCom == hCom);
  // Twelve requests a transaction; a bit update and a GTC block write are two.
  FUZZ_CHECK(writes.size() <= 24);
  for (const std::string& w : writes) CheckRequest(w);
}

// The longest a call of nWrites requests may take. Each request: the gap
// (twice on a retry after a time-out, which first looks for the earlier
// attempt's answer), a quiet wait before it (the reply time-out and two idle
// spans at most), the RTS wait, and three reads of one reply time-out for
// its reply and for each of the four frames at most that are let go by.
// Each of a call's two transactions at most (a bit update, a GTC block's two
// masks) may first settle the line: four paces, each no longer than the
// reply time-out and the latest reply. A bit update adds its quiet spans
// around the register read; a broadcast (a GTC block's two masks at most)
// its line time and turnaround after the request.
uint64_t TimeBoundMs(size_t nWrites, const DriverContext& ctx, uint64_t timeoutMs, size_t nReplyBytes,
                     uint64_t latestReplyMs) {
  constexpr uint64_t kIdleMs = 10;
  constexpr uint64_t kFramesPerReply = 5;
  constexpr uint64_t kBroadcastMs = 100 + 600 * 12 * 1000 / 9600;
  const uint64_t perRequest =
      2 * ctx.iIfg + 2 + kFramesPerReply * 3 * timeoutMs + timeoutMs + 2 * kIdleMs + kFlushTimeoutMs;
  const uint64_t settles = 2 * 4 * (timeoutMs + latestReplyMs);
  return nWrites * perRequest + settles + timeoutMs + 3 * kIdleMs + 2 * kBroadcastMs +
         kFlushTimeoutMs * (2 + nReplyBytes / 512) + (sarn::g_iRestartDay == 0 ? 0 : kFlushTimeoutMs);
}

// The latest a reply's last piece is scheduled after its request.
uint64_t LatestReplyMs(const std::vector<Reply>& replies) {
  uint64_t latest = 0;
  for (const Reply& r : replies) {
    for (const fakeplat::Piece& piece : r.pieces) latest = std::max<uint64_t>(latest, piece.delayMs);
  }
  return latest;
}

// A single read reported as done after nWrites requests, each with its
// reply record: when nothing stale could reach the driver and the last
// reply was a well-formed frame, the host's buffer holds the value it
// carried (a 16-bit or bit value in the cell's second half, the first half
// as it was).
void CheckStoredValue(const DriverContext& ctx, const GateTransfer& t, const std::vector<Reply>& replies,
                      size_t nWrites, const uint8_t* pBuf, const std::vector<uint8_t>& before) {
  if (!NothingStale(fakeplat::Calls(), replies, nWrites)) return;
  uint32_t expected = 0;
  if (ExpectedSingle(ctx, t, replies[nWrites - 1], &expected)) {
    uint32_t stored = 0;
    if (t.iBits == 32) {
      memcpy(&stored, pBuf, 4);
    } else {
      uint16_t half = 0;
      memcpy(&half, pBuf + 2, 2);
      stored = half;
      FUZZ_CHECK(memcmp(pBuf, before.data(), 2) == 0);
    }
    FUZZ_CHECK(stored == expected);
    if (getenv("FUZZ_REPLY_VERBOSE") != nullptr) fprintf(stderr, "value checked: %X\n", stored);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Cold start runs in an empty directory: no initialization file, defaults.
  g_pszDir = fuzzcheck::ScratchDir(nullptr);
  sarn::SetDayOfMonthSource(&DayOfTest);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  fuzzcheck::Reader in(pData, nSize);
  const uint8_t cMode = in.Byte();
  const GateKind& gate = kGates[in.Byte() % kGateCount];
  const uint16_t wCount = in.Word();
  const uint8_t cLine = in.Byte();
  const uint8_t cSeed = in.Byte();

  static constexpr int32_t kOps[4] = {SARN_OP_SINGLE_READ, SARN_OP_BLOCK_READ, SARN_OP_SINGLE_WRITE,
                                      SARN_OP_BLOCK_WRITE};
  const int32_t iOp = kOps[cMode & 3];
  const bool bBlock = iOp == SARN_OP_BLOCK_READ || iOp == SARN_OP_BLOCK_WRITE;
  const bool bRead = iOp == SARN_OP_SINGLE_READ || iOp == SARN_OP_BLOCK_READ;
  const int32_t iTimeout = 1 + (cLine & 15);
  const uint64_t timeoutMs = 10u * static_cast<uint64_t>(iTimeout);

  DriverContext ctx{};
  StartDriver(cMode, cLine, iTimeout, &ctx);
  const SarnHandle hCom = ctx.hCom;

  const int32_t iCount = (cLine & 0x80) != 0 ? static_cast<int16_t>(wCount) : 1 + wCount % 2000;
  GateTransfer t{};
  const bool bParsed = ParseGate(&ctx, gate, bBlock, iCount, &t);
  if (!bParsed && (cLine & 0x40) == 0) return 0;

  // The host's buffer: exactly its size, so ASan sees every byte beyond it.
  size_t nBuf = BufferSize(t, bBlock, bParsed);
  if (nBuf == 0) nBuf = 1;
  std::unique_ptr<uint8_t[]> pBuf(new uint8_t[nBuf]);
  for (size_t i = 0; i < nBuf; ++i) pBuf[i] = static_cast<uint8_t>(cSeed + 37 * i);
  const std::vector<uint8_t> before(pBuf.get(), pBuf.get() + nBuf);
  t.pData = pBuf.get();

  std::vector<Reply> replies;
  const size_t nReplyBytes = QueueReplies(in, t.iPlcAddr, &replies);

  const uint64_t startMs = fakeplat::NowMs();
  DriverRequest request{&ctx, iOp, 0, 0, &t};
  const ResultCode rc = SarnMain(&request);
  const uint64_t elapsedMs = fakeplat::NowMs() - startMs;
  const std::vector<std::string> writes = fakeplat::Writes();

  CheckEveryTransaction(ctx, hCom, rc, writes);
  FUZZ_CHECK(elapsedMs <= TimeBoundMs(writes.size(), ctx, timeoutMs, nReplyBytes, LatestReplyMs(replies)));

  if (getenv("FUZZ_REPLY_VERBOSE") != nullptr) {
    fprintf(stderr, "gate %s op %d count %d: rc %d, %zu requests, %zu replies, %llu ms\n", gate.pszText, iOp, t.iCount,
            rc, writes.size(), replies.size(), static_cast<unsigned long long>(elapsedMs));
  }

  const bool bUnchanged = memcmp(before.data(), pBuf.get(), nBuf) == 0;
  if (!bRead || rc != 0) FUZZ_CHECK(bUnchanged);
  if (rc == 0 && !bBlock && bRead && !writes.empty() && writes.size() <= replies.size()) {
    CheckStoredValue(ctx, t, replies, writes.size(), pBuf.get(), before);
  }
  return 0;
}
