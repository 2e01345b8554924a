// No wrong value on a real line, over the scripted fake platform: late
// answers after a failed transaction, a line that hears its own requests, a
// stopped module, a port whose close failed.
//
// Modbus ASCII replies carry no transaction number. An answer that comes
// after the driver gave up has the shape the next request of the same kind
// expects; it must be let go by before that request is sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <ostream>
#include <random>
#include <vector>

#include "driver_fixture.h"

namespace {

using testdrv::Cell;
using testdrv::Frame;

class LineRecoveryTest : public testdrv::DriverFixture {
 protected:
  // The reply time-out of the fixture's port, in milliseconds.
  static constexpr uint32_t kTimeoutMs = 1000;
};

// One host call and the line's part in it.
struct Step {
  int32_t iOpCode;
  const char* gate;
  int32_t iDataType;
  int32_t iCount;  // 0: a single gate
  uint32_t value;  // written, or expected in the cell after a read
  // What the controller answers to successive requests: a frame after
  // delayMs, or nothing ("").
  std::vector<fakeplat::Piece> answers;
  int expected;  // the call's result
};

struct LateCase {
  const char* name;
  Step first;   // fails: its last answer comes after the driver gave up
  Step second;  // must not take that answer for its own
  const char* settled;
  std::vector<std::string> secondWrites;  // frames the second call sends
};

void PrintTo(const LateCase& c, std::ostream* os) {
  *os << c.name;
}

class LateAnswer : public LineRecoveryTest, public ::testing::WithParamInterface<LateCase> {
 protected:
  int Run(const Step& step, Cell* pCell) {
    for (const fakeplat::Piece& answer : step.answers) {
      if (answer.bytes.empty()) {
        fakeplat::QueueNoReply();
      } else {
        fakeplat::QueueReply(answer.bytes, answer.delayMs);
      }
    }
    // A 32-bit value or a block of two registers fills the whole cell.
    const bool bWord = step.iCount > 0 || (step.iDataType >= SARN_TYPE_FLOAT && step.iDataType <= SARN_TYPE_UINT32);
    if (step.iOpCode == SARN_OP_SINGLE_WRITE || step.iOpCode == SARN_OP_BLOCK_WRITE) {
      bWord ? pCell->SetWord(step.value) : pCell->SetHalf(static_cast<uint16_t>(step.value));
    }
    GateTransfer t = Gate(step.gate, step.iDataType, step.iCount, pCell->b);
    return Call(step.iOpCode, &t);
  }
};

TEST_P(LateAnswer, IsLetGoByBeforeTheNextRequest) {
  const LateCase& c = GetParam();
  Cell first;
  ASSERT_EQ(Run(c.first, &first), c.first.expected) << testlog::Dump();
  const size_t nBefore = fakeplat::Writes().size();
  testlog::Clear();

  Cell second;
  EXPECT_EQ(Run(c.second, &second), c.second.expected) << testlog::Dump();
  if (c.second.iOpCode == SARN_OP_SINGLE_READ) {
    EXPECT_EQ(second.Half(), c.second.value);
  }
  EXPECT_EQ(testlog::Count(8, c.settled), 1) << testlog::Dump();
  const std::vector<std::string> writes = fakeplat::Writes();
  EXPECT_EQ(std::vector<std::string>(writes.begin() + static_cast<long>(nBefore), writes.end()), c.secondWrites);
}

// Requests of the cases, as the driver frames them.
const std::string kRead10 = Frame("010300090001");
const std::string kRead20 = Frame("010300130001");
const std::string kPairEcho = Frame("011000000002");
const std::string kWritePair2 = Frame(
    "01100000000204"
    "22222222");
const std::string kWriteBlock = Frame(
    "01100000000204"
    "00050005");
constexpr uint32_t kLate = 1500;  // after the driver's one-second time-out

INSTANTIATE_TEST_SUITE_P(
    Transactions, LateAnswer,
    ::testing::Values(
        // The next read of another register would take register 10's value.
        LateCase{"ReadOfAnotherRegister",
                 {SARN_OP_SINGLE_READ, "0140010", 0, 0, 0, {{"", 0}, {"", 0}, {Frame("010302000A"), kLate}}, 2},
                 {SARN_OP_SINGLE_READ, "0140020", 0, 0, 0x14, {{Frame("0103020014"), 0}}, 0},
                 "SARNMD> SettleLine() 15 bytes discarded, line quiet",
                 {kRead20}},
        // Functions 16 echo only address and quantity: the first write's late
        // echo would report the second done although nothing answered it.
        LateCase{"ThirtyTwoBitWriteToTheSamePair",
                 {SARN_OP_SINGLE_WRITE, "0180001", 4, 0, 0x11111111, {{"", 0}, {"", 0}, {kPairEcho, kLate}}, 2},
                 {SARN_OP_SINGLE_WRITE, "0180001", 4, 0, 0x22222222, {{"", 0}, {"", 0}, {"", 0}}, 2},
                 "SARNMD> SettleLine() 17 bytes discarded, line quiet",
                 {kWritePair2, kWritePair2, kWritePair2}},
        LateCase{"BlockWriteOfTheSameRegisters",
                 {SARN_OP_SINGLE_WRITE, "0180001", 4, 0, 0x11111111, {{"", 0}, {"", 0}, {kPairEcho, kLate}}, 2},
                 {SARN_OP_BLOCK_WRITE, "0140001", 0, 2, 0x00050005, {{"", 0}, {"", 0}, {"", 0}}, 2},
                 "SARNMD> SettleLine() 17 bytes discarded, line quiet",
                 {kWriteBlock, kWriteBlock, kWriteBlock}},
        // The register read of a bit update would take register 10's value
        // and write it, with the bit set, into register 20.
        LateCase{"RegisterReadOfABitUpdate",
                 {SARN_OP_SINGLE_READ, "0140010", 0, 0, 0, {{"", 0}, {"", 0}, {Frame("01030200F0"), kLate}}, 2},
                 {SARN_OP_SINGLE_WRITE, "01400200", 6, 0, 1, {{Frame("0103020100"), 0}, {Frame("010600130101"), 0}}, 0},
                 "SARNMD> SettleLine() 15 bytes discarded, line quiet",
                 {kRead20, Frame("010600130101")}}),
    [](const ::testing::TestParamInfo<LateCase>& info) { return std::string(info.param.name); });

// A controller slower than the reply time-out. Holding register w (on the
// wire) holds 0x1000 + w; it answers reads (function 3) and single writes
// (6) delayMs after each request, or, working on one request at a time,
// delayMs after it finished the one before. Every write it is asked for must
// carry its own register's value with the gate's bit set.
struct SlowController {
  uint32_t delayMs;
  bool bOneAtATime;
  uint64_t busyUntil = 0;
  int nWrongWrites = 0;

