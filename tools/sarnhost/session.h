// One driver instance on the port and what every command needs around it:
// the driver's log (collected, shown, or passed on), gate texts checked by
// the driver's parser, transactions explained in words, Ctrl-C.
#pragma once

#include <signal.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "driver_host.h"
#include "explain.h"
#include "int_file_name.h"
#include "log_tap.h"
#include "mbpoll.h"
#include "options.h"

namespace sarnhost {

// Set by Ctrl-C and SIGTERM once CatchInterrupts() ran.
extern volatile sig_atomic_t g_bInterrupted;
// Ctrl-C and SIGTERM only set the flag; a transaction under way runs on
// undisturbed in the driver.
void CatchInterrupts();

// "9600 7E2"
std::string LineName(const LineSettings& line);

// Loads the driver from --driver or the usual places; false with error filled.
bool LoadDriver(const Options& o, Driver& driver, std::string& error);

// The driver's log: collected, so that failures can be told in words, and
// shown on standard error with -v, or passed on to the file the user named in
// KORVEN_LOG. KORVEN_LEVEL is honoured either way.
class DriverLog {
 public:
  void Start(int iVerbose);
  // Lines logged since the last call, after showing or passing them on.
  std::vector<LogLine> Take();

 private:
  LogTap tap_;
  int iShowLevel_ = 1 << 30;  // standard error: nothing unless -v
  std::string userFile_;
  int iFileLevel_ = 32;
};

struct Session {
  const Options& o;
  Instance& inst;
  DriverLog& log;
  std::string portName;  // the name the driver was given
  LineSettings line;
  int32_t iTimeout;
  IntFileFacts intFile;       // the initialization file the driver read, or where one would go
  bool bLateAdvised = false;  // the advice on a late controller was given

  bool Gtc() { return inst.Context()->cProtocol == SARN_PROTOCOL_GTC; }
  bool HexBase() { return inst.Context()->cBase == 'H'; }
};

// Starts the driver instance on o.port and runs body with it; the result is
// body's, or the driver's when the port cannot be used.
int WithPort(const Options& o, const Driver& driver, const DriverInfo& info, DriverLog& log, int32_t iDefaultTimeout,
             const std::function<int(Session&)>& body);

// Checks a gate text with the driver's address parser (a block when iCount
// >= 0); prints one line and returns the usage exit status when it is
// refused: a gate text is part of the command line. Controller 0 is refused
// too: no controller answers a broadcast.
int ParseGate(Session& s, const std::string& text, int32_t iCount, Gate& gate);

// A gate text, or sarnhost's dotted name ("150.40001", "1.410000") of what
// a gate text cannot name: parsed as ParseGate or MbpollGate does, 32-bit
// values in the driver's word order either way.
int TextGate(Session& s, const std::string& text, int32_t iCount, Gate& gate);

// A gate named by mbpoll's options for one controller: parsed, with the
// controller field set directly when the text cannot hold it; 32-bit
// values shown high word first or not. Returns 0 or the exit status
// (message printed).
int MbpollGate(Session& s, const MbpollType& type, long lSlave, long lRef, int32_t iCount, bool bHighFirst, Gate& gate);
// The reference (-r) counted from 1, whatever -0 says.
long FirstReference(const Options& o);

// The name of element k of a gate, which names the same value when given
// alone: the gate text where one says it, else the dotted name; a 32-bit
// value shown in another word order than the driver's by mbpoll's options
// ("-a 1 -t 4:float -r 101"); GTC register areas by their index.
std::string Label(Session& s, const Gate& gate, int k);

// The driver's word order for 32-bit values: high word first unless the
// initialization file swaps them (SWAP for integers, FLOATSWAP for floats).
bool DriverHighFirst(Session& s, bool bFloat);
// Whether the gate's 32-bit values (if any) are shown in the driver's order.
bool ShownInDriverOrder(Session& s, const Gate& gate);
// "low word first (mbpoll's order without -B)", "high word first (SWAP = NO
// in /path/SARNMD1.INT)": for -v.
std::string WordOrderWords(Session& s, const Gate& gate);

struct TxResult {
  ResultCode rc = 0;
  Outcome outcome;  // filled when rc is not 0
  double dMs = 0;   // round-trip time of the whole transaction
};

// Runs one read or write and explains a failure from the driver's log of it.
// With -vv the frames left in the context's buffers are shown.
TxResult Transact(Session& s, const Gate& gate, bool bWrite, std::vector<uint8_t>& buffer);

// Gives the driver the port again with other line settings (scan).
ResultCode Reopen(Session& s, const LineSettings& line);

}  // namespace sarnhost
