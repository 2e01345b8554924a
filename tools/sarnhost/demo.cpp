// sarnhost demo: starts a simulated Modbus controller and a simulated GTC
// controller on pseudo-terminals, and shows the driver reading every memory
// type, 32-bit values in both word orders, a block of coils, writes read
// back, a refused gate text, a time-out with its retries and a GTC controller.
// Every result is compared with what the simulator holds.
#include "demo.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "address/gtc_memory.h"
#include "log_tap.h"
#include "mbpoll.h"
#include "plcsim.h"
#include "port_check.h"

namespace sarnhost {

namespace {

using Clock = std::chrono::steady_clock;

uint32_t FloatBits(float f) {
  uint32_t u = 0;
  memcpy(&u, &f, 4);
  return u;
}
uint16_t High(uint32_t u) {
  return static_cast<uint16_t>(u >> 16);
}
uint16_t Low(uint32_t u) {
  return static_cast<uint16_t>(u & 0xFFFFu);
}

// Writes a small text file; false on failure.
bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  return static_cast<bool>(out);
}

class Demo {
 public:
  Demo(const Driver& driver, const DriverInfo& info, bool bVerbose)
      : driver_(driver), info_(info), bVerbose_(bVerbose) {}
  int Run();

 private:
  // Output helpers.
  void Step(const std::string& title);
  void Note(const std::string& text) { printf("    %s\n", text.c_str()); }
  void Check(bool bOk, const std::string& what);
  // Prints what the driver logged since the last call: all of it with -v or
  // when bShow is set, otherwise only its reports (level 32).
  void DriverLog(bool bShow);
  // Parses and reads one gate; fills values and returns the result code.
  ResultCode Read(Instance& inst, const std::string& text, int32_t iCount, std::vector<Value>& values,
                  int32_t iType = -1);
  ResultCode Write(Instance& inst, const std::string& text, const std::vector<Value>& values, int32_t iCount = -1);
  // One line of a read table: gate, what it is, the value read, the verdict.
  void ReadRow(Instance& inst, const std::string& text, const std::string& what, uint32_t uExpected);

  // Holds u at holding registers wAt + 1 and wAt + 2 high word first, and
  // at wAt + 3 and wAt + 4 low word first (gate addresses count from 1).
  void HoldInBothOrders(uint16_t wAt, uint32_t u);
  bool Setup();
  void Cleanup();
  void ColdStartPlain();
  void ReadEveryType();
  void WordOrder();
  void CoilBlock();
  void RegisterWrite();
  void BitWrites();
  void RefusedGates();
  void TimeOut();
  void Gtc();
  void Stop();

  const Driver& driver_;
  DriverInfo info_;
  bool bVerbose_;
  int iStep_ = 0;
  int iFailedSteps_ = 0;
  bool bStepFailed_ = false;
  LogTap tap_;