  void Answer(const std::string& request, uint64_t atMs) {
    const unsigned fn = std::stoul(request.substr(3, 2), nullptr, 16);
    const unsigned wire = std::stoul(request.substr(5, 4), nullptr, 16);
    char body[32];
    if (fn == 3) {
      snprintf(body, sizeof body, "010302%04X", 0x1000 + wire);
    } else {
      nWrongWrites += std::stoul(request.substr(9, 4), nullptr, 16) != ((0x1000 + wire) | 0x2);
      snprintf(body, sizeof body, "%s", request.substr(1, 12).c_str());
    }
    busyUntil = (bOneAtATime ? std::max(atMs, busyUntil) : atMs) + delayMs;
    fakeplat::Schedule(busyUntil, Frame(body));
  }
};

struct SlowCase {
  const char* name;
  double lateness;  // of the reply time-out
  bool bOneAtATime;
};

void PrintTo(const SlowCase& c, std::ostream* os) {
  *os << c.name;
}

class SlowControllerTest : public LineRecoveryTest, public ::testing::WithParamInterface<SlowCase> {};

// Reads of registers 10 to 17 and bit updates of registers 20 to 23: a read
// that answers 0 has its own register's value, a bit update writes its own
// register; the controller's lateness is reported once it shows, never on a
// controller that answers in time.
TEST_P(SlowControllerTest, NeverGivesAnotherRegistersValue) {
  const SlowCase& c = GetParam();
  SlowController plc{static_cast<uint32_t>(c.lateness * kTimeoutMs), c.bOneAtATime};
  fakeplat::SetResponder([&plc](const std::string& request, uint64_t atMs) { plc.Answer(request, atMs); });
  std::vector<GateTransfer> reads, bits;
  Cell cells[12];
  // The transfers point at their gate texts, which live as long as they do.
  std::string texts[12];
  for (int i = 0; i < 8; ++i) {
    texts[i] = "01400" + std::to_string(10 + i);
    reads.push_back(Gate(texts[i].c_str(), 0, 0, cells[i].b));
  }
  for (int i = 0; i < 4; ++i) {
    texts[8 + i] = "014002" + std::to_string(i) + "1";
    bits.push_back(Gate(texts[8 + i].c_str(), 6, 0, cells[8 + i].b));
  }
  int nDone = 0;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 8; ++i) {
      if (Call(SARN_OP_SINGLE_READ, &reads[i]) != 0) continue;
      ++nDone;
      EXPECT_EQ(cells[i].Half(), 0x1000 + 9 + i) << "register " << 10 + i << "\n" << testlog::Dump();
    }
    for (int i = 0; i < 4; ++i) {
      cells[8 + i].SetHalf(1);
      nDone += Call(SARN_OP_SINGLE_WRITE, &bits[i]) == 0;
    }
  }
  EXPECT_EQ(plc.nWrongWrites, 0) << testlog::Dump();
  EXPECT_GT(nDone, 0);
  const bool bLate = c.lateness > 1;
  int nAdvice = 0, nSettled = 0;
  for (const testlog::Line& line : testlog::Lines()) {
    nAdvice += line.iLevel == 32 && line.text.rfind("SARNMD> Controller 1 answered after about ", 0) == 0;
    nSettled += line.text.rfind("SARNMD> SettleLine()", 0) == 0;
  }
  EXPECT_EQ(nAdvice > 0, bLate) << testlog::Dump();
  EXPECT_EQ(nSettled > 0, bLate) << "a line answered in time is never waited on";
}

