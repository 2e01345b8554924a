// mbpoll's way of naming values: slave (-a), table (-t 0, 1, 3, 4, with
// :int, :float or :hex), first reference (-r, from 1, or from 0 with -0),
// count (-c); 32-bit values with the low word first unless -B; and the way
// mbpoll shows them.
#pragma once

#include <cstdint>
#include <string>

#include "driver_host.h"

namespace sarnhost {

struct MbpollType {
  char cTable = '4';  // '0', '1', '3', '4'
  bool b32 = false;   // :int or :float
  bool bFloat = false;
  bool bHex = false;        // :hex, 16-bit registers shown in hexadecimal
  bool bInt16 = false;      // :int16, 16-bit registers shown signed
  char MemoryType() const;  // the gate's memory type digit
};

// Reads a -t value; false when it is none of 0, 1, 3, 4, and 3 or 4 with
// :int, :float, :hex or :int16.
bool ParseMbpollType(const std::string& text, MbpollType& type);
bool ValidMbpollType(const std::string& text);

// The gate text for a controller, table and reference (counted from 1) in
// the context's number base. A controller that the text's two digits cannot
// hold (above 99 in decimal base) is written as controller 1: the caller
// sets the controller field of the parsed gate directly. "" with error
// filled when the reference does not fit.
std::string MbpollGateText(long lSlave, const MbpollType& type, long lRef, bool bHexBase, std::string& error);
// Whether the two digits of a gate text hold the controller address.
bool SlaveFitsText(long lSlave, bool bHexBase);
// The name of a gate whose controller the text cannot hold: "150.40001".
std::string DirectGateName(long lSlave, const MbpollType& type, long lRef);

// sarnhost's own name for a value a gate text cannot name: "150.40001"
// (controller 150, holding register 1), "1.410000" (holding register
// 10000): controller, memory type digit, reference, all decimal. False when
// text is not of that form or out of range (controller 0 passes, for the
// caller to refuse in words).
bool ParseDottedName(const std::string& text, long& lSlave, MbpollType& type, long& lRef);
// The table and format of -t as mbpoll writes it: "4", "3:float", "4:hex".
std::string MbpollTypeText(const MbpollType& type);

// Exchanges the two 16-bit halves of a 32-bit value.
uint32_t SwapWords(uint32_t u);
// A value as mbpoll shows it: bits 0/1; registers unsigned, with the signed
// value in brackets when bit 15 is set ("65535 (-1)"), or "0x000B" for
// :hex, signed for :int16; 32-bit integers signed; floats with %g.
std::string MbpollValue(const Value& value, const MbpollType& type);

}  // namespace sarnhost
