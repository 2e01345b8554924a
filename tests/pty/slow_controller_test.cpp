// A controller that answers later than the reply time-out, through SarnMain
// on a pseudo-terminal against the simulator: 1.2 to 2.5 time-outs late,
// either working on one request at a time (a retry's answer comes a whole
// delay after the first one's) or answering each request that long after
// its own. The driver retries, and every attempt's answer is on its way: it
// must never take one for the next request. Every read that returns 0 has
// its own register's value, every bit update writes its own register, and
// the driver says once that the time-out should be raised; on a clean line
// it says nothing of the kind. The same behind a two-wire adapter that
// echoes every request (ECHO = YES): the echoes are the driver's own frames,
// not answers.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "driver/stop_flag.h"
#include "hostlog/log_messages.h"
#include "plcsim.h"
#include "sarnmd.h"
#include "support/chaos_line.h"
#include "support/driver_calls.h"
#include "support/port_link.h"
#include "support/test_log.h"
#include "transact/daily_restart.h"

namespace {

struct SlowCase {
  const char* name;
  int32_t iTimeout;  // reply time-out T in 10 ms units
  int lateTenths;    // the controller's delay in tenths of T; 0: on time
  bool eachOwn;      // each answer that long after its own request, not one at a time
  bool echo;         // behind an adapter that echoes every request, with ECHO = YES
};

void PrintTo(const SlowCase& c, std::ostream* os) {
  *os << c.name;
}

// The advice lines: level 32, the late-answer format, for controller 1 and
// this time-out, with a delay longer than it.
int AdviceLines(uint32_t uTimeoutMs) {
  int n = 0;
  for (const testlog::Line& line : testlog::Lines()) {
    if (line.format != sarn::kMsgLateAnswer.pszFormat) continue;
    unsigned uNode = 0, uAfter = 0, uTimeout = 0;
    const int nRead = sscanf(line.text.c_str(),
                             "SARNMD> Controller %u answered after about %u ms, longer than the "
                             "reply time-out of %u ms",
                             &uNode, &uAfter, &uTimeout);
    EXPECT_EQ(line.iLevel, 32);
    EXPECT_EQ(nRead, 3) << line.text;
    EXPECT_EQ(uNode, 1u) << line.text;
    EXPECT_EQ(uTimeout, uTimeoutMs) << line.text;
    EXPECT_GT(uAfter, uTimeoutMs) << line.text;
    ++n;
  }
  return n;
}

class SlowController : public ::testing::TestWithParam<SlowCase>, public testsupport::DriverCalls {
 protected:
  void SetUp() override {
    sarn::bStopped = 0;
    sarn::g_iRestartDay = sarn::CurrentDayOfMonth();
    const SlowCase& c = GetParam();
    plcsim::Options options;
    options.replyDelayMs = static_cast<uint32_t>(c.iTimeout * c.lateTenths);  // 10 ms units, tenths
    options.lateEachOwn = c.eachOwn;
    sim_ = std::make_unique<plcsim::Simulator>(options);
    sim_->FillPattern();  // holding register k (gate 014000k) holds k
    std::string path = sim_->OpenPty();
    if (c.echo) {
      adapter_ = std::make_unique<testsupport::ChaosLine>(path, 1);
      testsupport::ChaosOptions options;
      options.bEcho = true;
      adapter_->SetOptions(options);
      path = adapter_->DriverPath();
    }
    ASSERT_TRUE(link_.PointAt(path));
    ASSERT_EQ(ColdStart(link_.Name(), 1, c.iTimeout, testsupport::kPtyLine), 0) << testlog::Dump();
    if (c.echo) ctx.wFlags |= SARN_FLAG_ECHO;
    testlog::Clear();
  }
  void TearDown() override { Call(SARN_OP_CLOSE_COM, nullptr); }