INSTANTIATE_TEST_SUITE_P(Controllers, SlowControllerTest,
                         ::testing::Values(SlowCase{"InTime", 0.1, false}, SlowCase{"Late1_2", 1.2, false},
                                           SlowCase{"Late1_5", 1.5, false}, SlowCase{"Late1_8", 1.8, false},
                                           SlowCase{"Late2_5", 2.5, false}, SlowCase{"OneAtATime1_2", 1.2, true},
                                           SlowCase{"OneAtATime1_5", 1.5, true}, SlowCase{"OneAtATime1_8", 1.8, true},
                                           SlowCase{"OneAtATime2_5", 2.5, true}),
                         [](const ::testing::TestParamInfo<SlowCase>& info) { return std::string(info.param.name); });

// A line that keeps time (9600 baud, 7E2), and a controller on it that
// sends some frames that answer nothing: an answer twice, an answer later
// than every recovery, the echo of a two-wire adapter. Holding register w
// (on the wire) holds 0x1000 + w, as for the slow controller above.
struct StrayCase {
  const char* name;
  int dupPercent = 0;       // answers sent twice
  uint32_t dupAfterMs = 0;  // the copy this long after the answer ended (0: right behind)
  int latePercent = 0;      // answers held back lateMs beyond their time
  uint32_t lateMs = 0;
  int lostPercent = 0;      // requests the controller does not answer
  uint32_t slowMs = 0;      // its work on each request, one at a time
  bool bEcho = false;       // the adapter echoes every request
  bool bEchoKey = false;    // and the driver is told so
  bool bRuleTells = false;  // every stray comes sooner than an answer could
};

void PrintTo(const StrayCase& c, std::ostream* os) {
  *os << c.name;
}

