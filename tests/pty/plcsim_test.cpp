// The controller simulator on a real pseudo-terminal: requests written from
// the terminal side as a driver would, replies read back byte for byte.
#include "plcsim.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/ser2net_gateway.h"

namespace {

using plcsim::Fault;
using plcsim::FaultKind;
using plcsim::MakeFrame;
using Clock = std::chrono::steady_clock;

int MsSince(Clock::time_point t) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}
double ExactMsSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// The terminal side of the line, opened like a driver opens its port.
class Line {
 public:
  explicit Line(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    termios tio{};
    if (fd_ >= 0 && tcgetattr(fd_, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(fd_, TCSANOW, &tio);
    }
  }
  explicit Line(int fd) : fd_(fd) {}
  ~Line() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  void Send(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = write(fd_, text.data() + done, text.size() - done);
      if (n > 0) done += static_cast<size_t>(n);
      if (n <= 0) {
        pollfd p{fd_, POLLOUT, 0};
        poll(&p, 1, 100);
      }
    }
  }

  // Reads until the text read, after what was read before, ends with `end`
  // or timeoutMs have passed.
  std::string ReadUntil(const std::string& end, int timeoutMs = 2000, std::string got = "") {
    auto start = Clock::now();
    while (got.size() < end.size() || got.compare(got.size() - end.size(), end.size(), end) != 0) {
      int left = timeoutMs - MsSince(start);
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, left) <= 0) continue;
      char buf[512];
      ssize_t n = read(fd_, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }
  // Reads what comes first, waiting up to timeoutMs.
  std::string ReadSome(int timeoutMs = 2000) {
    pollfd p{fd_, POLLIN, 0};
    char buf[512];
    ssize_t n = poll(&p, 1, timeoutMs) > 0 ? read(fd_, buf, sizeof buf) : 0;
    return std::string(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
  }

 private:
  int fd_;
};

class PlcSimTest : public ::testing::Test {
 protected:
  void Start(plcsim::Options options = {}) {
    options_ = options;
    sim_ = std::make_unique<plcsim::Simulator>(options);
    path_ = sim_->OpenPty();
    ASSERT_FALSE(path_.empty());
    line_ = std::make_unique<Line>(path_);
    ASSERT_TRUE(line_->ok());
  }

  // A request whose reply is known whatever the tables hold: function 0x41,
  // which no variant serves, answered with exception 1 at the first address
  // served. No test asks for that function, so no reply to a test's request
  // can be taken for the probe's and end the wait too early.
  std::string ProbeBody() const {
    char body[16];
    std::snprintf(body, sizeof body, "%02X410000", options_.addresses[0]);
    return body;
  }
  std::string ProbeReply() const {
    char body[16];
    std::snprintf(body, sizeof body, "%02XC101", options_.addresses[0]);
    return MakeFrame(body);
  }

  // Sends raw text followed by the probe and returns everything that came
  // back before the probe's reply: the reply to the text, or "" when it got
  // none. The simulator answers in order, so no waiting for silence is needed.
  std::string AskRaw(const std::string& text) {
    line_->Send(text + MakeFrame(ProbeBody()));
    std::string got = line_->ReadUntil(ProbeReply());
    const std::string probe = ProbeReply();
    if (got.size() < probe.size() || got.compare(got.size() - probe.size(), probe.size(), probe) != 0) {
      ADD_FAILURE() << "probe reply missing, got '" << got << "'";
      return got;
    }
    return got.substr(0, got.size() - probe.size());
  }
  std::string Ask(const std::string& body) { return AskRaw(MakeFrame(body)); }

  plcsim::Options options_;
  std::unique_ptr<plcsim::Simulator> sim_;
  std::string path_;
  std::unique_ptr<Line> line_;
};

TEST(PlcSimFrame, LrcMatchesKnownFrames) {
  EXPECT_EQ(plcsim::Lrc(""), 0);
  EXPECT_EQ(MakeFrame("01030000000A"), ":01030000000AF2\r\n");
  EXPECT_EQ(MakeFrame("0103020005"), ":0103020005F5\r\n");
  EXPECT_EQ(MakeFrame("010F0000000A02CD01"), ":010F0000000A02CD0116\r\n");
  EXPECT_EQ(MakeFrame("0110000000020400010002"), ":0110000000020400010002E6\r\n");
}

TEST_F(PlcSimTest, ReadsAnswerFromTables) {
  plcsim::Options o;
  o.tableSize = 100;
  Start(o);
  sim_->FillPattern();  // by gate address k = wire address + 1: holding k, input reg 1000 + k,
                        // coil k%3==0, input k%2==0
  sim_->SetHolding(0, 0);
  struct Case {
    const char* request;
    const char* reply;
  } cases[] = {
      {"01010000000A", "0101022401"},                                      // coils 2, 5 | 8
      {"010200000009", "010202AA00"},                                      // inputs 1, 3, 5, 7
      {"010100620001", "01010101"},                                        // coil 98: gate address 99
      {"010100630001", "01010100"},                                        // last coil of the table
      {"010300050002", "01030400060007"}, {"010400630001", "010402044C"},  // 1100
      {"0103000a0001", "010302000B"},  // lower-case request accepted, reply upper case
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Ask(c.request), MakeFrame(c.reply)) << c.request;
  }
}

