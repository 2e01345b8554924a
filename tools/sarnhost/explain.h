// Words for what happened: the driver's log of one transaction turned into
// one line a person understands, the frames of a transaction in printable
// form, and checks of gate texts that the driver reads without a word.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "log_tap.h"

namespace sarn {
struct LogMessage;
}

namespace sarnhost {

// What a driver message carried: up to two numbers and two texts, each in
// the order its format has them.
struct LoggedFields {
  long lArg[2] = {};
  int nArgs = 0;
  std::string text[2];
  int nTexts = 0;
};

// Whether text is what the driver logs as message (its format with the
// values put in); what it carried goes to *pFields.
bool LoggedAs(const std::string& text, const sarn::LogMessage& message, LoggedFields* pFields);
// The same, with only the first number it carried going to *plFirst.
bool LoggedAs(const std::string& text, const sarn::LogMessage& message, long* plFirst = nullptr);

// What the host knows about the transaction besides the driver's log.
struct TransactionFacts {
  int32_t iPlcAddr = 0;            // controller addressed
  int32_t iMemType = 0;            // memory type digit of the gate
  bool bGtc = false;               // GTC protocol
  int32_t iTimeout = 100;          // reply time-out, 10 ms units
  const char* pszReply = nullptr;  // the context's reply buffer (may hold an exception reply)
  size_t nReplySize = 0;
  bool bEchoSet = false;  // ECHO = YES: the driver reads each request back before the reply
  std::string intFile;    // the initialization file such a setting belongs in (full path)
  std::string line;       // the line settings in force ("9600 7E2"), for the checklist after a failure
};

// The outcome of a failed transaction in words.
struct Outcome {
  std::string shortText;   // for a table cell: "no reply", "exception 2: illegal data address"
  std::string longText;    // one line: "no reply from controller 2 (3 attempts, 1.0 s each)"
  bool bAnswered = false;  // the controller answered (an exception reply)
  bool bGarbled = false;   // something answered, but not understood (LRC, framing, other address)
  int iException = 0;      // the exception code, when the controller answered one
};

// Explains a non-zero result from the driver's log lines of that transaction.
// A controller that never answered gets the checklist of what to compare
// with it; a garbled reply what garbles one; the controller's exception and
// the driver's refusals stand alone.
Outcome Explain(int32_t iResult, const std::vector<LogLine>& lines, const TransactionFacts& facts);

// One line of advice when the driver saw a controller answer later than the
// reply time-out (iTimeout, in 10 ms units) in these lines: the slowest
// answer and the time-out to give with -o. Empty when it saw none.
std::string LateAnswerAdvice(const std::vector<LogLine>& lines, int32_t iTimeout);

// Why the driver could not open a port, from its log of ColdStart: the
// system's words, or that the device is not a character device; else its
// line that opening the port failed; "" when it logged none of these.
std::string PortFailureReason(const std::vector<LogLine>& lines);

// Name of a Modbus exception code ("illegal data address"); "" for an unknown code.
const char* ExceptionName(int iCode);

// A frame from a context buffer, up to its line feed or terminator, with CR
// and LF and other control characters spelled out: ":010300000001FB<CR><LF>".
// "(nothing)" when the buffer is empty.
std::string PrintableFrame(const char* pBuf, size_t nSize);

// For a gate text read in decimal base: a warning when a letter A to F
// stands where a decimal digit belongs (controller or address digits), which
// the driver reads as the end of the number; "" when there is none.
std::string DecimalBaseWarning(const std::string& text);

}  // namespace sarnhost