struct TimedController {
  const StrayCase& c;
  std::mt19937 rng{29};
  std::vector<std::pair<uint64_t, uint64_t>> busy;  // the controller's transmitter: [start, end)
  uint64_t workUntil = 0;
  int nStrays = 0;  // frames sent that answer nothing
  int nWrongWrites = 0;

  static uint64_t LineMs(size_t chars) { return (chars * 1146 + 999) / 1000; }
  bool Draw(int percent) { return std::uniform_int_distribution<int>(0, 99)(rng) < percent; }
  // Puts a frame on the line, a character at a time, in the first gap from
  // atMs on that its transmitter leaves; returns when it ends.
  uint64_t Transmit(uint64_t atMs, const std::string& frame) {
    uint64_t start = atMs;
    for (bool bMoved = true; bMoved;) {
      bMoved = false;
      for (const auto& [from, to] : busy) {
        if (start < to && start + LineMs(frame.size()) > from) start = to, bMoved = true;
      }
    }
    busy.emplace_back(start, start + LineMs(frame.size()));
    for (size_t k = 0; k < frame.size(); ++k) fakeplat::Schedule(start + LineMs(k + 1), frame.substr(k, 1));
    return start + LineMs(frame.size());
  }
  void Answer(const std::string& request, uint64_t atMs) {
    const uint64_t heard = atMs + LineMs(request.size());
    if (c.bEcho) {
      for (size_t k = 0; k < request.size(); ++k) fakeplat::Schedule(atMs + LineMs(k + 1), request.substr(k, 1));
    }
    nStrays += c.bEcho && !c.bEchoKey;
    const unsigned fn = std::stoul(request.substr(3, 2), nullptr, 16);
    const unsigned wire = std::stoul(request.substr(5, 4), nullptr, 16);
    char body[32];
    if (fn == 3) {
      snprintf(body, sizeof body, "010302%04X", 0x1000 + wire);
    } else {
      nWrongWrites += std::stoul(request.substr(9, 4), nullptr, 16) != ((0x1000 + wire) | 0x2);
      snprintf(body, sizeof body, "%s", request.substr(1, 12).c_str());
    }
    if (Draw(c.lostPercent)) return;
    workUntil = std::max(heard, workUntil) + c.slowMs;
    const bool bLate = Draw(c.latePercent);
    nStrays += bLate;
    const uint64_t end = Transmit(workUntil + (bLate ? c.lateMs : 0), Frame(body));
    if (Draw(c.dupPercent)) {
      ++nStrays;
      Transmit(end + c.dupAfterMs, Frame(body));
    }
  }
};

class StrayFrame : public LineRecoveryTest, public ::testing::WithParamInterface<StrayCase> {};

// Reads of registers 10 to 17 and bit updates of registers 20 to 23, 40
// rounds. Each stray costs at most the one read it lands in, none where the
// line's time tells it apart; no bit update writes another register's bits,
// and no write is confirmed by its echo.
TEST_P(StrayFrame, CostsAtMostTheReadItLandsIn) {
  const StrayCase& c = GetParam();
  if (c.bEchoKey) ctx.wFlags |= SARN_FLAG_ECHO;
  TimedController plc{c, std::mt19937{29}, {}, 0, 0, 0};
  fakeplat::SetResponder([&plc](const std::string& request, uint64_t atMs) { plc.Answer(request, atMs); });
  Cell cells[12];
  std::string texts[12];
  std::vector<GateTransfer> gates;
  for (int i = 0; i < 12; ++i) {
    texts[i] = i < 8 ? "01400" + std::to_string(10 + i) : "014002" + std::to_string(i - 8) + "1";
    gates.push_back(Gate(texts[i].c_str(), i < 8 ? 0 : 6, 0, cells[i].b));
  }
  int nWrong = 0, nReadsDone = 0, nWritesDone = 0;
  const int nRounds = c.lostPercent == 100 ? 2 : 40;
  for (int round = 0; round < nRounds; ++round) {
    for (int i = 0; i < 12; ++i) {
      cells[i].SetHalf(1);
      const int rc = Call(i < 8 ? SARN_OP_SINGLE_READ : SARN_OP_SINGLE_WRITE, &gates[i]);
      nWritesDone += i >= 8 && rc == 0;
      if (i >= 8 || rc != 0) continue;
      ++nReadsDone;
      nWrong += cells[i].Half() != 0x1000 + 9 + i;
    }
  }
  EXPECT_EQ(plc.nWrongWrites, 0) << testlog::Dump();
  EXPECT_LE(nWrong, c.bRuleTells ? 0 : plc.nStrays) << plc.nStrays << " strays\n" << testlog::Dump();
  if (c.lostPercent == 100) {
    EXPECT_EQ(nReadsDone + nWritesDone, 0) << "confirmed by the echo alone";
  } else {
    EXPECT_GT(nReadsDone, 8 * 40 / 2);
  }
}