  std::string scratch_, gtcDir_, oldCwd_;
  plcsim::Simulator sim_;
  plcsim::Simulator gtcSim_{[] {
    plcsim::Options o;
    o.gtc = true;
    return o;
  }()};
  std::string ptyPath_, gtcPtyPath_;
  std::string portName_, gtcPortName_;
  PortAlias alias_, gtcAlias_;
  std::unique_ptr<Instance> plain_, swapped_, gtc_;
  LineSettings line_{};
  const float fPi_ = 3.14159f;
  const float fFlow_ = 21.5f;
  const uint32_t uCount_ = 0x12345678u;
  const int32_t iNegative_ = -123456;
};

void Demo::Step(const std::string& title) {
  if (iStep_ > 0 && bStepFailed_) ++iFailedSteps_;
  bStepFailed_ = false;
  ++iStep_;
  printf("\n[%d] %s\n", iStep_, title.c_str());
}

void Demo::Check(bool bOk, const std::string& what) {
  if (bOk) return;
  bStepFailed_ = true;
  printf("    ** NOT AS EXPECTED: %s\n", what.c_str());
  DriverLog(true);
}

void Demo::DriverLog(bool bShow) {
  std::vector<LogLine> lines = tap_.Take();
  for (const LogLine& l : lines) {
    if (bShow || bVerbose_ || l.iLevel >= 32) printf("      driver log %2d | %s\n", l.iLevel, l.text.c_str());
  }
}

ResultCode Demo::Read(Instance& inst, const std::string& text, int32_t iCount, std::vector<Value>& values,
                      int32_t iType) {
  Gate gate;
  ResultCode rc = inst.Parse(text, iType >= 0 ? iType : DefaultDataType(text), iCount, gate);
  if (rc != 0) return rc;
  std::vector<uint8_t> buffer;
  rc = inst.Read(gate, buffer);
  if (rc == 0) values = DecodeBuffer(gate, buffer);
  return rc;
}

ResultCode Demo::Write(Instance& inst, const std::string& text, const std::vector<Value>& values, int32_t iCount) {
  Gate gate;
  ResultCode rc = inst.Parse(text, DefaultDataType(text), iCount, gate);
  if (rc != 0) return rc;
  std::vector<uint8_t> buffer = EncodeBuffer(gate, values);
  return inst.Write(gate, buffer);
}

void Demo::ReadRow(Instance& inst, const std::string& text, const std::string& what, uint32_t uExpected) {
  std::vector<Value> values;
  int32_t iType = DefaultDataType(text);
  ResultCode rc = Read(inst, text, -1, values);
  std::string shown = rc == 0 ? FormatValue(values[0], iType) : "result " + std::to_string(rc);
  bool bOk = rc == 0 && values[0].uRaw == uExpected;
  printf("    %-9s %-32s %-24s %s\n", text.c_str(), what.c_str(), shown.c_str(), bOk ? "ok" : "");
  if (!bOk) {
    Value expected{values.empty() ? 16 : values[0].iBits, uExpected};
    Check(false, text + " should read " + FormatValue(expected, iType));
  }
}

void Demo::HoldInBothOrders(uint16_t wAt, uint32_t u) {
  sim_.SetHolding(wAt, High(u));  // high word first
  sim_.SetHolding(static_cast<uint16_t>(wAt + 1), Low(u));
  sim_.SetHolding(static_cast<uint16_t>(wAt + 2), Low(u));  // low word first
  sim_.SetHolding(static_cast<uint16_t>(wAt + 3), High(u));
}

bool Demo::Setup() {
  char szCwd[4096];
  if (getcwd(szCwd, sizeof szCwd) == nullptr) return false;
  oldCwd_ = szCwd;
  char szScratch[] = "/tmp/sarnhost-demo-XXXXXX";
  if (mkdtemp(szScratch) == nullptr) {
    printf("cannot make a scratch directory: %s\n", strerror(errno));
    return false;
  }
  scratch_ = szScratch;
  gtcDir_ = scratch_ + "/gtc";
  if (mkdir(gtcDir_.c_str(), 0755) != 0 || !tap_.Start(scratch_) || chdir(scratch_.c_str()) != 0) {
    printf("cannot prepare %s: %s\n", scratch_.c_str(), strerror(errno));
    return false;
  }

  // The Modbus controller: the simulator's pattern by gate address k
  // (holding register k = k, input register k = 1000 + k, coil k on when
  // k % 3 == 0, input k on when k is even) and 32-bit values in both word
  // orders.
  sim_.FillPattern();
  sim_.SetInputReg(10, High(FloatBits(fFlow_)));
  sim_.SetInputReg(11, Low(FloatBits(fFlow_)));
  sim_.SetInputReg(12, High(static_cast<uint32_t>(iNegative_)));
  sim_.SetInputReg(13, Low(static_cast<uint32_t>(iNegative_)));
  HoldInBothOrders(20, FloatBits(fPi_));
  HoldInBothOrders(24, uCount_);
  gtcSim_.FillPattern();

  ptyPath_ = sim_.OpenPty();
  gtcPtyPath_ = gtcSim_.OpenPty();
  if (ptyPath_.empty() || gtcPtyPath_.empty()) {
    printf("cannot start the simulated controllers on pseudo-terminals: %s\n", strerror(errno));
    return false;
  }
  std::string error;
  portName_ = alias_.NameFor(ptyPath_, error);
  gtcPortName_ = gtcAlias_.NameFor(gtcPtyPath_, error);
  if (portName_.empty() || gtcPortName_.empty()) {
    printf("%s\n", error.c_str());
    return false;
  }
  line_ = info_.defaultLine;
  return true;
}

void Demo::Cleanup() {
  sim_.Stop();
  gtcSim_.Stop();
  tap_.Stop();
  if (!oldCwd_.empty() && chdir(oldCwd_.c_str()) != 0) perror("chdir");
  if (!scratch_.empty()) {
    unlink((scratch_ + "/SARNMD02.INT").c_str());
    unlink((gtcDir_ + "/SARNMD03.INT").c_str());
    rmdir(gtcDir_.c_str());
    rmdir(scratch_.c_str());
  }
}

void Demo::ColdStartPlain() {
  Step("Cold start of driver 1 on " + ptyPath_ + ": no initialization file, so Modbus, decimal gate addresses, " +
       "no word swap");
  plain_ = std::make_unique<Instance>(driver_, 1, info_.iContextSize);
  ResultCode rc = plain_->ColdStart(portName_, true, 100, line_);
  Note("ColdStart(port " + portName_ + ", 9600 baud 7E2, time-out 100 x 10 ms) -> " + std::to_string(rc));
  DriverLog(true);
  Check(rc == 0, "ColdStart should return 0");
}

void Demo::ReadEveryType() {
  Step("Reads of each memory type (gate text: controller 01, memory type digit, address)");
  Instance& a = *plain_;
  ReadRow(a, "0100001", "coil 1", sim_.Coil(0));
  ReadRow(a, "0110003", "discrete input 3", sim_.Input(2));
  ReadRow(a, "0130005", "input register 5", sim_.InputReg(4));
  ReadRow(a, "0140008", "holding register 8", sim_.Holding(7));
  ReadRow(a, "01400082", "bit 2 of holding register 8", (sim_.Holding(7) >> 2) & 1u);
  ReadRow(a, "0150011", "float, input registers 11-12", FloatBits(fFlow_));
  ReadRow(a, "0160013", "int32, input registers 13-14", static_cast<uint32_t>(iNegative_));
  ReadRow(a, "0170021", "float, holding registers 21-22", FloatBits(fPi_));
  ReadRow(a, "0180025", "int32, holding registers 25-26", uCount_);
  DriverLog(false);
}

void Demo::WordOrder() {
  Step("32-bit values with and without word swap");
  Note("The controller holds 3.14159 and 0x12345678 twice: high word first at 0170021 and 0180025,");
  Note("low word first at 0170023 and 0180027. Driver 2 reads SARNMD02.INT, which says:");
  Note("  SWAP = YES       (32-bit integers, memory types 6 and 8)");
  Note("  FLOATSWAP = YES  (floats, memory types 5 and 7)");
  bool bFile = WriteFile(scratch_ + "/SARNMD02.INT", "SWAP = YES\nFLOATSWAP = YES\n");
  Check(bFile, "cannot write SARNMD02.INT");

  struct Row {
    const char* pszGate;
    const char* pszHeld;
    uint32_t uPlain, uSwapped;  // what each driver should read
  };
  const Row rows[] = {
      {"0170021", "3.14159, high word first", FloatBits(fPi_), SwapWords(FloatBits(fPi_))},
      {"0170023", "3.14159, low word first", SwapWords(FloatBits(fPi_)), FloatBits(fPi_)},
      {"0180025", "0x12345678, high word first", uCount_, SwapWords(uCount_)},
      {"0180027", "0x12345678, low word first", SwapWords(uCount_), uCount_},
  };
  std::vector<std::string> plainShown, swappedShown;
  std::vector<bool> plainOk, swappedOk;
  // Reads every row with one driver, against what it should read.
  auto readRows = [&](Instance& inst, uint32_t Row::*pExpected, std::vector<std::string>& shown,
                      std::vector<bool>& ok) {
    for (const Row& r : rows) {
      std::vector<Value> v;
      ResultCode rc = Read(inst, r.pszGate, -1, v);
      ok.push_back(rc == 0 && v[0].uRaw == r.*pExpected);
      shown.push_back(rc == 0 ? FormatValue(v[0], DefaultDataType(r.pszGate)) : "result " + std::to_string(rc));
    }
    DriverLog(false);
  };
  readRows(*plain_, &Row::uPlain, plainShown, plainOk);

  // One port, one driver at a time: driver 1 lets go of it for driver 2.
  ResultCode rcClose = plain_->CloseCom();
  swapped_ = std::make_unique<Instance>(driver_, 2, info_.iContextSize);
  ResultCode rcCold = swapped_->ColdStart(portName_, true, 100, line_);
  Note("CloseCom(driver 1) -> " + std::to_string(rcClose) + ", ColdStart(driver 2) -> " + std::to_string(rcCold));
  DriverLog(true);
  Check(rcClose == 0 && rcCold == 0, "driver 2 should take over the port");
  readRows(*swapped_, &Row::uSwapped, swappedShown, swappedOk);
  ResultCode rcBack = swapped_->CloseCom();
  ResultCode rcReopen = plain_->ReOpenCom();
  Check(rcBack == 0 && rcReopen == 0, "driver 1 should get the port back (CloseCom, ReOpenCom)");

  printf("    %-9s %-28s %-26s %s\n", "gate", "held by the controller", "driver 1 (no swap)", "driver 2 (swap)");
  for (size_t i = 0; i < std::size(rows); ++i) {
    printf("    %-9s %-28s %-26s %s\n", rows[i].pszGate, rows[i].pszHeld, plainShown[i].c_str(),
           swappedShown[i].c_str());
    Check(plainOk[i], std::string(rows[i].pszGate) + " read by driver 1");
    Check(swappedOk[i], std::string(rows[i].pszGate) + " read by driver 2");
  }
  Note("Each value comes out right in exactly one word order; the other shows its halves exchanged.");
}

void Demo::CoilBlock() {
  Step("A block of 24 coils from 0100001 (one request, function 1)");
  std::vector<Value> v;
  ResultCode rc = Read(*plain_, "0100001", 24, v);
  std::string bits, expected;
  for (int k = 0; k < 24; ++k) {
    expected += sim_.Coil(static_cast<uint16_t>(k)) ? '1' : '0';
    if (rc == 0) bits += v[static_cast<size_t>(k)].uRaw ? '1' : '0';
  }
  Note("BlockRead -> " + std::to_string(rc) + ", coils 1..24: " + bits);
  Note("the controller holds:     " + expected);
  DriverLog(false);
  Check(rc == 0 && bits == expected, "the block should match the controller's coils");
}

void Demo::RegisterWrite() {
  Step("Write holding register 0140011 = 4321, then read it back");
  uint16_t wBefore = sim_.Holding(10);
  ResultCode rcW = Write(*plain_, "0140011", {Value{16, 4321}});
  std::vector<Value> v;
  ResultCode rcR = Read(*plain_, "0140011", -1, v);
  Note("before: " + std::to_string(wBefore) + "; SingleWrite -> " + std::to_string(rcW) + "; SingleRead -> " +
       std::to_string(rcR) + ": " + (rcR == 0 ? FormatValue(v[0], kTypeUInt16) : "-") + "; the controller holds " +
       std::to_string(sim_.Holding(10)));
  DriverLog(false);
  Check(rcW == 0 && rcR == 0 && v[0].uRaw == 4321 && sim_.Holding(10) == 4321, "4321 should be read back");
}

void Demo::BitWrites() {
  Step("Bit writes, read back: coil 0100002 = 1, and bit 4 of holding register 0140013 = 1");
  bool bCoilBefore = sim_.Coil(1);
  ResultCode rcW = Write(*plain_, "0100002", {Value{1, 1}});
  std::vector<Value> v;
  ResultCode rcR = Read(*plain_, "0100002", -1, v);
  Note(std::string("coil 2 before: ") + (bCoilBefore ? "1" : "0") + "; SingleWrite (function 5) -> " +
       std::to_string(rcW) + "; read back: " + (rcR == 0 ? FormatValue(v[0], kTypeBit) : "-"));
  Check(rcW == 0 && rcR == 0 && v[0].uRaw == 1 && sim_.Coil(1), "coil 2 should be on");

  uint16_t wBefore = sim_.Holding(12);
  sim_.ClearRequests();
  rcW = Write(*plain_, "01400134", {Value{1, 1}});
  size_t nRequests = sim_.RequestCount();
  rcR = Read(*plain_, "0140013", -1, v);
  uint16_t wExpected = static_cast<uint16_t>(wBefore | 0x10u);
  Note("register 13 before: " + FormatValue(Value{16, wBefore}, kTypeUInt16) + "; SingleWrite of bit 4 -> " +
       std::to_string(rcW) + " (" + std::to_string(nRequests) + " requests: read the register, write it back)");
  Note("register 13 now:    " + (rcR == 0 ? FormatValue(v[0], kTypeUInt16) : std::string("-")));
  DriverLog(false);
  Check(rcW == 0 && nRequests == 2 && rcR == 0 && v[0].uRaw == wExpected && sim_.Holding(12) == wExpected,
        "only bit 4 should have changed, in one read and one write");
}

void Demo::RefusedGates() {
  Step("Refused gate texts: the address parser says why, and nothing goes on the line");
  sim_.ClearRequests();
  struct Bad {
    const char* pszGate;
    const char* pszWhy;
  };
  const Bad bad[] = {
      {"0120001", "memory type 2 does not exist"},
      {"0170004", "a 32-bit gate needs an odd address"},
      {"0140000", "Modbus addresses count from 1"},
  };
  for (const Bad& b : bad) {
    Gate gate;
    ResultCode rc = plain_->Parse(b.pszGate, DefaultDataType(b.pszGate), -1, gate);
    Note(std::string("SingleAddressParser('") + b.pszGate + "') -> " + std::to_string(rc) + "   (" + b.pszWhy + ")");
    DriverLog(true);
    Check(rc == 1, std::string(b.pszGate) + " should be refused");
  }
  Check(sim_.RequestCount() == 0, "no request should have been sent");
}

void Demo::TimeOut() {
  Step("Time-out: the controller stops answering; reply time-out shortened to 10 x 10 ms");
  // ChangeSarnParams opens the port anew (it would close the open port itself;
  // CloseCom first shows the two operations one after the other).
  ResultCode rcClose = plain_->CloseCom();
  LineSettings keep{};  // baud 0: keep the line settings
  ResultCode rcChange = plain_->ChangeParams(portName_, 10, keep);
  Note("CloseCom -> " + std::to_string(rcClose) + ", ChangeSarnParams(time-out 10) -> " + std::to_string(rcChange));
  Check(rcClose == 0 && rcChange == 0, "the port should reopen with the short time-out");
  DriverLog(false);

  sim_.SetPersistentFault({plcsim::FaultKind::NoReply, 0});
  sim_.ClearRequests();
  std::vector<Value> v;
  auto t0 = Clock::now();
  ResultCode rc = Read(*plain_, "0140001", -1, v);
  double dSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
  size_t nRequests = sim_.RequestCount();
  sim_.ClearFaults();
  char sz[160];
  snprintf(sz, sizeof sz, "SingleRead(0140001) -> %d after %zu requests in %.2f s; the driver's trace:", rc, nRequests,
           dSeconds);
  Note(sz);
  DriverLog(true);
  Check(rc == 2 && nRequests == 3, "three attempts, then result 2");

  rc = Read(*plain_, "0140001", -1, v);
  Note("the controller answers again: SingleRead -> " + std::to_string(rc) + ": " +
       (rc == 0 ? FormatValue(v[0], kTypeUInt16) : "-"));
  DriverLog(false);
  Check(rc == 0 && v[0].uRaw == sim_.Holding(0), "the next read should succeed");
}

void Demo::Gtc() {
  Step("A GTC controller on " + gtcPtyPath_ + " (driver 3, gtc/SARNMD03.INT: BUS = GTC, DEC)");
  bool bFile = WriteFile(gtcDir_ + "/SARNMD03.INT", "BUS = GTC, DEC\n");
  Check(bFile, "cannot write gtc/SARNMD03.INT");
  // The driver reads its initialization file from the current directory.
  ResultCode rc = 2;
  if (chdir(gtcDir_.c_str()) == 0) {
    gtc_ = std::make_unique<Instance>(driver_, 3, info_.iContextSize);
    rc = gtc_->ColdStart(gtcPortName_, true, 100, line_);
    if (chdir(scratch_.c_str()) != 0) perror("chdir");
  }
  Note("ColdStart(driver 3) -> " + std::to_string(rc));
  DriverLog(true);
  Check(rc == 0 && gtc_->Context()->cProtocol == SARN_PROTOCOL_GTC, "driver 3 should run the GTC protocol");
  if (rc != 0) return;
  Instance& g = *gtc_;

  std::vector<Value> v;
  rc = Read(g, "0130002", 42, v);
  std::string shown;
  bool bOk = rc == 0;
  for (size_t i = 0; bOk && i < v.size(); ++i) {
    if (i < 6) shown += std::to_string(v[i].uRaw) + " ";
    bOk = v[i].uRaw == gtcSim_.GtcRegister(2, static_cast<uint16_t>(i));
  }
  Note("register area 2, block 0130002 x 42 -> " + std::to_string(rc) + ": " + shown + "...");
  Check(bOk, "area 2 should match the controller");

  auto readVariables = [&](std::string& bits) {
    std::vector<Value> b;
    ResultCode r = Read(g, "0100200", 16, b);
    bits.clear();
    for (size_t i = 0; r == 0 && i < b.size(); ++i) bits += b[i].uRaw ? '1' : '0';
    return r;
  };
  auto expectedVariables = [&] {
    std::string e;
    for (int32_t n = sarn::kGtcFirstVariableBit; n < sarn::kGtcFirstVariableBit + 16; ++n) {
      e += gtcSim_.GtcBit(static_cast<uint16_t>(n)) ? '1' : '0';
    }
    return e;
  };
  std::string before, after;
  rc = readVariables(before);
  Note("variables 200..215, block 0100200 x 16 -> " + std::to_string(rc) + ": " + before);
  Check(rc == 0 && before == expectedVariables(), "the variables should match the controller");

  ResultCode rcW = Write(g, "0100202", {Value{1, 1}});
  rc = readVariables(after);
  Note("set variable 202 (0100202 = 1, a set mask) -> " + std::to_string(rcW) + "; read back: " + after);
  Check(rcW == 0 && rc == 0 && after == expectedVariables() && after.size() > 2 && after[2] == '1',
        "variable 202 should be set");
  DriverLog(false);

  rc = Read(g, "0130001", -1, v);
  Note("single read of 0130001 -> " + std::to_string(rc) + " (GTC controllers are read in blocks only)");
  DriverLog(true);
  Check(rc == 1, "a GTC single read should be refused");
}

void Demo::Stop() {
  Step("Stopping: CloseCom for drivers 3 and 1, then EndSarn");
  ResultCode rc3 = gtc_ ? gtc_->CloseCom() : 0;
  ResultCode rc1 = plain_->CloseCom();
  ResultCode rcEnd = plain_->EndSarn();
  Note("CloseCom -> " + std::to_string(rc3) + ", " + std::to_string(rc1) + "; EndSarn -> " + std::to_string(rcEnd));
  DriverLog(false);
  Check(rc3 == 0 && rc1 == 0 && rcEnd == 0, "every port should close");
}

int Demo::Run() {
  auto t0 = Clock::now();
  printf("sarnhost demo: the Modbus ASCII / GTC driver against simulated controllers\n");
  printf("  driver     %s (\"%s\", context %d bytes)\n", driver_.Path().c_str(),
         info_.pszDriverName != nullptr ? info_.pszDriverName : "?", info_.iContextSize);
  if (!Setup()) {
    Cleanup();
    return 1;
  }
  printf("  Modbus     simulated controller 1 on %s\n", ptyPath_.c_str());
  printf("  GTC        simulated controller 1 on %s\n", gtcPtyPath_.c_str());
  printf("  scratch    %s (the initialization files; removed at the end)\n", scratch_.c_str());

  ColdStartPlain();
  if (!bStepFailed_) {
    ReadEveryType();
    WordOrder();
    CoilBlock();
    RegisterWrite();
    BitWrites();
    RefusedGates();
    TimeOut();
    Gtc();
    Stop();
  }
  if (bStepFailed_) ++iFailedSteps_;
  Cleanup();

  double dSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
  if (iFailedSteps_ == 0) {
    printf("\nAll %d steps behaved as expected (%.1f s).\n", iStep_, dSeconds);
    return 0;
  }
  printf("\n%d of %d steps did not behave as expected (%.1f s).\n", iFailedSteps_, iStep_, dSeconds);
  return 1;
}

}  // namespace

int RunDemo(const Driver& driver, const DriverInfo& info, bool bVerbose) {
  Demo demo(driver, info, bVerbose);
  int rc = demo.Run();
  fflush(stdout);
  return rc;
}

}  // namespace sarnhost