TEST_F(PlcSimTest, WritesEchoAndChangeTables) {
  Start();
  sim_->FillPattern();
  sim_->SetHolding(0, 0);
  struct Case {
    const char* request;
    const char* reply;
    std::function<bool(plcsim::Simulator&)> check;
  } cases[] = {
      {"01050007FF00", "01050007FF00", [](auto& s) { return s.Coil(7); }},
      {"010500020000", "010500020000", [](auto& s) { return !s.Coil(2); }},  // set by the pattern
      {"01060010ABCD", "01060010ABCD", [](auto& s) { return s.Holding(16) == 0xABCD; }},
      {"010F0014000A02CD01", "010F0014000A",
       [](auto& s) {
         const bool want[10] = {1, 0, 1, 1, 0, 0, 1, 1, 1, 0};
         for (int i = 0; i < 10; ++i) {
           if (s.Coil(20 + i) != want[i]) return false;
         }
         return s.Coil(32);  // untouched by the write; the pattern has it set
       }},
      {"011000020002040001FFFF", "011000020002",
       [](auto& s) { return s.Holding(2) == 1 && s.Holding(3) == 0xFFFF && s.Holding(4) == 5; }},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Ask(c.request), MakeFrame(c.reply)) << c.request;
    EXPECT_TRUE(c.check(*sim_)) << c.request;
  }
}

TEST_F(PlcSimTest, InvalidRequestsGetExceptions) {
  plcsim::Options o;
  o.tableSize = 100;
  Start(o);
  struct Case {
    std::string request;
    const char* reply;
  } cases[] = {
      {"010700000000", "018701"},                            // unknown function
      {"012B0E01", "01AB01"},                                //
      {"010300000000", "018303"},                            // quantity 0
      {"01030000007E", "018303"},                            // 126 registers
      {"010100000000", "018103"},                            // 0 bits
      {"010200000065", "018202"},                            // 101 bits past the table
      {"0101000007D1", "018103"},                            // 2001 bits
      {"010300630002", "018302"},                            // runs past the table
      {"010400640001", "018402"},                            // starts past the table
      {"01030000", "018303"},                                // data too short
      {"010500001234", "018503"},                            // coil value neither FF00 nor 0000
      {"01050064FF00", "018502"},                            //
      {"010600640001", "018602"},                            //
      {"010F0000000A01CD", "018F03"},                        // byte count does not fit quantity
      {"010F0000000A02CD", "018F03"},                        // fewer data than the byte count
      {"010F0060000A02CD01", "018F02"},                      // coils 96..105
      {"0110000000010400010002", "019003"},                  // byte count 4 for one register
      {"01100000007CF8" + std::string(496, '0'), "019003"},  // 124 registers
      {"010F000007B1F7" + std::string(494, '0'), "018F03"},  // 1969 coils
      {"01100062000204000100020000", "019003"},              // trailing byte
  };
  sim_->FillPattern();
  sim_->SetHolding(0, 0);  // the probe's reply
  for (const Case& c : cases) {
    EXPECT_EQ(Ask(c.request), MakeFrame(c.reply)) << c.request;
  }
  // Refused writes change nothing: the pattern has coils 0 and 96 clear, which
  // the refused coil writes (CD: bit 0 set) would have set.
  EXPECT_EQ(sim_->Holding(98), 99);
  EXPECT_EQ(sim_->Holding(99), 100);
  EXPECT_FALSE(sim_->Coil(0));
  EXPECT_FALSE(sim_->Coil(96));
}

TEST_F(PlcSimTest, FaultsChangeTheReply) {
  Start();
  sim_->SetHolding(0, 0);
  sim_->SetHolding(1, 5);
  const std::string good = ":0103020005F5\r\n";
  struct Case {
    Fault fault;
    std::string reply;
  } cases[] = {
      {{FaultKind::None, 0}, good},
      {{FaultKind::NoReply, 0}, ""},
      {{FaultKind::OtherAddress, 2}, MakeFrame("0203020005")},
      {{FaultKind::OtherFunction, 4}, MakeFrame("0104020005")},
      {{FaultKind::Exception, 4}, MakeFrame("018304")},
      {{FaultKind::BadLrc, 0}, ":0103020005F6\r\n"},
      {{FaultKind::NoCrLf, 0}, ":0103020005F5??"},
      {{FaultKind::Truncate, 5}, ":0103"},
      {{FaultKind::Truncate, 100}, good},
      {{FaultKind::Garbage, 3}, "###" + good},
      {{FaultKind::Delay, 150}, good},
  };
  for (const Case& c : cases) {
    sim_->QueueFault(c.fault);
    auto start = Clock::now();
    EXPECT_EQ(AskRaw(MakeFrame("010300010001")), c.reply) << static_cast<int>(c.fault.kind);
    if (c.fault.kind == FaultKind::Delay) {
      EXPECT_GE(MsSince(start), 140);
    }
  }
}

