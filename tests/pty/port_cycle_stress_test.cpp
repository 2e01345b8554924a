// A context block copied by its host, driven on two threads while a third
// closes and reopens the first one's port under them, on a pseudo-terminal
// behind a line that may lose replies. Whatever the interleaving: every call
// returns within its bound, a read that returns 0 has its register's value, a
// write or bit update reported done is in the controller (and only in its own
// register), EndSarn returns, and no descriptor is left open.
//
// STRESS_SECONDS sets how long each run drives the line (default 2); the
// soak label runs it for a minute.
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "driver/stop_flag.h"
#include "plcsim.h"
#include "sarnmd.h"
#include "support/chaos_line.h"
#include "support/port_link.h"
#include "transact/daily_restart.h"

extern "C" int err(int, const char*, ...) {
  return 0;
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr int32_t kTimeout = 10;  // 100 ms
// A call's bound: a transaction that meets lost replies at the port's read
// time-out (after ReOpenCom the port layer's own, up to a second an attempt),
// after waiting for one on the other thread, and a close that waits for it.
constexpr auto kCallBound = std::chrono::seconds(10);

int OpenDescriptors() {
  int n = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++n;
    closedir(dir);
  }
  return n;
}

// Gate texts outlive the transfers that point at them.
struct Gates {
  std::vector<std::string> texts;
  std::vector<GateTransfer> reads;
  GateTransfer write{}, bit[16]{};
};

class PortCycleStress : public ::testing::TestWithParam<int> {
 protected:
  ResultCode Timed(DriverContext* pContext, int32_t iOpCode, void* pParam) {
    const auto start = Clock::now();
    DriverRequest request{pContext, iOpCode, 0, 0, pParam};
    const ResultCode rc = SarnMain(&request);
    const auto took = Clock::now() - start;
    if (took > kCallBound) Fail("call " + std::to_string(iOpCode) + " over its bound");
    const long lMs = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
    for (long l = longestMs_; lMs > l && !longestMs_.compare_exchange_weak(l, lMs);) {
    }
    if (rc < 0 || rc > 2) Fail("result " + std::to_string(rc));
    return rc;
  }

  void Fail(const std::string& what) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (failures_.size() < 10) failures_.push_back(what);
    ++nFailures_;
  }

  // Gate address k holds k: each thread reads forty registers of its own,
  // writes one and updates the bits of another.
  Gates Parse(DriverContext* pContext, int first) {
    Gates g;
    g.texts.reserve(64);
    auto parse = [&](const char* pszFormat, int k, int b, int32_t iType) {
      char szText[16];
      snprintf(szText, sizeof szText, pszFormat, k, b);
      g.texts.emplace_back(szText);
      GateSpec spec{};
      spec.pszAddress = g.texts.back().c_str();
      spec.iDataType = iType;
      EXPECT_EQ(Timed(pContext, SARN_OP_SINGLE_ADDRESS_PARSER, &spec), 0) << szText;
      return GateTransfer{g.texts.back().c_str(),
                          0,
                          spec.iPlcAddr,
                          spec.iMemType,
                          spec.iAddress,
                          spec.iBitNr,
                          spec.iBits,
                          iType,
                          1,
                          0,
                          nullptr};
    };
    for (int k = first; k < first + 40; ++k) g.reads.push_back(parse("014%04d", k, 0, 0));
    g.write = parse("014%04d", first + 40, 0, 0);
    for (int b = 0; b < 16; ++b) g.bit[b] = parse("014%04d%X", first + 41, b, 6);
    return g;
  }

  void Drive(DriverContext* pContext, int first) {
    Gates g = Parse(pContext, first);
    const uint16_t wWrite = static_cast<uint16_t>(first + 39), wBits = static_cast<uint16_t>(first + 40);
    uint8_t cell[4];
    for (long i = 0; !stop_; ++i) {
      const int k = static_cast<int>(i / 3);
      GateTransfer t = i % 3 == 0 ? g.reads[k % 40] : i % 3 == 1 ? g.write : g.bit[k % 16];
      const uint16_t wValue = i % 3 == 0   ? 0
                              : i % 3 == 1 ? static_cast<uint16_t>(i)
                                           : static_cast<uint16_t>(k / 16 % 2);
      memcpy(cell, "\xEE\xEE", 2);
      memcpy(cell + 2, &wValue, 2);
      t.pData = cell;
      const uint16_t wBefore = sim_.Holding(wBits);
      const uint16_t wUpdated = static_cast<uint16_t>(wValue ? wBefore | 1u << (k % 16) : wBefore & ~(1u << (k % 16)));
      const ResultCode rc = Timed(pContext, i % 3 == 0 ? SARN_OP_SINGLE_READ : SARN_OP_SINGLE_WRITE, &t);
      uint16_t wGot;
      memcpy(&wGot, cell + 2, 2);
      const uint16_t wNow = sim_.Holding(wBits);
      if (i % 3 == 0 && rc == 0 && wGot != first + k % 40) Fail(std::string("wrong value read from ") + t.pszName);
      if (i % 3 == 1 && rc == 0 && sim_.Holding(wWrite) != wValue) Fail("write reported done, not in the controller");
      if (i % 3 == 2 && (rc == 0 ? wNow != wUpdated : wNow != wUpdated && wNow != wBefore)) {
        Fail(std::string("bit update wrote another value to ") + t.pszName);
      }
      nDone_ += rc == 0;
      ++nCalls_;
      // A host polls again a little later rather than spin on a closed port
      // and starve the line's threads.
      if (rc != 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  // Every other cycle opens the port again through ChangeSarnParams, which
  // also closes one that is open and sets the reply time-out again (ReOpenCom
  // leaves the port layer's second an attempt).
  void Cycle(const char* pszPort) {
    std::mt19937 rng(7);
    DriverParams change{};
    snprintf(change.szPort, sizeof change.szPort, "%s", pszPort);
    change.iTimeout = kTimeout;
    change.line = {9600, 8, 0, 0};
    for (long i = 0; !stop_; ++i) {
      Timed(&x_, SARN_OP_CLOSE_COM, nullptr);
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 21));
      Timed(&x_, i % 2 == 0 ? SARN_OP_REOPEN_COM : SARN_OP_CHANGE_SARN_PARAMS, i % 2 == 0 ? nullptr : &change);
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 21));
    }
  }

  plcsim::Simulator sim_;
  DriverContext x_{}, y_{};
  std::atomic<bool> stop_{false};
  std::atomic<long> nCalls_{0}, nDone_{0}, nFailures_{0}, longestMs_{0};
  std::mutex mutex_;
  std::vector<std::string> failures_;
};

