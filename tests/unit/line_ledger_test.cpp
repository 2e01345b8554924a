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
// whose echo answers nothing; -2: the single write kWrite, whose echo is its
// answer's twin) or bytes read, at atMs.
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
  uint32_t charUs = 0;    // the line's character time; 0: unknown
  uint32_t strays = 0;    // frames found to be no answer, echoes apart
  bool bKeepsTime = false;
};

void PrintTo(const LedgerCase& c, std::ostream* os) {
  *os << c.name;
}

class LedgerTest : public ::testing::TestWithParam<LedgerCase> {};

const std::string kAnswer = Frame("0103020005");
const std::string kRead = Frame("010300090001");
const std::string kWrite = Frame("010600090005");
// 9600 baud, 7E2: a request of 17 characters and its answer of 15 take 36.7 ms.
constexpr uint32_t kChar9600 = 1146;

// Four requests answered no sooner than the line allows, from 0 on: the line
// keeps time afterwards. More events follow from 1000 on.
std::vector<Event> Timed(std::vector<Event> more) {
  std::vector<Event> events;
  for (uint64_t t = 0; t < 400; t += 100) {
    events.push_back({t, ""});
    events.push_back({t + 40, kAnswer});
  }
  events.insert(events.end(), more.begin(), more.end());
  return events;
}

TEST_P(LedgerTest, CountsWhatTheLineOwes) {
  const LedgerCase& c = GetParam();
  sarn::LineLedger ledger;
  sarn::LedgerStart(&ledger, kT, c.charUs);
  ledger.bSettling = c.bSettling;
  for (const Event& e : c.events) {
    if (e.bytes.empty() && e.nFrames < 0) {
      const std::string& sent = e.nFrames == -1 ? kRead : kWrite;
      sarn::LedgerNoteSent(&ledger, e.atMs, static_cast<uint32_t>(sent.size()), sent.data(),
                           e.nFrames == -1 ? sarn::SentKind::kRead : sarn::SentKind::kWrite);
    } else if (e.bytes.empty()) {
      for (int i = 0; i < e.nFrames; ++i) sarn::LedgerNoteSent(&ledger, e.atMs, 17);
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
  // Reported or not, the late answer stays among the controller's facts.
  const sarn::ControllerFacts* pFacts = sarn::LedgerControllerFacts(&ledger, 1);
  EXPECT_EQ(pFacts != nullptr ? pFacts->dwLateMs : 0u, c.lateMs);
  EXPECT_EQ(ledger.nStrays, c.strays);
  EXPECT_EQ(ledger.bKeepsTime, c.bKeepsTime);
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
        LedgerCase{"NobodyAsked", {{10, kAnswer}}, 0, false, 0, 0, true, 0, 1},
        // An adapter that echoes without the line being known to: the read
        // request's echo pays nothing, the answer after it does.
        LedgerCase{"UnannouncedEchoOfARead", {{0, "", -1}, {5, kRead}}, 1, true, 0, 0},
        LedgerCase{"UnannouncedEchoThenAnswer", {{0, "", -1}, {5, kRead}, {50, kAnswer}}, 0, false, 50, 0},
        // The first attempt's answer, discarded: its own delay. Taken by the
        // transaction, it is the transaction's to report.
        LedgerCase{"AnswerAfterARetry", {{0, ""}, {100, ""}, {150, kAnswer}}, 1, true, 150, 150},
        LedgerCase{"AnswerTakenAfterARetry", {{0, ""}, {100, ""}, {150, kAnswer}}, 1, true, 150, 0, false},
        // Two attempts lost: the answer is the third's, 150 ms late, not 350.
        LedgerCase{"AnswerAfterTwoLost", {{0, ""}, {100, ""}, {200, ""}, {350, kAnswer}}, 2, true, 350, 150},
        // The line's time: learned from answers that came no sooner than
        // it allows; then a frame sooner than that is a stray.
        LedgerCase{"LearnsLineTime", Timed({}), 0, false, 30, 0, true, kChar9600, 0, true},
        LedgerCase{"NoLineTimeOnAPseudoTerminal",
                   {{0, ""}, {1, kAnswer}, {10, ""}, {11, kAnswer}, {20, ""}, {21, kAnswer}, {30, ""}, {31, kAnswer}},
                   0,
                   false,
                   1,
                   0,
                   true,
                   kChar9600,
                   0,
                   false},
        LedgerCase{"DuplicateRightBehind", Timed({{1000, ""}, {1017, kAnswer}}), 1, true, 30, 0, true, kChar9600, 1,
                   true},
        LedgerCase{"DuplicateThenTheAnswer", Timed({{1000, ""}, {1017, kAnswer}, {1040, kAnswer}}), 0, false, 40, 0,
                   true, kChar9600, 1, true},
        // An answer the driver gave up on, later than the recovery, that
        // comes as the next request is still leaving.
        LedgerCase{"LateAnswerWhileLeaving", Timed({{1000, ""}, {1010, kAnswer}}), 1, true, 30, 0, true, kChar9600, 1,
                   true},
        // A write's echo, while the request is still leaving: no answer,
        // and the line is known to echo.
        LedgerCase{"EchoOfAWriteWhileLeaving", Timed({{1000, "", -2}, {1020, kWrite}}), 1, true, 30, 0, true, kChar9600,
                   0, true},
        LedgerCase{"WriteAnsweredAfterItsEcho", Timed({{1000, "", -2}, {1020, kWrite}, {1045, kWrite}}), 0, false, 45,
                   0, true, kChar9600, 0, true},
        // A retried write's first answer, late, as the retry is leaving: taken
        // for the retry's echo, it does not teach that the line echoes, so
        // the next write's answer in time is its answer.
        LedgerCase{
            "LateAnswerToTheSameWrite",
            Timed({{1000, "", -2}, {1100, "", -2}, {1110, kWrite}, {1145, kWrite}, {1200, "", -2}, {1245, kWrite}}), 1,
            true, 145, 0, false, kChar9600, 0, true},
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
  sarn::LedgerNoteSent(&ledger, 0, 17);
  sarn::LedgerNoteSent(&ledger, 0, 17);
  sarn::LedgerNoteInput(&ledger, kAnswer.data(), static_cast<uint32_t>(kAnswer.size()), 400);
  EXPECT_EQ(sarn::LedgerQuietMs(&ledger), 500u);
  sarn::LedgerSettled(&ledger);
  EXPECT_FALSE(sarn::LedgerOwes(&ledger));
  EXPECT_EQ(sarn::LedgerPaceMs(&ledger), 400u);
  sarn::LedgerNoteSent(&ledger, 1000, 17);
  sarn::LedgerNoteInput(&ledger, kAnswer.data(), static_cast<uint32_t>(kAnswer.size()), 1050);
  EXPECT_EQ(sarn::LedgerPaceMs(&ledger), 300u);
  // The controller's own longest delay does not fade, and is its alone.
  const sarn::ControllerFacts* pFacts = sarn::LedgerControllerFacts(&ledger, 1);
  ASSERT_NE(pFacts, nullptr);
  EXPECT_EQ(pFacts->dwLongestMs, 400u);
  EXPECT_EQ(sarn::LedgerControllerFacts(&ledger, 2), nullptr);
}

}  // namespace