TEST_F(PlcSimTest, WriteTakesEffectUnlessAnsweredWithException) {
  Start();
  sim_->QueueFault({FaultKind::NoReply, 0});
  EXPECT_EQ(Ask("010600070011"), "");
  EXPECT_EQ(sim_->Holding(7), 0x11);
  sim_->QueueFault({FaultKind::Exception, 6});
  EXPECT_EQ(Ask("010600070022"), MakeFrame("018606"));
  EXPECT_EQ(sim_->Holding(7), 0x11);
}

TEST_F(PlcSimTest, QueuedFaultsComeFirstThenThePersistentOne) {
  Start();
  sim_->QueueFault({FaultKind::Exception, 4});
  sim_->QueueFault({FaultKind::OtherAddress, 9});
  sim_->SetPersistentFault({FaultKind::BadLrc, 0});
  const std::string request = MakeFrame("010300000001");
  const std::string expected[] = {MakeFrame("018304"), MakeFrame("0903020000"), ":0103020000FB\r\n",
                                  ":0103020000FB\r\n"};
  for (const std::string& want : expected) {
    line_->Send(request);
    EXPECT_EQ(line_->ReadUntil("\r\n"), want);
  }
  // A frame that is not answered does not use up a fault.
  sim_->QueueFault({FaultKind::Exception, 2});
  line_->Send(MakeFrame("050300000001") + request);
  EXPECT_EQ(line_->ReadUntil("\r\n"), MakeFrame("018302"));
  sim_->ClearFaults();
  line_->Send(request);
  EXPECT_EQ(line_->ReadUntil("\r\n"), MakeFrame("0103020000"));
}

TEST_F(PlcSimTest, RecordsEveryFrameAndAnswersOnlyItsAddresses) {
  plcsim::Options o;
  o.addresses = {1, 3};
  Start(o);
  sim_->SetHolding(0, 0);
  const std::string other = MakeFrame("020300000001");
  const std::string third = MakeFrame("030300000001");
  const std::string badLrc = ":010300000001FC\r\n";
  const std::string probe = MakeFrame(ProbeBody());
  EXPECT_EQ(AskRaw(other), "");
  EXPECT_EQ(AskRaw(third), MakeFrame("0303020000"));
  EXPECT_EQ(AskRaw(badLrc), "");
  EXPECT_EQ(sim_->Requests(), (std::vector<std::string>{other, probe, third, probe, badLrc, probe}));
  EXPECT_EQ(sim_->RequestCount(), 6u);
  sim_->ClearRequests();
  EXPECT_EQ(sim_->RequestCount(), 0u);
  EXPECT_TRUE(sim_->Requests().empty());
}

TEST_F(PlcSimTest, FramingNoiseAndResync) {
  Start();
  sim_->SetHolding(0, 0);
  sim_->SetHolding(1, 5);
  const std::string frame = ":010300010001FA\r\n";
  const std::string reply = ":0103020005F5\r\n";
  struct Case {
    std::string sent;
    std::string reply;
    std::vector<std::string> recorded;  // before the probe
  } cases[] = {
      {"noise\r\n" + frame, reply, {frame}},
      {":0103" + frame, reply, {frame}},                                        // resync on a new colon
      {":010300010001FA\n", "", {":010300010001FA\n"}},                         // LF without CR
      {":010300010001F\r\n", "", {":010300010001F\r\n"}},                       // odd digit count
      {":01030001000GFA\r\n", "", {":01030001000GFA\r\n"}},                     // not hex
      {":01\r\n", "", {":01\r\n"}},                                             // too short
      {std::string(1, ':').append(700, '0') + "\r\n" + frame, reply, {frame}},  // overlong frame dropped
      {MakeFrame("0103000100") + frame,
       MakeFrame("018303") + reply,
       {MakeFrame("0103000100"), frame}},  // two frames back to back
  };
  for (auto& c : cases) {
    sim_->ClearRequests();
    EXPECT_EQ(AskRaw(c.sent), c.reply) << c.sent;
    std::vector<std::string> got = sim_->Requests();
    if (!c.recorded.empty()) {
      ASSERT_EQ(got.size(), c.recorded.size() + 1) << c.sent;
      got.pop_back();
      EXPECT_EQ(got, c.recorded) << c.sent;
    }
  }
}

