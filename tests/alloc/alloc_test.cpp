// Counts heap allocations made on the host's thread while the driver runs
// transactions against the simulator: there must be none. malloc and its
// kin are interposed for this program; the simulator's own thread is not
// counted.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "plcsim.h"
#include "sarnmd.h"
#include "support/driver_calls.h"
#include "support/port_link.h"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {
thread_local bool t_bCounting = false;
thread_local long t_nAllocations = 0;
void Count() {
  if (t_bCounting) ++t_nAllocations;
}
}  // namespace

extern "C" {
void* malloc(size_t n) {
  Count();
  return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
  Count();
  return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
  Count();
  return __libc_realloc(p, n);
}
int posix_memalign(void** pp, size_t align, size_t n) {
  Count();
  *pp = __libc_memalign(align, n);
  return *pp != nullptr ? 0 : 12;
}
void* aligned_alloc(size_t align, size_t n) {
  Count();
  return __libc_memalign(align, n);
}
void free(void* p) { __libc_free(p); }

// The host's log function, formatting into a buffer of its own.
int err(int, const char* pszFormat, ...) {
  char szText[1024];
  va_list args;
  va_start(args, pszFormat);
  vsnprintf(szText, sizeof szText, pszFormat, args);
  va_end(args);
  return 0;
}
}

namespace {

class AllocTest : public ::testing::Test, public testsupport::DriverCalls {
 protected:
  plcsim::Simulator sim;