constexpr uint32_t kBeyond = 5000;  // five reply time-outs

INSTANTIATE_TEST_SUITE_P(TimedLines, StrayFrame,
                         ::testing::Values(StrayCase{"Clean", 0, 0, 0, 0, 0, 0, false, false, true},
                                           StrayCase{"DuplicateRightBehind", 10, 0, 0, 0, 0, 0, false, false, true},
                                           StrayCase{"DuplicateLater", 10, 300, 0, 0, 0, 0, false, false, false},
                                           StrayCase{"LateBeyondRecovery", 0, 0, 3, kBeyond, 0, 0, false, false, false},
                                           StrayCase{"EchoWithoutTheKey", 0, 0, 0, 0, 0, 0, true, false, true},
                                           StrayCase{"EchoWithTheKey", 0, 0, 0, 0, 0, 0, true, true, true},
                                           StrayCase{"EchoOfASilentController", 0, 0, 0, 0, 100, 0, true, false, true},
                                           StrayCase{"SlowOneAtATimeWithLostAnswers", 0, 0, 0, 0, 30, 2500, false,
                                                     false, true}),
                         [](const ::testing::TestParamInfo<StrayCase>& info) { return std::string(info.param.name); });

// A host that closes and opens its port again after a failure must not take
// the failed transaction's late answer either: the close lets it come first.
TEST_F(LineRecoveryTest, APortOpenedAgainAfterAFailureStillLetsTheLateAnswerGoBy) {
  const struct {
    const char* name;
    std::function<void(LineRecoveryTest*)> reopen;
  } kWays[] = {
      {"CloseCom, ReOpenCom",
       [](LineRecoveryTest* t) {
         ASSERT_EQ(t->Call(SARN_OP_CLOSE_COM, nullptr), 0);
         ASSERT_EQ(t->Call(SARN_OP_REOPEN_COM, nullptr), 0);
       }},
      {"ChangeSarnParams",
       [](LineRecoveryTest* t) {
         DriverParams params{};
         snprintf(params.szPort, sizeof params.szPort, "COM1");
         ASSERT_EQ(t->Call(SARN_OP_CHANGE_SARN_PARAMS, &params), 0);
       }},
      {"ColdStart", [](LineRecoveryTest* t) { ASSERT_EQ(t->ColdStart("COM1"), 0); }},
  };
  for (const auto& way : kWays) {
    SCOPED_TRACE(way.name);
    Cell cell;
    GateTransfer first = Gate("0140010", 0, 0, cell.b);
    fakeplat::QueueNoReply();
    fakeplat::QueueNoReply();
    fakeplat::QueueReply(Frame("010302000A"), 1500);
    ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &first), 2);
    GateTransfer second = Gate("0140020", 0, 0, cell.b);
    testlog::Clear();
    way.reopen(this);
    fakeplat::QueueReply(Frame("0103020014"));
    EXPECT_EQ(Call(SARN_OP_SINGLE_READ, &second), 0) << testlog::Dump();
    EXPECT_EQ(cell.Half(), 0x14);
    EXPECT_EQ(testlog::Count(8, "SARNMD> SettleLine() 15 bytes discarded, line quiet"), 1) << testlog::Dump();
  }
}

