// Budgets of one transaction on the line, counted in seam calls of the
// scripted fake platform rather than timed:
// - a reply is read in at most three reads of the port layer, each for the
//   exact count still missing, however the characters trickle in;
// - the flush before a send costs one queue query when nothing waits;
// - RTS is lowered no earlier than the platform reports the transmitter
//   empty, and right after the 1 ms wait that follows that report.
// The port layer keeps asking for exact counts; on POSIX the platform serves
// them from its read-ahead, so a reply that arrived whole costs one read(2):
// the system calls of a transaction (four for a single read) are counted on
// a real pty in tests/pty/posix_serial_test.cpp. No heap allocation during
// transactions is the budget of tests/alloc/alloc_test.cpp (malloc
// interposed, driver on a real pty).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/driver_fixture.h"

namespace {

using testdrv::Frame;

// A reply that arrives one character per millisecond, as on a slow line.
std::vector<fakeplat::Piece> Trickle(const std::string& reply) {
  std::vector<fakeplat::Piece> pieces;
  for (size_t i = 0; i < reply.size(); ++i) pieces.push_back({reply.substr(i, 1), static_cast<uint32_t>(i + 1)});
  return pieces;
}

std::string Hex(int nChars, char c = '0') {
  return std::string(static_cast<size_t>(nChars), c);
}

// The counts asked by the Read calls that follow each Write (the reading of
// its reply): one list per request. The flush before the next request ends
// the list.
std::vector<std::vector<int64_t>> ReadsPerRequest() {
  std::vector<std::vector<int64_t>> perRequest;
  bool bReply = false;
  for (const auto& call : fakeplat::Calls()) {
    if (call.name == "Write") {
      perRequest.emplace_back();
      bReply = true;
    } else if (call.name == "Read" && bReply) {
      perRequest.back().push_back(call.arg);
    } else {
      bReply = false;
    }
  }
  return perRequest;
}

struct ReadBudgetCase {
  const char* what;
  const char* gate;
  int dataType;
  int count;  // 0: a single gate
  int op;
  std::string reply;
  std::vector<int64_t> reads;  // counts asked of the port, in order
  int requests;                // requests sent (retries included)
  bool bTrickle = true;        // one character a millisecond, else all at once
};

class BudgetTest : public testdrv::DriverFixture {};
class ReadBudget : public BudgetTest, public ::testing::WithParamInterface<ReadBudgetCase> {};

TEST_P(ReadBudget, ReplyReadInAtMostThreeExactReads) {
  const ReadBudgetCase& c = GetParam();
  uint8_t buffer[512] = {};
  GateTransfer t = Gate(c.gate, c.dataType, c.count, buffer);
  for (int i = 0; i < c.requests; ++i) {
    if (c.bTrickle) {
      fakeplat::QueueReply(Trickle(c.reply));
    } else {
      fakeplat::QueueReply(c.reply);
    }
  }
  Call(c.op, &t);
  const auto perRequest = ReadsPerRequest();
  ASSERT_EQ(static_cast<int>(perRequest.size()), c.requests) << testlog::Dump();
  for (const auto& reads : perRequest) {
    EXPECT_LE(reads.size(), 3u);
    EXPECT_EQ(reads, c.reads);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Transactions, ReadBudget,
    ::testing::Values(
        ReadBudgetCase{"register", "0140001", 0, 0, SARN_OP_SINGLE_READ, Frame("010302ABCD"), {5, 2, 8}, 1},
        ReadBudgetCase{"coil", "0100001", 6, 0, SARN_OP_SINGLE_READ, Frame("01010101"), {5, 2, 6}, 1},
        ReadBudgetCase{"32-bit value", "0180001", 4, 0, SARN_OP_SINGLE_READ, Frame("0103041234ABCD"), {5, 2, 12}, 1},
        ReadBudgetCase{
            "125 registers", "0140001", 0, 125, SARN_OP_BLOCK_READ, Frame("0103FA" + Hex(500)), {5, 2, 504}, 1},
        ReadBudgetCase{
            "2000 coils", "0100001", 6, 2000, SARN_OP_BLOCK_READ, Frame("0101FA" + Hex(500)), {5, 2, 504}, 1},
        ReadBudgetCase{"register write echo", "0140001", 0, 0, SARN_OP_SINGLE_WRITE, Frame("010600000000"), {5, 12}, 1},
        ReadBudgetCase{"coil write echo", "0100001", 6, 0, SARN_OP_SINGLE_WRITE, Frame("010500000000"), {5, 12}, 1},
        ReadBudgetCase{"block write echo", "0140001", 0, 120, SARN_OP_BLOCK_WRITE, Frame("011000000078"), {5, 12}, 1},
        ReadBudgetCase{
            "exception to a read, three attempts", "0140001", 0, 0, SARN_OP_SINGLE_READ, Frame("018302"), {5, 6}, 3},
        ReadBudgetCase{
            "exception to a write, ten attempts", "0140001", 0, 0, SARN_OP_SINGLE_WRITE, Frame("018601"), {5, 6}, 10},
        ReadBudgetCase{
            "reply of another function", "0140001", 0, 0, SARN_OP_SINGLE_READ, Frame("010402ABCD"), {5}, 10, false}),
    [](const auto& info) {
      std::string name = info.param.what;
      for (char& ch : name)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

TEST_F(BudgetTest, FlushBeforeSendIsOneQueueQueryWhenNothingWaits) {
  uint8_t cell[4] = {};
  GateTransfer t = Gate("0140001", 0, 0, cell);
  for (auto [op, reply] :
       {std::pair{SARN_OP_SINGLE_READ, Frame("010302ABCD")}, std::pair{SARN_OP_SINGLE_WRITE, Frame("01060000ABCD")}}) {
    const size_t nBefore = fakeplat::Calls().size();
    fakeplat::QueueReply(reply);
    ASSERT_EQ(Call(op, &t), 0) << testlog::Dump();
    const auto calls = fakeplat::Calls();
    std::vector<std::string> names;
    for (size_t i = nBefore; i < calls.size() && calls[i].name != "Write"; ++i) names.push_back(calls[i].name);
    EXPECT_EQ(names, std::vector<std::string>{"GetQueues"}) << "op " << op;
  }
}

TEST_F(BudgetTest, StaleInputIsDrainedInOneReadAndTheQuietLineSeenInAnother) {
  // For contrast: with characters waiting, the flush reads them all at once,
  // then once more to see the line quiet before the request goes out.
  uint8_t cell[4] = {};
  GateTransfer t = Gate("0140001", 0, 0, cell);
  fakeplat::InjectInput(Frame("010302ABCD") + Frame("010302ABCD"));
  fakeplat::QueueReply(Frame("0103020001"));
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &t), 0);
  std::vector<int64_t> flushReads;
  for (const auto& call : fakeplat::Calls()) {
    if (call.name == "Write") break;
    if (call.name == "Read") flushReads.push_back(call.arg);
  }
  EXPECT_EQ(flushReads, (std::vector<int64_t>{512, 512}));
}

struct RtsCase {
  const char* what;
  std::vector<uint32_t> outQueue;  // cbOutQue of the queries after the flush's
};

class RtsBudget : public BudgetTest, public ::testing::WithParamInterface<RtsCase> {};

TEST_P(RtsBudget, LoweredRightAfterTheTransmitterIsReportedEmpty) {
  const RtsCase& c = GetParam();
  ctx.cRtsCts = 1;
  uint8_t cell[4] = {};
  GateTransfer t = Gate("0140001", 0, 0, cell);
  std::vector<uint32_t> sequence{0};  // the flush's query
  sequence.insert(sequence.end(), c.outQueue.begin(), c.outQueue.end());
  fakeplat::SetOutQueueSequence(sequence);
  fakeplat::QueueReply(Frame("010302ABCD"), 50);
  const size_t nSetup = fakeplat::Calls().size();
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &t), 0) << testlog::Dump();

