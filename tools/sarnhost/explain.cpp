#include "explain.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver_host.h"
#include "gate_words.h"
#include "hostlog/log_messages.h"
#include "link/frame_layout.h"
#include "link/modbus_codes.h"

namespace sarnhost {

namespace {

// What went wrong in one attempt, as the driver logged it.
enum class Cause {
  kNoReply,
  kBrokenOff,
  kNoStart,
  kOtherAddress,
  kException,
  kOtherFunction,
  kNoData,
  kSend,
  kLrc,
  kNoCrLf,
  kBadData,
  kWrongLength,
  kOtherReply,  // a read reply of another byte count: the answer to another request
  kOtherEcho,   // a write echo of another address or value: the answer to another request
};

struct Attempt {
  Cause cause;
  int iArg = 0;   // exception code, the controller address that answered, the byte count or address of another reply
  int iArg2 = 0;  // the byte count asked for, or the value or quantity of another echo
};

// Reads a number in base at *ppText; false when there is none.
bool TakeNumber(const char** ppText, int base, LoggedFields* pFields) {
  char* pEnd = nullptr;
  const long lValue = strtol(*ppText, &pEnd, base);
  if (pEnd == *ppText) return false;
  if (pFields->nArgs < 2) pFields->lArg[pFields->nArgs] = lValue;
  ++pFields->nArgs;
  *ppText = pEnd;
  return true;
}

// Reads the text a %s put at *ppText: up to where the format's literal
// characters after it (pszRest, up to its next conversion) stand, or to the
// end when none follow. False when they do not stand in the text.
bool TakeText(const char* pszRest, const char** ppText, LoggedFields* pFields) {
  const size_t nLiteral = strcspn(pszRest, "%");
  const char* pNext = *ppText + strlen(*ppText);
  if (nLiteral > 0) {
    const std::string literal(pszRest, nLiteral);
    pNext = strstr(*ppText, literal.c_str());
    if (pNext == nullptr) return false;
  }
  if (pFields->nTexts < 2) pFields->text[pFields->nTexts].assign(*ppText, pNext);
  ++pFields->nTexts;
  *ppText = pNext;
  return true;
}

// Whether text is what the driver logs with pszFormat: its literal characters
// agree, and each conversion (%d, %u, %X, %c, %s, %2s) matches what it would
// have printed, %s up to the literal characters after it. What it carried goes
// to pFields.
bool MatchesFormat(const char* pszFormat, const char* pszText, LoggedFields* pFields) {
  const char* f = pszFormat;
  const char* t = pszText;
  while (*f != '\0') {
    if (*f != '%') {
      if (*f++ != *t++) return false;
      continue;
    }
    ++f;
    while (isdigit(static_cast<unsigned char>(*f))) ++f;  // a width
    const char conversion = *f++;
    if (conversion == 'd' || conversion == 'u') {
      if (!TakeNumber(&t, 10, pFields)) return false;
    } else if (conversion == 'X') {
      if (!TakeNumber(&t, 16, pFields)) return false;
    } else if (conversion == 'c') {
      if (*t++ == '\0') return false;
    } else if (conversion == 's') {
      if (!TakeText(f, &t, pFields)) return false;
    } else if (conversion == '%') {
      if (*t++ != '%') return false;
    } else {
      return false;
    }
  }
  return *t == '\0';
}

// The driver messages that report a failed attempt, and what each means.
struct CauseOf {
  const sarn::LogMessage& message;
  Cause cause;
  int iException;  // the code an exception message stands for
};
const CauseOf kCauses[] = {
    {sarn::kMsgReceiveTimeout, Cause::kNoReply, 0},
    {sarn::kMsgReceiveNoFrameStart, Cause::kNoStart, 0},
    {sarn::kMsgReceiveOtherController, Cause::kOtherAddress, 0},
    {sarn::kMsgExIllegalFunction, Cause::kException, 1},
    {sarn::kMsgExIllegalAddress, Cause::kException, 2},
    {sarn::kMsgExIllegalValue, Cause::kException, 3},
    {sarn::kMsgExDeviceFailure, Cause::kException, 4},
    {sarn::kMsgExAcknowledge, Cause::kException, 5},
    {sarn::kMsgExBusy, Cause::kException, 6},
    {sarn::kMsgExNegativeAck, Cause::kException, 7},
    {sarn::kMsgExMemoryParity, Cause::kException, 8},
    {sarn::kMsgExUnknown, Cause::kException, 0},
    {sarn::kMsgReceiveExceptionTimeout, Cause::kBrokenOff, 0},
    {sarn::kMsgReceiveCountTimeout, Cause::kBrokenOff, 0},
    {sarn::kMsgReceiveRestTimeout, Cause::kBrokenOff, 0},
    {sarn::kMsgReceiveExceptionShort, Cause::kWrongLength, 0},
    {sarn::kMsgReceiveCountBad, Cause::kWrongLength, 0},
    {sarn::kMsgReceiveRestShort, Cause::kWrongLength, 0},
    {sarn::kMsgReceiveOtherFunction, Cause::kOtherFunction, 0},
    {sarn::kMsgReceiveNoData, Cause::kNoData, 0},
    {sarn::kMsgSendFailed, Cause::kSend, 0},
    {sarn::kMsgReadLrc, Cause::kLrc, 0},
    {sarn::kMsgWriteLrc, Cause::kLrc, 0},
    {sarn::kMsgReadNoTermination, Cause::kNoCrLf, 0},
    {sarn::kMsgReadBadData, Cause::kBadData, 0},
    {sarn::kMsgReadOtherByteCount, Cause::kOtherReply, 0},
    {sarn::kMsgWriteOtherEcho, Cause::kOtherEcho, 0},
};

// The exception code of the reply in the buffer, or 0 when it holds none.
int ReplyException(const TransactionFacts& facts) {
  const size_t nHead = sarn::kExceptionCodePos + 2;
  if (facts.pszReply == nullptr || facts.nReplySize < nHead || facts.pszReply[0] != ':') return 0;
  uint32_t function = 0, code = 0;
  if (!sarn::GetHexField(facts.pszReply, sarn::kFrameFunctionPos, 2, &function) ||
      !sarn::GetHexField(facts.pszReply, sarn::kExceptionCodePos, 2, &code)) {
    return 0;
  }
  return (function & sarn::kExceptionFlag) != 0 ? static_cast<int>(code) : 0;
}

// Classifies one log line; false when it reports no failed attempt.
bool Classify(const std::string& text, const TransactionFacts& facts, Attempt& a) {
  for (const CauseOf& entry : kCauses) {
    LoggedFields fields;
    if (!MatchesFormat(entry.message.pszFormat, text.c_str(), &fields)) continue;
    a.cause = entry.cause;
    a.iArg = static_cast<int>(fields.lArg[0]);
    a.iArg2 = static_cast<int>(fields.lArg[1]);
    // Part of a head that then stopped coming is a reply that broke off.
    if (entry.cause == Cause::kNoReply && a.iArg != 0) a.cause = Cause::kBrokenOff;
    if (entry.cause == Cause::kException) a.iArg = entry.iException != 0 ? entry.iException : ReplyException(facts);
    return true;
  }
  return false;
}

// Whether text is what the driver logs as message.
bool Is(const std::string& text, const sarn::LogMessage& message) {
  LoggedFields fields;
  return MatchesFormat(message.pszFormat, text.c_str(), &fields);
}

std::string ExceptionWords(int iCode) {
  const char* pszName = ExceptionName(iCode);
  return "exception " + std::to_string(iCode) + (*pszName != '\0' ? std::string(": ") + pszName : "");
}

std::string ShortText(const Attempt& a) {
  switch (a.cause) {
    case Cause::kNoReply:
      return "no reply";
    case Cause::kBrokenOff:
      return "reply broke off";
    case Cause::kNoStart:
      return "no frame start";
    case Cause::kOtherAddress:
      // No controller answers from address 0 (broadcast): the driver logs
      // a controller address that is no number as 0.
      if (a.iArg == 0) return "garbled controller address";
      return "reply from controller " + std::to_string(a.iArg);
    case Cause::kException:
      return ExceptionWords(a.iArg);
    case Cause::kOtherFunction:
      return "other function code";
    case Cause::kNoData:
      return "no data";
    case Cause::kSend:
      return "send error";
    case Cause::kLrc:
      return "LRC error";
    case Cause::kNoCrLf:
      return "no CR LF";
    case Cause::kBadData:
      return "bad data";
    case Cause::kWrongLength:
      return "wrong length";
    case Cause::kOtherReply:
    case Cause::kOtherEcho:
      return "reply of another request";
  }
  return "?";
}

std::string LongText(const Attempt& a, int32_t iPlcAddr) {
  const std::string controller = "controller " + std::to_string(iPlcAddr);
  switch (a.cause) {
    case Cause::kNoReply:
      return "no reply from " + controller;
    case Cause::kBrokenOff:
      return "the reply from " + controller + " broke off";
    case Cause::kNoStart:
      return "the reply did not start with ':'";
    case Cause::kOtherAddress:
      if (a.iArg == 0) return "the reply's controller address was garbled";
      return "a reply came from controller " + std::to_string(a.iArg) + " instead of " + std::to_string(iPlcAddr);
    case Cause::kException:
      return controller + " answered " + ExceptionWords(a.iArg);
    case Cause::kOtherFunction:
      return "the reply carried another function code";
    case Cause::kNoData:
      return controller + " returned no data";
    case Cause::kSend:
      return "the request could not be sent (port error)";
    case Cause::kLrc:
      return "LRC error in the reply";
    case Cause::kNoCrLf:
      return "the reply did not end in CR LF";
    case Cause::kBadData:
      return "the reply carried too few data or characters that are no hexadecimal digits";
    case Cause::kWrongLength:
      return "the reply had the wrong length";
    case Cause::kOtherReply:
      return "a reply of another request came (byte count " + std::to_string(a.iArg) + ", asked for " +
             std::to_string(a.iArg2) + ")";
    case Cause::kOtherEcho: {
      // A write's answer repeats its request; one that does not is garbled
      // on the way as often as it answers another request.
      char sz[160];
      snprintf(sz, sizeof sz,
               "the write's answer did not repeat the request (it said address 0x%04X, value or quantity 0x%04X): "
               "garbled on the line, or the answer to another request",
               static_cast<unsigned>(a.iArg), static_cast<unsigned>(a.iArg2));
      return sz;
    }
  }
  return "?";
}

std::string Duration(int32_t iTimeout) {
  char sz[32];
  long lMs = static_cast<long>(iTimeout) * 10;
  if (lMs >= 1000) {
    snprintf(sz, sizeof sz, "%.1f s", static_cast<double>(lMs) / 1000.0);
  } else {
    snprintf(sz, sizeof sz, "%ld ms", lMs);
  }
  return sz;
}

std::string Attempts(size_t n) {
  return std::to_string(n) + (n == 1 ? " attempt" : " attempts");
}

// The line settings to compare with the controller's: "9600 7E2" spelled out.
std::string LineWords(const TransactionFacts& facts) {
  return facts.line.empty() ? "the line settings" : facts.line + " (speed, data bits, parity, stop bits)";
}

// What to check when a controller never answered: each thing that keeps
// a request from being answered, then the command that finds the controller.
std::string SilenceChecklist(const TransactionFacts& facts) {
  const std::string file = facts.intFile.empty() ? std::string("the initialization file") : facts.intFile;
  return ": check that controller " + std::to_string(facts.iPlcAddr) + " exists and is set to " + LineWords(facts) +
         " and to Modbus ASCII, not RTU; the wiring (A and B not swapped, termination at both ends); an adapter that "
         "needs RTS to send needs RTSCTS = YES in " +
         file + "; sarnhost scan finds which controllers answer (--bauds, --parities try other settings)";
}

// Whether an attempt's reply came but was not what a controller sends.
bool Garbled(Cause cause) {
  switch (cause) {
    case Cause::kNoStart:
    case Cause::kLrc:
    case Cause::kNoCrLf:
    case Cause::kBadData:
    case Cause::kWrongLength:
    case Cause::kOtherFunction:
    case Cause::kOtherEcho:
      return true;
    default:
      return false;
  }
}

std::string GarbleCauses(const TransactionFacts& facts) {
  return ": line noise, or a controller whose parity or data bits differ from " +
         (facts.line.empty() ? std::string("the line's") : facts.line) + " (check its settings and the wiring)";
}

// What to check after the failure: the checklist after silence (unless the
// echo setting explains it), what garbles a reply; "" for the rest.
std::string NextStep(const Attempt& chosen, bool bAllSilent, const TransactionFacts& facts) {
  if (bAllSilent) return facts.bEchoSet ? "" : SilenceChecklist(facts);
  const bool bGarbledAddress = chosen.cause == Cause::kOtherAddress && chosen.iArg == 0;
  return Garbled(chosen.cause) || bGarbledAddress ? GarbleCauses(facts) : "";
}

// How the driver's log shows an echoing line without ECHO = YES (a reply
// that was the request itself), or ECHO = YES on a line without echo (the
// echo missing or different where the answer came instead).
struct EchoSigns {
  size_t nOwnRequest = 0;
  size_t nEchoFailed = 0;
};

EchoSigns FindEchoSigns(const std::vector<LogLine>& lines) {
  EchoSigns signs;
  for (const LogLine& l : lines) {
    LoggedFields fields;
    if (MatchesFormat(sarn::kMsgReceiveOwnRequest.pszFormat, l.text.c_str(), &fields) ||
        Is(l.text, sarn::kMsgLineEchoes)) {
      ++signs.nOwnRequest;
    }
    if (Is(l.text, sarn::kMsgSendEchoMissing) || Is(l.text, sarn::kMsgSendEchoDiffers)) ++signs.nEchoFailed;
  }
  return signs;
}

// Says what the echo setting has to do with the failure, where it has.
void ExplainEcho(const std::vector<LogLine>& lines, const std::vector<Attempt>& attempts, const TransactionFacts& facts,
                 Outcome& out) {
  const EchoSigns signs = FindEchoSigns(lines);
  const std::string file = facts.intFile.empty() ? std::string("the initialization file") : facts.intFile;
  if (!facts.bEchoSet && signs.nOwnRequest > 0) {
    out.shortText = "echo of the request";
    out.longText =
        "the reply was the request itself, byte for byte: the adapter echoes each request, so ECHO = YES "
        "is needed in " +
        file;
    return;
  }
  if (!facts.bEchoSet) return;
  bool bAllSilent = true;
  for (const Attempt& a : attempts) bAllSilent = bAllSilent && a.cause == Cause::kNoReply;
  if (signs.nEchoFailed > 0 && signs.nEchoFailed >= attempts.size()) {
    const bool bAnswer = facts.pszReply != nullptr && facts.nReplySize > 0 && facts.pszReply[0] == ':';
    out.shortText = "no echo";
    out.longText = "no echo of the request came back (" + Attempts(attempts.size()) +
                   "), though ECHO = YES is set in " + file + ": the line does not echo, so the key should go" +
                   (bAnswer ? " (the controller's answer came where the echo belongs)" : "");
  } else if (bAllSilent) {
    out.longText += "; if the line does not echo, ECHO = YES in " + file +
                    " should go: the controller's answer is then taken for the echo";
  }
}

}  // namespace

bool LoggedAs(const std::string& text, const sarn::LogMessage& message, LoggedFields* pFields) {
  LoggedFields fields;
  return MatchesFormat(message.pszFormat, text.c_str(), pFields != nullptr ? pFields : &fields);
}

bool LoggedAs(const std::string& text, const sarn::LogMessage& message, long* plFirst) {
  LoggedFields fields;
  if (!MatchesFormat(message.pszFormat, text.c_str(), &fields)) return false;
  if (plFirst != nullptr) *plFirst = fields.lArg[0];
  return true;
}

std::string PortFailureReason(const std::vector<LogLine>& lines) {
  std::string system, notCharDevice, opening;
  for (const LogLine& l : lines) {
    LoggedFields fields;
    if (LoggedAs(l.text, sarn::kMsgPortNotOpened, &fields)) {
      system = fields.text[1];
    } else if (LoggedAs(l.text, sarn::kMsgPortNotCharDevice, &fields)) {
      notCharDevice = fields.text[0] + " is not a character device";
    } else if (Is(l.text, sarn::kMsgColdStartOpenFailed) || Is(l.text, sarn::kMsgColdStartCloseFailed)) {
      opening = WithoutTag(l.text);
    }
  }
  return !system.empty() ? system : !notCharDevice.empty() ? notCharDevice : opening;
}

const char* ExceptionName(int iCode) {
  switch (iCode) {
    case 1:
      return "illegal function";
    case 2:
      return "illegal data address";
    case 3:
      return "illegal data value";
    case 4:
      return "server device failure";
    case 5:
      return "acknowledge";
    case 6:
      return "server device busy";
    case 7:
      return "negative acknowledge";
    case 8:
      return "memory parity error";
    case 10:
      return "gateway path unavailable";
    case 11:
      return "gateway target device failed to respond";
    default:
      return "";
  }
}

Outcome Explain(int32_t iResult, const std::vector<LogLine>& lines, const TransactionFacts& facts) {
  Outcome out;
  std::vector<Attempt> attempts;
  std::string refusal;
  bool bBitUpdate = false;
  for (const LogLine& l : lines) {
    const std::string& text = l.text;
    Attempt a{Cause::kNoReply};
    if (Classify(text, facts, a)) {
      attempts.push_back(a);
    } else if (Is(text, sarn::kMsgSingleWriteInputType) || Is(text, sarn::kMsgBlockWriteInputType)) {
      refusal = std::string("not writable: ") + MemoryTypeName(facts.iMemType, facts.bGtc);
    } else if (Is(text, sarn::kMsgSingleWriteGtcType) || Is(text, sarn::kMsgBlockWriteGtcType)) {
      refusal = "not writable: with GTC only memory type 0 (the variables " + GtcVariableRange() + ") is written";
    } else if (Is(text, sarn::kMsgSingleReadGtc)) {
      refusal = "a GTC controller is read in blocks only: give a COUNT";
    } else if (Is(text, sarn::kMsgSingleWriteBitReadFailed)) {
      bBitUpdate = true;
    }
  }

  if (!refusal.empty() && attempts.empty()) {
    out.shortText = out.longText = refusal;
    return out;
  }
  if (attempts.empty()) {
    out.shortText = iResult == 2 ? "line failure" : "refused";
    out.longText = "result " + std::to_string(iResult) +
                   (iResult == 2 ? " (failed on the port or the line)" : " (refused, or the reply was refused)");
    return out;
  }

  const Attempt* pChosen = &attempts.back();
  bool bAllSilent = true;
  for (const Attempt& a : attempts) {
    if (a.cause == Cause::kException) pChosen = &a;  // the controller's own word weighs most
    if (a.cause != Cause::kNoReply) bAllSilent = false;
    if (a.cause == Cause::kException || a.cause == Cause::kNoData) out.bAnswered = true;
    if (a.cause != Cause::kNoReply && a.cause != Cause::kSend && a.cause != Cause::kException &&
        a.cause != Cause::kNoData) {
      out.bGarbled = true;
    }
  }
  if (pChosen->cause == Cause::kException) out.iException = pChosen->iArg;
  out.shortText = ShortText(*pChosen);
  out.longText = LongText(*pChosen, facts.iPlcAddr);
  if (bAllSilent) {
    out.longText += " (" + Attempts(attempts.size()) + ", " + Duration(facts.iTimeout) + " each)";
  } else if (pChosen->cause != Cause::kException && attempts.size() > 1) {
    out.longText += " (" + Attempts(attempts.size()) + ")";
  }
  out.longText += NextStep(*pChosen, bAllSilent, facts);
  ExplainEcho(lines, attempts, facts, out);
  if (bBitUpdate) {
    out.shortText = "bit update: " + out.shortText;
    out.longText = "reading the register for the bit update failed: " + out.longText;
  }
  return out;
}

std::string PrintableFrame(const char* pBuf, size_t nSize) {
  std::string out;
  for (size_t i = 0; i < nSize && pBuf[i] != '\0'; ++i) {
    unsigned char c = static_cast<unsigned char>(pBuf[i]);
    if (c == '\r') {
      out += "<CR>";
    } else if (c == '\n') {
      out += "<LF>";
      break;
    } else if (c < 32 || c > 126) {
      char sz[8];
      snprintf(sz, sizeof sz, "<%02X>", c);
      out += sz;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out.empty() ? "(nothing)" : out;
}

std::string DecimalBaseWarning(const std::string& text) {
  // Controller digits at 0 and 1, address digits at 3 to 6; the bit number
  // at 7 is hexadecimal in every base.
  struct Field {
    size_t nStart, nLen;
    const char* pszName;
  };
  const Field fields[] = {{0, 2, "controller"}, {3, 4, "address"}};
  std::string letters, reading;
  for (const Field& f : fields) {
    if (text.size() < f.nStart + f.nLen) continue;
    std::string digits = text.substr(f.nStart, f.nLen);
    size_t nLetter = digits.find_first_of("ABCDEFabcdef");
    if (nLetter == std::string::npos) continue;
    letters += (letters.empty() ? "'" : ", '") + std::string(1, digits[nLetter]) + "' in the " + f.pszName;
    // The driver reads decimal digits up to the first other character.
    size_t nDigits = 0;
    while (nDigits < digits.size() && isdigit(static_cast<unsigned char>(digits[nDigits]))) ++nDigits;
    if (!reading.empty()) reading += ", ";
    if (nDigits == 0) {
      reading += std::string("refuses the ") + f.pszName;
    } else {
      reading += std::string(f.pszName) + " " + std::to_string(atol(digits.substr(0, nDigits).c_str()));
    }
  }
  if (letters.empty()) return "";
  return "gate '" + text + "' has " + letters +
         " where a decimal digit belongs (gate addresses are decimal here): the driver reads " + reading;
}

std::string LateAnswerAdvice(const std::vector<LogLine>& lines, int32_t iTimeout) {
  long lController = 0, lLateMs = 0;
  for (const LogLine& line : lines) {
    LoggedFields fields;
    if (MatchesFormat(sarn::kMsgLateAnswer.pszFormat, line.text.c_str(), &fields) && fields.lArg[1] > lLateMs) {
      lController = fields.lArg[0];
      lLateMs = fields.lArg[1];
    }
  }
  if (lLateMs == 0) return "";
  // Half as much again as the slowest answer seen, in tenths of a second.
  const long lTenths = (lLateMs * 3 / 2 + 99) / 100;
  char szAdvice[200];
  snprintf(szAdvice, sizeof szAdvice,
           "controller %ld answered after about %ld ms, later than the reply time-out of %ld ms: each late answer "
           "costs the next request a wait; give a longer time-out, e.g. -o %ld.%ld",
           lController, lLateMs, static_cast<long>(iTimeout) * 10, lTenths / 10, lTenths % 10);
  return szAdvice;
}

}  // namespace sarnhost