// A transaction that needed a second attempt may have the first attempt's
// answer still coming; a transaction answered at once costs the next nothing.
// The first attempt's answer arrives just as its time-out ends and the
// retry is due: it answers the same question, and is taken rather than
// discarded before the retry (which the controller, working on one request
// at a time, would answer only after the last attempt gave up).
TEST_F(LineRecoveryTest, AnAnswerArrivingAsTheRetryIsDueIsTaken) {
  Cell cell;
  GateTransfer t = Gate("0140010", 0, 0, cell.b);
  ctx.iIfg = 5;  // the retry waits the gap: the answer comes in it
  fakeplat::QueueReply(Frame("010302000A"), kTimeoutMs + 2);
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &t), 0) << testlog::Dump();
  EXPECT_EQ(cell.Half(), 0x0A);
  EXPECT_EQ(fakeplat::CountCalls("Write"), 1);
}

TEST_F(LineRecoveryTest, OnlyATransactionWithAFailedAttemptUnsettlesTheLine) {
  Cell cell;
  GateTransfer t = Gate("0140010", 0, 0, cell.b);
  fakeplat::QueueReply(Frame("010302000A"));
  fakeplat::QueueReply(Frame("010302000A"));
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &t), 0);
  const uint64_t tStart = fakeplat::NowMs();
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &t), 0);
  EXPECT_LT(fakeplat::NowMs() - tStart, 100u) << "a settled line is not waited on";
  EXPECT_EQ(fakeplat::CountCalls("Write"), 2);

  // The first attempt's answer is garbled, the second's taken; then the
  // first attempt's true answer comes late.
  fakeplat::QueueReply(":0103##\r\n");
  fakeplat::QueueReply({{Frame("010302000A"), 0}, {Frame("010302000B"), 700}});
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &t), 0);
  EXPECT_EQ(cell.Half(), 0x0A);
  fakeplat::QueueReply(Frame("010302000C"));
  testlog::Clear();
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &t), 0) << testlog::Dump();
  EXPECT_EQ(cell.Half(), 0x0C);
  EXPECT_EQ(testlog::Count(8, "SARNMD> SettleLine() 15 bytes discarded, line quiet"), 1) << testlog::Dump();
}

// An exception reply answers its request: nothing is left in flight, and a
// gate the controller refuses costs the next transaction no wait.
TEST_F(LineRecoveryTest, AnExceptionReplyLeavesTheLineSettled) {
  Cell cell;
  GateTransfer bad = Gate("0149999", 0, 0, cell.b);
  for (int i = 0; i < 3; ++i) fakeplat::QueueReply(":0183027A\r\n");
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &bad), 1);
  GateTransfer good = Gate("0140010", 0, 0, cell.b);
  fakeplat::QueueReply(Frame("010302000A"));
  testlog::Clear();
  const uint64_t tStart = fakeplat::NowMs();
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &good), 0);
  EXPECT_LT(fakeplat::NowMs() - tStart, 100u);
  EXPECT_FALSE(testlog::Contains("SARNMD> SettleLine() 0 bytes discarded, line quiet")) << testlog::Dump();
}

// A line that keeps talking is waited on for three time-outs at most; the
// request then goes out and the checks decide.
TEST_F(LineRecoveryTest, ABusyLineIsWaitedOnForThreeTimeOutsAtMost) {
  Cell cell;
  GateTransfer t = Gate("0140010", 0, 0, cell.b);
  // A character every 350 ms: never a quiet second. The failed read takes
  // five of them as a reply head; the three windows of the next take eight.
  std::vector<fakeplat::Piece> chatter;
  for (uint32_t ms = 0; ms < 10 * kTimeoutMs; ms += 350) chatter.push_back({"#", ms});
  fakeplat::QueueNoReply();
  fakeplat::QueueNoReply();
  fakeplat::QueueReply(chatter);
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &t), 2);
  fakeplat::QueueReply(Frame("010302000A"));
  testlog::Clear();
  const uint64_t tStart = fakeplat::NowMs();
  Call(SARN_OP_SINGLE_READ, &t);
  EXPECT_EQ(testlog::Count(8, "SARNMD> SettleLine() 8 bytes discarded, line still busy, request sent anyway"), 1)
      << testlog::Dump();
  uint64_t tSent = 0;
  for (const fakeplat::Call& call : fakeplat::Calls()) {
    if (call.name == "Write" && call.atMs >= tStart) {
      tSent = call.atMs;
      break;
    }
  }
  EXPECT_GE(tSent, tStart + 3 * kTimeoutMs - 400);
  EXPECT_LE(tSent, tStart + 3 * kTimeoutMs);
}