TEST_F(PlcSimTest, GtcReadsBitsAndRegisterAreas) {
  plcsim::Options o;
  o.gtc = true;
  Start(o);
  sim_->SetGtcBit(1, true);
  sim_->SetGtcBit(161, true);
  sim_->SetGtcBit(168, true);
  sim_->SetGtcBit(1000, true);
  sim_->SetGtcRegister(2, 0, 0x1234);
  sim_->SetGtcRegister(2, 41, 0xBEEF);
  sim_->SetGtcRegister(3, 63, 0x0102);
  std::string area2 =
      "0104"
      "54"
      "1234" +
      std::string(40 * 4, '0') + "BEEF";
  std::string area3 =
      "0104"
      "80" +
      std::string(63 * 4, '0') + "0102";
  struct Case {
    std::string request;
    std::string reply;
  } cases[] = {
      // the driver's block of memory type 0: inputs 1..160 ride along
      {"0102000100A8",
       "010215"
       "01" +
           std::string(38, '0') + "81"},
      {"010203E80001", "01020101"},
      {"010203E80002", "018202"},  // past bit 1000
      {"010200000001", "018202"},  // there is no bit 0
      {"0102000107D1", "018203"},
      {"01040002002A", area2},
      {"010400030040", area3},
      {"010400010041", "018403"},  // area 1 holds 64
      {"01040002002B", "018403"},  // area 2 holds 42
      {"010400010000", "018403"},
      {"010400040001", "018402"},
      {"010400000001", "018402"},
      {"010300010001", "018301"},  // only 2, 4 and 15 exist
      {"010600010001", "018601"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Ask(c.request), MakeFrame(c.reply)) << c.request;
  }
}

TEST_F(PlcSimTest, GtcSetsAndResetsMaskedBits) {
  plcsim::Options o;
  o.gtc = true;
  Start(o);
  // Single bits: variable 200 (bit 161, one mask byte 01), variable 215 (bit 176, mask 00 80).
  EXPECT_EQ(AskRaw(":010F000100080101E5\r\n"), MakeFrame("010F00010008"));
  EXPECT_TRUE(sim_->GtcBit(161));
  EXPECT_EQ(AskRaw(":010F000100100200805D\r\n"), MakeFrame("010F00010010"));
  EXPECT_TRUE(sim_->GtcBit(176));
  EXPECT_EQ(AskRaw(":010F000200080101E4\r\n"), MakeFrame("010F00020008"));
  EXPECT_FALSE(sim_->GtcBit(161));
  EXPECT_TRUE(sim_->GtcBit(176));

  // A block of 16 written as reset pass, then set pass: bits follow 0x05, 0x80.
  for (int n = 161; n <= 177; ++n) sim_->SetGtcBit(static_cast<uint16_t>(n), n % 2 == 1);
  EXPECT_EQ(AskRaw(":010F0002001002FA7F63\r\n"), MakeFrame("010F00020010"));
  EXPECT_EQ(AskRaw(":010F0001001002058058\r\n"), MakeFrame("010F00010010"));
  for (int n = 161; n <= 176; ++n) {
    EXPECT_EQ(sim_->GtcBit(static_cast<uint16_t>(n)), n == 161 || n == 163 || n == 176) << n;
  }
  EXPECT_TRUE(sim_->GtcBit(177));  // outside the mask

  EXPECT_EQ(Ask("010F0003000801FF"), MakeFrame("018F02"));                       // neither set nor reset
  EXPECT_EQ(Ask("010F0001014028" + std::string(80, '0')), MakeFrame("018F02"));  // 320 bits pass 472
  EXPECT_EQ(Ask("010F0001001001FF"), MakeFrame("018F03"));                       // byte count
  EXPECT_EQ(Ask("010F000100000100"), MakeFrame("018F03"));                       // no bits
  EXPECT_EQ(AskRaw(":010F0001000801E6\r\n"), MakeFrame("018F03"));               // byte count 1 but no mask byte
}

// Replies one character at a time: paced from the reply's start at 10 bits a
// character, or in line time only once the request's 17 characters could have
// arrived, at bitsPerChar bits a character.
TEST_F(PlcSimTest, PacedReplyTakesTheWireTime) {
  struct Case {
    uint32_t paceBaud, lineBaud;
    int bits;
    double firstAtLeastMs, allAtLeastMs;
  } cases[] = {
      {19200, 0, 11, 0, 411 * 10 * 1000 / 19200 - 20},
      {0, 19200, 11, 18 * 11 * 1000.0 / 19200 - 1, (17 + 411) * 11 * 1000.0 / 19200 - 1},
      {0, 38400, 10, 18 * 10 * 1000.0 / 38400 - 1, (17 + 411) * 10 * 1000.0 / 38400 - 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lineBaud);
    plcsim::Options o;
    o.paceBaud = c.paceBaud;
    o.lineTimeBaud = c.lineBaud;
    o.bitsPerChar = c.bits;
    Start(o);
    line_->Send(MakeFrame("010300000064"));  // 100 registers: 411 characters
    auto start = Clock::now();
    std::string got = line_->ReadSome(5000);
    const double firstMs = ExactMsSince(start);
    got = line_->ReadUntil("\r\n", 5000, got);
    const double ms = ExactMsSince(start);
    EXPECT_EQ(got.size(), 411u);
    EXPECT_GE(firstMs, c.firstAtLeastMs);
    EXPECT_GE(ms, c.allAtLeastMs);
    EXPECT_LT(ms, 2000);
  }
}