  GateTransfer Gate(const char* pszText, int32_t iDataType, int32_t iCount, void* pData) {
    ResultCode rc = 0;
    GateTransfer t = ParseGate(pszText, iDataType, iCount, pData, &rc);
    EXPECT_EQ(rc, 0) << pszText;
    return t;
  }
};

TEST_F(AllocTest, TransactionsAllocateNothing) {
  testsupport::PortLink link(sim.OpenPty());
  ASSERT_FALSE(link.Name().empty());
  ASSERT_EQ(ColdStartOn(link.Name(), 10), 0);

  uint8_t cell[4] = {0, 0, 1, 0};
  uint16_t regs[125] = {};
  uint32_t longs[62] = {};
  uint8_t bits[250] = {};
  GateTransfer gates[] = {Gate("0140001", 0, 0, cell),    Gate("01400012", 6, 0, cell),
                          Gate("0180001", 4, 0, cell),    Gate("0100001", 6, 0, cell),
                          Gate("0140001", 0, 120, regs),  Gate("0170001", 3, 60, longs),
                          Gate("0100001", 6, 1960, bits), Gate("0130001", 0, 10, regs)};

  ResultCode results[16] = {};
  int n = 0;
  t_bCounting = true;
  for (GateTransfer& t : gates) {
    const bool bBlock = t.iCount > 1 || &t == &gates[7];
    results[n++] = Call(bBlock ? SARN_OP_BLOCK_READ : SARN_OP_SINGLE_READ, &t);
    if (t.iMemType != 3) results[n++] = Call(bBlock ? SARN_OP_BLOCK_WRITE : SARN_OP_SINGLE_WRITE, &t);
  }
  t_bCounting = false;
  for (int i = 0; i < n; ++i) EXPECT_EQ(results[i], 0) << "transaction " << i;
  t_bCounting = false;
  // Failures take the other paths: retries, exception replies, time-outs.
  sim.SetPersistentFault({plcsim::FaultKind::Exception, 1});
  t_bCounting = true;
  const ResultCode rcException = Call(SARN_OP_SINGLE_READ, &gates[0]);
  t_bCounting = false;
  sim.SetPersistentFault({plcsim::FaultKind::NoReply, 0});
  t_bCounting = true;
  const ResultCode rcSilent = Call(SARN_OP_SINGLE_WRITE, &gates[0]);
  const ResultCode rcWarm = Call(SARN_OP_WARM_START, nullptr);
  t_bCounting = false;
  EXPECT_EQ(rcException, 1);
  EXPECT_EQ(rcSilent, 2);
  EXPECT_EQ(rcWarm, 0);

  EXPECT_EQ(t_nAllocations, 0);
  Call(SARN_OP_CLOSE_COM, nullptr);
}

// The paths the test above does not take: RTS raised and lowered around
// each frame with an inter-frame gap, and the GTC variant's reads and
// set/reset masks.
TEST_F(AllocTest, RtsGapAndGtcPathsAllocateNothing) {
  plcsim::Options options;
  options.gtc = true;
  plcsim::Simulator gtc(options);
  testsupport::PortLink link(gtc.OpenPty());
  ASSERT_FALSE(link.Name().empty());
  ASSERT_EQ(ColdStartOn(link.Name(), 10), 0);
  ctx.cProtocol = 1;
  ctx.cRtsCts = 1;
  ctx.iIfg = 1;

  uint8_t bits[2] = {0x05, 0x80};
  uint8_t cell[4] = {0, 0, 1, 0};
  uint16_t area[42] = {};
  GateTransfer block = Gate("0100200", 6, 16, bits);
  GateTransfer single = Gate("0100215", 6, 0, cell);
  GateTransfer regs = Gate("0130002", 0, 42, area);
  t_nAllocations = 0;
  t_bCounting = true;
  const ResultCode results[] = {Call(SARN_OP_BLOCK_READ, &block), Call(SARN_OP_BLOCK_WRITE, &block),
                                Call(SARN_OP_SINGLE_WRITE, &single), Call(SARN_OP_BLOCK_READ, &regs)};
  t_bCounting = false;
  for (const ResultCode rc : results) EXPECT_EQ(rc, 0);
  EXPECT_EQ(t_nAllocations, 0);
  Call(SARN_OP_CLOSE_COM, nullptr);
}

// Several lines at once, each driven from a thread of its own against its
// own simulator, as a host with a thread per line does: no thread allocates
// during its transactions, its first ones included (the driver keeps no
// state per thread that a first touch would allocate).
TEST(AllocLinesTest, ConcurrentLinesAllocateNothing) {
  constexpr int kLines = 4;
  constexpr int kRounds = 20;
  struct Line : testsupport::DriverCalls {
    plcsim::Simulator sim;
    std::unique_ptr<testsupport::PortLink> link;
    uint8_t cell[4] = {0, 0, 1, 0};
    uint16_t regs[60] = {};
    long nAllocations = -1;
    int nFailed = 0;
  };
  std::vector<std::unique_ptr<Line>> lines;
  for (int i = 0; i < kLines; ++i) {
    auto line = std::make_unique<Line>();
    line->link = std::make_unique<testsupport::PortLink>(line->sim.OpenPty());
    ASSERT_FALSE(line->link->Name().empty());
    ASSERT_EQ(line->ColdStartOn(line->link->Name(), 10), 0);
    lines.push_back(std::move(line));
  }

  std::vector<std::thread> threads;
  for (auto& pLine : lines) {
    threads.emplace_back([&line = *pLine] {
      ResultCode rc = 0;
      GateTransfer single = line.ParseGate("0140001", 0, 0, line.cell, &rc);
      GateTransfer block = line.ParseGate("0140001", 0, 60, line.regs, &rc);
      t_nAllocations = 0;
      t_bCounting = true;
      for (int k = 0; k < kRounds; ++k) {
        line.nFailed += line.Call(SARN_OP_SINGLE_READ, &single) != 0;
        line.nFailed += line.Call(SARN_OP_BLOCK_READ, &block) != 0;
        line.nFailed += line.Call(SARN_OP_SINGLE_WRITE, &single) != 0;
      }
      t_bCounting = false;
      line.nAllocations = t_nAllocations;
    });
  }
  for (std::thread& t : threads) t.join();
  for (auto& pLine : lines) {
    EXPECT_EQ(pLine->nFailed, 0);
    EXPECT_EQ(pLine->nAllocations, 0);
    pLine->Call(SARN_OP_CLOSE_COM, nullptr);
  }
}

}  // namespace
