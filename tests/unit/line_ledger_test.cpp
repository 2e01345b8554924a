// The ledger of answers in flight: which frames pay a request's answer, how
// long the controller is taken to need, and when it is called late.
#include "link/line_ledger.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver_fixture.h"

namespace {

using testdrv::Frame;

constexpr uint32_t kT = 100;  // reply time-out, ms

// A request sent (bytes empty: nFrames owed; -1: the read request kRead,
// whose echo answers nothing) or bytes read, at atMs.
struct Event {
  uint64_t atMs;
  std::string bytes;
  int nFrames = 1;
};

struct LedgerCase {
  const char* name;
  std::vector<Event> events;
  int owed;               // answers still owed afterwards
  bool bOwes;             // with a frame under way
  uint32_t observedMs;    // longest delay seen
  uint32_t lateMs;        // reported late answer, 0 for none
  bool bSettling = true;  // read while settling: late answers are the ledger's to note
};

void PrintTo(const LedgerCase& c, std::ostream* os) {
  *os << c.name;
}

class LedgerTest : public ::testing::TestWithParam<LedgerCase> {};

const std::string kAnswer = Frame("0103020005");
const std::string kRead = Frame("010300090001");

TEST_P(LedgerTest, CountsWhatTheLineOwes) {
  const LedgerCase& c = GetParam();
  sarn::LineLedger ledger;
  sarn::LedgerStart(&ledger, kT);
  ledger.bSettling = c.bSettling;
  for (const Event& e : c.events) {
    if (e.bytes.empty() && e.nFrames < 0) {
      sarn::LedgerNoteSent(&ledger, e.atMs, 1, kRead.data(), static_cast<uint32_t>(kRead.size()));
    } else if (e.bytes.empty()) {
      sarn::LedgerNoteSent(&ledger, e.atMs, e.nFrames);
    } else {
      sarn::LedgerNoteInput(&ledger, e.bytes.data(), static_cast<uint32_t>(e.bytes.size()), e.atMs);
    }
  }
  EXPECT_EQ(ledger.nOwed, c.owed);
  EXPECT_EQ(sarn::LedgerOwes(&ledger), c.bOwes);
  EXPECT_EQ(ledger.dwObservedMs, c.observedMs);
  uint32_t dwLate = 0;
  unsigned uController = 0;
  EXPECT_EQ(sarn::LedgerTakeLate(&ledger, &dwLate, &uController), c.lateMs != 0);
  EXPECT_EQ(dwLate, c.lateMs);
  EXPECT_EQ(uController, c.lateMs != 0 ? 1u : 0u);
  EXPECT_FALSE(sarn::LedgerTakeLate(&ledger, &dwLate, &uController)) << "reported once";
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LedgerTest,
    ::testing::Values(
        LedgerCase{"AnswerInTime", {{0, ""}, {30, kAnswer}}, 0, false, 30, 0},
        LedgerCase{"LowerCaseDigits", {{0, ""}, {30, ":01030200fffb\r\n"}}, 0, false, 30, 0},
        LedgerCase{"SplitAcrossReads", {{0, ""}, {10, ":01030"}, {40, "20005F5\r\n"}}, 0, false, 40, 0},
        // Noise, or the true answer garbled: the answer may still come.
        LedgerCase{"GarbledFramePaysNothing", {{0, ""}, {30, ":0103020005F6\r\n"}}, 1, true, 30, 0},
        LedgerCase{"FrameStartedAgain", {{0, ""}, {10, ":0103"}, {30, kAnswer}}, 0, false, 30, 0},
        LedgerCase{"FrameUnderWay", {{0, ""}, {10, ":010302"}}, 1, true, 0, 0},
        LedgerCase{"NoiseOutsideFrames", {{0, ""}, {10, "#\r\n##"}}, 1, true, 0, 0},
        LedgerCase{"NobodyAsked", {{10, kAnswer}}, 0, false, 0, 0},
        // An adapter that echoes without the line being known to: the read
        // request's echo pays nothing, the answer after it does.
        LedgerCase{"UnannouncedEchoOfARead", {{0, "", -1}, {5, kRead}}, 1, true, 5, 0},
        LedgerCase{"UnannouncedEchoThenAnswer", {{0, "", -1}, {5, kRead}, {50, kAnswer}}, 0, false, 50, 0},
        // The first attempt's answer, discarded: its own delay. Taken by the
        // transaction, it is the transaction's to report.
        LedgerCase{"AnswerAfterARetry", {{0, ""}, {100, ""}, {150, kAnswer}}, 1, true, 150, 150},
        LedgerCase{"AnswerTakenAfterARetry", {{0, ""}, {100, ""}, {150, kAnswer}}, 1, true, 150, 0, false},
        // Two attempts lost: the answer is the third's, 150 ms late, not 350.
        LedgerCase{"AnswerAfterTwoLost", {{0, ""}, {100, ""}, {200, ""}, {350, kAnswer}}, 2, true, 350, 150},
        LedgerCase{"DepthKeepsTheLatest",
                   {{0, "", sarn::kLedgerDepth + 4}, {50, kAnswer}},
                   sarn::kLedgerDepth - 1,
                   true,
                   50,
                   0}),
    [](const ::testing::TestParamInfo<LedgerCase>& info) { return std::string(info.param.name); });

// The quiet wait: the controller's pace (the reply time-out, or the longest
// delay seen) with a quarter more. Settling forgets what is owed, not the
// pace; answers in time let it fade.
TEST(LedgerQuietTest, WaitsForTheSlowestAnswerSeen) {
  sarn::LineLedger ledger;
  sarn::LedgerStart(&ledger, kT);
  EXPECT_EQ(sarn::LedgerQuietMs(&ledger), kT + kT / 4);
  sarn::LedgerNoteSent(&ledger, 0, 2);
  sarn::LedgerNoteInput(&ledger, kAnswer.data(), static_cast<uint32_t>(kAnswer.size()), 400);
  EXPECT_EQ(sarn::LedgerQuietMs(&ledger), 500u);
  sarn::LedgerSettled(&ledger);
  EXPECT_FALSE(sarn::LedgerOwes(&ledger));
  EXPECT_EQ(sarn::LedgerPaceMs(&ledger), 400u);
  sarn::LedgerNoteSent(&ledger, 1000, 1);
  sarn::LedgerNoteInput(&ledger, kAnswer.data(), static_cast<uint32_t>(kAnswer.size()), 1050);
  EXPECT_EQ(sarn::LedgerPaceMs(&ledger), 300u);
}

}  // namespace