// Runs f on a thread of its own; ends the process when it does not return
// within bound, as a hung call would leave the test waiting for ever.
template <typename F>
void WithinBound(const char* pszWhat, Clock::duration bound, F f) {
  std::packaged_task<void()> task(f);
  std::future<void> done = task.get_future();
  std::thread thread(std::move(task));
  if (done.wait_for(bound) != std::future_status::ready) {
    fprintf(stderr, "port cycle stress: %s did not return: hung\n", pszWhat);
    std::_Exit(1);
  }
  thread.join();
}

TEST_P(PortCycleStress, CopiedBlockWithItsPortClosedAndReopenedUnderIt) {
  sarn::bStopped = 0;
  sarn::g_iRestartDay = sarn::CurrentDayOfMonth();
  sim_.FillPattern();
  testsupport::ChaosLine chaos(sim_.OpenPty(), 11);
  testsupport::ChaosOptions options;
  options.iDropPct = GetParam();
  chaos.SetOptions(options);
  testsupport::PortLink link(chaos.DriverPath());
  ASSERT_FALSE(link.Name().empty());
  const int nDescriptors = OpenDescriptors();

  ColdStartParams cold{};
  snprintf(cold.szPort, sizeof cold.szPort, "%s", link.Name().c_str());
  cold.bEnable = 1;
  cold.iTimeout = kTimeout;
  cold.line = {9600, 8, 0, 0};
  ASSERT_EQ(Timed(&x_, SARN_OP_COLD_START, &cold), 0);
  y_ = x_;

  const char* pszSeconds = getenv("STRESS_SECONDS");
  const auto run = std::chrono::seconds(pszSeconds != nullptr ? atoi(pszSeconds) : 2);
  WithinBound("a read, write or port cycle", run + 3 * kCallBound, [&] {
    std::thread one([this] { Drive(&x_, 1001); });
    std::thread two([this] { Drive(&y_, 2001); });
    std::thread three([&] { Cycle(link.Name().c_str()); });
    std::this_thread::sleep_for(run);
    stop_ = true;
    one.join();
    two.join();
    three.join();
  });
  WithinBound("EndSarn", kCallBound, [&] { EXPECT_EQ(Timed(&x_, SARN_OP_END_SARN, nullptr), 0); });
  EXPECT_EQ(Timed(&y_, SARN_OP_CLOSE_COM, nullptr), 0);
  EXPECT_EQ(OpenDescriptors(), nDescriptors) << "descriptors left open";
  EXPECT_GT(nDone_, 0) << "nothing got through";
  EXPECT_EQ(nFailures_, 0) << (failures_.empty() ? "" : failures_[0]);
  const testsupport::ChaosCounts c = chaos.Counts();
  printf("port cycle stress: %ld requests, %ld replies lost; %ld reads and writes, %ld done; longest call %ld ms\n",
         c.nRequests, c.nDropped, nCalls_.load(), nDone_.load(), longestMs_.load());
}

INSTANTIATE_TEST_SUITE_P(LostReplies, PortCycleStress, ::testing::Values(0, 5),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == 0 ? std::string("None") : "Percent" + std::to_string(info.param);
                         });

}  // namespace