TEST_F(PlcSimTest, FixedReplyDelay) {
  plcsim::Options o;
  o.replyDelayMs = 100;
  Start(o);
  sim_->SetHolding(1, 7);
  auto start = Clock::now();
  EXPECT_EQ(Ask("010300010001"), MakeFrame("0103020007"));
  EXPECT_GE(MsSince(start), 190);  // the request and the probe each wait
}

// Two requests sent back to back to a late controller, as a master's request
// and its retry: a slow controller works on one at a time, so the second
// answer comes a whole delay after the first; with lateEachOwn each answer
// comes the delay after its own request, the two close together.
TEST_F(PlcSimTest, LateRepliesOneAtATimeOrEachAfterItsOwnRequest) {
  constexpr int kLateMs = 300;
  struct Case {
    bool eachOwn;
    int secondAtLeastMs, secondBelowMs;
  } cases[] = {{false, 2 * kLateMs - 10, 5000}, {true, kLateMs - 10, 2 * kLateMs - 20}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.eachOwn ? "each after its own request" : "one at a time");
    plcsim::Options o;
    o.replyDelayMs = kLateMs;
    o.lateEachOwn = c.eachOwn;
    Start(o);
    sim_->FillPattern();
    auto start = Clock::now();
    line_->Send(MakeFrame("010300010001") + MakeFrame("010300020001"));
    EXPECT_EQ(line_->ReadUntil(MakeFrame("0103020003")), MakeFrame("0103020002") + MakeFrame("0103020003"));
    const int secondMs = MsSince(start);
    EXPECT_GE(secondMs, c.secondAtLeastMs);
    EXPECT_LT(secondMs, c.secondBelowMs);
  }
}

// Faults on demand, set in the Options for a whole session.
TEST_F(PlcSimTest, ExceptionRulesAnswerRequestsTouchingTheirReference) {
  plcsim::Options o;
  for (const char* text : {"4:11=2", "0:3=4", "1:8=6"}) {
    plcsim::ExceptionRule rule;
    ASSERT_TRUE(plcsim::ParseExceptionRule(text, rule)) << text;
    o.exceptions.push_back(rule);
  }
  Start(o);
  struct Case {
    const char* request;
    const char* reply;  // body of the expected reply
  } cases[] = {
      {"010300090003", "018302"},                                        // holding registers 10..12 include 11
      {"0103000A0001", "018302"},                                        // holding register 11 alone
      {"0103000B0001", "0103020000"},                                    // 12 does not
      {"0104000A0001", "0104020000"},                                    // input register 11 is another table
      {"0106000A0007", "018602"},                                        // a write of 11: refused, not carried out
      {"0110000900020400010002", "019002"}, {"010100000004", "018104"},  // coils 1..4 include coil 3
      {"010500020000", "018504"},           {"010200070001", "018206"},  // discrete input 8
      {"010200080001", "01020100"},
  };
  for (const Case& c : cases) EXPECT_EQ(Ask(c.request), MakeFrame(c.reply)) << c.request;
  EXPECT_EQ(sim_->Holding(10), 0);

  plcsim::ExceptionRule rule;
  for (const char* bad : {"4:11", "2:1=2", "4:0=2", "4:11=0", "4:11=256", "4:x=2", "=2", "4:11=2x", "*=-1"}) {
    EXPECT_FALSE(plcsim::ParseExceptionRule(bad, rule)) << bad;
  }
  ASSERT_TRUE(plcsim::ParseExceptionRule("*=6", rule));
  EXPECT_EQ(rule.table, -1);
  EXPECT_EQ(rule.code, 6);
}

TEST_F(PlcSimTest, ExceptionRulesInTheGtcVariant) {
  plcsim::Options o;
  o.gtc = true;
  o.addresses = {5};
  for (const char* text : {"3:2=4", "1:100=2", "0:170=3"}) {
    plcsim::ExceptionRule rule;
    ASSERT_TRUE(plcsim::ParseExceptionRule(text, rule));
    o.exceptions.push_back(rule);
  }
  Start(o);
  EXPECT_EQ(Ask("050400020001"), MakeFrame("058404"));  // register area 2
  EXPECT_EQ(Ask("050400030001"), MakeFrame("0504020000"));
  EXPECT_EQ(Ask("050200630002"), MakeFrame("058202"));        // bits 99, 100
  EXPECT_EQ(Ask("050F0001000A020000"), MakeFrame("058F03"));  // mask bits 161..170
  EXPECT_EQ(Ask("050F000100050100"), MakeFrame("050F00010005"));
}