  const auto all = fakeplat::Calls();
  std::vector<fakeplat::Call> calls(all.begin() + static_cast<std::ptrdiff_t>(nSetup), all.end());
  size_t iWrite = 0;
  while (iWrite < calls.size() && calls[iWrite].name != "Write") ++iWrite;
  ASSERT_LT(iWrite, calls.size());

  // After the write: one query and a 1 ms sleep for every report, the last
  // report 0 (the fake reports 0 once its sequence is used up), then CLRRTS
  // at once.
  const size_t nQueries = c.outQueue.empty() ? 1 : c.outQueue.size() + (c.outQueue.back() != 0 ? 1 : 0);
  std::vector<std::string> expected;
  for (size_t i = 0; i < nQueries; ++i) {
    expected.push_back("GetQueues");
    expected.push_back("Sleep1");
  }
  expected.push_back("SetRts0");
  expected.push_back("Read");
  std::vector<std::string> seen;
  for (size_t i = iWrite + 1; i < calls.size() && seen.size() < expected.size(); ++i) {
    const auto& call = calls[i];
    seen.push_back(call.name + (call.name == "Sleep" || call.name == "SetRts" ? std::to_string(call.arg) : ""));
  }
  EXPECT_EQ(seen, expected);
  // RTS goes down 1 ms after the empty report, no later: virtual time moves
  // only in the sleeps.
  const auto& clr = calls[iWrite + 2 * nQueries + 1];
  EXPECT_EQ(clr.atMs, calls[iWrite].atMs + nQueries);
  EXPECT_EQ(calls[iWrite - 1].name + std::to_string(calls[iWrite - 1].arg), "SetRts1");
}

INSTANTIATE_TEST_SUITE_P(Queues, RtsBudget,
                         ::testing::Values(RtsCase{"empty_at_once", {}}, RtsCase{"draining", {17, 9, 2, 0}},
                                           RtsCase{"empty_on_the_third_query", {5, 1}}),
                         [](const auto& info) { return std::string(info.param.what); });

}  // namespace