  // Reads holding register k (gate address k) through a gate parsed
  // beforehand, so that the log holds the transactions only; 0 with k, or a
  // failure.
  void ReadOwn(GateTransfer* pGate, int k) {
    uint8_t cell[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    pGate->pData = cell;
    const ResultCode rc = Call(SARN_OP_SINGLE_READ, pGate);
    uint16_t w = 0;
    memcpy(&w, cell + 2, 2);
    if (rc == 0) {
      EXPECT_EQ(w, k) << pGate->pszName << "\n" << testlog::Dump();
    }
    ++nTransactions_;
    nFailed_ += rc != 0;
  }

  std::unique_ptr<plcsim::Simulator> sim_;
  std::unique_ptr<testsupport::ChaosLine> adapter_;
  testsupport::PortLink link_;
  int nTransactions_ = 0;
  int nFailed_ = 0;
};

TEST_P(SlowController, EveryAnswerTakenIsTheRequestsOwn) {
  const SlowCase& c = GetParam();
  GateTransfer reads[] = {Gate("0140011", 0), Gate("0140022", 0), Gate("0140044", 0)};
  // A bit update: reads register 33 (100001b) and writes it with bit 2 set.
  uint8_t cell[4] = {0, 0, 1, 0};
  GateTransfer bit = Gate("01400332", 6, 0, cell);
  ReadOwn(&reads[0], 11);
  ReadOwn(&reads[1], 22);
  const ResultCode rc = Call(SARN_OP_SINGLE_WRITE, &bit);
  nTransactions_ += 2;
  nFailed_ += rc != 0;
  ReadOwn(&reads[2], 44);
  const uint16_t w = sim_->Holding(32);
  if (rc == 0) {
    EXPECT_EQ(w, 37) << testlog::Dump();
  } else {
    EXPECT_TRUE(w == 33 || w == 37) << w << "\n" << testlog::Dump();
  }
  for (uint16_t a : {10, 21, 43}) EXPECT_EQ(sim_->Holding(a), a + 1) << "register " << a + 1 << " written";

  const int nAdvice = AdviceLines(static_cast<uint32_t>(c.iTimeout) * 10);
  if (c.lateTenths == 0) {
    EXPECT_EQ(nFailed_, 0) << testlog::Dump();
    EXPECT_EQ(nAdvice, 0) << testlog::Dump();
  } else {
    EXPECT_GE(nAdvice, 1) << testlog::Dump();
    EXPECT_LE(nAdvice, nTransactions_) << testlog::Dump();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Delays, SlowController,
    ::testing::Values(SlowCase{"OnTime", 10, 0, false, false}, SlowCase{"OneAtATime12", 5, 12, false, false},
                      SlowCase{"OneAtATime15", 5, 15, false, false}, SlowCase{"OneAtATime18", 5, 18, false, false},
                      SlowCase{"OneAtATime25", 5, 25, false, false}, SlowCase{"EachOwn12", 5, 12, true, false},
                      SlowCase{"EachOwn15", 5, 15, true, false}, SlowCase{"EachOwn18", 5, 18, true, false},
                      SlowCase{"EachOwn25", 5, 25, true, false}, SlowCase{"OnTimeEcho", 10, 0, false, true},
                      SlowCase{"OneAtATime15Echo", 5, 15, false, true}, SlowCase{"EachOwn25Echo", 5, 25, true, true}),
    [](const ::testing::TestParamInfo<SlowCase>& info) { return std::string(info.param.name); });

// The simulator keeping a line's time (9600 8N1, as the driver is told),
// and sending frames that answer nothing: an answer twice, right behind it
// or later; an answer later than every recovery; the echo of a two-wire
// adapter; or a slow controller, one request at a time, that loses answers.
struct StrayPtyCase {
  const char* name;
  int duplicatePercent = 0;
  uint32_t duplicateMinMs = 0, duplicateMaxMs = 0;
  int lateSomePercent = 0;  // answers five time-outs late
  int silentPercent = 0;
  int lateTenths = 0;      // the controller's work on each request, in tenths of the time-out
  bool echo = false;       // the adapter echoes every request
  bool echoKey = false;    // and the driver is told so
  bool ruleTells = false;  // every stray comes sooner than an answer could
};

void PrintTo(const StrayPtyCase& c, std::ostream* os) {
  *os << c.name;
}

class StrayFramePty : public ::testing::TestWithParam<StrayPtyCase>, public testsupport::DriverCalls {
 protected:
  static constexpr int32_t kTimeout = 20;  // 200 ms
  void SetUp() override {
    sarn::bStopped = 0;
    sarn::g_iRestartDay = sarn::CurrentDayOfMonth();
    const StrayPtyCase& c = GetParam();
    plcsim::Options o;
    o.lineTimeBaud = 9600;
    o.bitsPerChar = 10;
    o.duplicatePercent = c.duplicatePercent;
    o.duplicateDelayMinMs = c.duplicateMinMs;
    o.duplicateDelayMaxMs = c.duplicateMaxMs;
    o.lateSomePercent = c.lateSomePercent;
    o.lateSomeMinMs = o.lateSomeMaxMs = 5 * kTimeout * 10;
    o.silentPercent = c.silentPercent;
    o.replyDelayMs = static_cast<uint32_t>(kTimeout * c.lateTenths);
    o.echo = c.echo;
    o.seed = 3;
    sim_ = std::make_unique<plcsim::Simulator>(o);
    sim_->FillPattern();
    ASSERT_TRUE(link_.PointAt(sim_->OpenPty()));
    ASSERT_EQ(ColdStart(link_.Name(), 1, kTimeout, testsupport::kPtyLine), 0) << testlog::Dump();
    if (c.echoKey) ctx.wFlags |= SARN_FLAG_ECHO;
    testlog::Clear();
  }
  void TearDown() override { Call(SARN_OP_CLOSE_COM, nullptr); }

  std::unique_ptr<plcsim::Simulator> sim_;
  testsupport::PortLink link_;
};

// Reads of registers 11 to 16 and bit updates of register 33, then a single
// write to controller 2, which is absent: each stray costs at most the one
// read it lands in, none where the line's time tells it apart; a bit update
// writes only its own register's bits; no write is confirmed by its echo.
TEST_P(StrayFramePty, CostsAtMostTheReadItLandsIn) {
  const StrayPtyCase& c = GetParam();
  std::string texts[6];
  int nWrong = 0, nDone = 0;
  const int nRounds = c.lateTenths > 0 ? 1 : 6;
  for (int round = 0; round < nRounds; ++round) {
    for (int k = 0; k < 6; ++k) {
      texts[k] = "01400" + std::to_string(11 + k);
      uint8_t cell[4] = {0xEE, 0xEE, 0xEE, 0xEE};
      GateTransfer gate = Gate(texts[k].c_str(), 0, 0, cell);
      if (Call(SARN_OP_SINGLE_READ, &gate) != 0) continue;
      ++nDone;
      nWrong += cell[2] != 11 + k;
    }
    uint8_t bit[4] = {0, 0, static_cast<uint8_t>(round % 2), 0};
    GateTransfer update = Gate("01400332", 6, 0, bit);
    Call(SARN_OP_SINGLE_WRITE, &update);
    const uint16_t w = sim_->Holding(32);
    EXPECT_TRUE(w == 33 || w == 37) << w << "\n" << testlog::Dump();
  }
  uint8_t value[4] = {0, 0, 0x42, 0x42};
  GateTransfer absent = Gate("0240080", 0, 0, value);
  EXPECT_NE(Call(SARN_OP_SINGLE_WRITE, &absent), 0) << testlog::Dump();
  const long nStrays = static_cast<long>(sim_->DuplicatesSent() + sim_->LateSomeSent());
  EXPECT_LE(nWrong, c.ruleTells ? 0 : nStrays) << nStrays << " strays\n" << testlog::Dump();
  EXPECT_GT(nDone, c.silentPercent > 0 ? 1 : 24) << testlog::Dump();
}

INSTANTIATE_TEST_SUITE_P(
    TimedLines, StrayFramePty,
    ::testing::Values(StrayPtyCase{"Clean", 0, 0, 0, 0, 0, 0, false, false, true},
                      StrayPtyCase{"DuplicateRightBehind", 20, 0, 0, 0, 0, 0, false, false, true},
                      StrayPtyCase{"DuplicateLater", 20, 40, 160, 0, 0, 0, false, false, false},
                      StrayPtyCase{"LateBeyondRecovery", 0, 0, 0, 10, 0, 0, false, false, false},
                      StrayPtyCase{"EchoWithoutTheKey", 0, 0, 0, 0, 0, 0, true, false, true},
                      StrayPtyCase{"EchoWithTheKey", 0, 0, 0, 0, 0, 0, true, true, true},
                      StrayPtyCase{"SlowOneAtATimeLosingAnswers", 0, 0, 0, 0, 30, 25, false, false, true}),
    [](const ::testing::TestParamInfo<StrayPtyCase>& info) { return std::string(info.param.name); });

}  // namespace