TEST_F(PlcSimTest, EveryRequestAnsweredWithAnException) {
  plcsim::Options o;
  o.exceptions.push_back({-1, 0, 6});
  Start(o);
  line_->Send(MakeFrame("010300000001") + MakeFrame("010F0000000101FF"));
  EXPECT_EQ(line_->ReadUntil(MakeFrame("018F06")), MakeFrame("018306") + MakeFrame("018F06"));
  EXPECT_FALSE(sim_->Coil(0));
}

// A share of 100 hits every request, 0 none.
TEST_F(PlcSimTest, SilentLrcAndGarbleAtAllOrNone) {
  const std::string request = MakeFrame("010300000001");
  const std::string good = MakeFrame("0103020000");
  struct Case {
    int silent, lrc, garble;
  } cases[] = {{100, 0, 0}, {0, 100, 0}, {0, 0, 100}, {0, 0, 0}};
  for (const Case& c : cases) {
    plcsim::Options o;
    o.silentPercent = c.silent;
    o.lrcErrorPercent = c.lrc;
    o.garblePercent = c.garble;
    Start(o);
    for (int i = 0; i < 5; ++i) {
      line_->Send(request);
      const std::string got = line_->ReadUntil("\r\n", c.silent ? 150 : 2000);
      if (c.silent) {
        EXPECT_EQ(got, "");
      } else if (c.lrc) {
        EXPECT_EQ(got, ":0103020000FB\r\n");
      } else if (c.garble) {
        ASSERT_EQ(got.size(), good.size()) << got;
        size_t nDiffer = 0;
        for (size_t k = 0; k < got.size(); ++k) {
          if (got[k] == good[k]) continue;
          ++nDiffer;
          EXPECT_TRUE(k > 0 && k < got.size() - 2 && !std::isxdigit(static_cast<unsigned char>(got[k])) &&
                      got[k] != ':')
              << got;
        }
        EXPECT_EQ(nDiffer, 1u) << got;
      } else {
        EXPECT_EQ(got, good);
      }
    }
  }
}

// Shares drawn per request with a fixed seed, of 24 requests for holding
// registers 0..23 sent back to back: silent ones get nothing, doubled ones
// two copies (those held later after every first answer), late ones come
// after the answers to the requests that followed them.
TEST_F(PlcSimTest, SharesAreDrawnPerRequest) {
  enum Shows { kMissing, kTwice, kLater };
  struct Case {
    int silent, duplicate, lateSome;
    uint32_t minMs, maxMs;  // of the copy or the late answer
    Shows shows;
    bool drawnComeLater;
  } cases[] = {
      {50, 0, 0, 0, 0, kMissing, false},
      {0, 50, 0, 0, 0, kTwice, false},
      {0, 50, 0, 400, 600, kTwice, true},
      {0, 0, 50, 400, 600, kLater, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.silent << " " << c.duplicate << " " << c.lateSome);
    plcsim::Options o;
    o.silentPercent = c.silent;
    o.duplicatePercent = c.duplicate;
    o.duplicateDelayMinMs = o.lateSomeMinMs = c.minMs;
    o.duplicateDelayMaxMs = o.lateSomeMaxMs = c.maxMs;
    o.lateSomePercent = c.lateSome;
    o.seed = 7;
    Start(o);
    sim_->FillPattern();  // holding register i holds i + 1
    std::string requests;
    for (int i = 0; i < 24; ++i) {
      char body[16];
      std::snprintf(body, sizeof body, "010300%02X0001", i);
      requests += MakeFrame(body);
    }
    line_->Send(requests);
    const std::string first = line_->ReadUntil("never", 250);
    const std::string later = line_->ReadUntil("never", c.drawnComeLater ? 900 : 300);
    int seen[25] = {};
    size_t nFrames = 0;
    for (const std::string& text : {first, later}) {
      for (size_t at = 0; (at = text.find(":010302", at)) != std::string::npos; at += 15, ++nFrames) {
        ++seen[std::min(24, std::stoi(text.substr(at + 7, 4), nullptr, 16) - 1)];
      }
    }
    EXPECT_EQ(first.size() + later.size(), 15 * nFrames) << first << later;
    const size_t nMissing = std::count(seen, seen + 24, 0), nTwice = std::count(seen, seen + 24, 2);
    const size_t nLater = later.size() / 15;
    const size_t drawn = c.shows == kMissing ? nMissing : c.shows == kTwice ? nTwice : nLater;
    EXPECT_GT(drawn, 3u);
    EXPECT_LT(drawn, 21u);
    EXPECT_EQ(nMissing, c.shows == kMissing ? drawn : 0);
    EXPECT_EQ(nTwice, c.shows == kTwice ? drawn : 0);
    EXPECT_EQ(nLater, c.drawnComeLater ? drawn : 0);
    EXPECT_EQ(sim_->DuplicatesSent(), c.duplicate ? drawn : 0);
    EXPECT_EQ(sim_->LateSomeSent(), c.lateSome ? drawn : 0);
    EXPECT_EQ(sim_->RequestCount(), 24u);
  }
}

