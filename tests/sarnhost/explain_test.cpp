// sarnhost's words for the driver's log: the replies of another request,
// which only a late answer on a shared line produces and so no run against
// the simulator shows, are explained from their log lines.
#include "explain.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gate_words.h"
#include "port_check.h"

namespace {

struct ExplainCase {
  const char* name;
  std::vector<std::string> lines;  // the driver's log of the transaction
  int32_t iResult;
  const char* shortText;
  const char* longText;
};

void PrintTo(const ExplainCase& c, std::ostream* os) {
  *os << c.name;
}

class ExplainTest : public ::testing::TestWithParam<ExplainCase> {};

TEST_P(ExplainTest, GivesTheReasonInWords) {
  const ExplainCase& c = GetParam();
  std::vector<sarnhost::LogLine> lines;
  for (const std::string& text : c.lines) lines.push_back({8, text, text});
  sarnhost::TransactionFacts facts;
  facts.iPlcAddr = 1;
  const sarnhost::Outcome out = sarnhost::Explain(c.iResult, lines, facts);
  EXPECT_EQ(out.shortText, c.shortText);
  EXPECT_EQ(out.longText, c.longText);
  EXPECT_FALSE(out.bAnswered);
}

INSTANTIATE_TEST_SUITE_P(
    OtherRequest, ExplainTest,
    ::testing::Values(ExplainCase{"ReadReplyOfAnotherByteCount",
                                  {"SARNMD> DoRead() reply with byte count 250, request asked for 8"},
                                  1,
                                  "reply of another request",
                                  "a reply of another request came (byte count 250, asked for 8)"},
                      ExplainCase{"WriteEchoOfAnotherRequest",
                                  {"SARNMD> DoWrite() echo of another request: address 1Ah, value or quantity FF00h"},
                                  1,
                                  "reply of another request",
                                  "the write's answer did not repeat the request (it said address 0x001A, value or "
                                  "quantity 0xFF00): garbled on the line, or the answer to another request: line "
                                  "noise, or a controller whose parity or data bits differ from the line's (check its "
                                  "settings and the wiring)"},
                      ExplainCase{"CountedAsAttempts",
                                  {"SARNMD> DoRead() reply with byte count 4, request asked for 2",
                                   "SARNMD> Wrong receive (still 9 tries)",
                                   "SARNMD> DoRead() reply with byte count 6, request asked for 2"},
                                  1,
                                  "reply of another request",
                                  "a reply of another request came (byte count 6, asked for 2) (2 attempts)"},
                      // No controller answers from 0: a garbled address is logged as 0h.
                      ExplainCase{"GarbledControllerAddress",
                                  {"SARNMD> Wrong plc addr.0h received"},
                                  1,
                                  "garbled controller address",
                                  "the reply's controller address was garbled: line noise, or a controller whose "
                                  "parity or data bits differ from the line's (check its settings and the wiring)"},
                      ExplainCase{"ReplyFromAnotherController",
                                  {"SARNMD> Wrong plc addr.1Fh received"},
                                  1,
                                  "reply from controller 31",
                                  "a reply came from controller 31 instead of 1"}),
    [](const ::testing::TestParamInfo<ExplainCase>& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// Permission advice from the device's own owner, group and mode: joining a
// group only helps where that group may read and write, and never root's.
TEST(PermissionAdvice, FollowsOwnerGroupAndMode) {
  struct Case {
    uid_t uid;
    gid_t gid;
    mode_t mode;
    const char* says;
    const char* never;
  } cases[] = {
      {0, 0, 0600, "only root may open it", "usermod"},
      {0, 0, 0660, "(owner root, group root, mode 0660): only root may open it", "usermod"},
      {0, 20, 0640, "only root may open it", "usermod"},
      {0, 20, 0660, "add yourself to the group", "only root"},
  };
  for (const Case& c : cases) {
    struct stat st {};
    st.st_uid = c.uid;
    st.st_gid = c.gid;
    st.st_mode = S_IFCHR | c.mode;
    const std::string advice = sarnhost::PermissionAdvice("/dev/ttyS9", st);
    EXPECT_NE(advice.find(c.says), std::string::npos) << advice;
    EXPECT_EQ(advice.find(c.never), std::string::npos) << advice;
    EXPECT_EQ(advice.find("join root"), std::string::npos) << advice;
  }
}

}  // namespace

namespace {

// The advice on a controller slower than the reply time-out: the slowest
// answer the driver reported, and a time-out half as much again.
TEST(LateAnswerAdviceTest, NamesTheSlowestAnswerAndATimeOutAboveIt) {
  const struct {
    std::vector<std::string> lines;
    const char* advice;  // "" for none
  } kCases[] = {
      {{"SARNMD> SettleLine() 15 bytes discarded, line quiet"}, ""},
      {{"SARNMD> Controller 1 answered after about 1500 ms, longer than the reply time-out of 1000 ms: raise the "
        "time-out"},
       "controller 1 answered after about 1500 ms, later than the reply time-out of 1000 ms: each late answer costs "
       "the next request a wait; give a longer time-out, e.g. -o 2.3"},
      {{"SARNMD> Controller 7 answered after about 1210 ms, longer than the reply time-out of 1000 ms: raise the "
        "time-out",
        "SARNMD> Controller 7 answered after about 2480 ms, longer than the reply time-out of 1000 ms: raise the "
        "time-out"},
       "controller 7 answered after about 2480 ms, later than the reply time-out of 1000 ms: each late answer costs "
       "the next request a wait; give a longer time-out, e.g. -o 3.8"},
  };
  for (const auto& c : kCases) {
    std::vector<sarnhost::LogLine> lines;
    for (const std::string& text : c.lines) lines.push_back({32, text, text});
    EXPECT_EQ(sarnhost::LateAnswerAdvice(lines, 100), c.advice);
  }
}

}  // namespace

namespace {

// After a failed ColdStart: the system's words win over the driver's own
// lines, and a device that is no character device is named as such.
TEST(PortFailureReasonTest, GivesTheSystemsWordsFirst) {
  const struct {
    std::vector<std::string> lines;
    const char* reason;  // "" for none
  } kCases[] = {
      {{"SARNMD> Port /dev/ttyS9 not opened, the system says: open /dev/ttyS9: Input/output error (EIO)",
        "SARNMD> ColdStart() error opening COM port"},
       "open /dev/ttyS9: Input/output error (EIO)"},
      {{"SARNMD> Port pts is not a character device", "SARNMD> ColdStart() error opening COM port"},
       "pts is not a character device"},
      {{"SARNMD> ReadIntFile() no initfile found, defaults used", "SARNMD> ColdStart() error opening COM port"},
       "ColdStart() error opening COM port"},
      // A message of another form, though it mentions an error, is no reason.
      {{"SARNMD> Port names an error not opened"}, ""},
  };
  for (const auto& c : kCases) {
    std::vector<sarnhost::LogLine> lines;
    for (const std::string& text : c.lines) lines.push_back({32, text, text});
    EXPECT_EQ(sarnhost::PortFailureReason(lines), c.reason);
  }
}

}  // namespace

namespace {

// The GTC memory map in sarnhost's words, each message of the driver's
// parser or transactions with the words it stands for.
TEST(GtcWordsTest, NameTheMemoryMap) {
  const struct {
    const char* line;
    const char* words;
  } kCases[] = {
      {"SARNMD> Parse() Illegal variable nr. Must be between 199 and 512",
       "GTC variables (memory type 0) are 200 to 511"},
      {"SARNMD> Parse() Illegal variable nr.",
       "GTC inputs (memory type 1) are 1 to 199 and 801 to 1199 without a last digit 9, and 200 to 719"},
      {"SARNMD> Parse() Illegal memory type for GTC in gate '0120001'",
       "character 3 is not the memory type (GTC: 0 variables 200 to 511, 1 inputs, 3 register areas)"},
      {"SARNMD> BlockParse() Startaddress must be 200", "a block of GTC variables starts at 200 (0100200)"},
      {"SARNMD> BlockParse() blocklength is not 42", "GTC register area 2 is read whole: a block of 42"},
      {"SARNMD> BlockParse() blocklength is not 64", "GTC register areas 1 and 3 are read whole: a block of 64"},
  };
  sarnhost::Gate gate;
  gate.text = "0100201";
  for (const auto& c : kCases) {
    EXPECT_EQ(sarnhost::GateRefusal({{32, c.line, c.line}}, gate, sarnhost::GateSetting{true, false}), c.words);
  }
  sarnhost::TransactionFacts facts;
  facts.bGtc = true;
  const sarnhost::Outcome out =
      sarnhost::Explain(1, {{8, "SARNMD> SingleWrite() not allowed for types different from 0", ""}}, facts);
  EXPECT_EQ(out.longText, "not writable: with GTC only memory type 0 (the variables 200 to 511) is written");
}

}  // namespace