// A port that fails while the line settles (a device unplugged) is said to
// have failed, not to be busy; the request then goes out and fails by itself.
TEST_F(LineRecoveryTest, ASettleEndedByAFailedPortSaysSo) {
  Cell cell;
  GateTransfer t = Gate("0140010", 0, 0, cell.b);
  for (int i = 0; i < 3; ++i) fakeplat::QueueNoReply();
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &t), 2);
  testlog::Clear();
  fakeplat::FailNext(fakeplat::Fail::Read);
  fakeplat::QueueReply(Frame("010302000A"));
  EXPECT_EQ(Call(SARN_OP_SINGLE_READ, &t), 0) << testlog::Dump();
  EXPECT_EQ(testlog::Count(8, "SARNMD> SettleLine() 0 bytes discarded, the port was closed or failed"), 1)
      << testlog::Dump();
}

// A two-wire adapter that hears its own transmission: with ECHO = YES the
// request's echo is read back and compared before the reply is read.
struct EchoCase {
  const char* name;
  bool bEchoKey;
  int32_t iOpCode;
  std::vector<std::vector<fakeplat::Piece>> answers;  // to successive requests
  int expected;
  int writes;
  const char* logged;  // "" for nothing in particular
};

void PrintTo(const EchoCase& c, std::ostream* os) {
  *os << c.name;
}

class EchoingLine : public LineRecoveryTest, public ::testing::WithParamInterface<EchoCase> {};

const std::string kReadRequest = Frame("010300090001");
const std::string kWriteRequest = Frame("010600090007");

