// The daily restart when several contexts' reads cross midnight together on
// their own threads: exactly one of them restarts, once a day.
#include "transact/daily_restart.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "support/test_log.h"

namespace {

std::atomic<int> g_iDay{1};
int TestDay() {
  return g_iDay.load();
}

// Lets n threads go on together once the last of them has arrived. Not
// std::latch: MinGW's libstdc++ (GCC 12) waits on it without a futex and
// can miss the last arrival, leaving the waiters asleep for ever.
class StartGate {
 public:
  explicit StartGate(int n) : nLeft_(n) {}
  void ArriveAndWait() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (--nLeft_ == 0) {
      open_.notify_all();
      return;
    }
    open_.wait(lock, [this] { return nLeft_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable open_;
  int nLeft_;
};

class DailyRestartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_iDay = 1;
    sarn::SetDayOfMonthSource(&TestDay);
    sarn::g_iRestartDay = 1;
    testlog::Clear();
  }
  void TearDown() override { sarn::SetDayOfMonthSource(nullptr); }
};

TEST_F(DailyRestartTest, ThreadsCrossingMidnightTogetherRestartOnce) {
  constexpr int kThreads = 8;
  constexpr int kNights = 60;
  // Contexts without an open port: the restart logs, and touches no device.
  std::vector<DriverContext> contexts(kThreads);
  for (int night = 0; night < kNights; ++night) {
    SCOPED_TRACE(testing::Message() << "night " << night);
    testlog::Clear();
    const int iDay = night % 31 + 2;  // never the day before
    StartGate start(kThreads + 1);
    std::vector<std::thread> threads;
    for (DriverContext& ctx : contexts) {
      threads.emplace_back([&start, &ctx] {
        start.ArriveAndWait();
        sarn::DailyRestart(&ctx);
        sarn::DailyRestart(&ctx);  // the same day again: nothing
      });
    }
    g_iDay = iDay;
    start.ArriveAndWait();
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(testlog::Count(32, "Restart Communication succeed"), 1) << testlog::Dump();
    EXPECT_EQ(testlog::Count(8, "SARNMD> WarmStart()"), 1);
    EXPECT_EQ(sarn::g_iRestartDay.load(), iDay);
  }
}

}  // namespace
