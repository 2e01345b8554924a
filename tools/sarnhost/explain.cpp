#include "explain.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver_host.h"

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

bool StartsWith(const std::string& text, const char* pszPrefix) {
  return text.rfind(pszPrefix, 0) == 0;
}

bool Contains(const std::string& text, const char* pszPart) {
  return text.find(pszPart) != std::string::npos;
}

// The driver's exception messages and the codes they stand for.
struct ExceptionText {
  const char* pszText;
  int iCode;
};
constexpr ExceptionText kExceptionTexts[] = {
    {"(MB-protocol) Illegal function", 1},         {"(MB-protocol) Illegal data address", 2},
    {"(MB-protocol) Illegal data value", 3},       {"(MB-protocol) Failure in associated device", 4},
    {"(MB-protocol) Acknowledge (processing)", 5}, {"(MB-protocol) Busy, rejected message", 6},
    {"(MB-protocol) Negative acknowledgment", 7},  {"(MB-protocol) Memory parity error", 8},
};

int HexPair(const char* p) {
  if (!isxdigit(static_cast<unsigned char>(p[0])) || !isxdigit(static_cast<unsigned char>(p[1]))) return -1;
  char sz[3] = {p[0], p[1], '\0'};
  return static_cast<int>(strtol(sz, nullptr, 16));
}

// The exception code of the reply in the buffer, or 0 when it holds none.
int ReplyException(const TransactionFacts& facts) {
  if (facts.pszReply == nullptr || facts.nReplySize < 7 || facts.pszReply[0] != ':') return 0;
  int iFunction = HexPair(facts.pszReply + 3);
  int iCode = HexPair(facts.pszReply + 5);
  return iFunction >= 0 && (iFunction & 0x80) != 0 && iCode >= 0 ? iCode : 0;
}

// Classifies one log line (without the tag); false when it reports no failed attempt.
bool Classify(const std::string& text, const TransactionFacts& facts, Attempt& a) {
  if (StartsWith(text, "Receive() #1: timeout (iRead=")) {
    a.cause = atoi(text.c_str() + strlen("Receive() #1: timeout (iRead=")) == 0 ? Cause::kNoReply : Cause::kBrokenOff;
  } else if (StartsWith(text, "Receive() Start of frame not received")) {
    a.cause = Cause::kNoStart;
  } else if (StartsWith(text, "Wrong plc addr.")) {
    a.cause = Cause::kOtherAddress;
    a.iArg = static_cast<int>(strtol(text.c_str() + strlen("Wrong plc addr."), nullptr, 16));
  } else if (StartsWith(text, "(MB-protocol")) {
    a.cause = Cause::kException;
    a.iArg = 0;
    for (const ExceptionText& e : kExceptionTexts) {
      if (text == e.pszText) a.iArg = e.iCode;
    }
    if (a.iArg == 0) a.iArg = ReplyException(facts);
  } else if (StartsWith(text, "Receive() timeout 2nd part") || StartsWith(text, "Receive() error reading data part") ||
             StartsWith(text, "Recieve() reading timeout last data part") ||
             StartsWith(text, "Receive() reading timeout last data part")) {
    a.cause = Cause::kBrokenOff;
  } else if (StartsWith(text, "Receive() wrong length")) {
    a.cause = Cause::kWrongLength;
  } else if (StartsWith(text, "Different function returned")) {
    a.cause = Cause::kOtherFunction;
  } else if (StartsWith(text, "Receive() No data returned")) {
    a.cause = Cause::kNoData;
  } else if (StartsWith(text, "SEND> Unable to send message")) {
    a.cause = Cause::kSend;
  } else if (StartsWith(text, "DoRead() LRC error") || StartsWith(text, "DoWrite() error in crc")) {
    a.cause = Cause::kLrc;
  } else if (StartsWith(text, "DoRead() No termination of reply")) {
    a.cause = Cause::kNoCrLf;
  } else if (StartsWith(text, "DoRead() wrong data in reply")) {
    a.cause = Cause::kBadData;
  } else if (sscanf(text.c_str(), "DoRead() reply with byte count %d, request asked for %d", &a.iArg, &a.iArg2) == 2) {
    a.cause = Cause::kOtherReply;
  } else if (sscanf(text.c_str(), "DoWrite() echo of another request: address %xh, value or quantity %xh",
                    reinterpret_cast<unsigned*>(&a.iArg), reinterpret_cast<unsigned*>(&a.iArg2)) == 2) {
    a.cause = Cause::kOtherEcho;
  } else {
    return false;
  }
  return true;
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
      return "the reply did not start with ':' (noise, or wrong line settings)";
    case Cause::kOtherAddress:
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
      char sz[80];
      snprintf(sz, sizeof sz, "an echo of another request came (address 0x%04X, value or quantity 0x%04X)",
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

}  // namespace

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
    std::string text = l.text;
    if (StartsWith(text, "SARNMD> ")) text.erase(0, 8);
    Attempt a{Cause::kNoReply};
    if (Classify(text, facts, a)) {
      attempts.push_back(a);
    } else if (StartsWith(text, "SingleWrite() not allowed for types 1,3,5 and 6") ||
               StartsWith(text, "BlockWrite() not allowed for types 1,3,5 and 6")) {
      refusal = std::string("not writable: ") + MemoryTypeName(facts.iMemType, facts.bGtc);
    } else if (Contains(text, "not allowed for types different from 0")) {
      refusal = "not writable: with GTC only memory type 0 (the variables 200 to 511) is written";
    } else if (StartsWith(text, "SingleRead() Only blocks are possible with GTC")) {
      refusal = "a GTC controller is read in blocks only: give a COUNT";
    } else if (StartsWith(text, "SingleWrite() error SingleRead() for spec. dig. gate")) {
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

}  // namespace sarnhost
