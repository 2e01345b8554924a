#include "gate_words.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "address/gtc_memory.h"
#include "explain.h"
#include "hostlog/log_messages.h"

namespace sarnhost {

std::string GtcVariableRange() {
  return std::to_string(sarn::kGtcFirstVariableGate) + " to " + std::to_string(sarn::kGtcLastVariableGate);
}

const char kBroadcastWords[] =
    "controller 0 is the broadcast address, and no controller answers a broadcast: give a controller 1 to 247";

namespace {

// What a refusal message is about, for the words that explain it.
struct Refused {
  const Gate& gate;
  const GateSetting& setting;
  long lArg;  // the first number the message carried
};

// The GTC inputs' gate addresses, by the numbering of address/gtc_memory.h.
std::string GtcInputRanges() {
  using std::to_string;
  return "GTC inputs (memory type 1) are " + to_string(sarn::kGtcInputsStart) + " to " +
         to_string(sarn::kGtcLowInputGates) + " and " + to_string(sarn::kGtcFirstHighInputGate) + " to " +
         to_string(sarn::kGtcLastHighInputGate) + " without a last digit 9, and " +
         to_string(sarn::kGtcFirstVariableGate) + " to " + to_string(sarn::kGtcLastRunInputGate);
}

std::string Digits(const GateSetting& st) {
  return st.bHexBase ? "hexadecimal digits (0-9, A-F)" : "decimal digits";
}

std::string MemoryTypes(const GateSetting& st) {
  if (st.bGtc) return "the memory type (GTC: 0 variables " + GtcVariableRange() + ", 1 inputs, 3 register areas)";
  return "the memory type (0 coil, 1 discrete input, 3 input register, 4 holding register, 5 and 7 a float, 6 and 8 "
         "a 32-bit integer in input and holding registers)";
}

// What may stand at position nPos (from 0) of a gate text.
std::string WhatStandsAt(size_t nPos, const GateSetting& st) {
  if (nPos <= 1) return "the controller address, two " + Digits(st);
  if (nPos == 2) return MemoryTypes(st);
  if (nPos <= 6) return "the address, four " + Digits(st);
  return "the bit number, one hexadecimal digit 0-F in capitals, or nothing";
}

std::string IllegalCharacter(const Refused& r) {
  const std::string& text = r.gate.text;
  const size_t nPos = static_cast<size_t>(r.lArg);
  if (nPos >= text.size()) {
    return "'" + text + "' has " + std::to_string(text.size()) + " characters; a gate text has 7 (8 with a bit number)";
  }
  const unsigned char c = static_cast<unsigned char>(text[nPos]);
  char sz[64];
  if (c > ' ' && c < 127) {
    snprintf(sz, sizeof sz, "character %zu is '%c'", nPos + 1, c);
  } else {
    snprintf(sz, sizeof sz, "character %zu is code 0x%02X", nPos + 1, c);
  }
  return std::string(sz) + ", where the gate text holds " + WhatStandsAt(nPos, r.setting);
}

std::string FieldNotANumber(const Refused& r, size_t nPos) {
  return "character " + std::to_string(nPos + 1) + " is '" + r.gate.text.substr(nPos, 1) +
         "', where the gate text holds " + WhatStandsAt(nPos, r.setting) + " (A to F only with BUS = MODBUS, HEX)";
}

// The odd neighbours of an even 32-bit gate address: "0170003 or 0170005".
std::string OddNeighbours(const Gate& gate, bool bHex) {
  const unsigned long ulAddress = strtoul(gate.text.substr(3, 4).c_str(), nullptr, bHex ? 16 : 10);
  std::string out;
  for (unsigned long ul : {ulAddress - 1, ulAddress + 1}) {
    char sz[16];
    snprintf(sz, sizeof sz, bHex ? "%04lX" : "%04lu", ul);
    if (ul >= 1 && ul <= (bHex ? 0xFFFFul : 9999ul)) out += (out.empty() ? "" : " or ") + gate.text.substr(0, 3) + sz;
  }
  return out;
}

std::string PairAddressEven(const Refused& r) {
  return "a 32-bit value (memory types 5 to 8) takes two registers from an odd address: " +
         OddNeighbours(r.gate, r.setting.bHexBase) +
         " (LONGADDR = YES in the initialization file numbers 32-bit values one by one)";
}

// "holding registers", "floats in input registers", "int32 values in ...".
std::string Plural(const std::string& name) {
  const size_t nEnd = std::min(name.find(" in "), name.size());
  const std::string noun = name.substr(0, nEnd);
  return (noun == "int32" ? noun + " values" : noun + "s") + name.substr(nEnd);
}

std::string BlockTooLarge(const Refused& r, int iMax) {
  return "a block of " + std::to_string(r.gate.iCount) + " is too large: at most " + std::to_string(iMax) + " " +
         Plural(MemoryTypeName(r.gate.spec.iMemType, r.setting.bGtc)) + " in one request";
}

struct Meaning {
  const sarn::LogMessage& message;
  std::string (*words)(const Refused& r);
};

const Meaning kMeanings[] = {
    {sarn::kMsgParseIllegalChar, IllegalCharacter},
    {sarn::kMsgParseIllegalController, [](const Refused& r) { return FieldNotANumber(r, 0); }},
    {sarn::kMsgParseIllegalAddress, [](const Refused& r) { return FieldNotANumber(r, 3); }},
    {sarn::kMsgParseBitNotAllowed,
     [](const Refused&) {
       return std::string("coils and discrete inputs (memory types 0 and 1) are bits already: they take no bit number");
     }},
    {sarn::kMsgParseAddressZero,
     [](const Refused&) { return std::string("address 0000: Modbus gate addresses count from 1"); }},
    {sarn::kMsgParsePairAddressEven, PairAddressEven},
    {sarn::kMsgParseVariableOutOfRange,
     [](const Refused&) { return "GTC variables (memory type 0) are " + GtcVariableRange(); }},
    {sarn::kMsgParseIllegalVariable, [](const Refused&) { return GtcInputRanges(); }},
    {sarn::kMsgParseGtcMemoryType, [](const Refused& r) { return "character 3 is not " + MemoryTypes(r.setting); }},
    {sarn::kMsgBlockTooLarge2000, [](const Refused& r) { return BlockTooLarge(r, 2000); }},
    {sarn::kMsgBlockTooLarge125, [](const Refused& r) { return BlockTooLarge(r, 125); }},
    {sarn::kMsgBlockTooLarge62, [](const Refused& r) { return BlockTooLarge(r, 62); }},
    {sarn::kMsgBlockTooLarge312, [](const Refused& r) { return BlockTooLarge(r, 312); }},
    {sarn::kMsgBlockTooLarge1000, [](const Refused& r) { return BlockTooLarge(r, 1000); }},
    {sarn::kMsgBlockLengthNotByteMultiple,
     [](const Refused&) { return std::string("a block of GTC variables is a multiple of 8 long"); }},
    {sarn::kMsgBlockStartMustBe200,
     [](const Refused&) {
       char sz[64];
       snprintf(sz, sizeof sz, "a block of GTC variables starts at %u (010%04u)", sarn::kGtcFirstVariableGate,
                sarn::kGtcFirstVariableGate);
       return std::string(sz);
     }},
    {sarn::kMsgBlockStartMustBe1,
     [](const Refused&) { return std::string("a block of GTC inputs starts at 1 (0110001)"); }},
    {sarn::kMsgBlockWrongAddressOrLength,
     [](const Refused&) { return std::string("the GTC register areas are 1, 2 and 3 (0130001 to 0130003)"); }},
    {sarn::kMsgBlockLengthNot42,
     [](const Refused&) {
       return "GTC register area 2 is read whole: a block of " + std::to_string(sarn::kGtcAreaLength[1]);
     }},
    {sarn::kMsgBlockLengthNot64,
     [](const Refused&) {
       return "GTC register areas 1 and 3 are read whole: a block of " + std::to_string(sarn::kGtcAreaLength[0]);
     }},
};

// In decimal base an eight-digit text may be meant as a controller of three
// digits ("15040001"): the text holds two. Says how to reach it.
std::string ControllerHint(const std::string& text, bool bHexBase) {
  if (bHexBase || text.size() != 8 || text.find_first_not_of("0123456789") != std::string::npos) return "";
  const long lSlave = atol(text.substr(0, 3).c_str());
  const char cMem = text[3];
  if (lSlave < 100 || lSlave > 247 || std::string("01345678").find(cMem) == std::string::npos) return "";
  static const char* const kTables[] = {"0", "1", "", "3", "4", "3:float", "3:int", "4:float", "4:int"};
  return "; if controller " + std::to_string(lSlave) + " is meant: gate texts hold two decimal digits for it, so use " +
         "-a " + std::to_string(lSlave) + " -t " + kTables[cMem - '0'] + " -r " +
         std::to_string(atol(text.c_str() + 4)) + ", or BUS = MODBUS, HEX in the initialization file";
}

// Where the parser said nothing: what sarnhost knows of the refusal.
std::string UnloggedReason(const Gate& gate, const GateSetting& st) {
  const std::string& text = gate.text;
  if (text.size() >= 9) return "longer than 8 characters; a gate text has 7 (8 with a bit number)";
  const bool bBitNr = text.size() >= 8 && text[7] != ' ';
  if (gate.bBlock && bBitNr) return "a block takes no bit number";
  if (!gate.bBlock) {
    const int32_t iMem = gate.spec.iMemType;
    if (bBitNr && iMem >= 5 && iMem <= 8) return "32-bit gates take no bit number";
    return std::string("data type ") + DataTypeName(gate.iDataType) + " does not fit a " +
           MemoryTypeName(iMem, st.bGtc) + (bBitNr ? " bit" : "");
  }
  return "see the driver's log with -v";
}

}  // namespace

std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= ' ' && c != 127) {
      out += static_cast<char>(c);
    } else {
      char sz[8];
      snprintf(sz, sizeof sz, "<%02X>", c);
      out += sz;
    }
  }
  return out;
}

std::string GateRefusal(const std::vector<LogLine>& lines, const Gate& gate, const GateSetting& setting) {
  std::string reason, unknown;
  for (const LogLine& l : lines) {
    long lArg = 0;
    for (const Meaning& m : kMeanings) {
      if (!reason.empty() || !LoggedAs(l.text, m.message, &lArg)) continue;
      reason = m.words(Refused{gate, setting, lArg});
    }
    if (reason.empty() && unknown.empty()) unknown = WithoutTag(l.text);
  }
  if (reason.empty()) reason = unknown.empty() ? UnloggedReason(gate, setting) : Printable(unknown);
  return reason + ControllerHint(gate.text, setting.bHexBase);
}

}  // namespace sarnhost