TEST_P(EchoingLine, NeverTakesTheRequestForItsAnswer) {
  const EchoCase& c = GetParam();
  if (c.bEchoKey) ctx.wFlags |= SARN_FLAG_ECHO;
  for (const auto& pieces : c.answers) pieces.empty() ? fakeplat::QueueNoReply() : fakeplat::QueueReply(pieces);
  Cell cell;
  cell.SetHalf(7);
  GateTransfer t = Gate("0140010", 0, 0, cell.b);
  EXPECT_EQ(Call(c.iOpCode, &t), c.expected) << testlog::Dump();
  if (c.iOpCode == SARN_OP_SINGLE_READ && c.expected == 0) {
    EXPECT_EQ(cell.Half(), 0x0A);
  }
  EXPECT_EQ(Writes(), c.writes);
  if (*c.logged != '\0') {
    EXPECT_GE(testlog::Count(8, c.logged), 1) << testlog::Dump();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, EchoingLine,
    ::testing::Values(
        EchoCase{
            "ReadWithItsEcho", true, SARN_OP_SINGLE_READ, {{{kReadRequest, 0}, {Frame("010302000A"), 20}}}, 0, 1, ""},
        EchoCase{"WriteWithItsEcho", true, SARN_OP_SINGLE_WRITE, {{{kWriteRequest, 0}, {kWriteRequest, 20}}}, 0, 1, ""},
        // The echo alone: no controller performed the write.
        EchoCase{"WriteToASilentController",
                 true,
                 SARN_OP_SINGLE_WRITE,
                 {{{kWriteRequest, 0}}, {{kWriteRequest, 0}}, {{kWriteRequest, 0}}},
                 2,
                 3,
                 "SARNMD> Receive() #1: timeout (iRead=0)"},
        EchoCase{"EchoMissing",
                 true,
                 SARN_OP_SINGLE_READ,
                 {{}, {}, {}},
                 2,
                 3,
                 "SARNMD> Send() echo of the request not received (iRead=0)"},
        // A garbled echo fails its attempt like a send error; the next one
        // goes through.
        EchoCase{"EchoGarbled",
                 true,
                 SARN_OP_SINGLE_READ,
                 {{{Frame("010300090002"), 0}}, {{kReadRequest, 0}, {Frame("010302000A"), 20}}},
                 0,
                 2,
                 "SARNMD> Send() echo differs from the request sent"},
        // Without the key a read's own echo is no answer: it is refused, and
        // what the controller says after it is not taken either.
        EchoCase{"ReadWithoutTheKey",
                 false,
                 SARN_OP_SINGLE_READ,
                 {{{kReadRequest, 0}}, {{kReadRequest, 0}}, {{kReadRequest, 0}}},
                 2,
                 3,
                 ""}),
    [](const ::testing::TestParamInfo<EchoCase>& info) { return std::string(info.param.name); });

// After EndSarn on one context the module is stopped: another context's reads
// and writes fail unsent instead of answering 0 with nothing done, and its
// CloseCom still closes its port.
TEST_F(LineRecoveryTest, AfterEndSarnOtherContextsReadAndWriteNothing) {
  fakeplat::AddDevice("COM2");
  testsupport::DriverCalls other;
  ASSERT_EQ(other.ColdStart("COM2"), 0);
  ASSERT_EQ(Call(SARN_OP_END_SARN, nullptr), 0);
  testlog::Clear();
  const int nBefore = Writes();
  Cell cell;
  cell.SetHalf(0x5555);
  GateTransfer single = Gate("0140010", 0, 0, cell.b);
  GateTransfer block = Gate("0140010", 0, 1, cell.b);
  for (int32_t op : {SARN_OP_SINGLE_READ, SARN_OP_BLOCK_READ, SARN_OP_SINGLE_WRITE, SARN_OP_BLOCK_WRITE}) {
    EXPECT_EQ(other.Call(op, op == SARN_OP_SINGLE_READ || op == SARN_OP_SINGLE_WRITE ? &single : &block), 2)
        << "op " << op;
  }
  EXPECT_EQ(Writes(), nBefore);
  EXPECT_EQ(cell.Half(), 0x5555);
  EXPECT_EQ(testlog::Count(8, "SARNMD> SarnMain() driver stopped by EndSarn(), request not sent"), 4);
  // Its own port still closes, and nothing opens again: no descriptor is
  // left open until the process ends.
  EXPECT_EQ(fakeplat::OpenHandleCount(), 1);
  for (int32_t op : {SARN_OP_WARM_START, SARN_OP_CLOSE_COM, SARN_OP_REOPEN_COM, SARN_OP_END_SARN}) {
    EXPECT_EQ(other.Call(op, nullptr), 0) << "op " << op;
  }
  EXPECT_EQ(fakeplat::OpenHandleCount(), 0);
}

// A close that fails where the context gives its port up (ColdStart,
// ChangeSarnParams) must not keep the port for ever: the device can be
// opened again at once.
TEST_F(LineRecoveryTest, APortGivenUpAfterAFailedCloseIsFreedAgain) {
  for (int i = 0; i < 3; ++i) {
    fakeplat::FailNext(fakeplat::Fail::Close);
    EXPECT_EQ(ColdStart("COM1"), 0) << testlog::Dump();
    EXPECT_EQ(fakeplat::OpenHandleCount(), 1);
  }
  fakeplat::FailNext(fakeplat::Fail::Close);
  DriverParams params{};
  snprintf(params.szPort, sizeof params.szPort, "COM1");
  params.line = testsupport::kDefaultLine;
  EXPECT_EQ(Call(SARN_OP_CHANGE_SARN_PARAMS, &params), 0) << testlog::Dump();
  EXPECT_EQ(fakeplat::OpenHandleCount(), 1);
}

}  // namespace