// A two-wire adapter hears its own transmission: every character comes back,
// also of frames the controller does not answer, before the reply; in line
// time each as it ends on the line, the first long before the last.
TEST_F(PlcSimTest, EchoSendsTheRequestBackBeforeTheReply) {
  constexpr double kEcho1200Ms = 18 * 11 * 1000 / 1200.0;  // "x" and a frame of 17
  struct Case {
    uint32_t lineBaud;
    int requestEchoWithinMs;  // before the reply is due
    double firstBelowMs, allAtLeastMs;
  } cases[] = {{0, 250, 1000, 0}, {1200, 400, kEcho1200Ms / 2, kEcho1200Ms - 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lineBaud);
    plcsim::Options o;
    o.echo = true;
    o.replyDelayMs = 300;
    o.lineTimeBaud = c.lineBaud;
    Start(o);
    sim_->SetHolding(1, 5);
    const std::string other = MakeFrame("020300010001");
    const std::string request = MakeFrame("010300010001");
    auto start = Clock::now();
    line_->Send("x" + other);
    std::string echo = line_->ReadSome();
    EXPECT_LT(ExactMsSince(start), c.firstBelowMs);
    echo = line_->ReadUntil(other, 2000, echo);
    EXPECT_GE(ExactMsSince(start), c.allAtLeastMs);
    EXPECT_EQ(echo, "x" + other);
    line_->Send(request);
    EXPECT_EQ(line_->ReadUntil(request, c.requestEchoWithinMs), request);
    EXPECT_EQ(line_->ReadUntil("\r\n"), MakeFrame("0103020005"));
  }
}

TEST(PlcSimDevice, ServesANamedDeviceAndReopens) {
  // A second pseudo-terminal stands in for a serial line: the simulator opens
  // its terminal side by name, the test talks through the master.
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  Line line(master);
  plcsim::Options o;
  o.deviceBaud = 19200;
  plcsim::Simulator sim(o);
  sim.SetHolding(3, 0x4242);
  ASSERT_TRUE(sim.OpenDevice(ptsname(master)));
  line.Send(MakeFrame("010300030001"));
  EXPECT_EQ(line.ReadUntil("\r\n"), MakeFrame("0103024242"));

  EXPECT_FALSE(sim.OpenDevice("/nonexistent/tty"));
  std::string path = sim.OpenPty();
  ASSERT_FALSE(path.empty());
  Line pty(path);
  pty.Send(MakeFrame("010300030001"));
  EXPECT_EQ(pty.ReadUntil("\r\n"), MakeFrame("0103024242"));
  sim.Stop();
  sim.Stop();
}

// As a controller with an Ethernet port: one connection at a time, the next
// one served once the first has gone; only on loopback addresses.
TEST(PlcSimTcp, ServesOneConnectionAtATimeOnLoopbackOnly) {
  plcsim::Simulator sim;
  sim.SetHolding(3, 0x4242);
  for (const char* host : {"0.0.0.0", "192.168.1.10", "::1", "example.org"}) {
    EXPECT_EQ(sim.Listen(host, 0), -1) << host;
    EXPECT_EQ(errno, EADDRNOTAVAIL) << host;
  }
  const int port = sim.Listen("127.0.0.1", 0);
  ASSERT_GT(port, 0);
  const std::string request = MakeFrame("010300030001"), reply = MakeFrame("0103024242");
  auto first = std::make_unique<Line>(sarn_test::ConnectLoopback(port));
  Line second(sarn_test::ConnectLoopback(port));
  ASSERT_TRUE(first->ok() && second.ok());
  second.Send(request);
  first->Send(":0103");  // half a frame, dropped with its connection
  first->Send(request);
  EXPECT_EQ(first->ReadUntil("\r\n"), reply);
  EXPECT_EQ(second.ReadSome(200), "");  // waits while the first is served
  first.reset();
  EXPECT_EQ(second.ReadUntil("\r\n"), reply);
  EXPECT_EQ(sim.Requests(), (std::vector<std::string>{request, request}));
}

// Telnet (RFC 854, 2217) as a client of a serial device server speaks it.
constexpr char kIac = '\xFF', kSb = '\xFA', kSe = '\xF0', kWill = '\xFB', kDo = '\xFD', kComPort = 44;

