// Micro-benchmarks of the driver's own work per transaction: the LRC, the
// gate address parser, building a read request and decoding its reply, and a
// whole block write over the scripted fake platform (which answers at once
// and in virtual time, so only CPU work is measured).
//
// Every benchmark also reports min and max over its repetitions
// (--benchmark_repetitions=N).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "driver/stop_flag.h"
#include "link/frame.h"
#include "sarnmd.h"
#include "support/fake_platform.h"
#include "transact/daily_restart.h"
#include "transact/transactions.h"

namespace {

constexpr int kRegisters = 125;

// A complete Modbus ASCII frame: ':' + body + LRC + CR LF.
std::string Frame(const std::string& body) {
  unsigned sum = 0;
  for (size_t i = 0; i + 1 < body.size(); i += 2) sum += std::stoul(body.substr(i, 2), nullptr, 16);
  char lrc[3];
  snprintf(lrc, sizeof lrc, "%02X", (256 - (sum & 0xFF)) & 0xFF);
  return ":" + body + lrc + "\r\n";
}

// The reply to a read of 125 holding registers holding 0 to 124.
std::string Read125Reply() {
  std::string body = "0103FA";
  char sz[5];
  for (int k = 0; k < kRegisters; ++k) {
    snprintf(sz, sizeof sz, "%04X", k);
    body += sz;
  }
  return Frame(body);
}

double Min(const std::vector<double>& v) {
  return *std::min_element(v.begin(), v.end());
}
double Max(const std::vector<double>& v) {
  return *std::max_element(v.begin(), v.end());
}

// Registers a benchmark that reports min and max besides Google Benchmark's
// mean, median and stddev.
#define SARN_BENCHMARK(fn) BENCHMARK(fn)->ComputeStatistics("min", Min)->ComputeStatistics("max", Max)

ResultCode Call(DriverContext* pContext, int32_t iOpCode, void* pParam) {
  DriverRequest request{pContext, iOpCode, 0, 0, pParam};
  return SarnMain(&request);
}

// A block of 125 holding registers from register 1 of controller 1.
GateTransfer Block125(uint16_t* pRegs) {
  GateTransfer t{};
  t.pszName = "0140001";
  t.iPlcAddr = 1;
  t.iMemType = 4;
  t.iAddress = 0;
  t.iBitNr = -1;
  t.iBits = 16;
  t.iDataType = 0;
  t.iCount = kRegisters;
  t.pData = pRegs;
  return t;
}

// ------------------------------------------------------------------ LRC

void BM_CalcLrc(benchmark::State& state) {
  const std::string reply = Read125Reply();
  // Over everything between the colon and the LRC, as the reply check does.
  const uint16_t sCount = static_cast<uint16_t>(reply.size() - 5);
  for (auto _ : state) {
    benchmark::DoNotOptimize(sarn::CalcLrc(reply.data() + 1, sCount));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * sCount);
  state.SetLabel(std::to_string(sCount) + " chars (125-register reply)");
}
SARN_BENCHMARK(BM_CalcLrc);

// ------------------------------------------------------------------ address parser

void BM_ParseSingleGate(benchmark::State& state) {
  static const char* const kGates[] = {"0140001", "01400012", "0180001", "0100005", "2530123", "0160101"};
  DriverContext ctx{};
  size_t i = 0;
  for (auto _ : state) {
    GateSpec spec{};
    spec.pszAddress = kGates[i++ % (sizeof kGates / sizeof kGates[0])];
    spec.iDataType = 0;
    benchmark::DoNotOptimize(Call(&ctx, SARN_OP_SINGLE_ADDRESS_PARSER, &spec));
    benchmark::DoNotOptimize(spec);
  }
  state.SetLabel("SarnMain op 3");
}
SARN_BENCHMARK(BM_ParseSingleGate);

void BM_ParseBlockGate(benchmark::State& state) {
  DriverContext ctx{};
  for (auto _ : state) {
    GateSpec spec{};
    spec.pszAddress = "0140001";
    spec.iCount = kRegisters;
    benchmark::DoNotOptimize(Call(&ctx, SARN_OP_BLOCK_ADDRESS_PARSER, &spec));
    benchmark::DoNotOptimize(spec);
  }
  state.SetLabel("SarnMain op 4, 125 registers");
}
SARN_BENCHMARK(BM_ParseBlockGate);

// ------------------------------------------------------------------ read request and reply

void BM_BuildReadRequest125(benchmark::State& state) {
  DriverContext ctx{};
  uint16_t regs[kRegisters];
  GateTransfer t = Block125(regs);
  DriverRequest request{&ctx, SARN_OP_BLOCK_READ, 0, 0, &t};
  sarn::RequestWriter writer;
  for (auto _ : state) {
    benchmark::DoNotOptimize(sarn::BuildReadRequest(&request, ctx.txBuf, &writer));
    benchmark::ClobberMemory();
  }
  state.SetLabel("BuildReadRequest, block of 125 registers");
  if (strcmp(ctx.txBuf, ":01030000007D\r\n") != 0) {
    state.SkipWithError("unexpected request text");
  }
}
SARN_BENCHMARK(BM_BuildReadRequest125);

void BM_DecodeReadReply125(benchmark::State& state) {
  DriverContext ctx{};
  const std::string reply = Read125Reply();
  memcpy(ctx.rxBuf, reply.c_str(), reply.size() + 1);
  uint16_t regs[kRegisters] = {};
  GateTransfer t = Block125(regs);
  DriverRequest request{&ctx, SARN_OP_BLOCK_READ, 0, 0, &t};
  for (auto _ : state) {
    benchmark::DoNotOptimize(sarn::DecodeReadReply(&request, ctx.rxBuf + 7));
    benchmark::ClobberMemory();
  }
  state.SetLabel("DecodeReadReply, 500 data characters");
  if (regs[124] != 124) state.SkipWithError("wrong value decoded");
}
SARN_BENCHMARK(BM_DecodeReadReply125);

// ------------------------------------------------------------------ whole transactions over the fake

// Transactions between two resets of the fake platform, whose records grow
// with every call.
constexpr int kBatch = 256;

// Resets the fake platform, opens COM1 on it for ctx as a host does (the
// driver reaches only ports it opened) and queues kBatch copies of the
// reply. Runs with the timer paused.
void Rearm(DriverContext* pContext, const std::string& reply) {
  if (pContext->hCom != sarn::kNoHandle) Call(pContext, SARN_OP_CLOSE_COM, nullptr);
  fakeplat::Reset();
  fakeplat::AddDevice("COM1");
  ColdStartParams params{};
  snprintf(params.szPort, sizeof params.szPort, "COM1");
  params.bEnable = 1;
  params.iTimeout = 100;
  params.line = {9600, 7, 2, 2};
  Call(pContext, SARN_OP_COLD_START, &params);
  for (int i = 0; i < kBatch; ++i) fakeplat::QueueReply(reply);
}

DriverContext* OpenContext() {
  static DriverContext ctx;
  ctx = DriverContext{};
  ctx.bComOpen = 1;
  return &ctx;
}

void BM_BlockWrite125(benchmark::State& state) {
  DriverContext* pContext = OpenContext();
  uint16_t regs[kRegisters];
  for (int k = 0; k < kRegisters; ++k) regs[k] = static_cast<uint16_t>(k * 257);
  GateTransfer t = Block125(regs);
  const std::string echo = Frame("01100000007D");
  int n = 0;
  Rearm(pContext, echo);
  for (auto _ : state) {
    if (n++ == kBatch) {
      state.PauseTiming();
      Rearm(pContext, echo);
      n = 1;
      state.ResumeTiming();
    }
    if (Call(pContext, SARN_OP_BLOCK_WRITE, &t) != 0) state.SkipWithError("block write failed");
  }
  state.SetLabel("SarnMain op 10 over the fake, 267-char request, echo");
}
SARN_BENCHMARK(BM_BlockWrite125);

void BM_BlockRead125(benchmark::State& state) {
  DriverContext* pContext = OpenContext();
  sarn::g_iRestartDay = 0;
  uint16_t regs[kRegisters];
  GateTransfer t = Block125(regs);
  const std::string reply = Read125Reply();
  int n = 0;
  Rearm(pContext, reply);
  Call(pContext, SARN_OP_BLOCK_READ, &t);  // the first read after loading restarts
  for (auto _ : state) {
    if (n++ == kBatch - 1) {
      state.PauseTiming();
      Rearm(pContext, reply);
      n = 0;
      state.ResumeTiming();
    }
    if (Call(pContext, SARN_OP_BLOCK_READ, &t) != 0) state.SkipWithError("block read failed");
  }
  state.SetLabel("SarnMain op 6 over the fake, 511-char reply");
}
SARN_BENCHMARK(BM_BlockRead125);

// What the fake platform itself costs for the seam calls of one block write
// (flush query, write, two reads): subtract it from BM_BlockWrite125 for the
// driver's own share.
void BM_FakeSeamOfBlockWrite(benchmark::State& state) {
  DriverContext* pContext = OpenContext();
  const std::string echo = Frame("01100000007D");
  const std::string request(267, 'A');
  char buf[32];
  int n = 0;
  Rearm(pContext, echo);
  for (auto _ : state) {
    if (n++ == kBatch) {
      state.PauseTiming();
      Rearm(pContext, echo);
      n = 1;
      state.ResumeTiming();
    }
    sarn::PlatQueues queues;
    uint32_t dw = 0;
    sarn::PlatGetQueues(pContext->hCom, &queues);
    sarn::PlatWrite(pContext->hCom, request.data(), 267, &dw);
    sarn::PlatRead(pContext->hCom, buf, 5, &dw);
    sarn::PlatRead(pContext->hCom, buf, 12, &dw);
    benchmark::DoNotOptimize(buf);
  }
  state.SetLabel("fake platform only: GetQueues, Write 267, Read 5, Read 12");
}
SARN_BENCHMARK(BM_FakeSeamOfBlockWrite);

}  // namespace

BENCHMARK_MAIN();