// The data of a Telnet stream: commands and subnegotiations removed, a
// doubled IAC taken as one 0xFF.
std::string TelnetData(const std::string& stream) {
  std::string data;
  for (size_t i = 0; i < stream.size(); ++i) {
    if (stream[i] != kIac) {
      data += stream[i];
    } else if (i + 1 < stream.size() && stream[i + 1] == kIac) {
      data += stream[++i];
    } else if (i + 1 < stream.size() && stream[i + 1] == kSb) {
      i = std::min(stream.size(), stream.find(std::string{kIac, kSe}, i)) + 1;
    } else {
      const bool option = i + 1 < stream.size() && static_cast<unsigned char>(stream[i + 1]) >= 0xFB;
      i += option ? 2 : 1;  // WILL, WONT, DO and DONT name an option
    }
  }
  return data;
}

// A gateway's port takes one client at a time, and ser2net lets go of the
// device a moment after a client has gone: until then it tells the next
// client on another port that the device is in use and closes.
std::unique_ptr<Line> ConnectWhenFree(int port, const std::string& greetingEnd) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    auto line = std::make_unique<Line>(sarn_test::ConnectLoopback(port));
    if (!line->ok()) return line;
    // The refusal follows the greeting.
    const std::string greeting = line->ReadUntil(greetingEnd, 300) + line->ReadSome(100);
    if (greeting.find("in use") == std::string::npos) return line;
    usleep(50 * 1000);
  }
  return nullptr;
}

// ser2net in front of the simulator's pseudo-terminal, as a gateway in front
// of an RS-485 line: the raw port carries the bytes as they are; the RFC 2217
// port carries them as Telnet data and answers a line setting with its
// server reply (command + 100). A restarted gateway serves on the same ports.
TEST(PlcSimGateway, AnswersThroughSer2netRawAndRfc2217) {
  if (!sarn_test::Ser2netGateway::Installed()) GTEST_SKIP() << "ser2net is not installed";
  plcsim::Simulator sim;
  sim.SetHolding(0, 0x1234);
  const std::string path = sim.OpenPty();
  ASSERT_FALSE(path.empty());
  sarn_test::Ser2netGateway gateway(path);
  ASSERT_TRUE(gateway.Start()) << gateway.Error();
  const std::string request = MakeFrame("010300000001"), reply = MakeFrame("0103021234");
  {
    Line raw(sarn_test::ConnectLoopback(gateway.RawPort()));
    ASSERT_TRUE(raw.ok());
    raw.Send(request);
    EXPECT_EQ(raw.ReadUntil("\r\n"), reply);
  }
  // ser2net offers its options at once, the last DO COM-PORT-OPTION; a
  // client that takes it (WILL) may set the line, here 9600 baud.
  const std::string doComPort{kIac, kDo, kComPort};
  auto telnet = ConnectWhenFree(gateway.Rfc2217Port(), doComPort);
  ASSERT_TRUE(telnet && telnet->ok());
  telnet->Send(std::string{kIac, kWill, kComPort});
  const std::string baudReply{kIac, kSb, kComPort, 101, 0, 0, '\x25', '\x80', kIac, kSe};
  telnet->Send(std::string{kIac, kSb, kComPort, 1, 0, 0, '\x25', '\x80', kIac, kSe});
  const std::string answer = telnet->ReadUntil(baudReply);
  EXPECT_EQ(answer.substr(answer.size() - std::min(answer.size(), baudReply.size())), baudReply);
  telnet->Send(request);
  EXPECT_EQ(TelnetData(telnet->ReadUntil("\r\n")), reply);
  telnet.reset();

  ASSERT_TRUE(gateway.Restart()) << gateway.Error();
  Line raw(sarn_test::ConnectLoopback(gateway.RawPort()));
  ASSERT_TRUE(raw.ok());
  raw.Send(request);
  EXPECT_EQ(raw.ReadUntil("\r\n"), reply);
}

TEST(PlcSimTables, OutOfRangeAccessIsIgnored) {
  plcsim::Options o;
  o.tableSize = 10;
  plcsim::Simulator sim(o);
  sim.SetHolding(10, 1);
  sim.SetCoil(10, true);
  sim.SetGtcBit(0, true);
  sim.SetGtcBit(1001, true);
  sim.SetGtcRegister(2, 42, 7);
  sim.SetGtcRegister(4, 0, 7);
  EXPECT_EQ(sim.Holding(10), 0);
  EXPECT_FALSE(sim.Coil(10));
  EXPECT_FALSE(sim.GtcBit(0));
  EXPECT_FALSE(sim.GtcBit(1001));
  EXPECT_EQ(sim.GtcRegister(2, 42), 0);
  EXPECT_EQ(sim.GtcRegister(0, 0), 0);
  sim.SetGtcRegister(2, 41, 7);
  EXPECT_EQ(sim.GtcRegister(2, 41), 7);
}

}  // namespace
